// Loading the modules at start: every candidate file gets exactly one attempt,
// in path order, and ends listed, refused with a log line, recorded as not
// loaded, or silently skipped when it exports no "Load".
//
// Runs on the main thread inside Start, before the Core's threads exist. The
// IOCTL workers it starts, and module threads calling the callback, may read
// the list meanwhile (open requests), so every insertion takes the list's
// lock exclusively; no lock is held while a module's Load runs.
#include "modules/module_loader.h"

#include <wx/dynlib.h>
#include <wx/log.h>
#include <wx/strconv.h>

#include <new>
#include <set>

#include "base/service_stats.h"
#include "modules/module_call.h"
#include "modules/module_files.h"
#include "modules/module_library.h"

namespace {

// For log lines only: keeps every byte readable whatever the locale.
wxString LogText(const std::string& bytes)
{
    return wxString(bytes.c_str(), *wxConvFileName);
}

void ResolveEntryPoints(ModuleRecord& record)
{
    const wxDynamicLibrary& library = *record.library;
    record.Load = FindEntryPoint(library, "Load");
    record.Unload = FindEntryPoint(library, "Unload");
    record.Open = FindEntryPoint(library, "Open");
    record.Close = FindEntryPoint(library, "Close");
    record.Read = FindEntryPoint(library, "Read");
    record.Write = FindEntryPoint(library, "Write");
    record.Seek = FindEntryPoint(library, "Seek");
    record.IOCTL = FindEntryPoint(library, "IOCTL");
}

// Ids that the routing gives a meaning of its own; such a module still loads.
void WarnOfReservedId(const std::string& name, uint64_t id)
{
    if (id == 0)
        wxLogWarning("plugin %s ID 0x00000000: every message it sends is taken as a request command",
                     LogText(name));
    else if (id == ORV_CORE_ID)
        wxLogWarning("plugin %s ID 0x80000000 is the service's own ID: its messages look like the service's",
                     LogText(name));
}

}  // namespace

ModuleLoader::ModuleLoader(ModuleList& modules_, ServiceStats& stats_, void* core_, OrvCallback callback_,
                           Hooks hooks_)
    : modules(modules_), stats(stats_), core(core_), callback(callback_), hooks(std::move(hooks_))
{
}

void ModuleLoader::noteNotLoaded(const std::string& name, const std::string& reason)
{
    wxLogError("plugin %s could not be opened: %s", LogText(name), LogText(reason));
    hooks.sendText("Failed to load plugin: " + name + " (missing dependency)");
    modules.noteNotLoaded(name);
}

void ModuleLoader::loadCandidate(const boost::filesystem::path& path, std::set<uint64_t>& seenIds)
{
    ModuleRecord record;
    record.file_name = path.filename().string();
    std::string reason;
    record.library = OpenModuleLibrary(path.string(), reason);
    if (!record.library) {
        noteNotLoaded(record.file_name, reason);
        return;
    }
    ResolveEntryPoints(record);
    if (!record.Load) {
        ReleaseModuleLibrary(record.library);
        return;
    }
    ModuleInfo info;
    const int32_t rc = ModuleCall::Load(record, core, callback, info);
    if (rc != 0 || info.load_error != 0) {
        wxLogError("plugin %s load returned %d error %d", LogText(record.file_name), rc, info.load_error);
        ReleaseModuleLibrary(record.library);
        return;
    }
    if (!seenIds.insert(info.module_id).second) {
        wxLogWarning("plugin %s ID 0x%08lX already loaded", LogText(record.file_name),
                     static_cast<unsigned long>(info.module_id));
        ReleaseModuleLibrary(record.library);
        return;
    }
    WarnOfReservedId(record.file_name, info.module_id);
    record.info = info;
    record.stats = stats.add(info.module_id, record.file_name);
    if (info.wants_ioctl_worker)
        hooks.startIoctlWorker(record);
    modules.insert(record);
}

bool ModuleLoader::loadAll(const std::string& executablePath)
{
    CandidateSet candidates;
    for (const std::string& directory : PluginDirectories(executablePath))
        FindModuleFiles(directory, ".so", candidates);
    std::set<uint64_t> seenIds;
    for (const boost::filesystem::path& path : candidates) {
        // Memory that runs out while one file is loaded costs that file only.
        try {
            loadCandidate(path, seenIds);
        } catch (const std::bad_alloc&) {
            wxLogError("plugin %s not loaded: out of memory", LogText(path.filename().string()));
        }
    }
    return !modules.records().empty();
}
