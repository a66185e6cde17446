// The payload-buffer reference registry: who still holds which payload of a
// message. A payload is freed by whoever drops its last hold.
//
// Every payload of a queued message is created here, with a small header in
// front of the bytes the modules see. The header counts the holds: the
// Core's own (from creation until the end of the message's delivery pass)
// and one per hold a module keeps. A receiver that does not keep the payload
// costs nothing but two atomic stores on the event-handler thread: the common
// path takes no shared mutex and allocates nothing. Only kept holds are
// recorded by holder, under the registry's mutex, so that a release (which
// names a pointer and a holder and may name anything) is validated against
// the record before any header is touched.
//
// A receiver may release its hold while it is still inside the call that
// gives it the payload (from inside the call, or from a thread of its own
// that it handed the pointer to). The call in progress is published, so such
// an early release is matched to it and the hold the receiver then keeps is
// never recorded.
//
// The Core's own hold is kept apart from the modules' holds: a release names
// a holder id, and no id, not even the Core's own 0x80000000, can drop it.
//
// Thread safety: create, dropCoreHold, beginCall and endCall are called by
// the payload's owner (the sender, then the event-handler thread); dropHold,
// addHold and keptHolds by any thread. The mutex guards `kept` only; no other
// lock is taken inside.
// Invariants:
//  - A header's count is 1 (the Core's hold) plus the number of `kept`
//    entries for the payload; the payload is freed when it drops to 0.
//  - At most one entry per (payload, holder) is removed per drop, so a
//    release from a holder that holds nothing changes nothing, and a header
//    is read only by someone who holds the payload.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>

class BufferRefs {
public:
    BufferRefs();
    ~BufferRefs();
    BufferRefs(const BufferRefs&) = delete;
    BufferRefs& operator=(const BufferRefs&) = delete;

    // A payload holding a copy of `length` bytes at `data`, with the Core's
    // hold on it; null when it cannot be allocated (also for a negative
    // length, without trying). REQUIRES: data non-null, length nonzero.
    static void* create(const void* data, int32_t length);
    // Frees a payload nobody holds any more (or that never left the queue).
    static void destroy(void* payload);
    // Marks the payload as a request worker's payload in flight: whoever
    // frees it must wake that worker's flow slot.
    static void markInFlight(void* payload);
    static bool isInFlight(void* payload);

    // Drops the Core's hold. True when it was the last hold (the caller
    // then frees the payload); true at once for null.
    bool dropCoreHold(void* payload);

    // A receiver's call with the payload, on the event-handler thread:
    // beginCall before it, endCall after it with the receiver's answer.
    void beginCall(void* payload, uint64_t holder);
    void endCall(bool keeps);

    // Records one kept hold of `holder`; nothing for null.
    void addHold(void* payload, uint64_t holder);
    // Removes one hold of `holder` on `payload`. True when that was the last
    // hold (the caller then frees it); true at once for null. False when
    // `holder` held nothing, so a stray release frees nothing.
    bool dropHold(void* payload, uint64_t holder);
    // Number of kept holds recorded for `payload` (the Core's not counted).
    size_t keptHolds(void* payload);

private:
    // callTicket: odd while a call is in progress, with kReleasedEarly set
    // once that call's holder has released the payload.
    static constexpr uint64_t kReleasedEarly = uint64_t(1) << 63;

    void releaseDuringCall(void* payload, uint64_t holder);  // REQUIRES: lock held

    pthread_mutex_t lock;
    std::multimap<void*, uint64_t> kept;   // guarded by lock
    std::atomic<uint64_t> callTicket{0};   // written by the event-handler thread; flagged under lock
    std::atomic<void*> callPayload{nullptr};  // the call's payload; valid while callTicket is odd
    std::atomic<uint64_t> callHolder{0};      // the call's receiver
    uint64_t tickets = 0;                  // event-handler thread only
};
