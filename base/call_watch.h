// One thread's module call as the stall watchdog sees it.
//
// A thread of the service that calls into modules (the event-handler thread,
// the main thread in the open and close passes) owns one CallWatch and marks
// each call's begin and end, so that a stall is only ever blamed on a module
// while its code runs. The watchdog thread reads it every cycle and times a
// call by how long it keeps seeing it: the calling side reads no clock. A
// call is named by its entry point (a WatchedEntry, one per entry point of a
// module, which also counts its calls) and that count, so marking a call
// costs the count that the counters keep anyway and one store.
//
// Thread safety: begin and end are called by the owning thread only, and an
// entry is only ever called from one thread; read by any thread. An entry's
// count is raised before the entry is published (release), so a reader that
// sees the entry reads at least this call's number: a later number only when
// a later call of the same entry has begun, which it then times from there.
#pragma once

#include <atomic>
#include <cstdint>

struct ModuleStats;

// One entry point of one module, as a watched thread calls it.
struct WatchedEntry {
    WatchedEntry(ModuleStats* module_, const char* name_) : module(module_), name(name_) {}
    WatchedEntry(const WatchedEntry&) = delete;
    WatchedEntry& operator=(const WatchedEntry&) = delete;

    ModuleStats* const module;
    const char* const name;  // "Write", "IOCTL", "Open", "Close"
    std::atomic<uint64_t> calls{0};  // written by the one thread that calls it
};

// A line of its own: the watched thread writes it at every call.
class alignas(64) CallWatch {
public:
    // What a reader saw: the entry being called (null between calls) and
    // that call's number. Two reads saw the same call when they are equal.
    struct Call {
        const WatchedEntry* entry = nullptr;
        uint64_t number = 0;
        bool operator==(const Call& other) const { return entry == other.entry && number == other.number; }
        bool operator!=(const Call& other) const { return !(*this == other); }
    };

    CallWatch() = default;
    CallWatch(const CallWatch&) = delete;
    CallWatch& operator=(const CallWatch&) = delete;

    // REQUIRES: `entry` outlives the call. Inline: the event-handler thread
    // marks every module call. A call begun before ends here.
    void begin(WatchedEntry& entry)
    {
        entry.calls.store(entry.calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        current.store(&entry, std::memory_order_release);
    }
    void end() { current.store(nullptr, std::memory_order_release); }
    Call read() const
    {
        Call call;
        call.entry = current.load(std::memory_order_acquire);
        if (call.entry)
            call.number = call.entry->calls.load(std::memory_order_relaxed);
        return call;
    }

private:
    std::atomic<const WatchedEntry*> current{nullptr};
};

// A watched call for the length of a scope.
class WatchedCall {
public:
    WatchedCall(CallWatch& watch, WatchedEntry& entry) : watch(watch) { watch.begin(entry); }
    ~WatchedCall() { watch.end(); }
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;

private:
    CallWatch& watch;
};
