/* The sending side of a run. */
#define _GNU_SOURCE
#include "sender.h"

#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "bench_message.h"
#include "pace.h"
#include "result_file.h"

#define HANDSHAKE_INTERVAL_MS 10
#define WINDOW_CHECK_EVERY 64
#define SPINS_BEFORE_YIELD 200

static void sleep_us(uint32_t microseconds)
{
    struct timespec pause = {microseconds / 1000000, (long)(microseconds % 1000000) * 1000};
    nanosleep(&pause, NULL);
}

/* Waits until every receiver has taken `target` messages; spins briefly for
 * the latency of paced runs, then yields the processor to the receivers.
 * Returns 0 when the transport asks to stop first. */
static int wait_for_receivers(const BenchParams* params, const BenchTransport* transport, uint64_t target)
{
    for (unsigned spins = 0; bench_pace_slowest(params->receivers) < target; ++spins) {
        if (transport->stopping(transport->context))
            return 0;
        if (spins < SPINS_BEFORE_YIELD)
            __builtin_ia32_pause();
        else
            sched_yield();
    }
    return 1;
}

static void init_message(Message* message, uint8_t* payload, int32_t length)
{
    memset(message, 0, sizeof *message);
    message->size = sizeof *message;
    message->version = ORV_MESSAGE_VERSION;
    message->length = length;
    message->data = length ? payload : NULL;
    message->source_id = BENCH_PRODUCER_ID;
    message->flags = BENCH_FLAGS;
    message->event = BENCH_EVENT;
}

static void stamp(Message* message, uint64_t sequence)
{
    BenchStamp stamp = {sequence, bench_now_ns()};
    memcpy(message->body, &stamp, sizeof stamp);
}

/* Returns 0 when stopped before every receiver has counted the handshake. */
static int handshake(const BenchParams* params, const BenchTransport* transport, BenchSendReport* report)
{
    Message message;
    init_message(&message, NULL, 0);
    stamp(&message, BENCH_HANDSHAKE);
    while (bench_pace_slowest(params->receivers) == 0) {
        if (transport->stopping(transport->context))
            return 0;
        if (transport->send(transport->context, &message) != ORV_RESULT_OK) {
            ++report->refused;
            return 0;
        }
        for (int waited = 0; waited < HANDSHAKE_INTERVAL_MS && bench_pace_slowest(params->receivers) == 0; ++waited)
            sleep_us(1000);
    }
    return 1;
}

/* After message `sequence` has gone: paced runs wait for it to arrive
 * everywhere, flat-out runs for the window to have room. The handshake
 * counts once in every receiver's total, hence the 2. */
static int keep_pace(const BenchParams* params, const BenchTransport* transport, uint64_t sequence, uint64_t window)
{
    if (params->paced) {
        if (!wait_for_receivers(params, transport, sequence + 2))
            return 0;
        if (params->gap_us)
            sleep_us(params->gap_us);
        return 1;
    }
    if ((sequence + 1) % WINDOW_CHECK_EVERY || sequence + 2 <= window)
        return 1;
    return wait_for_receivers(params, transport, sequence + 2 - window);
}

void bench_send_all(const BenchParams* params, const BenchTransport* transport, BenchSendReport* report)
{
    memset(report, 0, sizeof *report);
    uint8_t* payload = calloc(1, params->payload ? (size_t)params->payload : 1);
    const uint64_t window = bench_params_window(params);
    Message message;
    init_message(&message, payload, params->payload);
    report->stopped = !payload || !handshake(params, transport, report);
    for (uint64_t sequence = 0; !report->stopped && !report->refused && sequence < params->count; ++sequence) {
        bench_mark_payload(payload, params->payload, sequence);
        stamp(&message, sequence);
        if (transport->send(transport->context, &message) != ORV_RESULT_OK) {
            ++report->refused;
            break;
        }
        ++report->sent;
        report->stopped = !keep_pace(params, transport, sequence, window);
    }
    if (!report->stopped && !report->refused)
        report->stopped = !wait_for_receivers(params, transport, params->count + 1);
    free(payload);
}

int bench_send_report_write(const BenchSendReport* report, const char* path)
{
    FILE* file = bench_result_open(path);
    if (!file)
        return 0;
    fprintf(file, "sent %llu\nrefused %llu\nstopped %d\n", (unsigned long long)report->sent,
            (unsigned long long)report->refused, report->stopped);
    return bench_result_commit(file, path);
}
