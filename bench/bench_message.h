/*
 * What a benchmark message carries, the same for the service's modules and
 * for the ZeroMQ baseline: the routing fields of the Message record, a stamp in
 * its body (sequence number and send time) and a payload whose first and last
 * eight bytes are derived from the sequence number, so that a receiver checks
 * order and content at a cost independent of the payload size.
 */
#ifndef ORVANTIS_BENCH_BENCH_MESSAGE_H
#define ORVANTIS_BENCH_BENCH_MESSAGE_H

#include <stdint.h>
#include <string.h>
#include <time.h>

#include "routing/message_api.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BENCH_PRODUCER_ID UINT64_C(0x5000)
#define BENCH_CONSUMER_ID UINT64_C(0x5100) /* plus the consumer's slot */
/* Class mask 3 with an event of no meaning to the service itself: the Core's
 * own notices and documents never match it, and it is never video. */
#define BENCH_FLAGS ORV_FLAG_CLASS(3)
#define BENCH_EVENT UINT64_C(0x4242)
#define BENCH_MASK UINT64_C(0x4242) /* the delivery match key of BENCH_EVENT */
/* The stamp of the start-up handshake message, which carries no payload. */
#define BENCH_HANDSHAKE UINT64_MAX

/* The stamp at the start of Message.body. */
typedef struct BenchStamp {
    uint64_t sequence;
    int64_t sent_ns; /* CLOCK_MONOTONIC, taken right before the send */
} BenchStamp;
ORV_STATIC_ASSERT(sizeof(BenchStamp) <= sizeof(((Message*)0)->body), "the stamp fits in the body");

static inline int64_t bench_now_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static inline uint64_t bench_pattern(uint64_t sequence, int last)
{
    return (sequence + 1) * UINT64_C(0x9E3779B97F4A7C15) ^ (last ? UINT64_C(0xA5A5A5A5A5A5A5A5) : 0);
}

/* Marks a payload for message `sequence`: its first eight bytes, and its last
 * eight when they do not overlap the first (shorter payloads: what fits). */
static inline void bench_mark_payload(uint8_t* data, int32_t length, uint64_t sequence)
{
    const uint64_t first = bench_pattern(sequence, 0);
    const uint64_t last = bench_pattern(sequence, 1);
    memcpy(data, &first, length < 8 ? (size_t)length : 8);
    if (length >= 16)
        memcpy(data + length - 8, &last, 8);
}

/* Whether a payload carries the marks of message `sequence`; an empty one
 * must come without a buffer. */
static inline int bench_payload_intact(const uint8_t* data, int32_t length, uint64_t sequence)
{
    const uint64_t first = bench_pattern(sequence, 0);
    const uint64_t last = bench_pattern(sequence, 1);
    if (length == 0)
        return data == NULL;
    if (!data || memcmp(data, &first, length < 8 ? (size_t)length : 8) != 0)
        return 0;
    return length < 16 || memcmp(data + length - 8, &last, 8) == 0;
}

static inline BenchStamp bench_read_stamp(const uint8_t* body)
{
    BenchStamp stamp;
    memcpy(&stamp, body, sizeof stamp);
    return stamp;
}

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_BENCH_BENCH_MESSAGE_H */
