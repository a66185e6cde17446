// One thread's module call as the stall watchdog sees it.
//
// A thread of the service that calls into modules (the event-handler thread,
// the main thread in the open and close passes) owns one CallWatch and marks
// each call's begin and end. The watchdog thread reads it every cycle and
// tells a call that has run too long; nothing on the calling side waits,
// locks or reads a clock of its own, so a watched call costs a few stores.
//
// Times are CoarseNowNs values: the kernel's coarse monotonic clock, read
// without a system call and exact to one scheduler tick (a few ms), which is
// as fine as a watchdog of seconds needs.
//
// Thread safety: begin and end are called by the owning thread only; read
// and slowReturn by any thread. `seq` orders them like a sequence lock: it is
// odd while a call runs, each call has its own value, and the fields of a
// call are stored before its odd value is published, so a reader that sees
// the same odd value before and after reading the fields read that call.
// Invariants:
//  - A call that ran longer than `reportNs` leaves its sequence number and
//    length in the slow-return fields before its end is published, so a
//    watcher that saw the call stalled finds its length once it has ended.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

struct ModuleStats;

// Nanoseconds of the coarse monotonic clock.
inline int64_t CoarseNowNs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

class CallWatch {
public:
    // What a reader saw: a call in progress, or none (module null).
    struct Call {
        uint64_t seq = 0;
        ModuleStats* module = nullptr;
        const char* entry = nullptr;  // "Write", "IOCTL", "Open", "Close"
        int64_t startNs = 0;
    };

    explicit CallWatch(int64_t reportNs) : reportNs(reportNs) {}
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

    // REQUIRES: `module` outlives the call; `entry` is a literal.
    void begin(ModuleStats* module, const char* entry, int64_t startNs);
    // Ends the call begun last, at `endNs`; returns its length.
    int64_t end(int64_t endNs);

    // The call in progress, or a Call with a null module.
    Call read() const;
    // The length of call `seq` if it ran longer than reportNs and has ended;
    // -1 otherwise.
    int64_t slowReturn(uint64_t seq) const;

private:
    const int64_t reportNs;
    uint64_t calls = 0;  // owning thread only
    std::atomic<uint64_t> seq{0};
    std::atomic<ModuleStats*> module{nullptr};
    std::atomic<const char*> entry{nullptr};
    std::atomic<int64_t> startNs{0};
    std::atomic<uint64_t> slowSeq{0};
    std::atomic<int64_t> slowNs{0};
};

// A watched call for the length of a scope, timed with the coarse clock.
class WatchedCall {
public:
    WatchedCall(CallWatch& watch, ModuleStats* module, const char* entry) : watch(watch)
    {
        watch.begin(module, entry, CoarseNowNs());
    }
    ~WatchedCall() { watch.end(CoarseNowNs()); }
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;

private:
    CallWatch& watch;
};
