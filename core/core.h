// The Core: the one central object of the service. It owns the modules, the
// event queue and its locks, the event-handler and scheduler threads, and
// starts and stops the other subsystems in a fixed order.
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
//  - `modules` changes only on the main thread: while loading inside Start
//    and in the stop passes. Those writes take modulesLock exclusively; the
//    only reader on other threads at those times, the open-request walk of
//    Dispatch, takes it shared. The lock prefers writers, and the walk reads
//    modulesClosing first, so open requests cannot starve the close pass.
//    The Core's own threads read the list without it, since it does not
//    change while they run.
//  - The stall watchdog thread runs from before the open pass until after
//    the close pass; it only reads the call watches and the counters.
//
// Invariants:
//  - No path holds two of queueLock, requestLock and the payload holds' mutex.
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

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/call_watch.h"
#include "base/service_stats.h"
#include "base/write_sampler.h"
#include "modules/module_record.h"
#include "pt/mutex.h"
#include "pt/thread_annotations.h"
#include "routing/event_queue.h"
#include "routing/payload_holds.h"
#include "routing/request_flow.h"
#include "routing/message_api.h"
#include "supervision/host_log.h"

class EventHandlerThread;
class SchedulerThread;
class StallWatchdog;
class TiXmlDocument;

class Core {
public:
    // The most recently constructed Core, or null once it is destroyed.
    // REQUIRES: ReleaseInstance after every AcquireInstance, also a null one,
    // on the same thread, and no AcquireInstance in between (the two hold a
    // lock that a waiting destructor keeps new callers out of).
    static Core* AcquireInstance();
    static void ReleaseInstance();

    // No I/O, no threads. `executablePath` is the absolute path of the
    // running executable, as bytes; its directory holds the plug-in folders.
    explicit Core(const std::string& executablePath);
    // Waits for module callbacks already inside the Core to leave, then
    // releases the members only: Stop must have run. Blocks on instanceLock.
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Creates the trigger, loads and opens the modules, starts the threads.
    bool Start();
    // Stops the threads, closes and unloads the modules, drops what is queued.
    void Stop();

    // Loading (modules/loader.cpp). True when any module was loaded.
    bool LoadModules();

    // Shutdown (modules/shutdown.cpp). Both return true.
    bool CloseModules();
    bool UnloadModules();

    // Dispatcher (routing/dispatcher.cpp). Always returns 0; the outcome is
    // in result->result. May block on the calling worker's flow slot.
    int32_t Dispatch(const Message* message, MessageResult* result);
    // Sends a text notice (flags 0x40, event 0x1000002), without its NUL.
    void SendText(const std::string& text);
    // Sends `document` printed compactly, with event 0x1000010.
    void SendDocument(const TiXmlDocument& document, uint64_t flags);

    // Event handler (routing/event_handler.cpp).
    bool StartEventHandler();
    bool StopEventHandler();
    // Delivers every queued message; run only by the event-handler thread.
    void DrainEvents();
    // Delivers one message to every module, then drops the Core's hold.
    void DeliverMessage(const Message& message);
    // True when the queue is empty: the next append posts the trigger.
    bool HandlerMayWait();

    // Workers (routing/plugin_thread.cpp). Both store the thread in the record
    // before starting it and return true; false (nothing started) when the
    // module does not export the entry point.
    bool StartReadWorker(ModuleRecord& record);
    bool StartIoctlWorker(ModuleRecord& record);

    // Status documents (supervision/status_documents.cpp).
    bool PublishModuleStatus();
    bool ReadThrottleSetting();
    void WriteCoreSettings(bool enabled);
    void SendMemoryStatus(int64_t time);

    // Scheduler (supervision/scheduler.cpp).
    bool StartScheduler();
    bool StopScheduler();
    void UpdateThrottling(bool low, int64_t now);

    // Stall watchdog (supervision/stall_watchdog.h). Both return true.
    bool StartWatchdog();
    bool StopWatchdog();

    // See Thread safety: written under modulesLock, read without it by the
    // Core's own threads, so not annotated as guarded.
    std::vector<ModuleRecord> modules;
    std::vector<std::string> notLoadedFiles;  // main thread only; kept across Stop
    EventHandlerThread* eventHandlerThread;   // owning; main thread only
    SchedulerThread* schedulerThread;         // owning; main thread only
    // The cancelled requests and the request workers' flow slots
    // (requestLock, cancelledRequests, flowSlots).
    RequestFlow requestFlow;
    std::string executablePath;          // absolute, as bytes; fixed after construction
    std::atomic<bool> throttling;        // written by the scheduler thread, read by Dispatch
    int64_t throttleSince;               // scheduler thread only

    ServiceStats stats;                  // counters; see its header for who writes which
    // The messages waiting for delivery, its lock and the handler's trigger
    // (queueLock, eventQueue, eventTrigger). Open from Start until Stop's end.
    EventQueue eventQueue{stats};
    // The payloads' copies and holds; frees each at its last hold's drop.
    PayloadHolds payloadHolds{requestFlow, stats};
    CallWatch deliveryWatch;             // the event-handler thread's module calls
    CallWatch passWatch;                 // the main thread's Open and Close calls
    WriteSampler writeSampler;           // event-handler thread only: which Write it times
    StallWatchdog* watchdogThread;       // owning; main thread only
    HostLog hostLog;                     // modules' lines; open from Start until Stop's end

    pt::sharedMutex modulesLock;         // see Thread safety; prefers writers
    std::atomic<bool> modulesClosing;    // written under modulesLock: the stop passes have
                                         // begun, open requests start no more workers

    // Ends flow control for the rest of the stop: opens every gate and lets
    // later sends skip the wait. Called once the last delivery pass is over.
    void ReleaseFlowSlots();

    // How long UnloadModules waits, after a module's Unload, for its workers
    // to return; a module whose workers are still live then keeps its
    // library loaded.
    static constexpr int kWorkerExitTimeoutMs = 10000;
    int workerExitTimeoutMs = kWorkerExitTimeoutMs;  // main thread only
    // How long, in all, the unload pass lets Unload calls wait for closed
    // modules' workers to return first.
    static constexpr int kWorkerGraceMs = 500;
    int workerGraceMs = kWorkerGraceMs;              // main thread only

    // The last delivery pass takes as many replies as it had messages, and
    // at least this many: enough for any chain of replies that ends.
    static constexpr uint64_t kLastPassRepliesMin = 1024;


private:
    static std::atomic<Core*> instance;   // see AcquireInstance; cleared under instanceLock
    // Held shared by callers between Acquire and Release, exclusively by a
    // destructor; prefers writers. A plain POSIX lock, statically
    // initialised: a module's late callback may come during the process's
    // exit, after static destructors have run.
    static pthread_rwlock_t instanceLock;
};
