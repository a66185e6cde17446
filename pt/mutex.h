// The service's locks, as capabilities the compiler can check: a plain
// non-recursive mutex, and a reader-writer lock that prefers writers.
//
// Thread safety: lock and unlock on the same thread; neither is recursive.
// Code takes them through the scoped locks of mutex_lock.h, so that an
// exception never leaves one held and no catch has to unlock.
#pragma once

#include <pthread.h>

#include "pt/thread_annotations.h"

namespace pt {

class CAPABILITY("mutex") mutex {
public:
    mutex() { pthread_mutex_init(&handle, nullptr); }
    ~mutex() { pthread_mutex_destroy(&handle); }
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() ACQUIRE() { pthread_mutex_lock(&handle); }
    void unlock() RELEASE() { pthread_mutex_unlock(&handle); }

private:
    friend class condition;  // waits on the handle
    pthread_mutex_t handle;
};

// Writers first: a stream of readers cannot keep a writer waiting.
class CAPABILITY("shared mutex") sharedMutex {
public:
    sharedMutex();
    ~sharedMutex() { pthread_rwlock_destroy(&handle); }
    sharedMutex(const sharedMutex&) = delete;
    sharedMutex& operator=(const sharedMutex&) = delete;

    void lock() ACQUIRE() { pthread_rwlock_wrlock(&handle); }
    void unlock() RELEASE() { pthread_rwlock_unlock(&handle); }
    void lockShared() ACQUIRE_SHARED() { pthread_rwlock_rdlock(&handle); }
    void unlockShared() RELEASE_SHARED() { pthread_rwlock_unlock(&handle); }

private:
    pthread_rwlock_t handle;
};

}  // namespace pt
