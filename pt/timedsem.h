// Counting semaphore with a timed wait on the monotonic clock, so that
// setting the wall clock never shortens or lengthens a wait.
//
// Thread safety: wait and post may be called from any number of threads.
// Invariant: count >= 0, guarded by lock. Failures to create are fatal.
#pragma once

#include <pthread.h>

#include "pt/unknown.h"

namespace pt {

class timedsem : public unknown {
public:
    explicit timedsem(int initialCount);
    ~timedsem() override;
    timedsem(const timedsem&) = delete;
    timedsem& operator=(const timedsem&) = delete;

    // Takes one unit: true when taken, false once `milliseconds` have passed
    // without one. A negative time waits without limit.
    bool wait(int milliseconds);
    // Gives one unit back and wakes one waiter.
    void post();

private:
    int count;                   // guarded by lock
    pthread_mutex_t lock;
    pthread_condattr_t clockAttributes;  // CLOCK_MONOTONIC, kept for the object's life
    pthread_cond_t condition;    // signalled on post
};

}  // namespace pt
