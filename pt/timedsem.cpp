#include "pt/timedsem.h"

#include <cerrno>
#include <ctime>

#include "pt/fatal.h"

namespace pt {

namespace {

constexpr long NANOS_PER_SECOND = 1000000000L;

timespec deadlineAfter(int milliseconds)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / NANOS_PER_SECOND;
    deadline.tv_nsec %= NANOS_PER_SECOND;
    return deadline;
}

}  // namespace

timedsem::timedsem(int initialCount) : count(initialCount)
{
    if (pthread_mutex_init(&lock, nullptr) != 0 || pthread_condattr_init(&clockAttributes) != 0 ||
        pthread_condattr_setclock(&clockAttributes, CLOCK_MONOTONIC) != 0 ||
        pthread_cond_init(&condition, &clockAttributes) != 0)
        fatal(FATAL_SEMAPHORE, "Timed semaphore failed");
}

timedsem::~timedsem()
{
    pthread_cond_destroy(&condition);
    pthread_condattr_destroy(&clockAttributes);
    pthread_mutex_destroy(&lock);
}

bool timedsem::wait(int milliseconds)
{
    pthread_mutex_lock(&lock);
    for (;;) {
        if (count > 0) {
            --count;
            pthread_mutex_unlock(&lock);
            return true;
        }
        if (milliseconds < 0) {
            pthread_cond_wait(&condition, &lock);
            continue;
        }
        // Recomputed on every pass: a spurious wake-up restarts the full wait.
        timespec deadline = deadlineAfter(milliseconds);
        if (pthread_cond_timedwait(&condition, &lock, &deadline) == ETIMEDOUT) {
            pthread_mutex_unlock(&lock);
            return false;
        }
    }
}

void timedsem::post()
{
    pthread_mutex_lock(&lock);
    ++count;
    pthread_cond_signal(&condition);
    pthread_mutex_unlock(&lock);
}

}  // namespace pt
