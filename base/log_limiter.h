// Rate limit for a kind of log line that a module can cause without bound
// (an exception from every call, a thread refused for every request).
//
// At most kLines lines a second get through; the lines held back meanwhile
// are counted, and the next line that gets through says how many there were.
//
// Thread safety: allow may be called from any thread; it takes no lock and
// allocates nothing, so it may be used on an out-of-memory path. Near the
// turn of a second a line or two more may get through: the limit is a guard
// against floods, not an exact count.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

class LogLimiter {
public:
    LogLimiter() = default;
    LogLimiter(const LogLimiter&) = delete;
    LogLimiter& operator=(const LogLimiter&) = delete;

    // True when a line may be written now; `heldBack` is then the number of
    // lines held back before it. False counts this line as held back.
    bool allow(uint64_t& heldBack)
    {
        const int64_t second = NowMs() / 1000;
        int64_t current = window.load(std::memory_order_relaxed);
        if (second != current && window.compare_exchange_strong(current, second))
            written.store(0, std::memory_order_relaxed);
        if (written.fetch_add(1, std::memory_order_relaxed) >= kLines) {
            held.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        heldBack = held.exchange(0);
        return true;
    }

    // Text for the end of a line that got through: the lines held back
    // before it, or nothing when there were none.
    struct HeldBackNote {
        char text[64] = "";
        explicit HeldBackNote(uint64_t heldBack)
        {
            if (heldBack)
                std::snprintf(text, sizeof text, " (%llu more not logged)", static_cast<unsigned long long>(heldBack));
        }
    };

private:
    static constexpr int kLines = 10;

    static int64_t NowMs()
    {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }

    std::atomic<int64_t> window{-1};  // the monotonic second that `written` counts in
    std::atomic<int> written{0};      // lines asked for in that second
    std::atomic<uint64_t> held{0};    // lines held back since the last one written
};
