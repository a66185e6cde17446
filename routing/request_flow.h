// Request flow: the cancelled requests and the request workers' flow slots.
//
// A request worker registers a slot under its thread id for the length of
// its call. Its sends with a payload claim the slot (waiting while the
// previous payload is still held); whoever drops that payload's last hold
// wakes it. A cancelled request's messages are refused.
//
// Thread safety: every member runs on any thread. requestLock guards the
// set, the slots' map, each slot's inFlight and the released flag; it is
// held only for short sections, never while waiting on a gate or while a
// module runs, and no other lock is taken under it.
//
// Invariants:
//  - A slot is deleted only by removeSlot from its own worker's thread, so a
//    slot the worker found stays valid for that worker.
//  - Once releaseAll has run, every gate is open and no claim waits, until
//    the next reset.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "pt/mutex.h"
#include "pt/thread_annotations.h"
#include "routing/flow_slot.h"

class RequestFlow {
public:
    // Registered as an owner in the WorkerRegistry for its whole life: a
    // request worker's clean-up removes its slot only while the flow exists.
    RequestFlow();
    ~RequestFlow();
    RequestFlow(const RequestFlow&) = delete;
    RequestFlow& operator=(const RequestFlow&) = delete;

    // False when the cancel could not be recorded for lack of memory.
    bool cancel(uint64_t requestId);
    // An open request: its id is no longer cancelled.
    void reopen(uint64_t requestId);

    // The calling worker's slot, made and registered; false for lack of memory.
    bool addSlot(pthread_t worker);
    // Deletes the calling worker's slot. REQUIRES: `worker` is the caller.
    void removeSlot(pthread_t worker);

    // The calling thread's slot for a message of `requestId`; null when the
    // request is cancelled or the caller is no request worker. `released`
    // tells whether flow control has ended.
    FlowSlot* slotFor(uint64_t requestId, bool& released);
    // Waits while the slot's previous payload is held (unless `released`),
    // then records `payload` as in flight.
    void claim(FlowSlot* slot, void* payload, bool released);
    // Gives the gate back for a payload that was claimed but never queued.
    void unclaim(FlowSlot* slot);
    // Wakes the worker whose payload in flight `payload` is. Call it before
    // freeing the payload: a freed address may come back as another's.
    void wakeHolder(void* payload);

    // Opens every gate; later claims do not wait (the stop).
    void releaseAll();
    // Flow control applies again (the start).
    void reset();

    // For tests.
    bool TEST_cancelled(uint64_t requestId);
    size_t TEST_cancelledCount();
    size_t TEST_slotCount();
    std::vector<void*> TEST_inFlight();
    void TEST_openGates();

private:
    pt::mutex requestLock;
    std::set<uint64_t> cancelledRequests GUARDED_BY(requestLock);
    std::map<pthread_t, FlowSlot*> flowSlots GUARDED_BY(requestLock);  // owns the slots
    bool flowReleased GUARDED_BY(requestLock) = false;
};
