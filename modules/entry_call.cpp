#include "modules/entry_call.h"

#include <atomic>

namespace {

// Initial-exec: the record is reached without the dynamic loader, which a
// signal handler must not call into.
thread_local EntryCall current __attribute__((tls_model("initial-exec")));

// Publishes `call`: the handler reads `module` first, so it is cleared before
// and set after the entry name changes.
void Publish(const EntryCall& call)
{
    current.module = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    current.entry = call.entry;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    current.module = call.module;
}

}  // namespace

EntryCallScope::EntryCallScope(const std::string& module, const char* entry)
    : outer(current)
{
    EntryCall call;
    call.module = module.c_str();
    call.entry = entry;
    Publish(call);
}

EntryCallScope::~EntryCallScope()
{
    Publish(outer);
}

EntryCall CurrentEntryCall()
{
    EntryCall call;
    call.module = current.module;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    call.entry = current.entry;
    return call;
}
