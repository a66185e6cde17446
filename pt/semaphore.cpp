#include "pt/semaphore.h"

#include <cerrno>

#include "pt/fatal.h"

namespace pt {

semaphore::semaphore(int initialCount)
{
    if (sem_init(&handle, 0, static_cast<unsigned>(initialCount)) != 0)
        fatal(FATAL_SEMAPHORE, "Semaphore failed");
}

semaphore::~semaphore()
{
    sem_destroy(&handle);
}

void semaphore::wait()
{
    while (sem_wait(&handle) != 0) {
        if (errno != EINTR)
            fatal(FATAL_SEMAPHORE, "Semaphore failed");
    }
}

void semaphore::post()
{
    if (sem_post(&handle) != 0)
        fatal(FATAL_SEMAPHORE, "Semaphore failed");
}

}  // namespace pt
