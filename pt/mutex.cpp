#include "pt/mutex.h"

namespace pt {

sharedMutex::sharedMutex()
{
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&handle, &attributes);
    pthread_rwlockattr_destroy(&attributes);
}

}  // namespace pt
