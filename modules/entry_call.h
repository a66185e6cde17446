// Which module entry point the calling thread is in.
//
// Every call of a module's entry point is made inside an EntryCallScope, so
// that at any moment each thread can say which module's code it runs: the
// crash report reads it from a signal handler. A thread of a module's own,
// outside any call the service made, is in no entry point.
//
// Thread safety: a scope touches only the calling thread's record.
// CurrentEntryCall is async-signal-safe: it reads that record without a lock
// or an allocation, and a scope publishes the entry name before the module
// name, so a handler that sees a module name also sees its entry.
//
// Invariants:
//  - The texts a record points to outlive the scope that published them: the
//    module file name belongs to a record or a worker that stays put for the
//    length of the call, the entry name is a literal.
#pragma once

#include <string>

struct EntryCall {
    const char* module = nullptr;  // the module's file name (bytes); null outside any entry point
    const char* entry = nullptr;   // "Load", "Write", ...; meaningful only with `module`
};

// Marks the calling thread as inside `entry` of `module` for the scope's
// lifetime; scopes nest (the outer call is restored).
// REQUIRES: `module` stays unchanged and alive until the scope ends.
class EntryCallScope {
public:
    EntryCallScope(const std::string& module, const char* entry);
    ~EntryCallScope();
    EntryCallScope(const EntryCallScope&) = delete;
    EntryCallScope& operator=(const EntryCallScope&) = delete;

private:
    EntryCall outer;  // what the thread was in before this scope
};

// The calling thread's current entry point. Async-signal-safe.
EntryCall CurrentEntryCall();
