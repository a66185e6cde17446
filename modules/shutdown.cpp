// The close and unload passes of the Core's stop.
//
// Every Close of a stop precedes the first Unload, and every listed module
// gets its Unload, in list order, whatever its workers do: a module's Unload
// waits for its workers only within a short grace shared by the whole pass.
// A library is released right after its module's Unload. Workers are never
// joined by anyone, so the release of a library whose workers still run
// waits (boundedly, each library under its own deadline) for them to leave
// its code: a module's Close is where it has to make them return. A library whose workers do not return in time stays loaded;
// releasing it would pull the code out from under a running thread.
#include <algorithm>
#include <chrono>
#include <vector>

#include <wx/dynlib.h>
#include <wx/log.h>
#include <wx/strconv.h>

#include "core/core.h"
#include "modules/module_call.h"
#include "modules/module_library.h"
#include "pt/mutex_lock.h"
#include "routing/worker_registry.h"

namespace {

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

bool Core::CloseModules()
{
    // Open requests arriving from now on start no workers, and none walks the
    // list while it is re-sorted.
    {
        pt::writeLock lock(modulesLock);
        modulesClosing = true;
        std::stable_sort(modules.begin(), modules.end(), [](const ModuleRecord& a, const ModuleRecord& b) {
            return a.info.class_mask[5] > b.info.class_mask[5];
        });
    }

    for (ModuleRecord& record : modules)
        if (record.library)
            CloseModule(record, passWatch);
    return true;
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

bool Core::UnloadModules()
{
    // Workers that Close has just told to return are usually gone within
    // moments; a short grace, shared by the whole pass, lets a module's Unload
    // find them gone without a stuck module holding up the others for long.
    const auto grace = std::chrono::steady_clock::now() + std::chrono::milliseconds(workerGraceMs);
    std::vector<PendingRelease> pending;
    for (ModuleRecord& record : modules) {
        if (!record.library)
            continue;
        WorkerRegistry::instance().waitForWorkers(record.library, MsUntil(grace));
        UnloadModule(record);
        pending.push_back({&record, std::chrono::steady_clock::now() + std::chrono::milliseconds(workerExitTimeoutMs)});
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
    {
        pt::writeLock lock(modulesLock);
        modules.clear();
    }
    return true;
}
