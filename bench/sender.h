/*
 * The sending side of a run, shared by the producer module and the ZeroMQ
 * baseline so that both do the same work per message: mark the payload, stamp
 * the body with the sequence number and the send time, hand the message over.
 *
 * A run opens with a handshake: a payload-less message stamped
 * BENCH_HANDSHAKE, repeated every 10 ms until every receiver has counted one,
 * which proves that all of them are in place and listening. Then `count`
 * messages follow, numbered from 0, either flat out (at most the window ahead
 * of the slowest receiver) or paced (each one only after every receiver has
 * the previous one, plus the gap). The run ends when every receiver has
 * every message.
 */
#ifndef ORVANTIS_BENCH_SENDER_H
#define ORVANTIS_BENCH_SENDER_H

#include <stdint.h>

#include "bench_params.h"
#include "routing/message_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How messages leave the sender. */
typedef struct BenchTransport {
    void* context;
    /* Sends one message (record and payload may be reused once it returns);
     * returns an ORV_RESULT_* value. */
    int32_t (*send)(void* context, const Message* message);
    /* Nonzero once the sender must give up and return (the module's Close). */
    int (*stopping)(void* context);
} BenchTransport;

typedef struct BenchSendReport {
    uint64_t sent;    /* measured messages accepted */
    uint64_t refused; /* sends that did not return ORV_RESULT_OK; the run stops at the first */
    int stopped;      /* given up before every receiver had every message */
} BenchSendReport;

/* Runs the handshake and sends the run's messages (above). */
void bench_send_all(const BenchParams* params, const BenchTransport* transport, BenchSendReport* report);

/* Writes "sent N", "refused N" and "stopped 0|1" lines; 0 on failure. */
int bench_send_report_write(const BenchSendReport* report, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_BENCH_SENDER_H */
