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
#include "modules/module_list.h"
#include "routing/dispatcher.h"
#include "routing/plugin_thread.h"
#include "supervision/status_documents.h"
#include "supervision/throttle.h"

namespace {

constexpr int kCycleMs = 100;

void StartReadWorkers(const SchedulerParts& parts)
{
    for (ModuleRecord& record : parts.modules.records())
        if (record.library && record.info.wants_read_worker)
            StartReadWorker(parts.flow, record);
}

void SampleMemory(const SchedulerParts& parts, const SchedulerState& state, time_t now, const MemorySampler& sample)
{
    uint64_t allocated = 0;
    if (!sample(&allocated))
        return;
    parts.throttle.update(allocated > state.memoryLimit, now);
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

void RunSchedulerCycle(const SchedulerParts& parts, SchedulerState& state, time_t now, const MemorySampler& sample)
{
    const bool firstCycle = state.previousSecond == 0;
    if (!firstCycle) {
        const int64_t step = ClockStep(now, state.previousSecond);
        if (IsClockJump(step))
            parts.dispatcher.sendText(ClockNotice(step));
    }
    if (state.throttlingEnabled) {
        if (firstCycle)
            StatusDocuments::SendMemoryStatus(parts.dispatcher, now);
        if (now != state.previousSecond)
            SampleMemory(parts, state, now, sample);
    }
    state.previousSecond = now;
}

SchedulerThread::SchedulerThread(const SchedulerParts& parts_) : pt::thread(false), parts(parts_) {}

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
    runStep("the start of the Read workers", [this] { StartReadWorkers(parts); });
    state.memoryLimit = SystemMemoryLimit();
    runStep("reading core.xml",
            [this, &state] { state.throttlingEnabled = StatusDocuments::ReadThrottleSetting(parts.dispatcher); });
    state.previousSecond = 0;
    while (!isSignalled()) {
        waitForSignal(kCycleMs);
        runStep("a cycle", [this, &state] { RunSchedulerCycle(parts, state, time(nullptr), SampleAllocatedBytes); });
    }
}
