/*
 * The settings of one benchmark run, shared by the producer and consumer
 * modules (read from "<the module's own path>.conf") and by the ZeroMQ
 * baseline (read from its "key=value" arguments). Keys:
 *
 *   count = 100000   messages measured (the handshake comes on top)
 *   payload = 0      payload bytes per message
 *   receivers = 1    consumers that each message must reach
 *   paced = 0        1: send the next message only once every receiver has
 *                    the previous one, then pause gap_us (latency runs)
 *   gap_us = 50      pause between paced messages, in microseconds
 *   window = 0       most messages the sender may be ahead of the slowest
 *                    receiver in flat-out runs; 0: 32 MiB worth, 256 to 8192
 *   slot = 0         a receiver's own index, 0 .. receivers - 1
 *   result = path    where a receiver or sender writes its result
 */
#ifndef ORVANTIS_BENCH_BENCH_PARAMS_H
#define ORVANTIS_BENCH_BENCH_PARAMS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BENCH_MAX_RECEIVERS 64

typedef struct BenchParams {
    uint64_t count;
    int32_t payload;
    uint32_t receivers;
    int paced;
    uint32_t gap_us;
    uint64_t window;
    uint32_t slot;
    char result[4096];
} BenchParams;

/* The defaults above. */
void bench_params_init(BenchParams* params);

/* Sets one key from its text; returns 0 for an unknown key or a value out of
 * range (payload negative, receivers 0 or above BENCH_MAX_RECEIVERS). */
int bench_params_set(BenchParams* params, const char* key, const char* value);

/* Reads "key = value" lines; returns 0 when the file cannot be read or holds
 * a line it cannot use. */
int bench_params_read(BenchParams* params, const char* path);

/* For a module: reads "<the module's own path>.conf", and unless it names a
 * result file, makes it "<the module's own path>.result". The module is the
 * one this code is linked into. Returns 0 as bench_params_read does. */
int bench_params_read_module(BenchParams* params);

/* The flat-out window in messages (the explicit one, or the derived one). */
uint64_t bench_params_window(const BenchParams* params);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_BENCH_BENCH_PARAMS_H */
