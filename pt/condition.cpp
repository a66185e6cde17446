#include "pt/condition.h"

#include <errno.h>
#include <time.h>

#include "pt/fatal.h"

namespace pt {

condition::condition()
{
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0 || pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) != 0 ||
        pthread_cond_init(&handle, &attributes) != 0)
        fatal(FATAL_SEMAPHORE, "Condition failed");
    pthread_condattr_destroy(&attributes);
}

bool condition::waitUntil(mutex& held, const timespec& deadline)
{
    return pthread_cond_timedwait(&handle, &held.handle, &deadline) != ETIMEDOUT;
}

timespec condition::deadlineIn(int64_t ms)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = now.tv_nsec + (ms % 1000) * 1000000;
    now.tv_sec += static_cast<time_t>(ms / 1000 + ns / 1000000000);
    now.tv_nsec = static_cast<long>(ns % 1000000000);
    return now;
}

}  // namespace pt
