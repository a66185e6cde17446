// The dispatcher: where every message sent into the Core arrives, from the
// modules' callback (Core::Dispatch) and from the Core itself (its text
// notices and documents). A message is queued on the event queue, a release
// handed to the payload holds, a cancel to the request flow, and an open
// request starts the Read workers of the modules that serve it.
//
// Thread safety: Dispatch runs on its caller's thread (module threads,
// workers, the event handler inside a module call, the main thread while
// modules load) and is re-entrant. It holds at most one of queueLock,
// requestLock and the payload holds' mutex at a time, never while a module runs.
// Its only blocking wait is a request worker's wait on its own flow-slot gate.
//
// The throttling flag is written by the scheduler thread and read here.
//
// Invariants:
//  - Outside Start..Stop (the queue not running) every message is refused with 1:
//    nothing is copied, queued, released, cancelled or started.
//  - Once the last delivery pass has begun (queueOpen false) a message is
//    still accepted with 0 but dropped at once, unless it is a reply sent
//    from inside a call of that pass and the pass's bound allows it; once
//    the stop has opened the flow slots (flowReleased) no send waits on one.
//  - An open request is refused with 1 once the close pass has begun.
//  - A queued message owns a private copy of its payload; the sender's
//    buffer is never referenced after Dispatch returns.
//  - A payload is freed by whoever drops its last hold, after the flow slot
//    waiting for it has been woken; a drop by a holder that holds nothing
//    frees nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "routing/message_api.h"

class EventQueue;
class ModuleList;
class PayloadHolds;
class RequestFlow;
class ServiceStats;
class TiXmlDocument;

class Dispatcher {
public:
    // The Core's objects; all outlive the dispatcher.
    Dispatcher(EventQueue& queue, RequestFlow& flow, PayloadHolds& holds, ModuleList& modules, ServiceStats& stats);
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // The outcome is in result->result. May block on the calling worker's
    // flow slot.
    void dispatch(const Message& message, MessageResult& result);
    // Sends a text notice (flags 0x40, event 0x1000002), without its NUL.
    void sendText(const std::string& text);
    // Sends `document` printed compactly, with event 0x1000010.
    void sendDocument(const TiXmlDocument& document, uint64_t flags);

    // Video is refused while throttling. Returns the previous state.
    bool setThrottling(bool on) { return throttlingOn.exchange(on); }
    bool throttling() const { return throttlingOn.load(); }

private:
    int32_t openRequest(const Message& request);
    int32_t queueMessage(const Message& message);
    void countRefusal(const Message& message, int32_t result);
    void sendFromCore(const std::string& payload, uint64_t flags, uint64_t event);

    EventQueue& queue;
    RequestFlow& flow;
    PayloadHolds& holds;
    ModuleList& modules;
    ServiceStats& stats;
    std::atomic<bool> throttlingOn{false};
};
