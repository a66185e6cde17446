// The host log: lines that modules write to the service's log through
// "OrvHostLog" (supervision/host_api.h).
//
// A module's call formats its line, takes a token from the module's bucket
// and queues the line; a writer thread of the log's own hands queued lines to
// the service's log target. So a caller never waits on the system logger,
// only on `lock` for a copy; and a module that floods loses its own lines,
// never slows another's. Dropped lines are counted per module and reported
// in one line once the module may log again (with its next line, or by the
// writer within a second).
//
// Thread safety: open and close run on the main thread (the Core's Start and
// Stop); write on any thread, also while open or close runs.
// Invariants:
//  - Lines are accepted only between open and close; close returns after the
//    writer has written every accepted line and every count of dropped lines,
//    and ended.
//  - A count of dropped lines is reported within about a second, also when
//    the module writes nothing more.
//  - `queue` holds at most kQueueLines lines and `buckets` at most
//    kMaxModules entries, whatever modules send.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "pt/condition.h"
#include "pt/mutex.h"
#include "pt/thread_annotations.h"
#include "supervision/host_api.h"

class ServiceStats;

class HostLog {
public:
    // Writes one finished line at a syslog priority (ORV_LOG_ERROR ..
    // ORV_LOG_DEBUG), on the writer thread.
    using Sink = std::function<void(uint32_t level, const std::string& line)>;
    // Monotonic nanoseconds; a test may step it.
    using Clock = std::function<int64_t()>;

    static constexpr size_t kQueueLines = 512;
    static constexpr size_t kMaxModules = 256;

    // Null arguments mean the service's log (ThreadLog) and the monotonic clock.
    explicit HostLog(Sink sink = nullptr, Clock clock = nullptr);
    // Closes.
    ~HostLog();
    HostLog(const HostLog&) = delete;
    HostLog& operator=(const HostLog&) = delete;

    // Starts the writer; lines are accepted from now on.
    void open();
    // Refuses further lines, lets the writer write what is queued and joins
    // it. Blocks on the log target for as long as those lines take.
    void close();

    // Queues "plugin NAME ID 0x%08lX: TEXT" with TEXT escaped. Results as
    // OrvHostLog's: 0 queued, 2 dropped over the rate or the queue's room,
    // 1 closed, -1 for a level out of range. Never blocks on the target.
    int32_t write(uint64_t moduleId, const std::string& name, uint32_t level, const char* text, size_t length);

    // The line for a module's text, as write queues it.
    static std::string FormatLine(uint64_t moduleId, const std::string& name, const char* text, size_t length);

private:
    // A module's token bucket and its dropped lines.
    struct Bucket {
        double tokens;
        int64_t refilledNs;
        uint64_t dropped;
        std::string name;  // for the dropped-lines report
    };
    struct Line {
        uint32_t level;
        std::string text;
    };

    // Refills `bucket` and takes one token.
    bool takeToken(Bucket& bucket, int64_t now) REQUIRES(lock);
    // Queues the report of `bucket`'s dropped lines when there is room; true
    // when it did.
    bool reportDropped(uint64_t moduleId, Bucket& bucket) REQUIRES(lock);
    void run();

    const Sink sink;
    const Clock clock;
    pt::mutex lock;
    pt::condition wake;  // the writer waits on it for lines or close
    bool accepting GUARDED_BY(lock) = false;
    std::deque<Line> queue GUARDED_BY(lock);
    std::map<uint64_t, Bucket> buckets GUARDED_BY(lock);  // by module id
    std::thread writer;                    // main thread only (open, close)
};

// OrvHostLog of a module: checks the record and writes the line under the
// module's file name, found by its id or, during its Load, by the entry point
// the calling thread is in. REQUIRES: `core` stays alive during the call.
int32_t WriteModuleLine(HostLog& log, const ServiceStats& stats, const HostLogLine* line);
