#include "modules/worker_registry.h"

#include "pt/mutex_lock.h"

namespace {

int& Count(WorkerRegistry::Live& live, WorkerEntry entry)
{
    return entry == WorkerEntry::Read ? live.read : live.ioctl;
}

}  // namespace

WorkerRegistry& WorkerRegistry::instance()
{
    // Deliberately leaked: workers may outlive every owner and static destruction.
    static WorkerRegistry* registry = new WorkerRegistry;
    return *registry;
}

void WorkerRegistry::ownerCreated(const void* owner)
{
    pt::mutexLock guard(lock);
    aliveOwners.insert(owner);
}

void WorkerRegistry::ownerDestroyed(const void* owner)
{
    pt::mutexLock guard(lock);
    aliveOwners.erase(owner);
}

void WorkerRegistry::workerStarted(const void* module, WorkerEntry entry)
{
    pt::mutexLock guard(lock);
    ++Count(workers[module], entry);
}

void WorkerRegistry::workerEnded(const void* module, WorkerEntry entry, const void* owner,
                                 const std::function<void()>& finish)
{
    pt::mutexLock guard(lock);
    if (aliveOwners.count(owner))
        finish();
    auto it = workers.find(module);
    if (it != workers.end()) {
        --Count(it->second, entry);
        if (it->second.total() <= 0)
            workers.erase(it);
    }
    ++ended;
    changed.notifyAll();
}

bool WorkerRegistry::waitForWorkers(const void* module, int timeoutMs)
{
    pt::mutexLock guard(lock);
    const timespec deadline = pt::condition::deadlineIn(timeoutMs);
    while (workers.count(module) != 0)
        if (!changed.waitUntil(lock, deadline))
            return workers.count(module) == 0;
    return true;
}

void WorkerRegistry::waitForChange(uint64_t seen, int timeoutMs)
{
    pt::mutexLock guard(lock);
    const timespec deadline = pt::condition::deadlineIn(timeoutMs);
    while (ended == seen && changed.waitUntil(lock, deadline)) {
    }
}

uint64_t WorkerRegistry::generation()
{
    pt::mutexLock guard(lock);
    return ended;
}

int WorkerRegistry::liveWorkers(const void* module)
{
    return live(module).total();
}

WorkerRegistry::Live WorkerRegistry::live(const void* module)
{
    pt::mutexLock guard(lock);
    auto it = workers.find(module);
    return it == workers.end() ? Live() : it->second;
}
