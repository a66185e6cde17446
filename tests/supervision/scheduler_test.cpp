// The scheduler's decisions, driven with given sizes, times and samples:
// the memory limit, the clock watch, the throttling announcements, and the
// thread's start and stop.
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/core.h"
#include "supervision/scheduler.h"
#include "supervision/supervision_helpers.h"

namespace {

constexpr uint64_t kGiB = UINT64_C(1) << 30;

}  // namespace

TEST(MemoryLimit, FollowsTheMachinesSize)
{
    EXPECT_EQ(MemoryLimit(true, kGiB, 1, true, "x86_64"), kGiB);
    EXPECT_EQ(MemoryLimit(true, kGiB / 4096, 4096, true, "x86_64"), kGiB);
    EXPECT_EQ(MemoryLimit(true, 2 * kGiB, 1, true, "x86_64"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 2 * kGiB + 1, 1, true, "x86_64"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 5 * kGiB / 2, 1, true, "x86_64"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 3 * kGiB, 1, true, "x86_64"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 3 * kGiB + 1, 1, true, "x86_64"), 3 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 8 * kGiB, 1, true, "x86_64"), 3 * kGiB);
    // The unit multiplies into 64 bits: 2^21 units of 4 KiB are 8 GiB.
    EXPECT_EQ(MemoryLimit(true, UINT64_C(1) << 21, 4096, true, "x86_64"), 3 * kGiB);
}

TEST(MemoryLimit, OtherMachinesAndFailuresGetTwoGiB)
{
    EXPECT_EQ(MemoryLimit(true, 8 * kGiB, 1, true, "aarch64"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 8 * kGiB, 1, true, "x86_64 "), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 8 * kGiB, 1, true, "i686"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(false, 8 * kGiB, 1, true, "x86_64"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(false, kGiB, 1, true, "x86_64"), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, kGiB, 1, false, ""), 2 * kGiB);
    EXPECT_EQ(MemoryLimit(true, 8 * kGiB, 1, false, ""), 2 * kGiB);
}

TEST(ClockWatch, OnlyStepsOfTwoSecondsOrMoreCount)
{
    const time_t t = 1700000000;
    EXPECT_EQ(ClockStep(t, t), 0);
    EXPECT_FALSE(IsClockJump(ClockStep(t + 1, t)));
    EXPECT_FALSE(IsClockJump(ClockStep(t - 1, t)));
    EXPECT_TRUE(IsClockJump(ClockStep(t + 2, t)));
    EXPECT_TRUE(IsClockJump(ClockStep(t - 2, t)));
    EXPECT_EQ(ClockStep(t + 2, t), 2);
    EXPECT_EQ(ClockStep(t - 5, t), -5);
    EXPECT_EQ(ClockNotice(2), "system time changed by 2 seconds");
    EXPECT_EQ(ClockNotice(-5), "system time changed by -5 seconds");
}

// --- Throttling announcements --------------------------------------------

namespace {

const char* const kLow = "available system memory is low, throttling video";
const char* const kOk = "available system memory ok, not throttling video";

std::string MemoryStatus(int throttling, long time)
{
    return "<?xml ?><Kest><Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) + "\" Time=\"" +
           std::to_string(time) + "\" /></Kest>";
}

// What the Core sent, as "text:..." for notices and "doc:..." for memory
// status documents (checking their routing on the way).
std::vector<std::string> Sent(Core& core)
{
    std::vector<std::string> seen;
    for (const SentMessage& m : TakeQueued(core)) {
        EXPECT_EQ(m.source_id, ORV_CORE_ID);
        if (m.event == ORV_EVENT_TEXT && m.flags == 0x40)
            seen.push_back("text:" + m.payload);
        else if (m.event == ORV_EVENT_DOCUMENT && m.flags == 0x04)
            seen.push_back("doc:" + m.payload);
        else
            seen.push_back("other:" + m.payload);
    }
    return seen;
}

class Throttling : public ::testing::Test {
protected:
    Throttling() : core("/x/orvantisd") { ArmQueue(core); }
    ~Throttling() override { DisarmQueue(core); }

    Core core;
};

const time_t T = 1700000000;

}  // namespace

TEST_F(Throttling, OneLowNoticeWhileTheFlagFollowsEverySample)
{
    core.UpdateThrottling(true, T);
    EXPECT_TRUE(core.TEST_throttling());
    EXPECT_EQ(core.TEST_throttleSince(), T);
    EXPECT_EQ(Sent(core), (std::vector<std::string>{std::string("text:") + kLow, "doc:" + MemoryStatus(1, T)}));

    core.UpdateThrottling(false, T + 30);
    EXPECT_FALSE(core.TEST_throttling());
    EXPECT_EQ(core.TEST_throttleSince(), T);

    core.UpdateThrottling(true, T + 31);
    EXPECT_TRUE(core.TEST_throttling());
    EXPECT_EQ(core.TEST_throttleSince(), T + 31);
    EXPECT_TRUE(Sent(core).empty());
}

TEST_F(Throttling, MemoryOkComesSixtySecondsAfterTheLatestLowSample)
{
    core.UpdateThrottling(true, T);
    core.UpdateThrottling(true, T + 10);
    Sent(core);
    core.UpdateThrottling(false, T + 11);
    core.UpdateThrottling(false, T + 69);
    EXPECT_TRUE(Sent(core).empty());
    EXPECT_EQ(core.TEST_throttleSince(), T + 10);

    core.UpdateThrottling(false, T + 70);
    EXPECT_FALSE(core.TEST_throttling());
    EXPECT_EQ(core.TEST_throttleSince(), 0);
    EXPECT_EQ(Sent(core), (std::vector<std::string>{std::string("text:") + kOk, "doc:" + MemoryStatus(0, T + 10)}));

    core.UpdateThrottling(false, T + 200);
    EXPECT_TRUE(Sent(core).empty());
}

TEST_F(Throttling, ClockJumpsMoveTheHoldOff)
{
    core.UpdateThrottling(true, T);
    Sent(core);
    // Back by an hour: the hold-off counts from the latest low sample again.
    core.UpdateThrottling(false, T - 3600);
    core.UpdateThrottling(false, T + 59);
    EXPECT_TRUE(Sent(core).empty());
    EXPECT_EQ(core.TEST_throttleSince(), T);
    core.UpdateThrottling(false, T + 60);
    EXPECT_EQ(Sent(core).size(), 2u);

    // Forward by a minute: the next good sample announces at once.
    core.UpdateThrottling(true, T + 100);
    Sent(core);
    core.UpdateThrottling(false, T + 160);
    EXPECT_EQ(Sent(core), (std::vector<std::string>{std::string("text:") + kOk, "doc:" + MemoryStatus(0, T + 100)}));
}

TEST_F(Throttling, NotLowWithoutAnnouncementSendsNothing)
{
    core.UpdateThrottling(false, T);
    core.UpdateThrottling(false, T + 100);
    EXPECT_FALSE(core.TEST_throttling());
    EXPECT_EQ(core.TEST_throttleSince(), 0);
    EXPECT_TRUE(Sent(core).empty());
}

TEST_F(Throttling, TimesAreWrittenAsTheirLow32Bits)
{
    const int64_t late = INT64_C(0x100000000) + 7;
    core.UpdateThrottling(true, late);
    EXPECT_EQ(Sent(core), (std::vector<std::string>{std::string("text:") + kLow, "doc:" + MemoryStatus(1, 7)}));
}

// --- The cycle ------------------------------------------------------------

namespace {

struct FakeSampler {
    std::vector<uint64_t> values;  // handed out in turn; the last repeats
    int calls = 0;

    MemorySampler sampler()
    {
        return [this](uint64_t* allocated) {
            *allocated = values[std::min<size_t>(calls, values.size() - 1)];
            ++calls;
            return true;
        };
    }
};

const MemorySampler kUnavailable = [](uint64_t*) { return false; };

}  // namespace

TEST_F(Throttling, FirstCycleSendsTheStateBeforeAnySample)
{
    SchedulerState state;
    state.memoryLimit = 1000;
    FakeSampler fake{{1000}};
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T, fake.sampler());
    EXPECT_EQ(fake.calls, 1);
    EXPECT_FALSE(core.TEST_throttling());  // equal to the limit is not low
    EXPECT_EQ(Sent(core), (std::vector<std::string>{"doc:" + MemoryStatus(0, T)}));
    EXPECT_EQ(state.previousSecond, T);
}

TEST_F(Throttling, LowAtStartSendsBothStatesWithTheSameTime)
{
    SchedulerState state;
    state.memoryLimit = 1000;
    FakeSampler fake{{1001}};
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T, fake.sampler());
    EXPECT_TRUE(core.TEST_throttling());
    EXPECT_EQ(Sent(core), (std::vector<std::string>{"doc:" + MemoryStatus(0, T), std::string("text:") + kLow,
                                                    "doc:" + MemoryStatus(1, T)}));
}

TEST_F(Throttling, OneSamplePerNewSecond)
{
    SchedulerState state;
    state.memoryLimit = 1000;
    FakeSampler fake{{10}};
    for (int i = 0; i < 10; ++i)
        RunSchedulerCycle(core.TEST_schedulerParts(), state, T, fake.sampler());
    EXPECT_EQ(fake.calls, 1);
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T + 1, fake.sampler());
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T + 1, fake.sampler());
    EXPECT_EQ(fake.calls, 2);
    EXPECT_EQ(Sent(core).size(), 1u);  // the first cycle's status only
}

TEST_F(Throttling, ClockNoticesInTheCycle)
{
    SchedulerState state;
    state.memoryLimit = 1000;
    FakeSampler fake{{10}};
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T, fake.sampler());
    Sent(core);
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T + 1, fake.sampler());
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T, fake.sampler());
    EXPECT_TRUE(Sent(core).empty());
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T + 2, fake.sampler());
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T - 3, fake.sampler());
    EXPECT_EQ(Sent(core), (std::vector<std::string>{"text:system time changed by 2 seconds",
                                                    "text:system time changed by -5 seconds"}));
}

// Steps beyond int are written as their exact number; steps beyond int64_t
// (only between the extremes of time_t) as the nearest int64_t.
TEST_F(Throttling, ClockStepsOfAnySizeAreAnnounced)
{
    const time_t kMax = std::numeric_limits<time_t>::max();
    const time_t kMin = std::numeric_limits<time_t>::min();
    const time_t steps[][2] = {
        {T, T + 2147483647},  {T + 2147483647, T},  // INT_MAX either way
        {T, T + 2147483648},  {T + 2147483648, T},  // one past INT_MAX
        {1, kMax},            {kMax, 1},           {kMax, kMin}, {kMin, kMax},
    };
    SchedulerState state;
    state.throttlingEnabled = false;
    for (const auto& step : steps) {
        state.previousSecond = step[0];
        RunSchedulerCycle(core.TEST_schedulerParts(), state, step[1], kUnavailable);
    }
    EXPECT_EQ(Sent(core), (std::vector<std::string>{
                              "text:system time changed by 2147483647 seconds",
                              "text:system time changed by -2147483647 seconds",
                              "text:system time changed by 2147483648 seconds",
                              "text:system time changed by -2147483648 seconds",
                              "text:system time changed by 9223372036854775806 seconds",
                              "text:system time changed by -9223372036854775806 seconds",
                              "text:system time changed by -9223372036854775808 seconds",
                              "text:system time changed by 9223372036854775807 seconds",
                          }));
}

TEST_F(Throttling, AFailedSampleChangesNothing)
{
    core.UpdateThrottling(true, T);
    Sent(core);
    SchedulerState state;
    state.memoryLimit = 1000;
    state.previousSecond = T;
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T + 100, kUnavailable);
    EXPECT_TRUE(core.TEST_throttling());
    EXPECT_EQ(core.TEST_throttleSince(), T);
    EXPECT_EQ(Sent(core), (std::vector<std::string>{"text:system time changed by 100 seconds"}));
}

TEST_F(Throttling, DisabledMeansNoSamplesNoDocumentsButTheClockWatch)
{
    SchedulerState state;
    state.memoryLimit = 1000;
    state.throttlingEnabled = false;
    FakeSampler fake{{UINT64_MAX}};
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T, fake.sampler());
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T + 1, fake.sampler());
    RunSchedulerCycle(core.TEST_schedulerParts(), state, T + 9, fake.sampler());
    EXPECT_EQ(fake.calls, 0);
    EXPECT_FALSE(core.TEST_throttling());
    EXPECT_EQ(core.TEST_throttleSince(), 0);
    EXPECT_EQ(Sent(core), (std::vector<std::string>{"text:system time changed by 8 seconds"}));
}

// --- The thread ------------------------------------------------------------

TEST(SchedulerThread, StopWithoutAThreadReturnsAtOnce)
{
    Core core("/x/orvantisd");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(core.StopScheduler());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_FALSE(core.TEST_schedulerRunning());
}

TEST(SchedulerThread, StartsWritesCoreSettingsAndStopsWithinACycle)
{
    TempWorkDir dir;
    WriteFileBytes("core.xml", "<Kest><Memory Throttling=\"0\" /></Kest>");
    Core core("/x/orvantisd");
    ArmQueue(core);
    EXPECT_TRUE(core.StartScheduler());
    ASSERT_TRUE(core.TEST_schedulerRunning());
    pt::sleepMs(250);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(core.StopScheduler());
    // Signalled mid-wait: the cycle ends at once, and one poll notices it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
    EXPECT_FALSE(core.TEST_schedulerRunning());
    EXPECT_EQ(ReadFileBytes("core.xml"),
              "<?xml ?>\n<Kest Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n</Kest>\n");
    std::vector<SentMessage> sent = TakeQueued(core);
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent[0].flags, 0x100u);
    EXPECT_EQ(sent[0].event, ORV_EVENT_DOCUMENT);
    EXPECT_EQ(sent[0].payload, "<?xml ?><Kest Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" /></Kest>");
    DisarmQueue(core);
}
