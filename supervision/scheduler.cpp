// The scheduler thread, its cycle, and the throttling announcements.
#include "supervision/scheduler.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <new>

#ifdef ORV_WITH_TCMALLOC
#include <gperftools/malloc_extension.h>
#endif

#include "base/thread_log.h"
#include "core/core.h"

namespace {

constexpr int kCycleMs = 100;
constexpr int kStopPollMs = 100;
// Low memory is announced as over only after this long without a low sample.
constexpr int64_t kThrottleHoldOffSeconds = 59;

const char* const kLowMemoryNotice = "available system memory is low, throttling video";
const char* const kMemoryOkNotice = "available system memory ok, not throttling video";

void StartReadWorkers(Core& core)
{
    for (ModuleRecord& record : core.modules)
        if (record.library && record.info.wants_read_worker)
            core.StartReadWorker(record);
}

void SampleMemory(Core& core, const SchedulerState& state, time_t now, const MemorySampler& sample)
{
    uint64_t allocated = 0;
    if (!sample(&allocated))
        return;
    core.UpdateThrottling(allocated > state.memoryLimit, now);
}

}  // namespace

uint64_t MemoryLimit(bool sysinfoOk, uint64_t totalRam, uint32_t memUnit, bool unameOk, const char* machine)
{
    if (!sysinfoOk || !unameOk)
        return kTwoGiB;
    const uint64_t total = totalRam * memUnit;
    if (total <= kTwoGiB)
        return total;
    if (total <= kThreeGiB)
        return kTwoGiB;
    return std::strcmp(machine, "x86_64") == 0 ? kThreeGiB : kTwoGiB;
}

uint64_t SystemMemoryLimit()
{
    struct sysinfo info {};
    if (sysinfo(&info) != 0)
        return MemoryLimit(false, 0, 0, false, "");
    struct utsname name {};
    const bool unameOk = uname(&name) == 0;
    return MemoryLimit(true, info.totalram, info.mem_unit, unameOk, unameOk ? name.machine : "");
}

int64_t ClockStep(time_t now, time_t previous)
{
    int64_t step = 0;
    if (__builtin_sub_overflow(static_cast<int64_t>(now), static_cast<int64_t>(previous), &step))
        return now > previous ? INT64_MAX : INT64_MIN;
    return step;
}

bool IsClockJump(int64_t step)
{
    return step > 1 || step < -1;
}

std::string ClockNotice(int64_t step)
{
    char text[64];
    std::snprintf(text, sizeof text, "system time changed by %lld seconds", static_cast<long long>(step));
    return text;
}

bool SampleAllocatedBytes(uint64_t* allocated)
{
#ifdef ORV_WITH_TCMALLOC
    size_t value = 0;
    if (!MallocExtension::instance()->GetNumericProperty("generic.current_allocated_bytes", &value))
        return false;
    *allocated = value;
    return true;
#else
    (void)allocated;
    return false;
#endif
}

void RunSchedulerCycle(Core& core, SchedulerState& state, time_t now, const MemorySampler& sample)
{
    const bool firstCycle = state.previousSecond == 0;
    if (!firstCycle) {
        const int64_t step = ClockStep(now, state.previousSecond);
        if (IsClockJump(step))
            core.SendText(ClockNotice(step));
    }
    if (state.throttlingEnabled) {
        if (firstCycle)
            core.SendMemoryStatus(now);
        if (now != state.previousSecond)
            SampleMemory(core, state, now, sample);
    }
    state.previousSecond = now;
}

SchedulerThread::SchedulerThread(Core* core_) : pt::thread(false), core(core_) {}

SchedulerThread::~SchedulerThread()
{
    waitfor();
}

template <typename Step>
void SchedulerThread::runStep(const char* what, Step step)
{
    try {
        step();
        stepFailed = false;
    } catch (const std::bad_alloc&) {
        if (!stepFailed)
            ThreadLog::error("scheduler: out of memory in %s, going on", what);
        stepFailed = true;
    }
}

void SchedulerThread::execute()
{
    SchedulerState state;
    runStep("the start of the Read workers", [this] { StartReadWorkers(*core); });
    state.memoryLimit = SystemMemoryLimit();
    runStep("reading core.xml", [this, &state] { state.throttlingEnabled = core->ReadThrottleSetting(); });
    state.previousSecond = 0;
    while (!isSignalled()) {
        waitForSignal(kCycleMs);
        runStep("a cycle", [this, &state] { RunSchedulerCycle(*core, state, time(nullptr), SampleAllocatedBytes); });
    }
}

bool Core::StartScheduler()
{
    try {
        schedulerThread = new SchedulerThread(this);
    } catch (const std::bad_alloc&) {
        ThreadLog::error("scheduler thread not started: out of memory");
        return true;
    }
    schedulerThread->start();
    return true;
}

bool Core::StopScheduler()
{
    if (!schedulerThread)
        return true;
    schedulerThread->signal();
    while (!schedulerThread->isFinished())
        pt::sleepMs(kStopPollMs);
    delete schedulerThread;
    schedulerThread = nullptr;
    return true;
}

void Core::UpdateThrottling(bool low, int64_t now)
{
    if (throttling.exchange(low) != low)
        Bump(stats.throttlingChanges);
    if (low) {
        if (throttleSince == 0) {
            SendText(kLowMemoryNotice);
            SendMemoryStatus(now);
        }
        throttleSince = now;
    } else if (throttleSince != 0 && now - throttleSince > kThrottleHoldOffSeconds) {
        SendText(kMemoryOkNotice);
        SendMemoryStatus(throttleSince);
        throttleSince = 0;
    }
}
