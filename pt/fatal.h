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
// exits with `code`.
[[noreturn]] void fatal(int code, const char* message);

}  // namespace pt
