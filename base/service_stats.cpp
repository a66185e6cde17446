#include "base/service_stats.h"

#include <algorithm>

#include "pt/mutex_lock.h"

namespace {

std::atomic<uint64_t> tableGenerations{0};

// The last lookup of the calling thread: senders and the event-handler thread
// mostly ask for the same id again and again.
struct LookupCache {
    uint64_t generation = 0;
    uint64_t moduleId = 0;
    ModuleStats* stats = nullptr;
};
// Initial-exec: the service is linked into its executable, where this needs
// no call into the dynamic loader.
thread_local LookupCache lastLookup __attribute__((tls_model("initial-exec")));

}  // namespace

uint64_t ModuleStats::waiting() const
{
    const uint64_t done = sentPassed.load(std::memory_order_relaxed);
    const uint64_t accepted = sentAccepted.load(std::memory_order_relaxed);
    return accepted > done ? accepted - done : 0;
}

ModuleStats* ServiceStats::add(uint64_t moduleId, const std::string& fileName)
{
    auto stats = std::make_unique<ModuleStats>(moduleId, fileName);
    auto table = std::make_unique<IdTable>();
    const IdTable* old = current.load(std::memory_order_relaxed);
    if (old)
        table->byId = old->byId;
    auto at = std::lower_bound(table->byId.begin(), table->byId.end(), std::make_pair(moduleId, (ModuleStats*)nullptr));
    table->byId.insert(at, std::make_pair(moduleId, stats.get()));
    table->generation = ++tableGenerations;

    ModuleStats* added = stats.get();
    pt::mutexLock lock(listLock);
    // Both reserved before anything changes: out of memory leaves both as
    // they were.
    modules.reserve(modules.size() + 1);
    tables.reserve(tables.size() + 1);
    modules.push_back(std::move(stats));
    current.store(table.get(), std::memory_order_release);
    tables.push_back(std::move(table));
    return added;
}

ModuleStats* ServiceStats::find(uint64_t moduleId) const
{
    const IdTable* table = current.load(std::memory_order_acquire);
    if (!table)
        return nullptr;
    LookupCache& cache = lastLookup;
    if (cache.generation == table->generation && cache.moduleId == moduleId)
        return cache.stats;
    auto at = std::lower_bound(table->byId.begin(), table->byId.end(), moduleId,
                               [](const std::pair<uint64_t, ModuleStats*>& entry, uint64_t id) { return entry.first < id; });
    ModuleStats* found = at != table->byId.end() && at->first == moduleId ? at->second : nullptr;
    cache.generation = table->generation;
    cache.moduleId = moduleId;
    cache.stats = found;
    return found;
}

void ServiceStats::forEach(const std::function<void(const ModuleStats&)>& visit) const
{
    pt::mutexLock lock(listLock);
    for (const auto& stats : modules)
        visit(*stats);
}

size_t ServiceStats::moduleCount() const
{
    pt::mutexLock lock(listLock);
    return modules.size();
}

uint64_t ServiceStats::depth() const
{
    const uint64_t out = delivered.load(std::memory_order_relaxed);
    const uint64_t in = queued.load(std::memory_order_relaxed);
    return in > out ? in - out : 0;
}

uint64_t ServiceStats::depthBytes() const
{
    const uint64_t out = deliveredBytes.load(std::memory_order_relaxed);
    const uint64_t in = queuedBytes.load(std::memory_order_relaxed);
    return in > out ? in - out : 0;
}

void ServiceStats::countQueued(uint64_t bytes)
{
    Bump(queued);
    if (bytes)
        Bump(queuedBytes, bytes);
}

void ServiceStats::noteDepth()
{
    const uint64_t now = depth();
    if (now > depthMax.load(std::memory_order_relaxed))
        depthMax.store(now, std::memory_order_relaxed);
}

void ServiceStats::countDelivered(uint64_t messages, uint64_t bytes)
{
    Bump(delivered, messages);
    Bump(deliveredBytes, bytes);
}
