// Fatal exit of the threading primitives. Their failures are never returned
// to callers: the process reports the code and ends, so callers need no error
// paths for them.
#pragma once

namespace pt {

// Failure codes; the process's exit status is the low 8 bits of the code.
enum : int {
    FATAL_THREAD_CREATE = 0xC0028,   // "pthread_create() failed"
    FATAL_SEMAPHORE = 0xC0029,       // semaphore, timed semaphore or trigger
    FATAL_WAITFOR_SELF = 0xC002F,    // "Can not waitfor() on myself"
    FATAL_WAITFOR_AUTOFREE = 0xC0030,  // "Can not waitfor() on an autofree thread"
    FATAL_NO_MEMORY = 0xC0005,       // "Not enough memory"
};

// Writes "\nInternal [<code in hex>]: <message>\n" to standard error and
// exits with `code`. The reporter, when one is set, is called first.
[[noreturn]] void fatal(int code, const char* message);

// Receives a fatal failure before the process exits, on the failing thread,
// so that the service's log says why it ended. It must not throw or call fatal.
using fatalReporter = void (*)(int code, const char* message);
void setFatalReporter(fatalReporter reporter);

}  // namespace pt
