// What the stall watchdog reads of a watched thread: a call is never seen
// with another call's number, and a call the event handler has returned from
// is not seen at all, whatever the handler does next.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "base/call_watch.h"
#include "support/core_harness.h"
#include "support/messages.h"

namespace {

// Calls follow each other without an end, as in a batch of deliveries: the
// n-th call (seq 2n + 1) is module `odd` in "Write" for odd n, else `even`
// in "IOCTL".
TEST(CallWatch, AReaderNeverPairsOneCallsNumberWithTheNextCall)
{
    CallWatch watch;
    ModuleStats odd(1, "odd.so"), even(2, "even.so");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t n = 1; !done; ++n)
            n % 2 ? watch.begin(&odd, "Write") : watch.begin(&even, "IOCTL");
    });
    long mismatched = 0, seen = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
         std::chrono::steady_clock::now() < end;) {
        const CallWatch::Call call = watch.read();
        if (!(call.seq & 1))
            continue;
        ++seen;
        const bool oddCall = (call.seq / 2) % 2;
        mismatched += call.module != (oddCall ? &odd : &even) || call.entry != (oddCall ? "Write" : "IOCTL");
    }
    done = true;
    writer.join();
    EXPECT_GT(seen, 0);
    EXPECT_EQ(0, mismatched) << "of " << seen;
}

// The handler delivers on; the module's own call is over.
TEST(CallWatch, TheEventHandlerEndsEachModuleCallWhenItReturns)
{
    testmodule::CoreHarness harness;
    ASSERT_TRUE(testmodule::InstallModule(harness.plugin("reader.so"), "accepts_write = 1\nmask0 = 0xff\n"));
    harness.load();
    ASSERT_EQ(1u, harness.core.TEST_modules().size());
    for (uint64_t flags : {uint64_t(0x01), uint64_t(ORV_FLAG_NOTIFY_ALL)}) {
        SCOPED_TRACE(flags);
        // The delivery frees the payload, as the Core's queue owns it.
        Message message = testmodule::MakeMessage(0x77, flags, 0x5, std::malloc(1), 1);
        const uint64_t before = harness.core.TEST_deliveryWatch().read().seq;
        harness.core.DeliverMessage(message);
        const CallWatch::Call after = harness.core.TEST_deliveryWatch().read();
        EXPECT_NE(before, after.seq) << "no call was made";
        EXPECT_EQ(0u, after.seq & 1);
        EXPECT_EQ(nullptr, after.module);
    }
}

}  // namespace
