// Opening, inspecting and releasing a module's shared library.
//
// File names are byte strings end to end: a path is handed to the dynamic
// loader exactly as found on disk, never through a text conversion. (A
// conversion that fails gives an empty name, and the loader opens the
// program itself for an empty name.) The handle is then attached to a
// wxDynamicLibrary so the rest of the service keeps the library's interface.
//
// Thread safety: call from one thread at a time (the main thread, at start
// and stop).
#pragma once

#include <string>

#include "modules/module_api.h"

class wxDynamicLibrary;

// Opens the library at `path` with every undefined symbol resolved at once
// and its own symbols kept private. Null on failure, with the dynamic
// loader's reason in `reason`. The caller owns the result.
wxDynamicLibrary* OpenModuleLibrary(const std::string& path, std::string& reason);

// The export `name` of `library`, or null when absent; absence is normal for
// optional entry points and is not logged.
OrvEntryPoint FindEntryPoint(const wxDynamicLibrary& library, const char* name);

// Closes the library if it is open and deletes the object; null is allowed.
void ReleaseModuleLibrary(wxDynamicLibrary* library);
