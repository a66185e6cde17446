#include "pt/mutex.h"

namespace pt {

mutex::mutex(Hold hold)
{
    if (hold == Plain) {
        pthread_mutex_init(&handle, nullptr);
        return;
    }
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&handle, &attributes);
    pthread_mutexattr_destroy(&attributes);
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
