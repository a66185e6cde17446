// One thread's module call as the stall watchdog sees it.
//
// A thread of the service that calls into modules (the event-handler thread,
// the main thread in the open and close passes) owns one CallWatch and marks
// each call's begin and end, so that a stall is only ever blamed on a module
// while its code runs. The watchdog thread reads it every cycle and times a
// call by how long it keeps seeing it: the calling side only stores which
// call it is in, and reads no clock, so a watched call costs a few stores.
//
// Thread safety: begin and end are called by the owning thread only; read by
// any thread. `seq` orders them like a sequence lock: it is odd while a call
// runs, each call has its own value, and the fields of a call are stored
// before its odd value is published, so a reader that sees the same odd value
// before and after reading the fields read that call. All of it is release
// stores and acquire loads, which cost nothing more than plain ones on x86.
#pragma once

#include <atomic>
#include <cstdint>

struct ModuleStats;

// A line of its own: the watched thread writes it at every call.
class alignas(64) CallWatch {
public:
    // What a reader saw: `seq` and, while a call runs (odd seq), the call.
    struct Call {
        uint64_t seq = 0;
        ModuleStats* module = nullptr;  // null between calls
        const char* entry = nullptr;    // "Write", "IOCTL", "Open", "Close"
    };

    CallWatch() = default;
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

    // REQUIRES: `module` outlives the call; `entry` is a literal. Inline:
    // the event-handler thread marks every module call.
    void begin(ModuleStats* module_, const char* entry_)
    {
        // The call before ends first, if it was not ended, and the fields are
        // release stores: a reader that sees either field of the new call
        // also sees that end, so it finds `seq` changed.
        end();
        module.store(module_, std::memory_order_release);
        entry.store(entry_, std::memory_order_release);
        calls += 2;
        seq.store(calls | 1, std::memory_order_release);
    }
    void end() { seq.store(calls, std::memory_order_release); }
    Call read() const;

private:
    uint64_t calls = 0;  // owning thread only
    std::atomic<uint64_t> seq{0};
    std::atomic<ModuleStats*> module{nullptr};
    std::atomic<const char*> entry{nullptr};
};

// A watched call for the length of a scope.
class WatchedCall {
public:
    WatchedCall(CallWatch& watch, ModuleStats* module, const char* entry) : watch(watch)
    {
        watch.begin(module, entry);
    }
    ~WatchedCall() { watch.end(); }
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;

private:
    CallWatch& watch;
};
