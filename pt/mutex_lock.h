// Holds a POSIX mutex for the life of a scope.
//
// Code that may throw while it holds a lock (an allocation that fails inside
// a container operation) takes the lock through this object, so the lock is
// released on every way out of the scope, the exceptional ones included.
//
// Thread safety: the object belongs to the thread that made it; the mutex is
// a plain non-recursive one, so the thread must not hold it already.
#pragma once

#include <pthread.h>

namespace pt {

class mutexLock {
public:
    explicit mutexLock(pthread_mutex_t& mutex) : mutex(mutex) { pthread_mutex_lock(&mutex); }
    ~mutexLock() { pthread_mutex_unlock(&mutex); }
    mutexLock(const mutexLock&) = delete;
    mutexLock& operator=(const mutexLock&) = delete;

private:
    pthread_mutex_t& mutex;  // held from construction to destruction; not owned
};

}  // namespace pt
