// A condition variable waited on with a pt::mutex held, so that the code
// around a wait still shows the compiler which lock it holds. Timed waits
// run on the monotonic clock: a change of the wall clock neither shortens
// nor stretches them.
//
// Thread safety: any thread; wait with the mutex held, notify with or
// without it.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "pt/mutex.h"
#include "pt/thread_annotations.h"

namespace pt {

class condition {
public:
    condition();
    ~condition() { pthread_cond_destroy(&handle); }
    condition(const condition&) = delete;
    condition& operator=(const condition&) = delete;

    // Waits for a notification, which may also come spuriously: callers
    // wait in a loop over what they wait for.
    void wait(mutex& held) REQUIRES(held) { pthread_cond_wait(&handle, &held.handle); }
    // The same, until `deadline` (deadlineIn); false once it has passed.
    bool waitUntil(mutex& held, const timespec& deadline) REQUIRES(held);
    void notifyAll() { pthread_cond_broadcast(&handle); }

    // The monotonic time `ms` milliseconds from now.
    static timespec deadlineIn(int64_t ms);

private:
    pthread_cond_t handle;
};

}  // namespace pt
