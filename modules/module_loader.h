// Loading the modules at start: every candidate file of the plug-in folders
// gets exactly one attempt, in path order, and ends listed, refused with a
// log line, recorded as not loaded, or silently skipped when it exports no
// "Load".
//
// Thread safety: main thread only, before the Core's threads exist.
#pragma once

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "modules/module_api.h"
#include "modules/module_list.h"

class ServiceStats;

class ModuleLoader {
public:
    // What the loader asks of the rest of the service.
    struct Hooks {
        std::function<void(const std::string&)> sendText;     // a text notice to the modules
        std::function<void(ModuleRecord&)> startIoctlWorker;  // for a module that wants one
    };

    // Lists modules in `modules`, counts them in `stats`, and hands `core`
    // and `callback` to each module's Load. All outlive the loader.
    ModuleLoader(ModuleList& modules, ServiceStats& stats, void* core, OrvCallback callback, Hooks hooks);

    // Loads the candidates of the plug-in folders beside the executable at
    // `executablePath`; true when any module is listed.
    bool loadAll(const std::string& executablePath);

private:
    void loadCandidate(const boost::filesystem::path& path, std::set<uint64_t>& seenIds);
    void noteNotLoaded(const std::string& name, const std::string& reason);

    ModuleList& modules;
    ServiceStats& stats;
    void* core;
    OrvCallback callback;
    Hooks hooks;
};
