/*
 * Benchmark consumer module. Write (on the event-handler thread) checks and
 * counts every benchmark message (receiver.h) and never keeps the payload.
 * Once the run's count has arrived it writes its result file; a consumer that
 * never got there writes what it has at Unload, so a lost message shows.
 *
 * Settings and result: bench_params.h ("<this library>.conf"); `slot` makes
 * the module id BENCH_CONSUMER_ID + slot.
 */
#include <stdio.h>

#include "bench_message.h"
#include "bench_params.h"
#include "receiver.h"

#define EXPORT __attribute__((visibility("default")))

static BenchParams params;     /* written by Load only */
static BenchReceiver receiver; /* event-handler thread only, after Load */
static int reported;           /* event-handler thread, then Unload */

static void report(void)
{
    if (!bench_receiver_write(&receiver, params.result))
        fprintf(stderr, "bench consumer: cannot write %s\n", params.result);
    reported = 1;
}

EXPORT int32_t Load(void* in, void* out)
{
    (void)in;
    ModuleInfo* info = out;
    bench_params_init(&params);
    const int ok = bench_params_read_module(&params) && bench_receiver_init(&receiver, &params);
    info->module_id = BENCH_CONSUMER_ID + params.slot;
    info->class_mask[3] = BENCH_MASK;
    info->accepts_write = 1;
    info->load_error = ok ? 0 : 1;
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t Write(void* in, void* out)
{
    const WriteArgs* args = in;
    (void)out;
    if (args->source_id != BENCH_PRODUCER_ID || args->event != BENCH_EVENT)
        return 0;
    if (bench_receiver_take(&receiver, args->body, args->data, args->length))
        report();
    return 0;
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    if (!reported)
        report();
    bench_receiver_free(&receiver);
    return 0;
}
