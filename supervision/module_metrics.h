// Module metrics: the counters and gauges that modules declare and update
// through the host interface (supervision/host_api.h), read back by the
// metrics exporter.
//
// A metric lives in a slot of a fixed table. Its handle names the slot and
// the slot's generation, so an update checks the handle with one load and
// changes the value with one atomic operation: no lock, no allocation, no
// call into the service, which keeps it cheap enough for every packet. The
// service uses one table for the life of the process (shared()), so an update
// through any handle, even one of an earlier run, is safe at any time.
//
// Thread safety: any thread. declare, read and clear take `lock`; set and add
// take no lock.
// Invariants:
//  - A slot's description (id, name, type, labels) changes only under `lock`
//    while its handle is 0, and is published by a release store of the
//    handle; readers under `lock` see it complete.
//  - Handles are never reused: a generation grows with each clear.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pt/mutex.h"
#include "pt/thread_annotations.h"
#include "supervision/host_api.h"

class ModuleMetrics {
public:
    ModuleMetrics();
    ModuleMetrics(const ModuleMetrics&) = delete;
    ModuleMetrics& operator=(const ModuleMetrics&) = delete;

    // The service's table; never destroyed.
    static ModuleMetrics& shared();

    // A handle (> 0) for the declaration, the existing one when the module
    // declared the same name and labels before, or ORV_METRIC_INVALID /
    // ORV_METRIC_FULL (see host_api.h for the rules).
    int64_t declare(const MetricDeclaration& declaration);
    // Do nothing for a stale or unknown handle.
    void set(int64_t handle, double value);
    void add(int64_t handle, double amount);
    // Fills `snapshot` as OrvHostMetrics does; -1 for records too small.
    int32_t read(MetricSnapshot* snapshot) const;
    // Forgets every metric: each handle given so far becomes stale.
    void clear();

private:
    // A line of its own: two modules updating their metrics at once never
    // share one.
    struct alignas(64) Slot {
        std::atomic<int64_t> handle{0};     // 0: free; see Invariants
        std::atomic<uint64_t> valueBits{0};  // the value's double, as bits
        uint64_t moduleId = 0;               // guarded by lock
        uint32_t type = 0;                   // guarded by lock
        std::string name;                    // guarded by lock
        std::string help;                    // guarded by lock
        std::vector<std::pair<std::string, std::string>> labels;  // guarded by lock
    };

    // The slot `handle` names, or null when it is stale or unknown.
    Slot* live(int64_t handle) const;
    // The handle of the same metric, or 0.
    int64_t findSame(const MetricDeclaration& declaration) const REQUIRES(lock);
    // False when another module's metric of this name has another type.
    bool typeAgrees(const char* name, uint32_t type) const REQUIRES(lock);

    mutable pt::mutex lock;
    // ORV_METRIC_CAPACITY; never resized. Each slot's description is
    // guarded by `lock` (see Invariants), its handle and value are atomic.
    std::vector<Slot> slots;
    uint32_t used GUARDED_BY(lock) = 0;  // slots [0, used) are live
    int64_t generation GUARDED_BY(lock) = 1;
};
