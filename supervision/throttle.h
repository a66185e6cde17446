// Throttling video while memory is low: the state the scheduler's samples
// drive, and its announcements.
//
// A low sample throttles at once; the first one of a run is announced (the
// "low" notice and the memory status). Throttling lasts as long as samples
// are low; the end is announced only once no low sample has come for a
// minute, with the time of the latest low one.
//
// Thread safety: update runs on the scheduler thread only (tests call it on
// theirs while no scheduler runs). The flag it sets lives in the dispatcher,
// which reads it on every sender's thread.
#pragma once

#include <cstdint>

class Dispatcher;
class ServiceStats;

class Throttle {
public:
    // Both outlive the object.
    Throttle(Dispatcher& dispatcher, ServiceStats& stats) : dispatcher(dispatcher), stats(stats) {}
    Throttle(const Throttle&) = delete;
    Throttle& operator=(const Throttle&) = delete;

    // One memory sample's verdict at wall-clock second `now`.
    void update(bool low, int64_t now);

    // The second of the latest low sample of an announced run; 0 when none.
    int64_t since() const { return lowSince; }

private:
    Dispatcher& dispatcher;
    ServiceStats& stats;
    int64_t lowSince = 0;  // scheduler thread only
};
