#include "core/core.h"

#include <cstdlib>

#include "routing/worker_registry.h"

Core* Core::instance = nullptr;

Core::Core(const std::string& executablePath_)
    : eventTrigger(nullptr),
      eventHandlerThread(nullptr),
      schedulerThread(nullptr),
      executablePath(executablePath_),
      throttling(false),
      throttleSince(0),
      modulesClosing(false)
{
    pthread_mutex_init(&queueLock, nullptr);
    pthread_mutex_init(&requestLock, nullptr);
    pthread_rwlock_init(&modulesLock, nullptr);
    instance = this;
    WorkerRegistry::instance().coreCreated(this);
}

Core::~Core()
{
    WorkerRegistry::instance().coreDestroyed(this);
    if (instance == this)
        instance = nullptr;
    pthread_rwlock_destroy(&modulesLock);
    pthread_mutex_destroy(&requestLock);
    pthread_mutex_destroy(&queueLock);
}

bool Core::Start()
{
    pt::trigger* trigger = new pt::trigger(true, false);
    pthread_mutex_lock(&queueLock);
    eventTrigger = trigger;
    pthread_mutex_unlock(&queueLock);
    pthread_rwlock_wrlock(&modulesLock);
    modules.clear();
    modulesClosing = false;
    pthread_rwlock_unlock(&modulesLock);
    LoadModules();
    PublishModuleStatus();
    StartEventHandler();
    StartScheduler();
    return true;
}

void Core::Stop()
{
    StopScheduler();
    StopEventHandler();
    CloseModules();
    UnloadModules();
    pthread_rwlock_wrlock(&modulesLock);
    modules.clear();
    pthread_rwlock_unlock(&modulesLock);

    // Draining and retiring the trigger under one hold of queueLock: a late
    // Dispatch either queued before (and is drained here) or sees no trigger
    // and is turned away, so nothing is left behind in the queue.
    pthread_mutex_lock(&queueLock);
    std::deque<Message> left;
    left.swap(eventQueue);
    pt::trigger* trigger = eventTrigger;
    eventTrigger = nullptr;
    pthread_mutex_unlock(&queueLock);
    for (const Message& message : left)
        std::free(message.data);
    delete trigger;
}
