// The Core's record of one accepted module.
//
// Records are copied and moved freely within the Core's module list; copies
// share `library`, and only the unload pass releases it. Destroying or copying
// a record never touches the library or the worker threads.
#pragma once

#include <cstdint>
#include <string>

#include "modules/module_api.h"

class wxDynamicLibrary;
class PluginThread;
struct ModuleStats;

struct ModuleRecord {
    wxDynamicLibrary* library = nullptr;  // owning (released by the unload pass); never null when listed
    // Entry points resolved by name at load; a missing export is null (only Load is sure).
    OrvEntryPoint Load = nullptr;
    OrvEntryPoint Unload = nullptr;
    OrvEntryPoint Open = nullptr;
    OrvEntryPoint Close = nullptr;
    OrvEntryPoint Read = nullptr;
    OrvEntryPoint Write = nullptr;
    OrvEntryPoint Seek = nullptr;
    OrvEntryPoint IOCTL = nullptr;
    PluginThread* ioctl_worker = nullptr;  // not owning; never dereferenced (it deletes itself)
    PluginThread* read_worker = nullptr;   // not owning; never dereferenced
    ModuleStats* stats = nullptr;          // not owning: the Core's counters of this module;
                                           // never null once listed (the loader sets it)
    ModuleInfo info{};                     // copy of what Load returned
    std::string file_name;                 // last component of the module file's path, as bytes
    int32_t open_code = 0;                 // what Open returned; 0 until the open pass
    int64_t load_time_ms = 0;              // wall-clock milliseconds inside Load
    int64_t open_time_ms = 0;              // wall-clock milliseconds inside Open
};
