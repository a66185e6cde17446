// Counting semaphore on a process-private POSIX unnamed semaphore.
//
// Thread safety: wait and post may be called from any number of threads.
// Failures are fatal (FATAL_SEMAPHORE).
#pragma once

#include <semaphore.h>

#include "pt/unknown.h"

namespace pt {

class semaphore : public unknown {
public:
    explicit semaphore(int initialCount);
    ~semaphore() override;
    semaphore(const semaphore&) = delete;
    semaphore& operator=(const semaphore&) = delete;

    // Takes one unit; blocks while the count is 0.
    void wait();
    // Gives one unit back.
    void post();

private:
    sem_t handle;
};

}  // namespace pt
