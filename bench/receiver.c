/* The receiving side of a run. */
#include "receiver.h"

#include <stdlib.h>
#include <string.h>

#include "bench_message.h"
#include "pace.h"
#include "result_file.h"

int bench_receiver_init(BenchReceiver* receiver, const BenchParams* params)
{
    memset(receiver, 0, sizeof *receiver);
    receiver->expected = params->count;
    receiver->payload = params->payload;
    receiver->slot = params->slot;
    if (params->paced && params->count)
        receiver->latencies = calloc(params->count, sizeof *receiver->latencies);
    return !params->paced || !params->count || receiver->latencies;
}

void bench_receiver_free(BenchReceiver* receiver)
{
    free(receiver->latencies);
    receiver->latencies = NULL;
}

int bench_receiver_take(BenchReceiver* receiver, const uint8_t* body, const uint8_t* data, int32_t length)
{
    const int64_t now = bench_now_ns();
    const BenchStamp stamp = bench_read_stamp(body);
    if (stamp.sequence == BENCH_HANDSHAKE) {
        if (!receiver->handshaken)
            bench_pace_count(receiver->slot);
        receiver->handshaken = 1;
        return 0;
    }
    if (stamp.sequence != receiver->next || length != receiver->payload ||
        !bench_payload_intact(data, length, stamp.sequence))
        ++receiver->errors;
    if (receiver->taken == 0) {
        receiver->first_sent_ns = stamp.sent_ns;
        receiver->first_taken_ns = now;
    }
    receiver->last_taken_ns = now;
    if (receiver->latencies && stamp.sequence < receiver->expected)
        receiver->latencies[stamp.sequence] = now - stamp.sent_ns;
    receiver->next = stamp.sequence + 1;
    ++receiver->taken;
    bench_pace_count(receiver->slot);
    return receiver->taken == receiver->expected;
}

int bench_receiver_write(const BenchReceiver* receiver, const char* path)
{
    FILE* file = bench_result_open(path);
    if (!file)
        return 0;
    fprintf(file, "count %llu\nerrors %llu\nfirst_sent_ns %lld\nfirst_taken_ns %lld\nlast_taken_ns %lld\n",
            (unsigned long long)receiver->taken, (unsigned long long)receiver->errors,
            (long long)receiver->first_sent_ns, (long long)receiver->first_taken_ns,
            (long long)receiver->last_taken_ns);
    if (receiver->latencies) {
        fputs("latency_ns", file);
        for (uint64_t i = 0; i < receiver->taken && i < receiver->expected; ++i)
            fprintf(file, " %lld", (long long)receiver->latencies[i]);
        fputc('\n', file);
    }
    return bench_result_commit(file, path);
}
