#include "routing/request_flow.h"

#include <memory>
#include <new>

#include "modules/worker_registry.h"
#include "pt/mutex_lock.h"

RequestFlow::RequestFlow()
{
    WorkerRegistry::instance().ownerCreated(this);
}

RequestFlow::~RequestFlow()
{
    WorkerRegistry::instance().ownerDestroyed(this);
}

bool RequestFlow::cancel(uint64_t requestId)
{
    pt::mutexLock lock(requestLock);
    try {
        cancelledRequests.insert(requestId);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void RequestFlow::reopen(uint64_t requestId)
{
    pt::mutexLock lock(requestLock);
    cancelledRequests.erase(requestId);
}

bool RequestFlow::addSlot(pthread_t worker)
{
    // Made before the lock is taken; an insert that fails frees it.
    std::unique_ptr<FlowSlot> slot(new (std::nothrow) FlowSlot);
    if (!slot)
        return false;
    pt::mutexLock lock(requestLock);
    try {
        if (flowSlots.emplace(worker, slot.get()).second)
            slot.release();
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void RequestFlow::removeSlot(pthread_t worker)
{
    pt::mutexLock lock(requestLock);
    auto it = flowSlots.find(worker);
    if (it != flowSlots.end()) {
        delete it->second;
        flowSlots.erase(it);
    }
}

FlowSlot* RequestFlow::slotFor(uint64_t requestId, bool& released)
{
    FlowSlot* slot = nullptr;
    pt::mutexLock lock(requestLock);
    if (!cancelledRequests.count(requestId)) {
        auto it = flowSlots.find(pthread_self());
        if (it != flowSlots.end())
            slot = it->second;
    }
    released = flowReleased;
    return slot;
}

void RequestFlow::claim(FlowSlot* slot, void* payload, bool released)
{
    if (!released)
        slot->gate.wait();
    pt::mutexLock lock(requestLock);
    slot->inFlight = payload;
}

void RequestFlow::unclaim(FlowSlot* slot)
{
    pt::mutexLock lock(requestLock);
    slot->inFlight = nullptr;
    slot->gate.post();
}

void RequestFlow::wakeHolder(void* payload)
{
    pt::mutexLock lock(requestLock);
    for (auto& entry : flowSlots) {
        FlowSlot* slot = entry.second;
        if (slot && slot->inFlight == payload) {
            slot->inFlight = nullptr;
            slot->gate.post();
        }
    }
}

void RequestFlow::releaseAll()
{
    pt::mutexLock lock(requestLock);
    flowReleased = true;
    for (auto& entry : flowSlots)
        entry.second->gate.post();
}

void RequestFlow::reset()
{
    pt::mutexLock lock(requestLock);
    flowReleased = false;
}

bool RequestFlow::TEST_cancelled(uint64_t requestId)
{
    pt::mutexLock lock(requestLock);
    return cancelledRequests.count(requestId) != 0;
}

size_t RequestFlow::TEST_cancelledCount()
{
    pt::mutexLock lock(requestLock);
    return cancelledRequests.size();
}

size_t RequestFlow::TEST_slotCount()
{
    pt::mutexLock lock(requestLock);
    return flowSlots.size();
}

std::vector<void*> RequestFlow::TEST_inFlight()
{
    pt::mutexLock lock(requestLock);
    std::vector<void*> payloads;
    for (const auto& entry : flowSlots)
        payloads.push_back(entry.second->inFlight);
    return payloads;
}

void RequestFlow::TEST_openGates()
{
    pt::mutexLock lock(requestLock);
    for (auto& entry : flowSlots)
        entry.second->gate.post();
}
