#include "routing/payload_holds.h"

#include <cstring>

#include "base/service_stats.h"
#include "pt/mutex_lock.h"
#include "routing/payload_pool.h"
#include "routing/request_flow.h"

void* PayloadHolds::copy(const void* data, int32_t length)
{
    if (length < 0)
        return nullptr;
    void* copy = PayloadPool::take(static_cast<size_t>(length));
    if (copy)
        std::memcpy(copy, data, static_cast<size_t>(length));
    return copy;
}

bool PayloadHolds::dropCoreHold(void* payload, bool recorded)
{
    if (!recorded)
        return true;
    pt::mutexLock held(lock);
    delivering.erase(payload);
    return kept.find(payload) == kept.end();
}

void PayloadHolds::beginCall(void* payload, uint64_t holder)
{
    callPayload.store(payload, std::memory_order_relaxed);
    callHolder.store(holder, std::memory_order_relaxed);
    tickets += 2;
    callTicket.store(tickets | 1, std::memory_order_release);
}

// The hold is counted before it is recorded: once recorded, a release on
// another thread may uncount it at once, and the count must never read below
// zero.
bool PayloadHolds::endCall(ModuleStats& receiver, bool keeps)
{
    if (!keeps)
        return settleCall(false);
    Add(receiver.holdsNow);
    bool recorded = false;
    try {
        recorded = settleCall(true);
    } catch (...) {
        receiver.holdsNow.fetch_sub(1, std::memory_order_relaxed);
        throw;
    }
    if (!recorded)
        receiver.holdsNow.fetch_sub(1, std::memory_order_relaxed);
    return recorded;
}

bool PayloadHolds::settleCall(bool keeps)
{
    if (!keeps) {
        // An early release of a hold that is not kept changes nothing.
        callTicket.store(tickets, std::memory_order_release);
        return false;
    }
    // Under the lock: a release either flagged the call before it ended or
    // finds the hold recorded, never neither.
    pt::mutexLock held(lock);
    const uint64_t ended = callTicket.exchange(tickets, std::memory_order_acq_rel);
    const bool recorded = !(ended & kReleasedEarly);
    if (recorded)
        record(callPayload.load(std::memory_order_relaxed), callHolder.load(std::memory_order_relaxed));
    return recorded;
}

void PayloadHolds::addHold(void* payload, uint64_t holder)
{
    if (!payload)
        return;
    pt::mutexLock held(lock);
    record(payload, holder);
}

void PayloadHolds::record(void* payload, uint64_t holder)
{
    // Out of memory throws to the caller's caller; a payload already marked
    // delivering is never freed, which is what a hold that could not be
    // recorded needs.
    delivering.insert(payload);
    kept.emplace(payload, holder);
}

PayloadHolds::Drop PayloadHolds::dropHold(void* payload, uint64_t holder)
{
    if (!payload)
        return Drop::Nothing;
    pt::mutexLock held(lock);
    Drop drop = Drop::Nothing;
    auto range = kept.equal_range(payload);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == holder) {
            kept.erase(it);
            drop = Drop::Held;
            break;
        }
    }
    if (drop == Drop::Nothing && releaseDuringCall(payload, holder))
        drop = Drop::Early;
    if (drop == Drop::Held && !delivering.count(payload) && kept.find(payload) == kept.end())
        drop = Drop::Last;
    return drop;
}

bool PayloadHolds::releaseDuringCall(void* payload, uint64_t holder)
{
    uint64_t ticket = callTicket.load(std::memory_order_acquire);
    if (!(ticket & 1) || (ticket & kReleasedEarly))
        return false;
    // The ticket is unique to one call and changes before the next call's
    // payload and holder are written: if it is unchanged at the exchange,
    // what was read belongs to this call.
    if (callPayload.load(std::memory_order_relaxed) != payload || callHolder.load(std::memory_order_relaxed) != holder)
        return false;
    return callTicket.compare_exchange_strong(ticket, ticket | kReleasedEarly, std::memory_order_acq_rel);
}

size_t PayloadHolds::keptHolds(void* payload)
{
    pt::mutexLock held(lock);
    return kept.count(payload);
}

void PayloadHolds::release(void* payload, uint64_t holder)
{
    const Drop drop = dropHold(payload, holder);
    if (ModuleStats* counters = stats.find(holder)) {
        Add(counters->releases);
        if (drop == Drop::Nothing)
            Add(counters->releasesUnmatched);
        else if (drop != Drop::Early)
            counters->holdsNow.fetch_sub(1, std::memory_order_relaxed);
    }
    // A release does not say whose payload it was: look for a waiting worker.
    if (drop == Drop::Last)
        freeLast(payload, true);
}

void PayloadHolds::endPayloadPass(const Message& message, bool recorded)
{
    // Only a request worker's message can have a worker waiting for it.
    if (dropCoreHold(message.data, recorded))
        freeLast(message.data, message.request_id != 0);
}

void PayloadHolds::freeLast(void* payload, bool wake)
{
    // Wake before freeing: once freed, the address may come back from the
    // pool as another worker's payload and must not be mistaken for this one.
    if (wake)
        flow.wakeHolder(payload);
    PayloadPool::give(payload);
}
