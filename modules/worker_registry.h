// Live worker threads per module, and which of their owners are still alive.
//
// Workers delete themselves and are never joined, yet no worker may be inside
// a module when its library is released, and none may touch the state it was
// started for (its owner: the Core's request flow) after that is destroyed.
// The registry is process-wide and never destroyed, so a worker that returns
// from its module late can still consult it safely.
//
// Thread safety: every operation takes the registry's mutex. A worker's
// clean-up on its owner runs under that mutex, so an owner cannot be
// destroyed in the middle of it. Lock order: the registry's mutex before the
// request flow's lock; never the other way round.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>

#include "pt/condition.h"
#include "pt/mutex.h"
#include "pt/thread_annotations.h"

// The entry point a worker runs.
enum class WorkerEntry { Read, Ioctl };

class WorkerRegistry {
public:
    // How many workers of one module are inside each of its entry points.
    struct Live {
        int read = 0;
        int ioctl = 0;
        int total() const { return read + ioctl; }
    };

    static WorkerRegistry& instance();

    // An owner's life: workers' clean-up on it runs only in between.
    void ownerCreated(const void* owner);
    void ownerDestroyed(const void* owner);

    // Counts a worker of `module` in; called before the worker starts.
    void workerStarted(const void* module, WorkerEntry entry);
    // Counts a worker of `module` out once it has left the module's code.
    // `finish` (the worker's clean-up on its owner) runs first, and only
    // while `owner` is alive.
    void workerEnded(const void* module, WorkerEntry entry, const void* owner, const std::function<void()>& finish);
    // Blocks until no worker of `module` is live or `timeoutMs` has passed;
    // true when none is live.
    bool waitForWorkers(const void* module, int timeoutMs);
    // Blocks until some worker has ended since `generation()` returned
    // `seen`, or `timeoutMs` has passed.
    void waitForChange(uint64_t seen, int timeoutMs);
    uint64_t generation();
    int liveWorkers(const void* module);
    Live live(const void* module);

private:
    WorkerRegistry() = default;

    pt::mutex lock;
    pt::condition changed;  // notified whenever a count drops
    std::map<const void*, Live> workers GUARDED_BY(lock);  // no entry once a module has none
    std::set<const void*> aliveOwners GUARDED_BY(lock);
    uint64_t ended GUARDED_BY(lock) = 0;  // workers ended so far
};
