#include "base/call_watch.h"

CallWatch::Call CallWatch::read() const
{
    Call call;
    call.seq = seq.load(std::memory_order_acquire);
    if (!(call.seq & 1))
        return call;
    call.module = module.load(std::memory_order_acquire);
    call.entry = entry.load(std::memory_order_acquire);
    if (seq.load(std::memory_order_relaxed) != call.seq) {
        // A newer call began meanwhile: report it as a change only.
        call.seq = 0;
        call.module = nullptr;
    }
    return call;
}
