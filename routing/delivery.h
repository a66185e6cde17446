// Delivery: the event-handler thread's work. It takes everything queued as
// one batch and delivers it in order, one message and one module at a time:
// a payload notice (IOCTL) or a Write where the module's masks match.
//
// Thread safety: drain and deliver run on the event-handler thread only
// (tests call them on their own thread while no handler runs). The event
// queue's lock is held only to take a batch, never during a module call, so
// modules may send from inside Write and IOCTL: those messages join the
// queue and are delivered later in the same drain. The module list is read
// without its lock: it does not change while the thread runs.
//
// Invariants:
//  - The Core holds a payload (its own hold, apart from the modules' holds)
//    for the whole of its delivery pass; a receiver's call is published
//    while it runs, and its hold is recorded after it only if it keeps the
//    payload and has not released it meanwhile.
//  - Every receiver of one message sees the same payload pointer.
#pragma once

#include <cstdint>
#include <vector>

#include "base/write_sampler.h"
#include "modules/module_record.h"
#include "routing/message_api.h"

class CallWatch;
class EventQueue;
class ModuleList;
class PayloadHolds;
class ServiceStats;

class Delivery {
public:
    // The Core's objects; all outlive the delivery. `watch` marks each
    // module call for the stall watchdog.
    Delivery(EventQueue& queue, ModuleList& modules, PayloadHolds& holds, ServiceStats& stats, CallWatch& watch);
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    // Delivers every queued message, also those sent meanwhile, until the
    // queue is found empty.
    void drain();
    // Delivers one message to every module, then drops the Core's hold.
    void deliver(const Message& message);

private:
    bool deliverTo(const ModuleRecord& record, const Message& message, uint64_t key);

    EventQueue& queue;
    ModuleList& modules;
    PayloadHolds& holds;
    ServiceStats& stats;
    CallWatch& watch;
    WriteSampler writeSampler;  // which Write it times
    // The batch being delivered. Kept between drains, so that neither it nor
    // the queue's vector it is swapped with grows from nothing each time; a
    // drain that leaves it larger than kKeptBatch gives the memory back.
    std::vector<Message> batch;
    static constexpr size_t kKeptBatch = 4096;
};
