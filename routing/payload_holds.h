// Payload holds: the private copy of a message's payload, who still holds
// it, and its free by whoever drops its last hold.
//
// Every payload the Core keeps beyond a call (a queued message's, a worker's)
// is its own copy, so senders may reuse their buffers as soon as the call
// returns. Copies are blocks of the payload pool (routing/payload_pool.h),
// given back to it by their last holder; each is a malloc'ed block, so free()
// drops one too, without recycling it.
//
// The Core holds a payload from the moment it is queued until the end of the
// message's delivery pass. A receiver that does not keep the payload costs
// nothing but two atomic stores on the event-handler thread, and a pass in
// which no receiver keeps it ends by freeing it: the common path takes no
// shared mutex and allocates nothing. Only kept holds are recorded, by
// holder, under the registry's mutex, so that a release (which names a
// pointer and a holder and may name anything) is validated against the
// record and never touches memory the registry does not know.
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
// A receiver's hold is counted in its module's counters (`holdsNow`) while
// it lasts. Before the last hold's payload is freed, the request worker whose
// payload it was is woken (RequestFlow::wakeHolder).
//
// Thread safety: beginCall, endCall and endPass are called by the
// event-handler thread; addHold, release and keptHolds by any thread. The
// mutex guards `kept` and `delivering`; no other lock is taken inside, and it
// is not held while the request flow's lock is taken.
// Invariants:
//  - A payload with a recorded hold is freed once it has no entry in `kept`
//    and is not in `delivering` (its pass has ended).
//  - At most one entry per (payload, holder) is removed per drop, so a
//    release from a holder that holds nothing changes nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>

#include "pt/mutex.h"
#include "pt/thread_annotations.h"
#include "routing/message_api.h"

class RequestFlow;
class ServiceStats;
struct ModuleStats;

class PayloadHolds {
public:
    // `flow` and `stats` are the Core's, and outlive this object.
    PayloadHolds(RequestFlow& flow, ServiceStats& stats) : flow(flow), stats(stats) {}
    PayloadHolds(const PayloadHolds&) = delete;
    PayloadHolds& operator=(const PayloadHolds&) = delete;

    // A copy of the `length` bytes at `data` in a pool block, or null when it
    // cannot be allocated. A negative length (which no allocation can
    // satisfy) gives null without trying. REQUIRES: data non-null, length
    // nonzero.
    static void* copy(const void* data, int32_t length);

    // A receiver's call with the payload, on the event-handler thread:
    // beginCall before it, endCall after it with the receiver's answer and
    // its counters. endCall is true when the receiver's hold was recorded,
    // which the receiver's counters then show.
    void beginCall(void* payload, uint64_t holder);
    bool endCall(ModuleStats& receiver, bool keeps);
    // Drops the Core's own hold, which no module's release can drop, at the
    // end of `message`'s delivery pass, and frees the payload when that was
    // the last hold; `recorded`: a receiver's hold was recorded in the pass.
    void endPass(const Message& message, bool recorded)
    {
        if (message.data)
            endPayloadPass(message, recorded);
    }

    // Records one kept hold of `holder` on a payload whose delivery pass is
    // still running; nothing for null.
    void addHold(void* payload, uint64_t holder);
    // Drops one hold of module `holder` on `payload` and counts the release
    // for the holder. When that was the last hold, wakes the request worker
    // whose payload it is and frees the payload.
    void release(void* payload, uint64_t holder);
    // Number of kept holds recorded for `payload` (the Core's not counted).
    size_t keptHolds(void* payload);

private:
    // What a drop did: named nothing `holder` held (also for null, so a
    // stray release frees nothing), cancelled the hold of a call still in
    // progress, removed a hold, or removed the last hold (the caller then
    // frees the payload).
    enum class Drop { Nothing, Early, Held, Last };
    // Removes one hold of `holder` on `payload`.
    Drop dropHold(void* payload, uint64_t holder);
    // Ends the call in progress; true when the receiver's hold was recorded.
    bool settleCall(bool keeps);
    // Drops the Core's hold: true when it was the last hold.
    // REQUIRES: `payload` non-null.
    bool dropCoreHold(void* payload, bool recorded);
    // endPass of a message with a payload.
    void endPayloadPass(const Message& message, bool recorded);
    // Frees a payload whose last hold is gone; with `wake`, first wakes the
    // request worker whose payload in flight it is. REQUIRES: non-null.
    void freeLast(void* payload, bool wake);

    // callTicket: odd while a call is in progress, with kReleasedEarly set
    // once that call's holder has released the payload.
    static constexpr uint64_t kReleasedEarly = uint64_t(1) << 63;

    // True when it matched the call in progress.
    bool releaseDuringCall(void* payload, uint64_t holder) REQUIRES(lock);
    // Throws std::bad_alloc; the caller's scoped lock then releases the lock.
    void record(void* payload, uint64_t holder) REQUIRES(lock);

    pt::mutex lock;
    std::multimap<void*, uint64_t> kept GUARDED_BY(lock);
    std::set<void*> delivering GUARDED_BY(lock);  // kept payloads whose pass runs
    std::atomic<uint64_t> callTicket{0};   // written by the event-handler thread; flagged under lock
    std::atomic<void*> callPayload{nullptr};  // the call's payload; valid while callTicket is odd
    std::atomic<uint64_t> callHolder{0};      // the call's receiver
    uint64_t tickets = 0;                  // event-handler thread only
    RequestFlow& flow;
    ServiceStats& stats;
};
