// The callback's callers, counted per thread: a thread's slot outlives it
// for the next thread to take, and the count a destructor waits for is the
// one of callers that came before it.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "core/caller_count.h"

namespace {

TEST(CallerCount, ThreadsThatEndGiveTheirSlotsToTheNext)
{
    std::thread([] {
        CallerCount::enter();
        CallerCount::leave();
    }).join();
    const int before = CallerCount::TEST_slotCount();
    for (int i = 0; i < 20; ++i)
        std::thread([] {
            CallerCount::enter();
            CallerCount::leave();
        }).join();
    EXPECT_EQ(before, CallerCount::TEST_slotCount());
}

TEST(CallerCount, AWaitEndsWhenTheCallersBeforeItLeaveWhateverComesAfter)
{
    std::atomic<bool> inside{false}, left{false}, done{false};
    std::thread early([&] {
        CallerCount::enter();
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        left = true;
        CallerCount::leave();
    });
    std::thread later([&] {
        while (!inside) {
        }
        while (!done) {
            CallerCount::enter();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            CallerCount::leave();
        }
    });
    while (!inside) {
    }
    CallerCount::waitForCallers();
    EXPECT_TRUE(left);
    done = true;
    early.join();
    later.join();
}

}  // namespace
