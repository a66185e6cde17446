// Threads that come and go leave nothing behind: 100,000 workers, and 20,000
// threads that log and call the callback as module threads do, keep the
// process's memory flat. Left to the plain build: the sanitizers' allocators
// keep freed memory on purpose. And logging never fails its caller: a line
// without memory is counted for later, a fatal failure is logged first.
#include <unistd.h>

#include <cstdio>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/log.h>

#include "base/thread_log.h"
#include "core/callback.h"
#include "modules/worker_registry.h"
#include "pt/fatal.h"
#include "support/core_harness.h"
#include "support/messages.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kWorkers = 100000;
constexpr int kModuleThreads = 20000;
constexpr int kWarmUp = 2000;
constexpr long kFlatKb = 8 * 1024;

long ResidentKb()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status && std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    if (status)
        std::fclose(status);
    return kb;
}

// Takes every record and drops it.
class DroppingTarget : public wxLog {
protected:
    void DoLogRecord(wxLogLevel, const wxString&, const wxLogRecordInfo&) override {}
};

// Runs `round` `count` times and returns the growth of the resident size in
// kB over those rounds, measured after a warm-up.
template <typename Round>
long GrowthKb(int count, Round round)
{
    for (int i = 0; i < kWarmUp; ++i)
        round(i);
    const long before = ResidentKb();
    for (int i = 0; i < count; ++i)
        round(i);
    return ResidentKb() - before;
}

}  // namespace

TEST(ThreadChurn, WorkersAndModuleThreadsLeaveMemoryFlat)
{
    if (kSanitized)
        GTEST_SKIP() << "memory growth is measured in the plain build";
    DroppingTarget target;
    ThreadLog::setTarget(&target);
    testmodule::CoreHarness harness;
    ASSERT_TRUE(testmodule::InstallModule(harness.plugin("churn.so"), "wants_read_worker = 1\n"));
    harness.load();
    ASSERT_EQ(harness.core.TEST_modules().size(), 1u);
    ModuleRecord& record = harness.core.TEST_modules()[0];

    // Workers run a few at a time so that their stacks do not pile up.
    const long workers = GrowthKb(kWorkers, [&](int i) {
        ASSERT_TRUE(harness.core.StartReadWorker(record));
        if (i % 64 == 63) {
            ASSERT_TRUE(WorkerRegistry::instance().waitForWorkers(record.library, 10000));
        }
    });
    ASSERT_TRUE(WorkerRegistry::instance().waitForWorkers(record.library, 10000));

    const Message release = testmodule::MakeMessage(0x1000, ORV_CMD_RELEASE, 0, nullptr, 0);
    const long moduleThreads = GrowthKb(kModuleThreads, [&](int i) {
        std::thread([&release, i] {
            ThreadLog::warning("module thread %d", i);
            MessageResult result = {sizeof(MessageResult), 1, 0};
            ModuleCallback(&release, &result);
        }).join();
    });
    harness.stop();
    ThreadLog::setTarget(nullptr);
    EXPECT_LT(workers, kFlatKb);
    EXPECT_LT(moduleThreads, kFlatKb);
}

namespace {

// Has no memory for a line while `failing` is set; keeps the others.
class ScarceTarget : public wxLog {
public:
    bool failing = true;
    std::vector<std::string> lines;

protected:
    void DoLogRecord(wxLogLevel, const wxString& message, const wxLogRecordInfo&) override
    {
        if (failing)
            throw std::bad_alloc();
        lines.push_back(std::string(message.utf8_str()));
    }
};

}  // namespace

TEST(ThreadLogFailures, LinesLostForLackOfMemoryAreCountedAndReportedWithTheNext)
{
    ScarceTarget target;
    ThreadLog::setTarget(&target);
    std::thread([] {
        for (int i = 0; i < 3; ++i)
            ThreadLog::error("lost %d", i);
    }).join();
    target.failing = false;
    std::thread([] { ThreadLog::warning("written"); }).join();
    ThreadLog::setTarget(nullptr);
    EXPECT_EQ((std::vector<std::string>{"3 log lines were lost for lack of memory", "written"}), target.lines);
}

TEST(ThreadLogFailuresDeathTest, AFatalFailureSaysInTheLogThatTheServiceCannotGoOn)
{
    EXPECT_EXIT(
        {
            ThreadLog::setTarget(nullptr);
            pt::fatal(0xC0028, "pthread_create() failed");
        },
        ::testing::ExitedWithCode(0x28),
        "Internal \\[c0028\\]: pthread_create\\(\\) failed; the service cannot go on and exits");
}
