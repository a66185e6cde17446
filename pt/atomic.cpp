#include "pt/atomic.h"

#include <pthread.h>
#include <cstdint>

namespace pt {

namespace {

#define PT_M PTHREAD_MUTEX_INITIALIZER
// Statically initialised, so the table works before any constructor has run.
pthread_mutex_t lockTable[LOCK_TABLE_SIZE] = {
    PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M,
    PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M,
    PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M, PT_M,
};
#undef PT_M

pthread_mutex_t* lockFor(const void* location)
{
    return &lockTable[reinterpret_cast<std::uintptr_t>(location) % LOCK_TABLE_SIZE];
}

}  // namespace

int atomicExchange(int* location, int value)
{
    pthread_mutex_t* lock = lockFor(location);
    pthread_mutex_lock(lock);
    // The atomic accesses inside the lock let lock-free readers (atomicRead)
    // observe the flag without a data race.
    int old = __atomic_load_n(location, __ATOMIC_RELAXED);
    __atomic_store_n(location, value, __ATOMIC_RELEASE);
    pthread_mutex_unlock(lock);
    return old;
}

}  // namespace pt
