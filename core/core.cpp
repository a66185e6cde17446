#include "core/core.h"

#include <cstdlib>
#include <new>

#include "base/monotonic_clock.h"
#include "base/thread_log.h"
#include "pt/mutex_lock.h"
#include "routing/worker_registry.h"
#include "supervision/module_metrics.h"
#include "supervision/stall_watchdog.h"

std::atomic<Core*> Core::instance{nullptr};
pthread_rwlock_t Core::instanceLock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

Core::Core(const std::string& executablePath_)
    : eventHandlerThread(nullptr),
      schedulerThread(nullptr),
      executablePath(executablePath_),
      throttling(false),
      throttleSince(0),
      watchdogThread(nullptr),
      modulesClosing(false)
{
    instance.store(this);
    WorkerRegistry::instance().coreCreated(this);
}

Core::~Core()
{
    WorkerRegistry::instance().coreDestroyed(this);
    // Taking the lock exclusively waits for the calls already inside this Core
    // and for no others: the lock prefers writers, so callers that come later
    // wait until the Core is unpublished and then find none.
    pthread_rwlock_wrlock(&instanceLock);
    Core* self = this;
    instance.compare_exchange_strong(self, nullptr);
    pthread_rwlock_unlock(&instanceLock);
}

Core* Core::AcquireInstance()
{
    pthread_rwlock_rdlock(&instanceLock);
    return instance.load();
}

void Core::ReleaseInstance()
{
    pthread_rwlock_unlock(&instanceLock);
}

bool Core::Start()
{
    eventQueue.open();
    requestFlow.reset();
    {
        pt::writeLock lock(modulesLock);
        modules.clear();
        modulesClosing = false;
    }
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
    // The last delivery pass delivers what is queued now and the replies it
    // causes, up to a bound, however fast modules keep sending.
    eventQueue.closeForLastPass(kLastPassRepliesMin);
    StopEventHandler();
    ReleaseFlowSlots();
    CloseModules();
    StopWatchdog();
    UnloadModules();
    hostLog.close();
    ModuleMetrics::shared().clear();
    {
        pt::writeLock lock(modulesLock);
        modules.clear();
    }

    // Draining and retiring the trigger under one hold of queueLock: a late
    // Dispatch either queued before (and is drained here) or sees no trigger
    // and is turned away, so nothing is left behind in the queue.
    const std::vector<Message> left = eventQueue.retire();
    for (const Message& message : left)
        std::free(message.data);
    if (!left.empty())
        ThreadLog::warning("stop: %llu messages were dropped undelivered",
                           static_cast<unsigned long long>(left.size()));
    ThreadLog::reportLost();
}

bool Core::StartWatchdog()
{
    try {
        watchdogThread = new StallWatchdog(deliveryWatch, passWatch, stats);
    } catch (const std::bad_alloc&) {
        ThreadLog::error("stall watchdog not started: out of memory");
        return true;
    }
    watchdogThread->start();
    return true;
}

bool Core::StopWatchdog()
{
    if (!watchdogThread)
        return true;
    watchdogThread->signal();
    delete watchdogThread;  // joins
    watchdogThread = nullptr;
    return true;
}
