#include "pt/signal_stack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

namespace pt {

namespace {

// Far more than a handler that formats one line and writes it needs, also
// under the sanitizers; untouched pages cost no memory.
constexpr size_t kStackBytes = 64 * 1024;

}  // namespace

signal_stack::signal_stack() : memory(nullptr), size(0)
{
    stack_t current;
    if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE))
        return;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t length = kStackBytes + page;
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED)
        return;
    // The lowest page stays inaccessible: a handler that overran the stack
    // faults there instead of writing over whatever lies below.
    mprotect(mapping, page, PROT_NONE);
    stack_t stack = {};
    stack.ss_sp = static_cast<char*>(mapping) + page;
    stack.ss_size = kStackBytes;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(mapping, length);
        return;
    }
    memory = mapping;
    size = length;
}

signal_stack::~signal_stack()
{
    if (!memory)
        return;
    stack_t none = {};
    none.ss_flags = SS_DISABLE;
    sigaltstack(&none, nullptr);
    munmap(memory, size);
}

}  // namespace pt
