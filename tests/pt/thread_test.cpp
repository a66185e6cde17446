// Thread lifecycle: start and signal act once, waits time out as they should,
// autofree threads free themselves, unjoined threads are detached, escaped
// exceptions end only their thread, and misuse of waitfor ends the process
// with the documented line and status.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "pt/fatal.h"
#include "pt/semaphore.h"
#include "pt/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Counts how often its body runs and waits for its signal with a given timeout.
class CountingThread : public pt::thread {
public:
    explicit CountingThread(int waitMs) : pt::thread(false), waitMs(waitMs) {}
    ~CountingThread() override { waitfor(); }

    std::atomic<int> bodies{0};
    std::atomic<int> signalsSeen{0};
    std::atomic<long> firstWaitMs{-1};

protected:
    void execute() override
    {
        ++bodies;
        Clock::time_point start = Clock::now();
        if (waitForSignal(waitMs))
            ++signalsSeen;
        firstWaitMs = msSince(start);
        if (waitForSignal(waitMs))
            ++signalsSeen;
    }

private:
    int waitMs;
};

TEST(ThreadStart, SecondStartCreatesNoSecondThread)
{
    CountingThread t(10);
    t.start();
    t.start();
    t.waitfor();
    EXPECT_EQ(t.bodies.load(), 1);
    EXPECT_TRUE(t.isRunning());
    EXPECT_TRUE(t.isFinished());
}

TEST(ThreadSignal, SecondSignalPostsNothing)
{
    CountingThread t(100);
    t.signal();
    t.signal();
    t.start();
    t.waitfor();
    // One signal seen at once; the second wait timed out normally.
    EXPECT_EQ(t.signalsSeen.load(), 1);
    EXPECT_LT(t.firstWaitMs.load(), 50);
    EXPECT_TRUE(t.isSignalled());
}

TEST(ThreadSignal, UnsignalledWaitTimesOutAfterAbout100ms)
{
    CountingThread t(100);
    t.start();
    t.waitfor();
    EXPECT_EQ(t.signalsSeen.load(), 0);
    EXPECT_GE(t.firstWaitMs.load(), 95);
    EXPECT_LT(t.firstWaitMs.load(), 1000);
}

TEST(ThreadSignal, WaitforOnJoinedOrUnstartedThreadReturnsAtOnce)
{
    CountingThread unstarted(0);
    unstarted.waitfor();
    CountingThread t(0);
    t.start();
    t.waitfor();
    t.waitfor();
    EXPECT_EQ(t.bodies.load(), 1);
}

// Reports its own destruction, so the test sees the self-deletion.
class AutofreeThread : public pt::thread {
public:
    AutofreeThread(std::atomic<int>* cleanups, std::atomic<int>* destroyed)
        : pt::thread(true), cleanups(cleanups), destroyed(destroyed)
    {
    }
    ~AutofreeThread() override { ++*destroyed; }

protected:
    void execute() override {}
    void cleanup() override { ++*cleanups; }

private:
    std::atomic<int>* cleanups;
    std::atomic<int>* destroyed;
};

TEST(ThreadAutofree, DeletesItselfAfterCleanup)
{
    std::atomic<int> cleanups{0}, destroyed{0};
    (new AutofreeThread(&cleanups, &destroyed))->start();
    for (int i = 0; i < 200 && destroyed.load() == 0; ++i)
        pt::sleepMs(5);
    EXPECT_EQ(cleanups.load(), 1);
    EXPECT_EQ(destroyed.load(), 1);
}

class QuickThread : public pt::thread {
public:
    QuickThread() : pt::thread(false) {}

protected:
    void execute() override {}
};

long virtualMemoryKb()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status && std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmSize: %ld kB", &kb) == 1)
            break;
    if (status)
        std::fclose(status);
    return kb;
}

TEST(ThreadDestructor, DeletingAnUnjoinedFinishedThreadDetachesIt)
{
    // An ended joinable thread that nobody joins keeps its stack mapped; the
    // destructor's detach gives it back. 200 leaked stacks would be >1 GiB.
    long before = virtualMemoryKb();
    for (int i = 0; i < 200; ++i) {
        QuickThread* t = new QuickThread;
        t->start();
        while (!t->isFinished())
            pt::sleepMs(1);
        pt::sleepMs(1);
        delete t;
    }
    pt::sleepMs(50);
    EXPECT_LT(virtualMemoryKb() - before, 512L * 1024);
}

// Throws from execute() (bad_alloc, or an int when told) and, when told,
// from cleanup() too.
class ThrowingThread : public pt::thread {
public:
    ThrowingThread(bool autofree, bool throwInt, bool cleanupThrows, std::atomic<int>* destroyed)
        : pt::thread(autofree), throwInt(throwInt), cleanupThrows(cleanupThrows), destroyed(destroyed)
    {
    }
    ~ThrowingThread() override
    {
        if (!autofree)
            waitfor();
        ++*destroyed;
    }

    std::atomic<int> cleanups{0};

protected:
    void execute() override
    {
        if (throwInt)
            throw 7;
        throw std::bad_alloc();
    }
    void cleanup() override
    {
        ++cleanups;
        if (cleanupThrows)
            throw std::runtime_error("cleanup failed");
    }

private:
    bool throwInt;
    bool cleanupThrows;
    std::atomic<int>* destroyed;
};

std::mutex reportsLock;
std::vector<std::string> reports;

void RecordReport(const char* what)
{
    std::lock_guard<std::mutex> guard(reportsLock);
    reports.push_back(what);
}

std::vector<std::string> TakeReports()
{
    std::lock_guard<std::mutex> guard(reportsLock);
    std::vector<std::string> taken;
    taken.swap(reports);
    return taken;
}

// An exception escaping the body or the clean-up ends the thread as a return
// would, reported, instead of ending the process.
TEST(ThreadFailure, EscapedExceptionsAreReportedAndTheThreadEndsCleanly)
{
    pt::setFailureReporter(&RecordReport);
    std::atomic<int> destroyed{0};
    {
        ThrowingThread joinable(false, false, true, &destroyed);
        joinable.start();
        while (!joinable.isFinished())
            pt::sleepMs(1);
        EXPECT_EQ(joinable.cleanups.load(), 1);
    }
    EXPECT_EQ(TakeReports(), (std::vector<std::string>{"std::bad_alloc", "cleanup failed"}));

    (new ThrowingThread(true, true, false, &destroyed))->start();
    for (int i = 0; i < 400 && destroyed.load() < 2; ++i)
        pt::sleepMs(5);
    EXPECT_EQ(destroyed.load(), 2);  // the autofree one deleted itself
    EXPECT_EQ(TakeReports(), (std::vector<std::string>{"unknown exception"}));
    pt::setFailureReporter(nullptr);
}

class SelfJoiningThread : public pt::thread {
public:
    SelfJoiningThread() : pt::thread(false) {}

protected:
    void execute() override { waitfor(); }
};

class IdleAutofreeThread : public pt::thread {
public:
    explicit IdleAutofreeThread(pt::semaphore* release) : pt::thread(true), release(release) {}

protected:
    void execute() override { release->wait(); }

private:
    pt::semaphore* release;
};

TEST(ThreadDeathTest, WaitforOnItselfIsFatal)
{
    EXPECT_EXIT(
        {
            SelfJoiningThread t;
            t.start();
            pt::sleepMs(2000);
        },
        ::testing::ExitedWithCode(47), "\nInternal \\[c002f\\]: Can not waitfor\\(\\) on myself\n");
}

TEST(ThreadDeathTest, WaitforOnAutofreeThreadIsFatal)
{
    EXPECT_EXIT(
        {
            pt::semaphore release(0);
            IdleAutofreeThread* t = new IdleAutofreeThread(&release);
            t->start();
            t->waitfor();
        },
        ::testing::ExitedWithCode(48), "\nInternal \\[c0030\\]: Can not waitfor\\(\\) on an autofree thread\n");
}

TEST(FatalDeathTest, PrintsTheInternalLineAndExitsWithTheLowByte)
{
    EXPECT_EXIT(pt::fatal(0xC0029, "Semaphore failed"), ::testing::ExitedWithCode(0x29),
                "^\nInternal \\[c0029\\]: Semaphore failed\n$");
    EXPECT_EXIT(pt::fatal(0x5, "x"), ::testing::ExitedWithCode(5), "^\nInternal \\[0005\\]: x\n$");
}

}  // namespace
