#include "routing/worker_registry.h"

#include <chrono>

WorkerRegistry& WorkerRegistry::instance()
{
    // Deliberately leaked: workers may outlive every Core and static destruction.
    static WorkerRegistry* registry = new WorkerRegistry;
    return *registry;
}

void WorkerRegistry::coreCreated(const Core* core)
{
    std::lock_guard<std::mutex> guard(lock);
    aliveCores.insert(core);
}

void WorkerRegistry::coreDestroyed(const Core* core)
{
    std::lock_guard<std::mutex> guard(lock);
    aliveCores.erase(core);
}

void WorkerRegistry::workerStarted(const void* module)
{
    std::lock_guard<std::mutex> guard(lock);
    ++live[module];
}

void WorkerRegistry::workerEnded(const void* module, const Core* core, const std::function<void()>& finish)
{
    std::lock_guard<std::mutex> guard(lock);
    if (aliveCores.count(core))
        finish();
    auto it = live.find(module);
    if (it != live.end() && --it->second == 0)
        live.erase(it);
    changed.notify_all();
}

bool WorkerRegistry::waitForWorkers(const void* module, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return live.count(module) == 0; });
}

int WorkerRegistry::liveWorkers(const void* module)
{
    std::lock_guard<std::mutex> guard(lock);
    auto it = live.find(module);
    return it == live.end() ? 0 : it->second;
}
