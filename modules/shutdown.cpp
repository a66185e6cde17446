// The close and unload passes of the Core's stop.
//
// Every Close of a stop precedes the first Unload. Workers are never joined
// by anyone, so before a module's library is released the unload pass waits
// (boundedly) for the module's live workers to leave its code: a module's
// Close is where it has to make them return. A module whose workers do not
// return in time keeps its library loaded; releasing it would pull the code
// out from under a running thread.
#include <algorithm>
#include <chrono>
#include <vector>

#include <wx/dynlib.h>
#include <wx/log.h>
#include <wx/strconv.h>

#include "core/core.h"
#include "modules/boundary_record.h"
#include "modules/module_library.h"
#include "routing/worker_registry.h"

namespace {

void CloseModule(ModuleRecord& record)
{
    record.read_worker = nullptr;
    if (!record.Close)
        return;
    CloseArgs args = NewRecord<CloseArgs>();
    CloseReply reply = NewRecord<CloseReply>();
    record.Close(&args, &reply);
}

void UnloadModule(ModuleRecord& record)
{
    record.ioctl_worker = nullptr;
    if (record.Unload) {
        UnloadArgs args = NewRecord<UnloadArgs>();
        UnloadReply reply = NewRecord<UnloadReply>();
        record.Unload(&args, &reply);
    }
    ReleaseModuleLibrary(record.library);
    record.library = nullptr;
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
    pthread_rwlock_wrlock(&modulesLock);
    modulesClosing = true;
    std::stable_sort(modules.begin(), modules.end(), [](const ModuleRecord& a, const ModuleRecord& b) {
        return a.info.class_mask[5] > b.info.class_mask[5];
    });
    pthread_rwlock_unlock(&modulesLock);

    for (ModuleRecord& record : modules)
        if (record.library)
            CloseModule(record);
    return true;
}

bool Core::UnloadModules()
{
    // One deadline for the whole pass: every module has been closed already,
    // so all their workers have had the same time to return.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(workerExitTimeoutMs);
    for (ModuleRecord& record : modules) {
        if (!record.library)
            continue;
        if (!WorkerRegistry::instance().waitForWorkers(record.library, MsUntil(deadline))) {
            wxLogError("plugin %s: worker threads still running, leaving the library loaded",
                       wxString(record.file_name.c_str(), *wxConvFileName));
            record.ioctl_worker = nullptr;
            Abandon(record.library);
            record.library = nullptr;
            continue;
        }
        UnloadModule(record);
    }
    pthread_rwlock_wrlock(&modulesLock);
    modules.clear();
    pthread_rwlock_unlock(&modulesLock);
    return true;
}
