#include "supervision/call_watch.h"

void CallWatch::begin(ModuleStats* module_, const char* entry_, int64_t start)
{
    // The fields of the new call must not become visible to a reader that
    // still sees the previous call's sequence number as current.
    std::atomic_thread_fence(std::memory_order_release);
    module.store(module_, std::memory_order_relaxed);
    entry.store(entry_, std::memory_order_relaxed);
    startNs.store(start, std::memory_order_relaxed);
    calls += 2;
    seq.store(calls | 1, std::memory_order_release);
}

int64_t CallWatch::end(int64_t endNs)
{
    const int64_t length = endNs - startNs.load(std::memory_order_relaxed);
    if (length > reportNs) {
        slowNs.store(length, std::memory_order_relaxed);
        slowSeq.store(calls | 1, std::memory_order_relaxed);
    }
    seq.store(calls, std::memory_order_release);
    return length;
}

CallWatch::Call CallWatch::read() const
{
    Call call;
    const uint64_t before = seq.load(std::memory_order_acquire);
    if (!(before & 1))
        return call;
    call.seq = before;
    call.module = module.load(std::memory_order_relaxed);
    call.entry = entry.load(std::memory_order_relaxed);
    call.startNs = startNs.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (seq.load(std::memory_order_relaxed) != before)
        return Call();
    return call;
}

int64_t CallWatch::slowReturn(uint64_t call) const
{
    if (seq.load(std::memory_order_acquire) == call)
        return -1;
    if (slowSeq.load(std::memory_order_relaxed) != call)
        return -1;
    return slowNs.load(std::memory_order_relaxed);
}
