// The passes over the listed modules, on the main thread: Open at the start,
// Close and then Unload at the stop.
//
// Every Close of a stop precedes the first Unload, and every listed module
// gets its Unload, in list order, whatever its workers do; see
// module_passes.cpp for how the libraries' release waits for the workers.
#pragma once

#include <cstdint>

#include "modules/module_list.h"

class CallWatch;

namespace ModulePasses {

// open_code of a module that exports no Open: it counts as failed.
constexpr int32_t kMissingOpenCode = -1;

// How long the unload pass lets Unload calls wait, in all, for closed
// modules' workers to return first, and how long, after a module's Unload,
// it waits for them before leaving the module's library loaded.
struct WorkerWaits {
    static constexpr int kGraceMs = 500;
    static constexpr int kExitTimeoutMs = 10000;
    int graceMs = kGraceMs;
    int exitTimeoutMs = kExitTimeoutMs;
};

// Calls each listed module's Open, timed under `watch`, and records its
// answer; a module without Open gets kMissingOpenCode.
void open(ModuleList& modules, CallWatch& watch);
// Begins closing the list and calls each module's Close under `watch`.
void close(ModuleList& modules, CallWatch& watch);
// Calls each module's Unload, releases the libraries whose workers have
// returned, and empties the list.
void unload(ModuleList& modules, const WorkerWaits& waits);

}  // namespace ModulePasses
