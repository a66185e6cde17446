#include "routing/buffer_refs.h"

#include "pt/mutex_lock.h"

bool BufferRefs::dropCoreHold(void* payload, bool recorded)
{
    if (!payload || !recorded)
        return true;
    pt::mutexLock held(lock);
    delivering.erase(payload);
    return kept.find(payload) == kept.end();
}

void BufferRefs::beginCall(void* payload, uint64_t holder)
{
    callPayload.store(payload, std::memory_order_relaxed);
    callHolder.store(holder, std::memory_order_relaxed);
    tickets += 2;
    callTicket.store(tickets | 1, std::memory_order_release);
}

bool BufferRefs::endCall(bool keeps)
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

void BufferRefs::addHold(void* payload, uint64_t holder)
{
    if (!payload)
        return;
    pt::mutexLock held(lock);
    record(payload, holder);
}

void BufferRefs::record(void* payload, uint64_t holder)
{
    // Out of memory throws to the caller's caller; a payload already marked
    // delivering is never freed, which is what a hold that could not be
    // recorded needs.
    delivering.insert(payload);
    kept.emplace(payload, holder);
}

BufferRefs::Drop BufferRefs::dropHold(void* payload, uint64_t holder)
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

bool BufferRefs::releaseDuringCall(void* payload, uint64_t holder)
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

size_t BufferRefs::keptHolds(void* payload)
{
    pt::mutexLock held(lock);
    return kept.count(payload);
}
