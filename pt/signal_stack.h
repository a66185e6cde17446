// An alternate signal stack for one thread: a handler of a fatal signal can
// still run, and report, when the thread's own stack has overflowed.
//
// Every thread of the library runs on one (see thread::entry); the main
// thread gets its own from whoever installs the handler. The handler has to
// ask for it (SA_ONSTACK).
//
// Thread safety: an object belongs to the thread that created it, and must be
// destroyed on that thread.
// Invariants: the thread's alternate stack is this object's memory exactly
// while `memory` is non-null; it is taken away before that memory goes.
#pragma once

#include <cstddef>

namespace pt {

class signal_stack {
public:
    // Gives the calling thread an alternate stack, unless it has one already
    // (a sanitizer's runtime sets up its own). Without memory for one, the
    // thread goes on without: a handler then cannot run after an overflow.
    signal_stack();
    // Takes the stack away from the calling thread and releases it.
    ~signal_stack();
    signal_stack(const signal_stack&) = delete;
    signal_stack& operator=(const signal_stack&) = delete;

private:
    void* memory;  // owned mapping: a guard page, then the stack; or null
    size_t size;   // of the whole mapping
};

}  // namespace pt
