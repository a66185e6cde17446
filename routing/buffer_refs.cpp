#include "routing/buffer_refs.h"

BufferRefs::BufferRefs()
{
    pthread_mutex_init(&lock, nullptr);
}

BufferRefs::~BufferRefs()
{
    pthread_mutex_destroy(&lock);
}

bool BufferRefs::dropCoreHold(void* payload, bool recorded)
{
    if (!payload || !recorded)
        return true;
    pthread_mutex_lock(&lock);
    delivering.erase(payload);
    const bool last = kept.find(payload) == kept.end();
    pthread_mutex_unlock(&lock);
    return last;
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
    pthread_mutex_lock(&lock);
    const uint64_t ended = callTicket.exchange(tickets, std::memory_order_acq_rel);
    const bool recorded = !(ended & kReleasedEarly);
    if (recorded)
        record(callPayload.load(std::memory_order_relaxed), callHolder.load(std::memory_order_relaxed));
    pthread_mutex_unlock(&lock);
    return recorded;
}

void BufferRefs::addHold(void* payload, uint64_t holder)
{
    if (!payload)
        return;
    pthread_mutex_lock(&lock);
    record(payload, holder);
    pthread_mutex_unlock(&lock);
}

void BufferRefs::record(void* payload, uint64_t holder)
{
    // Out of memory leaves the lock free for the caller's caller to go on;
    // a payload already marked delivering is never freed, which is what a
    // hold that could not be recorded needs.
    try {
        delivering.insert(payload);
        kept.emplace(payload, holder);
    } catch (...) {
        pthread_mutex_unlock(&lock);
        throw;
    }
}

BufferRefs::Drop BufferRefs::dropHold(void* payload, uint64_t holder)
{
    if (!payload)
        return Drop::Nothing;
    pthread_mutex_lock(&lock);
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
    pthread_mutex_unlock(&lock);
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
    pthread_mutex_lock(&lock);
    size_t n = kept.count(payload);
    pthread_mutex_unlock(&lock);
    return n;
}
