// The payload-buffer reference registry: who still holds which payload of a
// message. A payload is freed by whoever drops its last hold.
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
// Thread safety: beginCall, endCall and dropCoreHold are called by the
// event-handler thread; addHold, dropHold and keptHolds by any thread. The
// mutex guards `kept` and `delivering`; no other lock is taken inside.
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

class BufferRefs {
public:
    BufferRefs() = default;
    BufferRefs(const BufferRefs&) = delete;
    BufferRefs& operator=(const BufferRefs&) = delete;

    // A receiver's call with the payload, on the event-handler thread:
    // beginCall before it, endCall after it with the receiver's answer.
    // endCall is true when the receiver's hold was recorded.
    void beginCall(void* payload, uint64_t holder);
    bool endCall(bool keeps);
    // Drops the Core's hold at the end of the payload's delivery pass;
    // `recorded` tells whether any hold was recorded in the pass. True when
    // it was the last hold (the caller then frees the payload); true at once
    // for null.
    bool dropCoreHold(void* payload, bool recorded);

    // Records one kept hold of `holder` on a payload whose delivery pass is
    // still running; nothing for null.
    void addHold(void* payload, uint64_t holder);
    // What a release did: named nothing `holder` held (also for null, so a
    // stray release frees nothing), cancelled the hold of a call still in
    // progress, removed a hold, or removed the last hold (the caller then
    // frees the payload).
    enum class Drop { Nothing, Early, Held, Last };
    // Removes one hold of `holder` on `payload`.
    Drop dropHold(void* payload, uint64_t holder);
    // Number of kept holds recorded for `payload` (the Core's not counted).
    size_t keptHolds(void* payload);

private:
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
};
