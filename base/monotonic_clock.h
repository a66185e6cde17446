// The monotonic clock in nanoseconds: what the counters and the stall
// watchdog measure time with. Never the wall clock, which the scheduler
// watches for jumps.
#pragma once

#include <time.h>

#include <cstdint>

inline int64_t MonotonicNowNs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
