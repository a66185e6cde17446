#include "modules/worker_registry.h"

#include <chrono>

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
    std::lock_guard<std::mutex> guard(lock);
    aliveOwners.insert(owner);
}

void WorkerRegistry::ownerDestroyed(const void* owner)
{
    std::lock_guard<std::mutex> guard(lock);
    aliveOwners.erase(owner);
}

void WorkerRegistry::workerStarted(const void* module, WorkerEntry entry)
{
    std::lock_guard<std::mutex> guard(lock);
    ++Count(workers[module], entry);
}

void WorkerRegistry::workerEnded(const void* module, WorkerEntry entry, const void* owner,
                                 const std::function<void()>& finish)
{
    std::lock_guard<std::mutex> guard(lock);
    if (aliveOwners.count(owner))
        finish();
    auto it = workers.find(module);
    if (it != workers.end()) {
        --Count(it->second, entry);
        if (it->second.total() <= 0)
            workers.erase(it);
    }
    ++ended;
    changed.notify_all();
}

bool WorkerRegistry::waitForWorkers(const void* module, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return workers.count(module) == 0; });
}

void WorkerRegistry::waitForChange(uint64_t seen, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return ended != seen; });
}

uint64_t WorkerRegistry::generation()
{
    std::lock_guard<std::mutex> guard(lock);
    return ended;
}

int WorkerRegistry::liveWorkers(const void* module)
{
    return live(module).total();
}

WorkerRegistry::Live WorkerRegistry::live(const void* module)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = workers.find(module);
    return it == workers.end() ? Live() : it->second;
}
