#include "routing/delivery.h"

#include <new>
#include <vector>

#include "base/call_watch.h"
#include "base/service_stats.h"
#include "base/thread_log.h"
#include "modules/module_call.h"
#include "modules/module_list.h"
#include "routing/event_queue.h"
#include "routing/match_key.h"
#include "routing/payload_holds.h"

namespace {

// Counts the messages through their delivery pass, for the service and for
// the modules that sent them, a run at a time: counting each message would
// cost more than the rest of a pass that delivers to one module. Runs end at
// a change of sender and every kRun messages, so the counts lag by a few
// hundred messages at most.
class PassTally {
public:
    explicit PassTally(ServiceStats& stats) : stats(stats) {}
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
        stats.countDelivered(messages, bytes);
        if (ModuleStats* sender = stats.find(source))
            Bump(sender->sentPassed, messages);
        messages = 0;
        bytes = 0;
    }

    ServiceStats& stats;
    uint64_t source = 0;
    uint64_t messages = 0;
    uint64_t bytes = 0;
};

// A receiver's call (`call` returns whether it keeps the payload), published
// to the holds while it runs; true when its hold was recorded.
template <typename Call>
bool HeldCall(PayloadHolds& holds, const ModuleRecord& record, const Message& message, Call call)
{
    if (message.data)
        holds.beginCall(message.data, record.info.module_id);
    const bool keeps = call();
    return message.data && holds.endCall(*record.stats, keeps);
}

// Payload notice through IOCTL with sub-code `code`: the payload only.
bool NotifyPayload(PayloadHolds& holds, CallWatch& watch, const ModuleRecord& record, const Message& message,
                   uint32_t code)
{
    return record.IOCTL && HeldCall(holds, record, message, [&] {
               return ModuleCall::NotifyPayload(record, watch, message, code);
           });
}

bool WriteMessage(PayloadHolds& holds, CallWatch& watch, WriteSampler& sampler, const ModuleRecord& record,
                  const Message& message)
{
    return record.Write && HeldCall(holds, record, message, [&] {
               return ModuleCall::Write(record, watch, sampler, message);
           });
}

}  // namespace

Delivery::Delivery(EventQueue& queue_, ModuleList& modules_, PayloadHolds& holds_, ServiceStats& stats_,
                   CallWatch& watch_)
    : queue(queue_), modules(modules_), holds(holds_), stats(stats_), watch(watch_)
{
}

void Delivery::drain()
{
    // Everything queued is taken under one hold of queueLock and delivered in
    // order; what modules send meanwhile forms the next batch.
    for (;;) {
        queue.takeAll(batch);
        if (batch.empty())
            break;
        stats.noteDepth();
        {
            PassTally passed(stats);
            for (const Message& message : batch) {
                deliver(message);
                passed.add(message);
            }
        }
        batch.clear();
    }
    if (batch.capacity() > kKeptBatch)
        std::vector<Message>().swap(batch);
}

// One module's part of a message's delivery pass; true when the module's
// hold on the payload was recorded. Inline: it runs for every module on
// every message, and as a call of its own it cost a tenth of a delivery.
__attribute__((always_inline)) inline bool Delivery::deliverTo(const ModuleRecord& record, const Message& message,
                                                               uint64_t key)
{
    const bool matched = MatchKey::selectedMaskMatches(record.info, message.flags, key);
    if ((message.flags & ORV_FLAG_NOTIFY_OTHERS) && record.info.module_id != message.source_id)
        return NotifyPayload(holds, watch, record, message, ORV_IOCTL_NOTIFY_OTHERS);
    if (message.flags & ORV_FLAG_NOTIFY_ALL)
        return NotifyPayload(holds, watch, record, message, ORV_IOCTL_NOTIFY_ALL);
    if (matched && record.info.accepts_write)
        return WriteMessage(holds, watch, writeSampler, record, message);
    return false;
}

// The list does not change while this thread runs, so a record stays valid
// across its module's call, and so does the end of the list.
void Delivery::deliver(const Message& message)
{
    const uint64_t key = MatchKey::delivery(message.event);
    bool recorded = false;
    for (const ModuleRecord& record : modules.records()) {
        try {
            if (record.library && deliverTo(record, message, key))
                recorded = true;
        } catch (const std::bad_alloc&) {
            // A hold that could not be recorded cannot be released either:
            // the payload stays allocated rather than be freed under a
            // module that keeps it.
            ThreadLog::error("plugin %s: out of memory recording its hold on a payload, which stays allocated",
                             record.file_name.c_str());
            return;
        }
    }
    holds.endPass(message, recorded);
}
