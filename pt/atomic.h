// Atomic exchange of an int through a process-wide table of mutexes.
//
// Thread safety: any thread may call atomicExchange on any location. Every
// change of a thread's flags goes through it; readers of those flags use
// atomicRead so that the accesses pair up without a data race.
#pragma once

namespace pt {

// Number of mutexes in the lock table; a location uses entry (address mod 29).
constexpr unsigned LOCK_TABLE_SIZE = 29;

// Stores `value` at `location` and returns the value it held before.
int atomicExchange(int* location, int value);

// Reads `location` without taking its lock-table entry.
inline int atomicRead(const int* location)
{
    return __atomic_load_n(location, __ATOMIC_ACQUIRE);
}

}  // namespace pt
