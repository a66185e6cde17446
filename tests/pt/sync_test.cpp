// Semaphores, triggers, the spin lock and atomic exchange under contention.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "pt/atomic.h"
#include "pt/condition.h"
#include "pt/mutex_lock.h"
#include "pt/semaphore.h"
#include "pt/spin_mutex.h"
#include "pt/thread.h"
#include "pt/timedsem.h"
#include "pt/trigger.h"

namespace {

// Runs `wait` on a thread and tells whether it returned within `ms`.
template <typename Wait>
class Waiter {
public:
    explicit Waiter(Wait wait) : worker([this, wait] { wait(); done = true; }) {}
    ~Waiter() { worker.join(); }
    bool returnedWithin(int ms)
    {
        for (int i = 0; i < ms / 5 && !done; ++i)
            pt::sleepMs(5);
        return done;
    }

private:
    std::atomic<bool> done{false};
    std::thread worker;
};

template <typename Wait>
std::unique_ptr<Waiter<Wait>> startWaiter(Wait wait)
{
    return std::make_unique<Waiter<Wait>>(wait);
}

TEST(Trigger, AutoResetBlocksUntilPost)
{
    pt::trigger t(true, false);
    auto w = startWaiter([&] { t.wait(); });
    EXPECT_FALSE(w->returnedWithin(100));
    t.post();
    EXPECT_TRUE(w->returnedWithin(2000));
}

TEST(Trigger, TwoPostsBeforeOneWaitReleaseExactlyOneWait)
{
    pt::trigger t(true, false);
    t.post();
    t.post();
    t.wait();
    auto w = startWaiter([&] { t.wait(); });
    EXPECT_FALSE(w->returnedWithin(100));
    t.post();
    EXPECT_TRUE(w->returnedWithin(2000));
}

TEST(Trigger, ManualReleasesEveryWaiterAndStaysSet)
{
    pt::trigger t(false, false);
    auto a = startWaiter([&] { t.wait(); });
    auto b = startWaiter([&] { t.wait(); });
    auto c = startWaiter([&] { t.wait(); });
    EXPECT_FALSE(a->returnedWithin(50));
    t.post();
    EXPECT_TRUE(a->returnedWithin(2000));
    EXPECT_TRUE(b->returnedWithin(2000));
    EXPECT_TRUE(c->returnedWithin(2000));
    t.wait();
}

TEST(Trigger, InitiallySetLetsTheFirstWaitThrough)
{
    pt::trigger t(true, true);
    t.wait();
    auto w = startWaiter([&] { t.wait(); });
    EXPECT_FALSE(w->returnedWithin(50));
    t.post();
    EXPECT_TRUE(w->returnedWithin(2000));
}

TEST(TimedSemaphore, CountsUnitsAndTimesOut)
{
    pt::timedsem s(2);
    EXPECT_TRUE(s.wait(0));
    EXPECT_TRUE(s.wait(0));
    EXPECT_FALSE(s.wait(0));
    s.post();
    EXPECT_TRUE(s.wait(10));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.wait(1050));  // crosses a whole second: the deadline carry
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 1040);
    EXPECT_LT(ms, 3000);
}

TEST(TimedSemaphore, NegativeTimeWaitsUntilPost)
{
    pt::timedsem s(0);
    bool got = false;
    auto w = startWaiter([&] { got = s.wait(-1); });
    EXPECT_FALSE(w->returnedWithin(100));
    s.post();
    EXPECT_TRUE(w->returnedWithin(2000));
    w.reset();
    EXPECT_TRUE(got);
}

TEST(Semaphore, PostsReleaseWaitersOneEach)
{
    pt::semaphore s(1);
    s.wait();
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] { s.wait(); ++through; });
    pt::sleepMs(50);
    EXPECT_EQ(through.load(), 0);
    s.post();
    s.post();
    for (int i = 0; i < 200 && through.load() < 2; ++i)
        pt::sleepMs(5);
    pt::sleepMs(30);
    EXPECT_EQ(through.load(), 2);
    s.post();
    s.post();
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(through.load(), 4);
}

TEST(AtomicExchange, ReturnsTheOldValueUnderContention)
{
    // Every value written is either returned by exactly one later exchange or
    // is the final value: the sums balance only if no exchange lost an update.
    constexpr int threads = 8;
    constexpr int flips = 20000;
    int location = 0;
    std::vector<long long> returned(threads, 0), written(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 1; i <= flips; ++i) {
                int value = t * flips + i;
                written[t] += value;
                returned[t] += pt::atomicExchange(&location, value);
            }
        });
    }
    for (auto& w : workers)
        w.join();
    long long sumReturned = 0, sumWritten = 0;
    for (int t = 0; t < threads; ++t) {
        sumReturned += returned[t];
        sumWritten += written[t];
    }
    EXPECT_EQ(sumReturned + pt::atomicRead(&location), sumWritten);
}

TEST(AtomicExchange, NeighbouringLocationsAreIndependent)
{
    int cells[40] = {};
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(pt::atomicExchange(&cells[i], i + 1), 0);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(pt::atomicExchange(&cells[i], 0), i + 1);
}

}  // namespace

// A timed wait ends at its deadline with false, and a notify ends an untimed
// one; the lock is held again on return either way.
TEST(Condition, TimedWaitEndsAtTheDeadlineAndNotifyEndsAWait)
{
    pt::mutex lock;
    pt::condition changed;
    {
        pt::mutexLock held(lock);
        const auto start = std::chrono::steady_clock::now();
        const timespec deadline = pt::condition::deadlineIn(50);
        while (changed.waitUntil(lock, deadline)) {
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    }
    bool ready = false;
    auto waiter = startWaiter([&] {
        pt::mutexLock held(lock);
        while (!ready)
            changed.wait(lock);
    });
    EXPECT_FALSE(waiter->returnedWithin(50));
    {
        pt::mutexLock held(lock);
        ready = true;
    }
    changed.notifyAll();
    EXPECT_TRUE(waiter->returnedWithin(5000));
}

// Threads that find it held, one of them for longer than the spin (its
// holder sleeps), all get it in the end, one at a time.
TEST(SpinMutex, ExcludesAndLetsWaitersInAfterALongHold)
{
    pt::spinMutex lock;
    long counted = 0;  // guarded by `lock`, as far as the test goes
    std::vector<std::thread> threads;
    {
        pt::spinLock held(lock);
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 50000; ++i) {
                    pt::spinLock each(lock);
                    ++counted;
                }
            });
        pt::sleepMs(20);
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(4 * 50000, counted);
}
