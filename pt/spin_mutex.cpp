#include "pt/spin_mutex.h"

#include <sched.h>
#include <time.h>

#include "pt/spin_pause.h"

namespace pt {

namespace {
// Spins first, long enough for the holds this lock is for; then yields the
// core to the holder, if it waits for one; and past that (a holder that
// grows a large buffer, or lost its core for long) sleeps in short naps, so
// that waiting for a long hold does not burn a core.
constexpr int kSpins = 64;
constexpr int kYields = 64;
constexpr long kNapNs = 50000;
}  // namespace

void spinMutex::waitUntilFree() const
{
    for (int i = 0; held.load(std::memory_order_relaxed); ++i) {
        if (i < kSpins) {
            spinPause();
        } else if (i < kSpins + kYields) {
            sched_yield();
        } else {
            const timespec nap{0, kNapNs};
            nanosleep(&nap, nullptr);
        }
    }
}

}  // namespace pt
