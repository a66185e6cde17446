#include "routing/buffer_refs.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// In front of every payload; 16 bytes, so the payload keeps malloc's alignment.
struct Header {
    std::atomic<int32_t> holds;
    std::atomic<uint32_t> inFlight;  // a request worker waits for this payload
    uint64_t reserved;
};
static_assert(sizeof(Header) == 16, "the header keeps the payload 16-byte aligned");

Header* HeaderOf(void* payload)
{
    return static_cast<Header*>(payload) - 1;
}

bool DropOne(void* payload)
{
    return HeaderOf(payload)->holds.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

}  // namespace

BufferRefs::BufferRefs()
{
    pthread_mutex_init(&lock, nullptr);
}

BufferRefs::~BufferRefs()
{
    pthread_mutex_destroy(&lock);
}

void* BufferRefs::create(const void* data, int32_t length)
{
    if (length < 0)
        return nullptr;
    void* block = std::malloc(sizeof(Header) + static_cast<size_t>(length));
    if (!block)
        return nullptr;
    Header* header = new (block) Header{{1}, {0}, 0};
    void* payload = header + 1;
    std::memcpy(payload, data, static_cast<size_t>(length));
    return payload;
}

void BufferRefs::destroy(void* payload)
{
    if (payload)
        std::free(HeaderOf(payload));
}

void BufferRefs::markInFlight(void* payload)
{
    HeaderOf(payload)->inFlight.store(1, std::memory_order_relaxed);
}

bool BufferRefs::isInFlight(void* payload)
{
    return HeaderOf(payload)->inFlight.load(std::memory_order_relaxed) != 0;
}

bool BufferRefs::dropCoreHold(void* payload)
{
    return !payload || DropOne(payload);
}

void BufferRefs::beginCall(void* payload, uint64_t holder)
{
    callPayload.store(payload, std::memory_order_relaxed);
    callHolder.store(holder, std::memory_order_relaxed);
    tickets += 2;
    callTicket.store(tickets | 1, std::memory_order_release);
}

void BufferRefs::endCall(bool keeps)
{
    if (!keeps) {
        // An early release of a hold that is not kept changes nothing.
        callTicket.store(tickets, std::memory_order_release);
        return;
    }
    // Under the lock: a release either flagged the call before it ended or
    // finds the hold recorded, never neither.
    pthread_mutex_lock(&lock);
    const uint64_t ended = callTicket.exchange(tickets, std::memory_order_acq_rel);
    if (!(ended & kReleasedEarly)) {
        void* payload = callPayload.load(std::memory_order_relaxed);
        kept.emplace(payload, callHolder.load(std::memory_order_relaxed));
        HeaderOf(payload)->holds.fetch_add(1, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&lock);
}

void BufferRefs::addHold(void* payload, uint64_t holder)
{
    if (!payload)
        return;
    pthread_mutex_lock(&lock);
    kept.emplace(payload, holder);
    HeaderOf(payload)->holds.fetch_add(1, std::memory_order_relaxed);
    pthread_mutex_unlock(&lock);
}

bool BufferRefs::dropHold(void* payload, uint64_t holder)
{
    if (!payload)
        return true;
    pthread_mutex_lock(&lock);
    bool removed = false;
    auto range = kept.equal_range(payload);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == holder) {
            kept.erase(it);
            removed = true;
            break;
        }
    }
    if (!removed)
        releaseDuringCall(payload, holder);
    pthread_mutex_unlock(&lock);
    // The hold just removed keeps the header alive until this drop.
    return removed && DropOne(payload);
}

void BufferRefs::releaseDuringCall(void* payload, uint64_t holder)
{
    uint64_t ticket = callTicket.load(std::memory_order_acquire);
    if (!(ticket & 1) || (ticket & kReleasedEarly))
        return;
    // The ticket is unique to one call and changes before the next call's
    // payload and holder are written: if it is unchanged at the exchange,
    // what was read belongs to this call.
    if (callPayload.load(std::memory_order_relaxed) == payload && callHolder.load(std::memory_order_relaxed) == holder)
        callTicket.compare_exchange_strong(ticket, ticket | kReleasedEarly, std::memory_order_acq_rel);
}

size_t BufferRefs::keptHolds(void* payload)
{
    pthread_mutex_lock(&lock);
    size_t n = kept.count(payload);
    pthread_mutex_unlock(&lock);
    return n;
}
