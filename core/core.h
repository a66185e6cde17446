// The Core: the one central object of the service. It owns the objects that
// hold the service's state (the module list, the event queue, the request
// flow, the payload holds, the counters, the host log), the dispatcher and
// the delivery over them, and the event-handler, scheduler and watchdog
// threads; its Start and Stop run their steps in a fixed order. The work is
// done by those objects: the Core's own methods are its steps and one-line
// forwarders to them.
//
// Thread safety:
//  - The constructor, Start, Stop and the destructor run on the main thread.
//  - Dispatch, SendText and SendDocument may be called from any thread, also
//    from inside a module's entry point; they never hold a lock while a
//    module runs.
//  - The module callback reaches the Core only between AcquireInstance and
//    ReleaseInstance; the destructor waits for the calls already inside to
//    leave, so a late callback never touches a destroyed Core, and callers
//    that come later cannot keep it waiting.
//  - The module list changes only on the main thread: while loading inside
//    Start and in the stop passes (modules/module_list.h says how the
//    open-request walk of Dispatch reads it meanwhile).
//  - The stall watchdog thread runs from before the open pass until after
//    the close pass; it only reads the call watches and the counters.
//
// Invariants:
//  - No path holds two of the event queue's, the request flow's and the
//    payload holds' locks.
//  - The event queue runs exactly between Start and Stop, so a late
//    Dispatch never posts a deleted trigger. It is open until the stop
//    reaches the event-handler thread; the last delivery pass delivers what
//    was queued then and the replies its own calls send, in order, up to a
//    bound. Any other message is refused then, so the pass is bounded and
//    no message is accepted that would not be delivered.
//  - Once ReleaseFlowSlots has run no send waits on a flow slot, so nothing
//    that Close has to make return can be blocked inside the callback.
//  - A queued message owns its payload; a delivered payload is freed by the
//    last holder that drops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/call_watch.h"
#include "base/service_stats.h"
#include "modules/module_list.h"
#include "modules/module_passes.h"
#include "routing/delivery.h"
#include "routing/dispatcher.h"
#include "routing/event_queue.h"
#include "routing/message_api.h"
#include "routing/payload_holds.h"
#include "routing/request_flow.h"
#include "supervision/host_api.h"
#include "supervision/host_log.h"
#include "supervision/scheduler.h"
#include "supervision/throttle.h"

class EventHandlerThread;
class StallWatchdog;
class TiXmlDocument;

class Core {
public:
    // The most recently constructed Core, or null once it is destroyed.
    // REQUIRES: ReleaseInstance after every AcquireInstance, also a null one,
    // on the same thread, and no AcquireInstance in between (the thread's
    // one record says which callers it counts among).
    static Core* AcquireInstance();
    static void ReleaseInstance();

    // No I/O, no threads. `executablePath` is the absolute path of the
    // running executable, as bytes; its directory holds the plug-in folders.
    explicit Core(const std::string& executablePath);
    // Waits for module callbacks already inside the Core to leave, then
    // releases the members only: Stop must have run.
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Opens the queue, loads and opens the modules, starts the threads.
    bool Start();
    // Stops the threads, closes and unloads the modules, drops what is queued.
    void Stop();

    // The steps of Start and Stop, in their order (tests take them one by
    // one). Each returns true.
    bool LoadModules();          // true when any module was loaded
    bool StartWatchdog();
    bool PublishModuleStatus();  // the open pass, then "plugins.xml"
    bool StartEventHandler();
    bool StartScheduler();
    bool StopScheduler();
    bool StopEventHandler();
    // Ends flow control for the rest of the stop: opens every gate and lets
    // later sends skip the wait. Called once the last delivery pass is over.
    void ReleaseFlowSlots();
    bool CloseModules();
    bool StopWatchdog();
    bool UnloadModules();

    // Always returns 0; the outcome is in result->result. May block on the
    // calling worker's flow slot. Inline: every send of every module comes
    // through here.
    int32_t Dispatch(const Message* message, MessageResult* result)
    {
        dispatcher.dispatch(*message, *result);
        return 0;
    }
    // Sends a text notice (flags 0x40, event 0x1000002), without its NUL.
    void SendText(const std::string& text);
    // Sends `document` printed compactly, with event 0x1000010.
    void SendDocument(const TiXmlDocument& document, uint64_t flags);

    // What the scheduler thread does, also for tests on their own thread.
    bool ReadThrottleSetting();
    void WriteCoreSettings(bool enabled);
    void UpdateThrottling(bool low, int64_t now);
    bool StartReadWorker(ModuleRecord& record);
    // What the event-handler thread does for one message.
    void DeliverMessage(const Message& message);

    // The host interface's calls (app/host_interface.cpp).
    int32_t FillSnapshot(HostSnapshot* snapshot) const;
    int32_t WriteModuleLine(const HostLogLine* line);
    // Between Start and Stop: the queue takes messages.
    bool Running() const;

    // The last delivery pass takes as many replies as it had messages, and
    // at least this many: enough for any chain of replies that ends.
    static constexpr uint64_t kLastPassRepliesMin = 1024;

    // For tests.
    std::vector<ModuleRecord>& TEST_modules() { return modules.records(); }
    const std::vector<ModuleRecord>& TEST_modules() const { return modules.records(); }
    const std::string& TEST_executablePath() const { return executablePath; }
    ModuleList& TEST_moduleList() { return modules; }
    EventQueue& TEST_eventQueue() { return eventQueue; }
    Dispatcher& TEST_dispatcher() { return dispatcher; }
    Delivery& TEST_delivery() { return delivery; }
    RequestFlow& TEST_requestFlow() { return requestFlow; }
    PayloadHolds& TEST_payloadHolds() { return payloadHolds; }
    CallWatch& TEST_deliveryWatch() { return deliveryWatch; }
    ModulePasses::WorkerWaits& TEST_workerWaits() { return workerWaits; }
    SchedulerParts TEST_schedulerParts() { return schedulerParts(); }
    bool TEST_throttling() const { return dispatcher.throttling(); }
    int64_t TEST_throttleSince() const { return throttle.since(); }
    bool TEST_schedulerRunning() const { return schedulerThread != nullptr; }
    bool TEST_eventHandlerRunning() const { return eventHandlerThread != nullptr; }

private:
    SchedulerParts schedulerParts();

    // See AcquireInstance; the callers between Acquire and Release are
    // counted by CallerCount (core/caller_count.h). Constant-initialised: a
    // module's late callback may come during the process's exit, after
    // static destructors have run.
    static std::atomic<Core*> instance;

    const std::string executablePath;  // absolute, as bytes
    ServiceStats stats;                // counters; see its header for who writes which
    // The cancelled requests and the request workers' flow slots.
    RequestFlow requestFlow;
    // The messages waiting for delivery, its lock and the handler's trigger.
    // Open from Start until Stop's end.
    EventQueue eventQueue{stats};
    // The payloads' copies and holds; frees each at its last hold's drop.
    PayloadHolds payloadHolds{requestFlow, stats};
    ModuleList modules;
    Dispatcher dispatcher{eventQueue, requestFlow, payloadHolds, modules, stats};
    CallWatch deliveryWatch;  // the event-handler thread's module calls
    CallWatch passWatch;      // the main thread's Open and Close calls
    Delivery delivery{eventQueue, modules, payloadHolds, stats, deliveryWatch};
    Throttle throttle{dispatcher, stats};
    HostLog hostLog;          // modules' lines; open from Start until Stop's end
    ModulePasses::WorkerWaits workerWaits;  // main thread only

    // The threads, main thread only; each object joins its thread.
    std::unique_ptr<EventHandlerThread> eventHandlerThread;
    std::unique_ptr<SchedulerThread> schedulerThread;
    std::unique_ptr<StallWatchdog> watchdogThread;
};
