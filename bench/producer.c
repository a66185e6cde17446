/*
 * Benchmark producer module. Its IOCTL worker (wants_ioctl_worker) sends the
 * run's messages one at a time through the callback (sender.h) and then
 * writes its report to its result file. Close makes a worker that is still
 * waiting for receivers return at once.
 *
 * Settings and result: bench_params.h ("<this library>.conf").
 */
#include <stdatomic.h>
#include <stdio.h>

#include "bench_message.h"
#include "bench_params.h"
#include "sender.h"

#define EXPORT __attribute__((visibility("default")))

static OrvCallback send_message;
static BenchParams params;   /* written by Load only */
static atomic_int closing;   /* set by Close, read by the worker */

static int32_t send_through_core(void* context, const Message* message)
{
    (void)context;
    MessageResult result = {sizeof result, 1, 0};
    send_message(message, &result);
    return result.result;
}

static int is_closing(void* context)
{
    (void)context;
    return atomic_load(&closing);
}

EXPORT int32_t Load(void* in, void* out)
{
    const LoadArgs* args = in;
    ModuleInfo* info = out;
    send_message = args->callback;
    bench_params_init(&params);
    info->module_id = BENCH_PRODUCER_ID;
    info->wants_ioctl_worker = 1;
    info->load_error = bench_params_read_module(&params) ? 0 : 1;
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    const IoctlArgs* args = in;
    (void)out;
    if (args->code != ORV_IOCTL_WORKER)
        return 0; /* a payload notice of the Core's documents */
    BenchTransport transport = {NULL, send_through_core, is_closing};
    BenchSendReport report;
    bench_send_all(&params, &transport, &report);
    if (!bench_send_report_write(&report, params.result))
        fprintf(stderr, "bench producer: cannot write %s\n", params.result);
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    atomic_store(&closing, 1);
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
