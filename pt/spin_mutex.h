// A lock whose holder does not wait on leaving it: for holds of a few dozen
// instructions on a path where every cycle counts.
//
// Unlocking a mutex is a locked instruction, which waits until every store
// made under the lock has reached the cache: when those stores went to
// lines another core read last (a message handed to another thread), the
// holder stalls there for the lines to come back. Unlocking this one is a
// plain store, so those stores drain while the holder goes on. The price: a
// thread that finds it held spins, then gives up its core in turns, then
// naps, rather than sleeping until it is woken; so it is only for short
// holds, and a holder that loses its core keeps the others waiting in
// turns and naps until it runs again.
//
// Thread safety: any thread; not recursive; lock and unlock on one thread.
#pragma once

#include <atomic>

#include "pt/thread_annotations.h"

namespace pt {

class CAPABILITY("mutex") spinMutex {
public:
    spinMutex() = default;
    spinMutex(const spinMutex&) = delete;
    spinMutex& operator=(const spinMutex&) = delete;

    void lock() ACQUIRE()
    {
        while (held.exchange(true, std::memory_order_acquire))
            waitUntilFree();
    }
    void unlock() RELEASE() { held.store(false, std::memory_order_release); }

private:
    // Waits until it looks free, reading only (no stores while another
    // thread holds it): spins, then yields, then naps.
    void waitUntilFree() const;

    std::atomic<bool> held{false};
};

// Holds a spinMutex for the life of a scope.
class SCOPED_CAPABILITY spinLock {
public:
    explicit spinLock(spinMutex& m) ACQUIRE(m) : held(m) { held.lock(); }
    ~spinLock() RELEASE() { held.unlock(); }
    spinLock(const spinLock&) = delete;
    spinLock& operator=(const spinLock&) = delete;

private:
    spinMutex& held;  // not owned
};

}  // namespace pt
