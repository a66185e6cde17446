// Which Write calls the event-handler thread times, and what a timed call
// adds to its module's counters.
//
// Reading a clock around every Write would cost more than the rest of a
// delivery to a module that returns at once, so about one call in
// kMeanInterval is timed, at random intervals (a fixed one would time the
// same module again and again when modules are called in turns), and counts
// for kMeanInterval calls: the total is an estimate, exact on average over
// many calls. A timed call also raises its module's longest Write.
//
// Thread safety: the event-handler thread only.
#pragma once

#include <cstdint>

struct ModuleStats;

class WriteSampler {
public:
    static constexpr uint32_t kMeanInterval = 32;

    // True when the coming call is to be timed.
    bool due() { return --countdown == 0; }
    // A timed call of `ns` to `module`'s Write; picks the next call to time.
    // REQUIRES: `module` not null.
    void record(ModuleStats* module, int64_t ns);

private:
    uint32_t countdown = 1;
    uint32_t state = 0x9E3779B9u;  // xorshift32; never 0
};
