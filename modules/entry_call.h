// Which module entry point the calling thread is in.
//
// Every call of a module's entry point is made inside an EntryCallScope (by
// the calls of modules/module_call.h), so that at any moment each thread can
// say which module's code it runs: the crash report reads it from a signal
// handler. A thread of a module's own, outside any call the service made, is
// in no entry point.
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

#include <atomic>
#include <cstdint>
#include <string>

// Plain (no initializers): a thread's record is zero from the thread's start,
// and other files reach it without a call to a thread-local initializer.
struct EntryCall {
    const char* module;  // the module's file name (bytes); null outside any entry point
    const char* entry;   // "Load", "Write", ...; meaningful only with `module`
};

namespace entry_call_detail {

// The calling thread's record. Initial-exec: it is reached without the
// dynamic loader, which a signal handler must not call into.
extern __thread EntryCall current __attribute__((tls_model("initial-exec")));

// Publishes `call`: the handler reads `module` first, so it is cleared before
// and set after the entry name changes.
inline void Publish(const EntryCall& call)
{
    current.module = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    current.entry = call.entry;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    current.module = call.module;
}

}  // namespace entry_call_detail

// Marks the calling thread as inside `entry` of `module` for the scope's
// lifetime; scopes nest (the outer call is restored). Inline: the event
// handler opens one for every module call.
// REQUIRES: `module` stays unchanged and alive until the scope ends.
class EntryCallScope {
public:
    EntryCallScope(const std::string& module, const char* entry) : outer(entry_call_detail::current)
    {
        EntryCall call;
        call.module = module.c_str();
        call.entry = entry;
        entry_call_detail::Publish(call);
    }
    ~EntryCallScope() { entry_call_detail::Publish(outer); }
    EntryCallScope(const EntryCallScope&) = delete;
    EntryCallScope& operator=(const EntryCallScope&) = delete;

private:
    EntryCall outer;  // what the thread was in before this scope
};

// The calling thread's current entry point. Async-signal-safe.
EntryCall CurrentEntryCall();
