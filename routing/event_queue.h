// The event queue: the messages accepted for delivery, in arrival order, and
// the trigger that wakes the event-handler thread for them.
//
// Thread safety: post runs on any sending thread; mayWait, wait and takeAll
// on the event-handler thread; open, closeForLastPass, wake and retire on
// the main thread. queueLock guards everything below it and is held only for
// the append, the batch's swap and the empty check, never while a module
// runs; no other lock is taken under it. It is a spin lock
// (pt/spin_mutex.h), so that a sender's unlock does not wait for the
// message it has just written to reach the cache. The idle-time fields
// belong to the event-handler thread alone.
//
// Waiting: putting the event-handler thread to sleep and waking it costs a
// sender a system call and the handler a few microseconds per message, which
// is most of a message's cost when messages come a few microseconds apart
// (large payloads, whose copy paces the sender). So when the last idle time
// was short, the handler first watches the queue for a short while before it
// sleeps; after a long one it sleeps at once, and a quiet service burns
// nothing.
//
// Invariants:
//  - The queue runs from open to retire, and running() says so; a post
//    outside that is refused and touches nothing.
//  - Every queued message owns its payload; a message answered Yes is
//    delivered, or freed by the one who retires the queue.
//  - Once closed for the last pass, only a reply sent from inside a call of
//    that pass joins the queue, up to the pass's allowance; everything else
//    is refused, so the pass ends however fast modules send.
//  - The trigger is posted only when the handler said it would wait, or to
//    make it stop. It lives as long as the queue, so that a sender posts it
//    after letting queueLock go (the handler it wakes goes straight for
//    the lock); a post that comes after retire leaves it set, and the next
//    run's handler wakes once for nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/service_stats.h"
#include "pt/spin_mutex.h"
#include "pt/thread_annotations.h"
#include "pt/trigger.h"
#include "routing/message_api.h"

class EventQueue {
public:
    enum class Posted { Yes, Refused, NoMemory };

    // `stats` counts the accepted messages; it must outlive the queue.
    explicit EventQueue(ServiceStats& stats) : stats(stats) {}
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Accepts messages from now on.
    void open();
    // Between open and retire. Without the lock: Dispatch's first check.
    bool running() const { return isRunning.load(std::memory_order_acquire); }

    // Appends `message` with `payload` in place of its own (the service's
    // copy, which the queue then owns; null for none, and then no length),
    // and counts it for the service and `sender` (null for the Core's own).
    // `lastPassCall`: sent from inside a call of the event-handler thread.
    // NoMemory when the queue could not grow; on anything but Yes the caller
    // keeps the payload.
    Posted post(const Message& message, void* payload, ModuleStats* sender, bool lastPassCall);

    // The event-handler thread: true when the queue is empty, and the next
    // post then posts the trigger. Watches the queue for up to kWatchNs
    // first when the last idle time was shorter than that; a message seen
    // within kGatherNs of the start is taken kGatherNs later, with those
    // sent right after it.
    bool mayWait();
    // The event-handler thread: waits for the trigger.
    void wait();

    static constexpr int64_t kWatchNs = 20000;
    static constexpr int64_t kGatherNs = 2000;
    // Posts the trigger once, whatever the handler said.
    void wake();
    // Moves every queued message, in order, into the empty `batch`.
    void takeAll(std::vector<Message>& batch);

    // The stop's last pass begins: from now on only its own calls' replies
    // are taken, as many as are queued now and at least `minReplies`.
    void closeForLastPass(uint64_t minReplies);
    // Refuses everything from now on and returns what was still queued,
    // whose payloads the caller then owns.
    std::vector<Message> retire();

    // For tests: a copy of what is queued now (payloads still owned here).
    std::vector<Message> TEST_messages();

private:
    bool watchedForMessages();
    // post's part under the lock; `wakeHandler`: the trigger is to be posted.
    Posted append(const Message& message, void* payload, ModuleStats* sender, bool lastPassCall,
                  bool& wakeHandler) EXCLUDES(queueLock);
    Posted lastPassOutcome(bool lastPassCall) REQUIRES(queueLock);
    void countAccepted(ModuleStats* sender, uint64_t bytes) REQUIRES(queueLock);

    ServiceStats& stats;
    pt::spinMutex queueLock;
    pt::trigger eventTrigger{true, false};  // auto-reset; thread-safe itself
    std::atomic<bool> isRunning{false};     // between open and retire; written under queueLock
    // On a line of its own: the watching handler reads it in a loop, and
    // the senders write nothing else there.
    alignas(64) std::atomic<bool> hasMessages{false};  // messages is not empty; written under queueLock
    int64_t idleSinceNs = 0;  // when the handler last found the queue empty
    int64_t lastIdleNs = 0;   // how long the handler's last idle time lasted
    bool queueOpen GUARDED_BY(queueLock) = false;       // accepted messages are delivered
    bool handlerWaiting GUARDED_BY(queueLock) = false;  // the next append posts the trigger
    uint64_t lastPassReplies GUARDED_BY(queueLock) = 0;  // replies the last pass may still take
    std::vector<Message> messages GUARDED_BY(queueLock);
};
