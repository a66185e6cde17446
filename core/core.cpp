#include "core/core.h"

#include <new>

#include "base/monotonic_clock.h"
#include "base/thread_log.h"
#include "core/callback.h"
#include "core/caller_count.h"
#include "modules/module_loader.h"
#include "routing/event_handler.h"
#include "routing/payload_pool.h"
#include "routing/plugin_thread.h"
#include "supervision/host_snapshot.h"
#include "supervision/module_metrics.h"
#include "supervision/stall_watchdog.h"
#include "supervision/status_documents.h"

namespace {

constexpr int kStopPollMs = 100;

// Waits for a signalled thread to end, polling as the stop always has.
template <typename Thread>
void AwaitEnd(Thread& thread)
{
    while (!thread.isFinished())
        pt::sleepMs(kStopPollMs);
}

}  // namespace

std::atomic<Core*> Core::instance{nullptr};

Core::Core(const std::string& executablePath_) : executablePath(executablePath_)
{
    instance.store(this);
}

Core::~Core()
{
    // A caller that finds this Core is counted before it looks, so it is
    // one of those waited for; one that comes later finds no Core.
    Core* self = this;
    instance.compare_exchange_strong(self, nullptr);
    CallerCount::waitForCallers();
}

Core* Core::AcquireInstance()
{
    CallerCount::enter();
    return instance.load();
}

void Core::ReleaseInstance()
{
    CallerCount::leave();
}

bool Core::Start()
{
    eventQueue.open();
    requestFlow.reset();
    modules.reset();
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
    modules.clear();

    // Draining and retiring the trigger under one hold of the queue's lock: a
    // late Dispatch either queued before (and is drained here) or sees no
    // trigger and is turned away, so nothing is left behind in the queue.
    const std::vector<Message> left = eventQueue.retire();
    for (const Message& message : left)
        PayloadPool::give(message.data);
    if (!left.empty())
        ThreadLog::warning("stop: %llu messages were dropped undelivered",
                           static_cast<unsigned long long>(left.size()));
    ThreadLog::reportLost();
}

bool Core::LoadModules()
{
    ModuleLoader::Hooks hooks{[this](const std::string& text) { dispatcher.sendText(text); },
                              [this](ModuleRecord& record) { StartIoctlWorker(requestFlow, record); }};
    return ModuleLoader(modules, stats, this, &ModuleCallback, hooks).loadAll(executablePath);
}

bool Core::StartWatchdog()
{
    try {
        watchdogThread.reset(new StallWatchdog(deliveryWatch, passWatch, stats));
    } catch (const std::bad_alloc&) {
        ThreadLog::error("stall watchdog not started: out of memory");
        return true;
    }
    watchdogThread->start();
    return true;
}

bool Core::PublishModuleStatus()
{
    ModulePasses::open(modules, passWatch);
    StatusDocuments::PublishModuleStatus(dispatcher, executablePath, modules);
    return true;
}

bool Core::StartEventHandler()
{
    eventHandlerThread.reset(new EventHandlerThread(eventQueue, delivery));
    eventHandlerThread->start();
    return true;
}

bool Core::StartScheduler()
{
    try {
        schedulerThread.reset(new SchedulerThread(schedulerParts()));
    } catch (const std::bad_alloc&) {
        ThreadLog::error("scheduler thread not started: out of memory");
        return true;
    }
    schedulerThread->start();
    return true;
}

bool Core::StopScheduler()
{
    if (!schedulerThread)
        return true;
    schedulerThread->signal();
    AwaitEnd(*schedulerThread);
    schedulerThread.reset();
    return true;
}

bool Core::StopEventHandler()
{
    if (!eventHandlerThread)
        return true;
    eventHandlerThread->signal();
    eventQueue.wake();
    AwaitEnd(*eventHandlerThread);
    eventHandlerThread.reset();
    return true;
}

void Core::ReleaseFlowSlots()
{
    requestFlow.releaseAll();
}

bool Core::CloseModules()
{
    ModulePasses::close(modules, passWatch);
    return true;
}

bool Core::StopWatchdog()
{
    if (watchdogThread)
        watchdogThread->signal();
    watchdogThread.reset();  // joins
    return true;
}

bool Core::UnloadModules()
{
    ModulePasses::unload(modules, workerWaits);
    return true;
}

void Core::SendText(const std::string& text)
{
    dispatcher.sendText(text);
}

void Core::SendDocument(const TiXmlDocument& document, uint64_t flags)
{
    dispatcher.sendDocument(document, flags);
}

bool Core::ReadThrottleSetting()
{
    return StatusDocuments::ReadThrottleSetting(dispatcher);
}

void Core::WriteCoreSettings(bool enabled)
{
    StatusDocuments::WriteCoreSettings(dispatcher, enabled);
}

void Core::UpdateThrottling(bool low, int64_t now)
{
    throttle.update(low, now);
}

bool Core::StartReadWorker(ModuleRecord& record)
{
    return ::StartReadWorker(requestFlow, record);
}

void Core::DeliverMessage(const Message& message)
{
    delivery.deliver(message);
}

int32_t Core::FillSnapshot(HostSnapshot* snapshot) const
{
    return FillHostSnapshot(stats, dispatcher.throttling(), snapshot);
}

int32_t Core::WriteModuleLine(const HostLogLine* line)
{
    return ::WriteModuleLine(hostLog, stats, line);
}

bool Core::Running() const
{
    return eventQueue.running();
}

SchedulerParts Core::schedulerParts()
{
    return SchedulerParts{dispatcher, throttle, modules, requestFlow};
}
