// One step of a busy wait.
//
// Tells the core that the thread is waiting for another one: it saves power
// and leaves the core's shared resources to the other hardware thread.
#pragma once

namespace pt {

inline void spinPause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace pt
