// Live worker threads per module, and which Cores are still alive.
//
// Workers delete themselves and are never joined, yet no worker may be inside
// a module when its library is released, and none may touch its Core after
// the Core is destroyed. The registry is process-wide and never destroyed, so
// a worker that returns from its module late can still consult it safely.
//
// Thread safety: every operation takes the registry's mutex. A worker's
// Core-side clean-up runs under that mutex, so a Core cannot be destroyed in
// the middle of it. Lock order: the registry's mutex before the Core's
// requestLock; never the other way round.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>

class Core;

class WorkerRegistry {
public:
    static WorkerRegistry& instance();

    void coreCreated(const Core* core);
    void coreDestroyed(const Core* core);

    // Counts a worker of `module` in; called before the worker starts.
    void workerStarted(const void* module);
    // Counts a worker of `module` out once it has left the module's code.
    // `finish` (the worker's clean-up on the Core's state) runs first, and
    // only while `core` is alive.
    void workerEnded(const void* module, const Core* core, const std::function<void()>& finish);
    // Blocks until no worker of `module` is live or `timeoutMs` has passed;
    // true when none is live.
    bool waitForWorkers(const void* module, int timeoutMs);
    int liveWorkers(const void* module);

private:
    WorkerRegistry() = default;

    std::mutex lock;
    std::condition_variable changed;     // notified whenever a count drops
    std::map<const void*, int> live;     // guarded by lock
    std::set<const Core*> aliveCores;    // guarded by lock
};
