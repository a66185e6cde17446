#include "modules/entry_call.h"

#include "base/log_limiter.h"
#include "base/thread_log.h"

__thread EntryCall entry_call_detail::current __attribute__((tls_model("initial-exec")));

EntryCall CurrentEntryCall()
{
    using entry_call_detail::current;
    EntryCall call;
    call.module = current.module;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    call.entry = current.entry;
    return call;
}

void ReportEntryException(const char* module, const char* entry, const char* what)
{
    static LogLimiter limiter;
    uint64_t heldBack = 0;
    if (!limiter.allow(heldBack))
        return;
    ThreadLog::error("plugin %s: %s threw an exception (%s); the call counts as failed%s", module, entry, what,
                     LogLimiter::HeldBackNote(heldBack).text);
}
