#include "supervision/stall_watchdog.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/monotonic_clock.h"
#include "base/thread_log.h"

namespace {

constexpr int kCycleMs = 100;
constexpr size_t kNamedSenders = 3;

// What a stalled call of `entry` keeps waiting.
const char* HeldUp(const char* entry)
{
    if (std::strcmp(entry, "Open") == 0)
        return "the start of the service is held up";
    if (std::strcmp(entry, "Close") == 0)
        return "the stop of the service is held up";
    return "delivery to every module is held up";
}

unsigned long LogId(const ModuleStats* module)
{
    return static_cast<unsigned long>(module->moduleId);
}

// "a.so ID 0x00001000 (90000), b.so ID ..." for the modules with the most
// messages waiting, most first.
std::string TopSenders(const ServiceStats& stats)
{
    std::vector<std::pair<uint64_t, const ModuleStats*>> waiting;
    stats.forEach([&waiting](const ModuleStats& module) {
        if (const uint64_t n = module.waiting())
            waiting.emplace_back(n, &module);
    });
    const size_t named = std::min(waiting.size(), kNamedSenders);
    std::partial_sort(waiting.begin(), waiting.begin() + named, waiting.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string text;
    for (size_t i = 0; i < named; ++i) {
        char entry[64];
        std::snprintf(entry, sizeof entry, " ID 0x%08lX (%llu)", LogId(waiting[i].second),
                      static_cast<unsigned long long>(waiting[i].first));
        text += (i ? ", " : "") + waiting[i].second->fileName + entry;
    }
    return named ? text : "the service itself";
}

}  // namespace

// No watched call begins before the watchdog exists, so its creation stands
// in for the cycle before the first: a call seen in the first cycle began
// after it, even one that began before the thread ran at all.
StallWatchdog::StallWatchdog(CallWatch& delivery, CallWatch& pass, const ServiceStats& stats_)
    : pt::thread(false), stats(stats_), previousCheckNs(MonotonicNowNs())
{
    watched[0].watch = &delivery;
    watched[1].watch = &pass;
}

StallWatchdog::~StallWatchdog()
{
    waitfor();
}

void StallWatchdog::execute()
{
    // One more cycle after the signal: the last call of the close pass may
    // have ended since the one before.
    for (bool last = false; !last;) {
        last = isSignalled() || waitForSignal(kCycleMs);
        try {
            check(MonotonicNowNs());
        } catch (const std::bad_alloc&) {
            // A cycle that cannot name the senders is retried by the next one.
        }
    }
}

void StallWatchdog::check(int64_t nowNs)
{
    for (Watched& each : watched)
        checkCall(each, nowNs);
    checkQueue();
    previousCheckNs = nowNs;
}

void StallWatchdog::checkCall(Watched& w, int64_t nowNs)
{
    const CallWatch::Call call = w.watch->read();
    if (call != w.call) {
        if (w.call.entry)
            callEnded(w, nowNs);
        w.call = call;
        w.startedAfterNs = previousCheckNs;
        w.firstSeenNs = w.lastSeenNs = nowNs;
        w.warned = false;
        return;
    }
    w.lastSeenNs = nowNs;
    if (!call.entry || w.warned || nowNs - w.firstSeenNs <= kStallMs * INT64_C(1000000))
        return;
    ModuleStats* module = call.entry->module;
    ThreadLog::warning("plugin %s ID 0x%08lX: %s has run for more than %lld s; %s", module->fileName.c_str(),
                       LogId(module), call.entry->name, static_cast<long long>(kStallMs / 1000),
                       HeldUp(call.entry->name));
    Add(module->stalledCalls);
    w.warned = true;
}

// The call last seen has returned since the previous cycle. It ran at least
// while it was seen; its length is told as the middle of what the cycles
// allow, which is within a cycle of the truth.
void StallWatchdog::callEnded(const Watched& w, int64_t nowNs)
{
    ModuleStats* module = w.call.entry->module;
    if (w.call.entry == &module->write)
        RaiseMax(module->writeNsMax, static_cast<uint64_t>(w.lastSeenNs - w.firstSeenNs));
    if (!w.warned)
        return;
    const int64_t length = (w.lastSeenNs + nowNs) / 2 - (w.startedAfterNs + w.firstSeenNs) / 2;
    ThreadLog::warning("plugin %s ID 0x%08lX: %s returned after %.1f s", module->fileName.c_str(), LogId(module),
                       w.call.entry->name, length / 1e9);
}

void StallWatchdog::checkQueue()
{
    const uint64_t messages = stats.depth();
    const uint64_t bytes = stats.depthBytes();
    if (!queueOver && (messages > kQueueMarkMessages || bytes > kQueueMarkBytes)) {
        queueOver = true;
        ThreadLog::warning("event queue over its high-water mark: %llu messages, %llu payload bytes waiting; "
                           "most sent by %s",
                           static_cast<unsigned long long>(messages), static_cast<unsigned long long>(bytes),
                           TopSenders(stats).c_str());
    } else if (queueOver && messages <= kQueueMarkMessages / 2 && bytes <= kQueueMarkBytes / 2) {
        queueOver = false;
        ThreadLog::warning("event queue back under its high-water mark: %llu messages, %llu payload bytes waiting",
                           static_cast<unsigned long long>(messages), static_cast<unsigned long long>(bytes));
    }
}
