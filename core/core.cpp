#include "core/core.h"

#include <cstdlib>

#include "pt/thread.h"
#include "routing/worker_registry.h"
#include "supervision/module_metrics.h"
#include "supervision/monotonic_clock.h"
#include "supervision/stall_watchdog.h"

std::atomic<Core*> Core::instance{nullptr};
std::atomic<int> Core::callbacksInside{0};

namespace {

// Writers first: a stream of open requests, each holding the list shared
// while it starts workers, must not keep the close pass waiting.
void InitModulesLock(pthread_rwlock_t* lock)
{
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(lock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
}

}  // namespace

Core::Core(const std::string& executablePath_)
    : eventTrigger(nullptr),
      running(false),
      queueOpen(false),
      handlerWaiting(false),
      eventHandlerThread(nullptr),
      schedulerThread(nullptr),
      flowReleased(false),
      executablePath(executablePath_),
      throttling(false),
      throttleSince(0),
      watchdogThread(nullptr),
      modulesClosing(false)
{
    pthread_mutex_init(&queueLock, nullptr);
    pthread_mutex_init(&requestLock, nullptr);
    InitModulesLock(&modulesLock);
    instance.store(this);
    WorkerRegistry::instance().coreCreated(this);
}

Core::~Core()
{
    WorkerRegistry::instance().coreDestroyed(this);
    Core* self = this;
    instance.compare_exchange_strong(self, nullptr);
    // A callback that read this Core before it was unpublished may still be
    // inside Dispatch; after Stop every such call returns promptly.
    while (callbacksInside.load() != 0)
        pt::sleepMs(1);
    pthread_rwlock_destroy(&modulesLock);
    pthread_mutex_destroy(&requestLock);
    pthread_mutex_destroy(&queueLock);
}

Core* Core::AcquireInstance()
{
    // Counted before the read: the destructor unpublishes first and then
    // waits for the count, so it either sees this call or this call sees null.
    callbacksInside.fetch_add(1);
    return instance.load();
}

void Core::ReleaseInstance()
{
    callbacksInside.fetch_sub(1);
}

bool Core::Start()
{
    pt::trigger* trigger = new pt::trigger(true, false);
    pthread_mutex_lock(&queueLock);
    eventTrigger = trigger;
    running = true;
    queueOpen = true;
    handlerWaiting = false;
    pthread_mutex_unlock(&queueLock);
    pthread_mutex_lock(&requestLock);
    flowReleased = false;
    pthread_mutex_unlock(&requestLock);
    pthread_rwlock_wrlock(&modulesLock);
    modules.clear();
    modulesClosing = false;
    pthread_rwlock_unlock(&modulesLock);
    stats.startedNs = MonotonicNowNs();
    hostLog.open();
    LoadModules();
    StartWatchdog();
    PublishModuleStatus();
    StartEventHandler();
    StartScheduler();
    return true;
}

void Core::Stop()
{
    StopScheduler();
    // The last delivery pass delivers what is queued now and no more, however
    // fast modules keep sending.
    pthread_mutex_lock(&queueLock);
    queueOpen = false;
    pthread_mutex_unlock(&queueLock);
    StopEventHandler();
    ReleaseFlowSlots();
    CloseModules();
    StopWatchdog();
    UnloadModules();
    hostLog.close();
    ModuleMetrics::shared().clear();
    pthread_rwlock_wrlock(&modulesLock);
    modules.clear();
    pthread_rwlock_unlock(&modulesLock);

    // Draining and retiring the trigger under one hold of queueLock: a late
    // Dispatch either queued before (and is drained here) or sees no trigger
    // and is turned away, so nothing is left behind in the queue.
    pthread_mutex_lock(&queueLock);
    std::vector<Message> left;
    left.swap(eventQueue);
    pt::trigger* trigger = eventTrigger;
    eventTrigger = nullptr;
    running = false;
    pthread_mutex_unlock(&queueLock);
    for (const Message& message : left)
        std::free(message.data);
    delete trigger;
}
