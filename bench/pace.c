/* The shared delivery counters, one cache line each. */
#include "pace.h"

#include <stdatomic.h>

#include "bench_params.h"

typedef struct PaceSlot {
    _Atomic uint64_t taken;
    char padding[64 - sizeof(uint64_t)];
} PaceSlot;

static PaceSlot slots[BENCH_MAX_RECEIVERS];

void bench_pace_count(uint32_t slot)
{
    /* One writer per slot: a plain increment published with release order,
     * so that whoever sees the count also sees what the receiver recorded. */
    uint64_t taken = atomic_load_explicit(&slots[slot].taken, memory_order_relaxed);
    atomic_store_explicit(&slots[slot].taken, taken + 1, memory_order_release);
}

uint64_t bench_pace_slowest(uint32_t receivers)
{
    uint64_t slowest = UINT64_MAX;
    for (uint32_t slot = 0; slot < receivers; ++slot) {
        uint64_t taken = atomic_load_explicit(&slots[slot].taken, memory_order_acquire);
        if (taken < slowest)
            slowest = taken;
    }
    return slowest;
}
