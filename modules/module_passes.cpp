// The passes over the listed modules: the open pass of the start, the close
// and unload passes of the stop.
//
// Every Close of a stop precedes the first Unload, and every listed module
// gets its Unload, in list order, whatever its workers do: a module's Unload
// waits for its workers only within a short grace shared by the whole pass.
// A library is released right after its module's Unload. Workers are never
// joined by anyone, so the release of a library whose workers still run
// waits (boundedly, each library under its own deadline) for them to leave
// its code: a module's Close is where it has to make them return. A library whose workers do not return in time stays loaded;
// releasing it would pull the code out from under a running thread.
#include "modules/module_passes.h"

#include <chrono>
#include <vector>

#include <wx/dynlib.h>
#include <wx/log.h>
#include <wx/strconv.h>

#include "base/service_stats.h"
#include "base/thread_log.h"
#include "modules/module_call.h"
#include "modules/module_library.h"
#include "modules/worker_registry.h"

namespace {

void OpenModule(ModuleRecord& record, CallWatch& watch)
{
    if (!record.Open) {
        record.open_code = ModulePasses::kMissingOpenCode;
        record.open_time_ms = 0;
        return;
    }
    const int32_t code = ModuleCall::Open(record, watch);
    record.open_code = code;
    record.stats->openCode.store(code, std::memory_order_relaxed);
    record.stats->opened.store(true, std::memory_order_relaxed);
    if (code != 0)
        ThreadLog::warning("plugin %s ID 0x%08lX: open returned %d", record.file_name.c_str(),
                           static_cast<unsigned long>(record.info.module_id), code);
}

void CloseModule(ModuleRecord& record, CallWatch& watch)
{
    record.read_worker = nullptr;
    if (record.Close)
        ModuleCall::Close(record, watch);
}

void UnloadModule(ModuleRecord& record)
{
    record.ioctl_worker = nullptr;
    if (record.Unload)
        ModuleCall::Unload(record);
}

// Libraries left loaded because their workers did not return. Kept
// reachable for the life of the process: the threads may still run them.
void Abandon(wxDynamicLibrary* library)
{
    static std::vector<wxDynamicLibrary*>* abandoned = new std::vector<wxDynamicLibrary*>;
    abandoned->push_back(library);
}

// Milliseconds left until `deadline`, never negative.
int MsUntil(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

void ModulePasses::open(ModuleList& modules, CallWatch& watch)
{
    for (ModuleRecord& record : modules.records())
        if (record.library)
            OpenModule(record, watch);
}

void ModulePasses::close(ModuleList& modules, CallWatch& watch)
{
    // Open requests arriving from now on start no workers, and none walks the
    // list while it is re-sorted.
    modules.beginClosing();
    for (ModuleRecord& record : modules.records())
        if (record.library)
            CloseModule(record, watch);
}

namespace {

// A library waiting for its workers before it is released.
struct PendingRelease {
    ModuleRecord* record;
    std::chrono::steady_clock::time_point deadline;
};

void LeaveLoaded(ModuleRecord& record)
{
    const WorkerRegistry::Live live = WorkerRegistry::instance().live(record.library);
    wxLogError("plugin %s: worker threads still running, leaving the library loaded"
               " (%d inside Read, %d inside IOCTL)",
               wxString(record.file_name.c_str(), *wxConvFileName), live.read, live.ioctl);
    Abandon(record.library);
    record.library = nullptr;
}

// Releases, in list order, each library whose workers have all returned;
// leaves loaded each one whose deadline has passed. Returns the rest.
std::vector<PendingRelease> ReleaseReady(const std::vector<PendingRelease>& pending)
{
    std::vector<PendingRelease> left;
    const auto now = std::chrono::steady_clock::now();
    for (const PendingRelease& entry : pending) {
        ModuleRecord& record = *entry.record;
        if (WorkerRegistry::instance().liveWorkers(record.library) == 0) {
            ReleaseModuleLibrary(record.library);
            record.library = nullptr;
        } else if (now >= entry.deadline) {
            LeaveLoaded(record);
        } else {
            left.push_back(entry);
        }
    }
    return left;
}

}  // namespace

void ModulePasses::unload(ModuleList& modules, const WorkerWaits& waits)
{
    // Workers that Close has just told to return are usually gone within
    // moments; a short grace, shared by the whole pass, lets a module's Unload
    // find them gone without a stuck module holding up the others for long.
    const auto grace = std::chrono::steady_clock::now() + std::chrono::milliseconds(waits.graceMs);
    std::vector<PendingRelease> pending;
    for (ModuleRecord& record : modules.records()) {
        if (!record.library)
            continue;
        WorkerRegistry::instance().waitForWorkers(record.library, MsUntil(grace));
        UnloadModule(record);
        pending.push_back({&record, std::chrono::steady_clock::now() + std::chrono::milliseconds(waits.exitTimeoutMs)});
        // Right after its own Unload, unless its workers still run.
        pending = ReleaseReady(pending);
    }
    // A stuck module's wait runs beside the others': each library goes as
    // soon as its own workers have returned.
    while (!pending.empty()) {
        const uint64_t seen = WorkerRegistry::instance().generation();
        pending = ReleaseReady(pending);
        if (!pending.empty())
            WorkerRegistry::instance().waitForChange(seen, MsUntil(pending.front().deadline));
    }
    modules.clear();
}
