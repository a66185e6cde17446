#include "routing/event_handler.h"

#include "base/thread_log.h"
#include "core/core.h"
#include "modules/module_call.h"
#include "routing/match_key.h"

namespace {
// The Core whose event-handler thread this is; null on every other thread.
thread_local const Core* servedCore = nullptr;
}

EventHandlerThread::EventHandlerThread(Core* core_) : pt::thread(false), core(core_) {}

bool OnEventHandlerThread(const Core& core)
{
    return servedCore == &core;
}

EventHandlerThread::~EventHandlerThread()
{
    waitfor();
}

void EventHandlerThread::execute()
{
    servedCore = core;
    // Every stop is followed by one complete drain, also a stop that comes
    // before the first wait: what was queued before it is still delivered.
    for (;;) {
        if (!isSignalled() && core->HandlerMayWait()) {
            ThreadLog::reportLost();
            core->eventQueue.wait();
        }
        core->DrainEvents();
        if (isSignalled())
            break;
    }
}

bool Core::StartEventHandler()
{
    eventHandlerThread = new EventHandlerThread(this);
    eventHandlerThread->start();
    return true;
}

bool Core::StopEventHandler()
{
    if (!eventHandlerThread)
        return true;
    eventHandlerThread->signal();
    eventQueue.wake();
    while (!eventHandlerThread->isFinished())
        pt::sleepMs(100);
    delete eventHandlerThread;
    eventHandlerThread = nullptr;
    return true;
}

namespace {

// Counts the messages through their delivery pass, for the service and for
// the modules that sent them, a run at a time: counting each message would
// cost more than the rest of a pass that delivers to one module. Runs end at
// a change of sender and every kRun messages, so the counts lag by a few
// hundred messages at most.
class PassTally {
public:
    explicit PassTally(Core& core) : core(core) {}
    ~PassTally() { flush(); }

    void add(const Message& message)
    {
        if (message.source_id != source || messages == kRun)
            flush();
        source = message.source_id;
        ++messages;
        bytes += message.data ? static_cast<uint32_t>(message.length) : 0;
    }

private:
    static constexpr uint64_t kRun = 256;

    void flush()
    {
        if (!messages)
            return;
        core.stats.countDelivered(messages, bytes);
        if (ModuleStats* sender = core.stats.find(source))
            Bump(sender->sentPassed, messages);
        messages = 0;
        bytes = 0;
    }

    Core& core;
    uint64_t source = 0;
    uint64_t messages = 0;
    uint64_t bytes = 0;
};

// Payload notice through IOCTL with sub-code `code`: the payload only.
bool NotifyPayload(Core& core, const ModuleRecord& record, const Message& message, uint32_t code)
{
    if (!record.IOCTL)
        return false;
    if (message.data)
        core.payloadHolds.beginCall(message.data, record.info.module_id);
    const bool keeps = ModuleCall::NotifyPayload(record, core.deliveryWatch, message, code);
    return message.data && core.payloadHolds.endCall(*record.stats, keeps);
}

bool WriteMessage(Core& core, const ModuleRecord& record, const Message& message)
{
    if (!record.Write)
        return false;
    if (message.data)
        core.payloadHolds.beginCall(message.data, record.info.module_id);
    const bool keeps = ModuleCall::Write(record, core.deliveryWatch, core.writeSampler, message);
    return message.data && core.payloadHolds.endCall(*record.stats, keeps);
}

// One module's part of a message's delivery pass; true when the module's
// hold on the payload was recorded. The list does not change while this
// thread runs, so the record stays valid across the module's call.
bool Deliver(Core& core, const ModuleRecord& record, const Message& message, uint64_t key)
{
    const bool matched = MatchKey::selectedMaskMatches(record.info, message.flags, key);
    if ((message.flags & ORV_FLAG_NOTIFY_OTHERS) && record.info.module_id != message.source_id)
        return NotifyPayload(core, record, message, ORV_IOCTL_NOTIFY_OTHERS);
    if (message.flags & ORV_FLAG_NOTIFY_ALL)
        return NotifyPayload(core, record, message, ORV_IOCTL_NOTIFY_ALL);
    if (matched && record.info.accepts_write)
        return WriteMessage(core, record, message);
    return false;
}

}  // namespace

bool Core::HandlerMayWait()
{
    return eventQueue.mayWait();
}

void Core::DrainEvents()
{
    // Everything queued is taken under one hold of queueLock and delivered in
    // order; what modules send meanwhile forms the next batch.
    std::vector<Message> batch;
    for (;;) {
        eventQueue.takeAll(batch);
        if (batch.empty())
            return;
        stats.noteDepth();
        {
            PassTally passed(*this);
            for (const Message& message : batch) {
                DeliverMessage(message);
                passed.add(message);
            }
        }
        batch.clear();
    }
}

void Core::DeliverMessage(const Message& message)
{
    const uint64_t key = MatchKey::delivery(message.event);
    bool recorded = false;
    for (size_t i = 0; i < modules.size(); ++i) {
        try {
            if (modules[i].library && Deliver(*this, modules[i], message, key))
                recorded = true;
        } catch (const std::bad_alloc&) {
            // A hold that could not be recorded cannot be released either:
            // the payload stays allocated rather than be freed under a
            // module that keeps it.
            ThreadLog::error("plugin %s: out of memory recording its hold on a payload, which stays allocated",
                             modules[i].file_name.c_str());
            return;
        }
    }
    payloadHolds.endPass(message, recorded);
}
