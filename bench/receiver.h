/*
 * The receiving side of a run, shared by the consumer module and the ZeroMQ
 * baseline's receiver threads: every message is counted, its sequence number
 * must follow the previous one, its payload must carry its marks and be
 * exactly `payload` bytes long. Paced runs also keep each message's latency
 * (receipt time minus the send time in its stamp).
 *
 * Thread safety: one receiver belongs to one thread at a time (in the service
 * Write runs on the event-handler thread only).
 */
#ifndef ORVANTIS_BENCH_RECEIVER_H
#define ORVANTIS_BENCH_RECEIVER_H

#include <stdint.h>

#include "bench_params.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BenchReceiver {
    uint64_t expected;      /* messages to take: the run's count */
    int32_t payload;        /* the payload length every message must have */
    uint32_t slot;          /* this receiver's delivery counter */
    int handshaken;         /* the handshake has been counted */
    uint64_t next;          /* the sequence number due next */
    uint64_t taken;         /* measured messages taken */
    uint64_t errors;        /* messages out of order, of the wrong length or with a broken mark */
    int64_t first_sent_ns;  /* the stamp of the first message taken */
    int64_t first_taken_ns; /* CLOCK_MONOTONIC at the first and the latest receipt */
    int64_t last_taken_ns;
    int64_t* latencies;     /* paced runs: by sequence number, owned; else null */
} BenchReceiver;

/* Returns 0 when the latency table cannot be allocated. */
int bench_receiver_init(BenchReceiver* receiver, const BenchParams* params);
void bench_receiver_free(BenchReceiver* receiver);

/* Takes one message (its 168-byte body and its payload) and counts it in the
 * receiver's delivery counter; returns 1 when it completes the run. */
int bench_receiver_take(BenchReceiver* receiver, const uint8_t* body, const uint8_t* data, int32_t length);

/* Writes "count", "errors", "first_sent_ns", "first_taken_ns",
 * "last_taken_ns" lines, and for paced runs one "latency_ns" line with the
 * latency of every message taken; returns 0 on failure. */
int bench_receiver_write(const BenchReceiver* receiver, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_BENCH_RECEIVER_H */
