// The counters the service keeps about its routing and each loaded module:
// what the host interface reports, and what the stall watchdog reads to name
// the modules behind a long queue.
//
// Counters are plain atomics updated with relaxed order: each is exact on its
// own, a set of them read together is not one atomic picture. Counters that a
// single thread writes (the event-handler thread's, those written under
// queueLock) are bumped with a load and a store rather than a locked
// read-modify-write, which keeps the delivery path as cheap as before.
//
// Thread safety: add runs on the main thread (the loader); find, forEach and
// the counters on any thread. The id table is published copy-on-write: a
// reader takes the current table with one acquire load and never a lock;
// every table stays alive until the ServiceStats is destroyed.
// Invariants:
//  - A ModuleStats, once added, stays at its address until the ServiceStats
//    is destroyed, so pointers in records and call watches stay valid.
//  - Tables are only ever replaced by a superset, in load order.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/call_watch.h"
#include "pt/mutex.h"
#include "pt/thread_annotations.h"

using Counter = std::atomic<uint64_t>;

// Adds `n` to a counter that only the calling thread (or the lock it holds)
// writes.
inline void Bump(Counter& counter, uint64_t n = 1)
{
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Adds `n` to a counter that several threads write.
inline void Add(Counter& counter, uint64_t n = 1)
{
    counter.fetch_add(n, std::memory_order_relaxed);
}

// Fields that different threads write sit on cache lines of their own: a
// line that a sender and the event-handler thread both wrote for every
// message would cost each of them a cache miss per message.
constexpr size_t kCacheLine = 64;

// Raises a counter that several threads may raise to at least `value`.
inline void RaiseMax(Counter& counter, uint64_t value)
{
    uint64_t seen = counter.load(std::memory_order_relaxed);
    while (value > seen && !counter.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

struct ModuleStats {
    ModuleStats(uint64_t id, const std::string& name) : moduleId(id), fileName(name) {}

    const uint64_t moduleId;
    const std::string fileName;  // bytes, as in the module record
    // Its accepted sends (written under queueLock).
    alignas(kCacheLine) Counter sentAccepted{0};
    Counter sentBytes{0};
    // Its refused sends (any thread).
    Counter sentRefused{0};
    Counter sentThrottled{0};
    Counter sentNoMemory{0};
    // The event-handler thread: its messages through their pass, and the
    // deliveries to it (the calls of `write` and `notice` count them).
    // writeNsMax is also raised by the stall watchdog.
    alignas(kCacheLine) Counter sentPassed{0};
    WatchedEntry write{this, "Write"};
    Counter writeBytes{0};
    WatchedEntry notice{this, "IOCTL"};
    Counter noticeBytes{0};
    Counter writeNsTotal{0};
    Counter writeNsMax{0};
    // Holds, releases and stalls (any thread).
    alignas(kCacheLine) Counter holdsNow{0};
    Counter releases{0};
    Counter releasesUnmatched{0};
    Counter stalledCalls{0};  // the stall watchdog thread
    // Its Open and Close calls, what its Open returned, and whether the open
    // pass called it (main thread).
    WatchedEntry open{this, "Open"};
    WatchedEntry close{this, "Close"};
    std::atomic<int32_t> openCode{0};
    std::atomic<bool> opened{false};

    // Its accepted messages that have not been through their pass yet.
    uint64_t waiting() const;
};

class alignas(kCacheLine) ServiceStats {
public:
    ServiceStats() = default;
    ServiceStats(const ServiceStats&) = delete;
    ServiceStats& operator=(const ServiceStats&) = delete;

    // Starts the counters of a module that has just loaded; main thread only.
    // Throws std::bad_alloc (nothing added).
    ModuleStats* add(uint64_t moduleId, const std::string& fileName);
    // The counters of the loaded module with this id, or null. Lock-free;
    // inline where the calling thread asks for the id it asked for last.
    ModuleStats* find(uint64_t moduleId) const
    {
        const IdTable* table = current.load(std::memory_order_acquire);
        const LookupCache& cache = lastLookup();
        if (table && cache.generation == table->generation && cache.moduleId == moduleId)
            return cache.stats;
        return lookUp(table, moduleId);
    }
    // Calls `visit` for every loaded module, in load order.
    void forEach(const std::function<void(const ModuleStats&)>& visit) const;
    size_t moduleCount() const;

    // The service's own counters.
    alignas(kCacheLine) Counter queued{0};  // written under queueLock
    Counter queuedBytes{0};                 // written under queueLock
    alignas(kCacheLine) Counter delivered{0};  // event-handler thread
    Counter deliveredBytes{0};                 // event-handler thread
    Counter depthMax{0};                       // event-handler thread, once per batch
    alignas(kCacheLine) Counter throttlingChanges{0};  // scheduler thread
    std::atomic<int64_t> startedNs{0};  // MonotonicNowNs at Start; 0 before

    uint64_t depth() const
    {
        const uint64_t out = delivered.load(std::memory_order_relaxed);
        const uint64_t in = queued.load(std::memory_order_relaxed);
        return in > out ? in - out : 0;
    }
    uint64_t depthBytes() const;
    // The three below are inline: they run for every message or every pass.
    // REQUIRES: queueLock held. A message of `bytes` payload joins the queue.
    void countQueued(uint64_t bytes)
    {
        Bump(queued);
        Bump(queuedBytes, bytes);
    }
    // REQUIRES: the event-handler thread, which has just taken the queue:
    // the depth is at a high now.
    void noteDepth()
    {
        const uint64_t now = depth();
        if (now > depthMax.load(std::memory_order_relaxed))
            depthMax.store(now, std::memory_order_relaxed);
    }
    // REQUIRES: the event-handler thread. Messages finished their pass.
    void countDelivered(uint64_t messages, uint64_t bytes)
    {
        Bump(delivered, messages);
        Bump(deliveredBytes, bytes);
    }

private:
    struct IdTable {
        uint64_t generation;  // unique in the process, never 0: tells a reused address apart
        std::vector<std::pair<uint64_t, ModuleStats*>> byId;  // sorted by id
    };
    // The last lookup of the calling thread: senders and the event-handler
    // thread mostly ask for the same id again and again. Plain data, zero
    // at a thread's start, so that no initialisation runs on its first use.
    struct LookupCache {
        uint64_t generation;
        uint64_t moduleId;
        ModuleStats* stats;
    };
    // Initial-exec: the service is linked into its executable, where this
    // needs no call into the dynamic loader. A function's own variable rather
    // than a member, which every other file would reach through a wrapper.
    static LookupCache& lastLookup()
    {
        static thread_local LookupCache cache __attribute__((tls_model("initial-exec")));
        return cache;
    }

    // Looks `moduleId` up in `table` (null: none yet) and caches the answer.
    ModuleStats* lookUp(const IdTable* table, uint64_t moduleId) const;

    std::atomic<const IdTable*> current{nullptr};
    mutable pt::mutex listLock;
    std::vector<std::unique_ptr<ModuleStats>> modules GUARDED_BY(listLock);  // load order; owning
    std::vector<std::unique_ptr<IdTable>> tables GUARDED_BY(listLock);       // every table published
};
