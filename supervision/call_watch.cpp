#include "supervision/call_watch.h"

void CallWatch::begin(ModuleStats* module_, const char* entry_)
{
    // The fields of the new call must not become visible to a reader that
    // still sees the previous call's sequence number as current.
    std::atomic_thread_fence(std::memory_order_release);
    module.store(module_, std::memory_order_relaxed);
    entry.store(entry_, std::memory_order_relaxed);
    calls += 2;
    seq.store(calls | 1, std::memory_order_release);
}

void CallWatch::end()
{
    seq.store(calls, std::memory_order_release);
}

CallWatch::Call CallWatch::read() const
{
    Call call;
    call.seq = seq.load(std::memory_order_acquire);
    if (!(call.seq & 1))
        return call;
    call.module = module.load(std::memory_order_relaxed);
    call.entry = entry.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq.load(std::memory_order_relaxed) != call.seq) {
        // A newer call began meanwhile: report it as a change only.
        call.seq = 0;
        call.module = nullptr;
    }
    return call;
}
