// The scheduler thread: the Core's supervisor.
//
// At its start it starts the Read workers of the modules that want one, fixes
// the memory limit and reads the throttling setting. Then, about ten times a
// second until signalled, a cycle watches the wall clock for jumps and, once
// per new second while throttling is enabled, samples the bytes allocated
// through tcmalloc and hands the verdict to the Throttle.
//
// The decisions are plain functions of their inputs (memory sizes, two
// times, a sample), so they can be checked without waiting or touching the
// clock; the thread only feeds them with real values.
//
// Thread safety: a SchedulerThread is created, started, signalled and
// deleted by the thread that runs the Core's Start and Stop. Its body and
// everything it calls run on the scheduler thread alone; SchedulerState
// belongs to that thread.
//
// Invariants: the object never outlives its thread (the destructor joins);
// the objects it works on outlive the object.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "pt/thread.h"

class Dispatcher;
class ModuleList;
class RequestFlow;
class Throttle;

constexpr uint64_t kTwoGiB = UINT64_C(0x80000000);
constexpr uint64_t kThreeGiB = UINT64_C(0xC0000000);

// The memory limit from the machine's size: the total up to 2 GiB, 2 GiB up
// to 3 GiB, above that 3 GiB on "x86_64" and 2 GiB elsewhere; 2 GiB when
// sysinfo or uname failed. total = totalRam * memUnit.
uint64_t MemoryLimit(bool sysinfoOk, uint64_t totalRam, uint32_t memUnit, bool unameOk, const char* machine);
// MemoryLimit of this machine.
uint64_t SystemMemoryLimit();

// The step of the wall clock from `previous` to `now` in whole seconds,
// saturated at the limits of int64_t, and whether it counts as a jump: two
// seconds or more either way.
int64_t ClockStep(time_t now, time_t previous);
bool IsClockJump(int64_t step);
// The notice sent for a jump of `step` seconds: the exact number, also
// beyond the range of int.
std::string ClockNotice(int64_t step);

// Reads the allocated-bytes statistic; false when it is not available.
using MemorySampler = std::function<bool(uint64_t* allocated)>;
// tcmalloc's "generic.current_allocated_bytes"; false without tcmalloc.
bool SampleAllocatedBytes(uint64_t* allocated);

// What the scheduler works on: the Core's objects.
struct SchedulerParts {
    Dispatcher& dispatcher;  // its notices and documents go out here
    Throttle& throttle;      // the memory samples' verdicts
    ModuleList& modules;     // whose Read workers it starts
    RequestFlow& flow;       // where those workers' slots live
};

// What one run of the thread keeps from cycle to cycle.
struct SchedulerState {
    uint64_t memoryLimit = kTwoGiB;
    bool throttlingEnabled = true;
    time_t previousSecond = 0;  // 0 before the first cycle
};

// One cycle of the loop after its wait, at wall-clock time `now`: the clock
// watch, the first cycle's memory status, at most one memory sample.
void RunSchedulerCycle(const SchedulerParts& parts, SchedulerState& state, time_t now, const MemorySampler& sample);

class SchedulerThread : public pt::thread {
public:
    // REQUIRES: the parts outlive this object.
    explicit SchedulerThread(const SchedulerParts& parts);
    // Joins the thread first; blocks until it has ended.
    ~SchedulerThread() override;

protected:
    void execute() override;

private:
    // Runs one step of the thread. An allocation that fails inside it costs
    // that step, not the thread: it is logged (once per run of failing
    // steps) and the thread goes on.
    template <typename Step>
    void runStep(const char* what, Step step);

    SchedulerParts parts;
    bool stepFailed = false;  // the previous step ran out of memory
};
