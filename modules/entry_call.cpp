#include "modules/entry_call.h"

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
