#include "routing/event_queue.h"

#include <algorithm>
#include <new>

#include "base/monotonic_clock.h"
#include "pt/spin_mutex.h"
#include "pt/spin_pause.h"

void EventQueue::open()
{
    pt::spinLock lock(queueLock);
    if (!isRunning.load(std::memory_order_relaxed)) {
        isRunning.store(true, std::memory_order_release);
        handlerWaiting = false;
    }
    queueOpen = true;
}

// Inline: every accepted message is counted, and as a call of its own the
// count cost six instructions more per send.
__attribute__((always_inline)) inline void EventQueue::countAccepted(ModuleStats* sender, uint64_t bytes)
{
    stats.countQueued(bytes);
    if (!sender)
        return;
    Bump(sender->sentAccepted);
    if (bytes)
        Bump(sender->sentBytes, bytes);
}

EventQueue::Posted EventQueue::post(const Message& message, void* payload, ModuleStats* sender,
                                    bool lastPassCall)
{
    bool wakeHandler = false;
    const Posted outcome = append(message, payload, sender, lastPassCall, wakeHandler);
    // After the lock is let go: the handler it wakes goes straight for it.
    if (wakeHandler)
        eventTrigger.post();
    return outcome;
}

EventQueue::Posted EventQueue::append(const Message& message, void* payload, ModuleStats* sender,
                                      bool lastPassCall, bool& wakeHandler)
{
    const uint64_t bytes = payload ? static_cast<uint32_t>(message.length) : 0;
    pt::spinLock lock(queueLock);
    const bool running = isRunning.load(std::memory_order_relaxed);
    Posted outcome = !running ? Posted::Refused : queueOpen ? Posted::Yes : lastPassOutcome(lastPassCall);
    if (outcome != Posted::Yes)
        return outcome;
    try {
        // Copied once, straight into the queue: a message is 224 bytes.
        messages.push_back(message);
    } catch (const std::bad_alloc&) {
        return Posted::NoMemory;
    }
    Message& queued = messages.back();
    queued.data = payload;
    if (!payload)
        queued.length = 0;
    if (!hasMessages.load(std::memory_order_relaxed))
        hasMessages.store(true, std::memory_order_release);
    wakeHandler = handlerWaiting;
    handlerWaiting = false;
    countAccepted(sender, bytes);
    return Posted::Yes;
}

EventQueue::Posted EventQueue::lastPassOutcome(bool lastPassCall)
{
    if (lastPassReplies > 0 && lastPassCall) {
        --lastPassReplies;
        return Posted::Yes;
    }
    return Posted::Refused;
}

bool EventQueue::mayWait()
{
    idleSinceNs = MonotonicNowNs();
    if (lastIdleNs < kWatchNs && watchedForMessages())
        return false;
    pt::spinLock lock(queueLock);
    handlerWaiting = messages.empty();
    return handlerWaiting;
}

bool EventQueue::watchedForMessages()
{
    const int64_t until = idleSinceNs + kWatchNs;
    for (;;) {
        for (int i = 0; i < 32; ++i) {
            if (hasMessages.load(std::memory_order_acquire)) {
                const int64_t now = MonotonicNowNs();
                lastIdleNs = now - idleSinceNs;
                // In a dense stream, lets the messages sent right behind it
                // join the batch, so the sender does not meet the handler
                // on queueLock at every message. Sparser messages (cameras
                // sending a few apart) are taken at once.
                while (lastIdleNs < kGatherNs && MonotonicNowNs() < now + kGatherNs)
                    pt::spinPause();
                return true;
            }
            pt::spinPause();
        }
        if (MonotonicNowNs() >= until)
            return false;
    }
}

void EventQueue::wait()
{
    eventTrigger.wait();
    lastIdleNs = MonotonicNowNs() - idleSinceNs;
}

void EventQueue::wake()
{
    eventTrigger.post();
}

void EventQueue::takeAll(std::vector<Message>& batch)
{
    pt::spinLock lock(queueLock);
    batch.swap(messages);
    hasMessages.store(false, std::memory_order_relaxed);
}

void EventQueue::closeForLastPass(uint64_t minReplies)
{
    pt::spinLock lock(queueLock);
    queueOpen = false;
    lastPassReplies = std::max<uint64_t>(messages.size(), minReplies);
}

std::vector<Message> EventQueue::retire()
{
    std::vector<Message> left;
    pt::spinLock lock(queueLock);
    left.swap(messages);
    hasMessages.store(false, std::memory_order_relaxed);
    isRunning.store(false, std::memory_order_release);
    queueOpen = false;
    return left;
}

std::vector<Message> EventQueue::TEST_messages()
{
    pt::spinLock lock(queueLock);
    return messages;
}
