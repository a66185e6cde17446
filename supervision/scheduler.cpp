// The scheduler thread, its cycle, and the throttling announcements.
#include "supervision/scheduler.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef ORV_WITH_TCMALLOC
#include <gperftools/malloc_extension.h>
#endif

#include "core/core.h"
#include "core/thread_log.h"

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

int ClockStep(time_t now, time_t previous)
{
    return static_cast<int>(difftime(now, previous));
}

bool IsClockJump(int step)
{
    return std::abs(step) > 1;
}

std::string ClockNotice(int step)
{
    char text[64];
    std::snprintf(text, sizeof text, "system time changed by %d seconds", step);
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
        const int step = ClockStep(now, state.previousSecond);
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

void SchedulerThread::execute()
{
    ThreadLog::attach();
    StartReadWorkers(*core);
    SchedulerState state;
    state.memoryLimit = SystemMemoryLimit();
    state.throttlingEnabled = core->ReadThrottleSetting();
    state.previousSecond = 0;
    while (!isSignalled()) {
        waitForSignal(kCycleMs);
        RunSchedulerCycle(*core, state, time(nullptr), SampleAllocatedBytes);
    }
    ThreadLog::detach();
}

bool Core::StartScheduler()
{
    schedulerThread = new SchedulerThread(this);
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
    throttling = low;
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
