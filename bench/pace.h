/*
 * Delivery counters that the sender and the receivers of one run share, so
 * that the sender can wait for its messages to arrive. In the service the
 * producer and every consumer module link this one shared library, which the
 * dynamic loader maps once per process; the ZeroMQ baseline links it too.
 *
 * Thread safety: each slot is advanced by one receiver thread only (in the
 * service, the event-handler thread); any thread may read the counters.
 */
#ifndef ORVANTIS_BENCH_PACE_H
#define ORVANTIS_BENCH_PACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Receiver `slot` has taken one more message (the handshake included). */
void bench_pace_count(uint32_t slot);

/* The count of the receiver that has taken fewest, over slots 0 .. receivers - 1. */
uint64_t bench_pace_slowest(uint32_t receivers);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_BENCH_PACE_H */
