// What the stall watchdog reads of a watched thread: two calls are told
// apart, and a call the event handler has returned from is not seen at all,
// whatever the handler does next.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "base/call_watch.h"
#include "support/core_harness.h"
#include "support/messages.h"

namespace {

TEST(CallWatch, CallsOfOneEntryAreToldApartAndACallStaysTheSameWhileItRuns)
{
    CallWatch watch;
    ModuleStats module(1, "one.so");
    watch.begin(module.write);
    const CallWatch::Call first = watch.read();
    EXPECT_EQ(&module.write, first.entry);
    EXPECT_EQ(first, watch.read());
    watch.begin(module.write);  // the next call of a batch, without an end
    EXPECT_NE(first, watch.read());
    watch.end();
    EXPECT_EQ(nullptr, watch.read().entry);
}

// Calls follow each other without an end, as in a batch of deliveries: a
// reader sees an entry only with its call counted, and never an older number
// of that entry after a newer one.
TEST(CallWatch, AReaderSeesEachEntryWithItsCallCountedInOrder)
{
    CallWatch watch;
    ModuleStats odd(1, "odd.so"), even(2, "even.so");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t n = 1; !done; ++n)
            watch.begin(n % 2 ? odd.write : even.notice);
    });
    long wrong = 0, seen = 0;
    uint64_t last[2] = {0, 0};
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
         std::chrono::steady_clock::now() < end;) {
        const CallWatch::Call call = watch.read();
        if (!call.entry)
            continue;
        ++seen;
        uint64_t& before = last[call.entry == &even.notice];
        wrong += call.number == 0 || call.number < before;
        before = call.number;
    }
    done = true;
    writer.join();
    EXPECT_GT(seen, 0);
    EXPECT_EQ(0, wrong) << "of " << seen;
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
        const uint64_t calls = harness.core.TEST_modules().front().stats->write.calls +
                               harness.core.TEST_modules().front().stats->notice.calls;
        harness.core.DeliverMessage(message);
        const ModuleStats& stats = *harness.core.TEST_modules().front().stats;
        EXPECT_EQ(calls + 1, stats.write.calls + stats.notice.calls) << "no call was made";
        EXPECT_EQ(nullptr, harness.core.TEST_deliveryWatch().read().entry);
    }
}

}  // namespace
