#include "pt/mutex.h"

#include "pt/spin_pause.h"

namespace pt {

namespace {
// A few microseconds of retries at most: longer than a brief holder needs,
// far shorter than a sleep and a wake.
constexpr int kBriefTries = 100;
}  // namespace

void mutex::lockBrief()
{
    for (int i = 0; i < kBriefTries; ++i) {
        if (pthread_mutex_trylock(&handle) == 0)
            return;
        spinPause();
    }
    pthread_mutex_lock(&handle);
}

sharedMutex::sharedMutex()
{
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&handle, &attributes);
    pthread_rwlockattr_destroy(&attributes);
}

}  // namespace pt
