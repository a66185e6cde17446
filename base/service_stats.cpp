#include "base/service_stats.h"

#include <algorithm>

#include "pt/mutex_lock.h"

namespace {

std::atomic<uint64_t> tableGenerations{0};

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

ModuleStats* ServiceStats::lookUp(const IdTable* table, uint64_t moduleId) const
{
    if (!table)
        return nullptr;
    LookupCache& cache = lastLookup();
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

uint64_t ServiceStats::depthBytes() const
{
    const uint64_t out = deliveredBytes.load(std::memory_order_relaxed);
    const uint64_t in = queuedBytes.load(std::memory_order_relaxed);
    return in > out ? in - out : 0;
}
