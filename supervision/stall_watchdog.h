// The stall watchdog: a thread that tells the operator when a module holds
// the service up.
//
// One event-handler thread delivers every message to every module, and the
// main thread opens and closes them one after the other, so a module call
// that blocks holds up everything behind it. Ten times a second the watchdog
// reads the call each of those threads is making (their CallWatch). A call
// it keeps seeing for longer than the stall limit is logged once, with the
// module, the entry point and what is held up; once it has returned, one more
// line says how long it took, as the watchdog saw it (to within a cycle). It
// also watches the event queue: one warning when the queue grows past its
// high-water mark in messages or payload bytes, naming the modules with the
// most messages waiting, and one line when it is back under half the mark.
//
// The thread runs from before the open pass until after the close pass,
// which the scheduler's life does not cover.
//
// Thread safety: created, stopped and deleted on the main thread; the cycles
// run on the watchdog thread only.
// Invariants: at most one warning and one return line per stalled call, one
// warning and one all-clear per crossing of the queue mark.
#pragma once

#include <cstdint>

#include "base/call_watch.h"
#include "base/service_stats.h"
#include "pt/thread.h"

class StallWatchdog : public pt::thread {
public:
    // A module call on the watched threads that runs longer is stalled.
    static constexpr int64_t kStallMs = 2000;
    // The event queue's high-water mark: a warning above either.
    static constexpr uint64_t kQueueMarkMessages = 100000;
    static constexpr uint64_t kQueueMarkBytes = UINT64_C(1) << 30;

    // Watches the event-handler thread's calls (`delivery`), the main
    // thread's Open and Close calls (`pass`) and the queue's depth in
    // `stats`. REQUIRES: all three outlive this object; no call they watch
    // is under way yet.
    StallWatchdog(CallWatch& delivery, CallWatch& pass, const ServiceStats& stats);
    // Joins the thread first; blocks until it has ended.
    ~StallWatchdog() override;

protected:
    void execute() override;

private:
    // One watched thread and the call the watchdog last saw it in.
    struct Watched {
        CallWatch* watch = nullptr;
        CallWatch::Call call;      // as last seen; entry null between calls
        int64_t startedAfterNs = 0;  // the cycle before it was first seen
        int64_t firstSeenNs = 0;
        int64_t lastSeenNs = 0;
        bool warned = false;
    };

    // One cycle at monotonic time `nowNs`.
    void check(int64_t nowNs);
    void checkCall(Watched& watched, int64_t nowNs);
    void callEnded(const Watched& watched, int64_t nowNs);
    void checkQueue();

    const ServiceStats& stats;
    Watched watched[2];
    bool queueOver = false;
    int64_t previousCheckNs;  // the latest cycle's time; at first, the creation's
};
