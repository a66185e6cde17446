// Holds a lock for the life of a scope.
//
// Code takes the service's locks through these objects, so a lock is
// released on every way out of the scope, the exceptional ones included (an
// allocation that fails inside a container operation), and the compiler sees
// which lock each scope holds.
//
// Thread safety: the object belongs to the thread that made it; the locks
// are not recursive, so the thread must not hold its lock already.
#pragma once

#include "pt/mutex.h"

namespace pt {

class SCOPED_CAPABILITY mutexLock {
public:
    explicit mutexLock(mutex& m) ACQUIRE(m) : held(m) { held.lock(); }
    ~mutexLock() RELEASE()
    {
        if (locked)
            held.unlock();
    }
    mutexLock(const mutexLock&) = delete;
    mutexLock& operator=(const mutexLock&) = delete;

    // Lets the lock go for a call that may block, and takes it back; the
    // destructor releases it only when it is held.
    void unlock() RELEASE()
    {
        held.unlock();
        locked = false;
    }
    void relock() ACQUIRE()
    {
        held.lock();
        locked = true;
    }

private:
    mutex& held;  // not owned
    bool locked = true;
};

// The lock held exclusively, as a writer.
class SCOPED_CAPABILITY writeLock {
public:
    explicit writeLock(sharedMutex& m) ACQUIRE(m) : held(m) { held.lock(); }
    ~writeLock() RELEASE() { held.unlock(); }
    writeLock(const writeLock&) = delete;
    writeLock& operator=(const writeLock&) = delete;

private:
    sharedMutex& held;
};

// The lock held shared, as a reader.
class SCOPED_CAPABILITY readLock {
public:
    explicit readLock(sharedMutex& m) ACQUIRE_SHARED(m) : held(m) { held.lockShared(); }
    ~readLock() RELEASE() { held.unlockShared(); }
    readLock(const readLock&) = delete;
    readLock& operator=(const readLock&) = delete;

private:
    sharedMutex& held;
};

}  // namespace pt
