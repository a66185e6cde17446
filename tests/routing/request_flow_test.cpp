// Request flow alone: a worker's second payload waits for the first to be
// dropped, the stop's release lets it through, a cancel refuses it.
#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "routing/request_flow.h"
#include "support/test_module.h"

using testmodule::WaitFor;

TEST(RequestFlow, ASecondPayloadWaitsUntilTheFirstIsDropped)
{
    RequestFlow flow;
    int first = 0, second = 0;
    std::atomic<bool> claimed{false};
    ASSERT_TRUE(flow.addSlot(pthread_self()));
    bool released = true;
    FlowSlot* slot = flow.slotFor(7, released);
    ASSERT_NE(nullptr, slot);
    EXPECT_FALSE(released);
    flow.claim(slot, &first, released);
    std::thread worker([&] {
        flow.claim(slot, &second, false);
        claimed = true;
    });
    usleep(50 * 1000);
    EXPECT_FALSE(claimed.load());
    flow.wakeHolder(&second);  // not in flight: wakes nobody
    usleep(50 * 1000);
    EXPECT_FALSE(claimed.load());
    flow.wakeHolder(&first);
    EXPECT_TRUE(WaitFor([&] { return claimed.load(); }));
    worker.join();
    EXPECT_EQ(std::vector<void*>{&second}, flow.TEST_inFlight());
    flow.removeSlot(pthread_self());
}

TEST(RequestFlow, AfterReleaseAllNoClaimWaits)
{
    RequestFlow flow;
    int payload = 0;
    ASSERT_TRUE(flow.addSlot(pthread_self()));
    bool released = false;
    FlowSlot* slot = flow.slotFor(7, released);
    flow.claim(slot, &payload, released);
    flow.releaseAll();
    slot = flow.slotFor(7, released);
    EXPECT_TRUE(released);
    flow.claim(slot, &payload, released);  // would block without the release
    flow.reset();
    flow.slotFor(7, released);
    EXPECT_FALSE(released);
    flow.removeSlot(pthread_self());
}

TEST(RequestFlow, ACancelledRequestOrAThreadWithoutSlotHasNoSlot)
{
    RequestFlow flow;
    bool released = false;
    EXPECT_EQ(nullptr, flow.slotFor(7, released));  // no slot registered
    ASSERT_TRUE(flow.addSlot(pthread_self()));
    ASSERT_TRUE(flow.cancel(7));
    EXPECT_EQ(nullptr, flow.slotFor(7, released));
    EXPECT_NE(nullptr, flow.slotFor(8, released));
    flow.reopen(7);
    EXPECT_NE(nullptr, flow.slotFor(7, released));
    flow.removeSlot(pthread_self());
    EXPECT_EQ(0u, flow.TEST_slotCount());
}
