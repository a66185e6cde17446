// Where the open module libraries lie in memory, so that a crash report can
// name the module whose code a thread was running outside any entry point
// (a thread of the module's own).
//
// Thread safety: AddModuleImage and RemoveModuleImage run on the main thread
// (where libraries are opened and released). FindModuleImage may run on any
// thread at any time, in a signal handler too: it reads the table without a
// lock or an allocation.
//
// Invariants:
//  - A slot's range is published (its start stored) only after its end and
//    name are written, and withdrawn before they change.
//  - A library's range is withdrawn before the library is closed.
#pragma once

#include <cstdint>
#include <string>

// Records the memory range of the open library `handle`, loaded from a file
// named `fileName` (its last path component). Libraries beyond the table's
// size are not recorded.
void AddModuleImage(void* handle, const std::string& fileName);
// Withdraws the range of `handle`; call before closing the library.
void RemoveModuleImage(void* handle);
// The file name of the module whose image holds `address`, or null.
// Async-signal-safe.
const char* FindModuleImage(uintptr_t address);
