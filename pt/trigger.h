// Event object: a set/not-set state that waiters block on.
//
// Auto-reset: a successful wait clears the state, and post wakes one waiter;
// several posts before one wait count as one. Manual: the state stays set and
// post wakes every waiter.
//
// Thread safety: wait and post may be called from any number of threads.
// Failures to create are fatal.
#pragma once

#include <pthread.h>

namespace pt {

class trigger {
public:
    trigger(bool autoreset, bool initialState);
    ~trigger();
    trigger(const trigger&) = delete;
    trigger& operator=(const trigger&) = delete;

    // Returns once the state is set (and clears it when auto-reset).
    void wait();
    // Sets the state and wakes waiters.
    void post();

private:
    pthread_mutex_t lock;
    pthread_cond_t condition;   // waited on by wait
    int state;                  // 1 = set, 0 = not set; guarded by lock
    bool autoreset;
};

}  // namespace pt
