#include "pt/trigger.h"

#include "pt/fatal.h"

namespace pt {

trigger::trigger(bool autoreset_, bool initialState) : state(initialState ? 1 : 0), autoreset(autoreset_)
{
    if (pthread_mutex_init(&lock, nullptr) != 0 || pthread_cond_init(&condition, nullptr) != 0)
        fatal(FATAL_SEMAPHORE, "Trigger failed");
}

trigger::~trigger()
{
    pthread_cond_destroy(&condition);
    pthread_mutex_destroy(&lock);
}

void trigger::wait()
{
    pthread_mutex_lock(&lock);
    while (state == 0)
        pthread_cond_wait(&condition, &lock);
    if (autoreset)
        state = 0;
    pthread_mutex_unlock(&lock);
}

void trigger::post()
{
    pthread_mutex_lock(&lock);
    state = 1;
    if (autoreset)
        pthread_cond_signal(&condition);
    else
        pthread_cond_broadcast(&condition);
    pthread_mutex_unlock(&lock);
}

}  // namespace pt
