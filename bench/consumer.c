/*
 * Benchmark consumer module. Write (on the event-handler thread) checks and
 * counts every benchmark message (receiver.h) and never keeps the payload.
 * It writes its result file at Unload, so that no file is written on the
 * event-handler thread while other consumers still wait for their messages
 * (the producer tells when all have arrived).
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
static BenchReceiver receiver; /* event-handler thread only, between Load and Unload */

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
    bench_receiver_take(&receiver, args->body, args->data, args->length);
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
    if (!bench_receiver_write(&receiver, params.result))
        fprintf(stderr, "bench consumer: cannot write %s\n", params.result);
    bench_receiver_free(&receiver);
    return 0;
}
