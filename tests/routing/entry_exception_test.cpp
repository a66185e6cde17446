// An exception out of a module's entry point is caught at the call, logged
// with the module and the entry point, and counts as a failed call: the
// event-handler thread and the workers go on. The throwing module is a real
// C++ module (tests/modules/throwing_module.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/thread_log.h"
#include "modules/worker_registry.h"
#include "support/core_harness.h"
#include "support/log_capture.h"
#include "support/messages.h"

using namespace testmodule;

namespace {

// Lines that begin with `text`: the first line after others were held back
// also says how many.
size_t CountOf(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(text, 0) == 0; }));
}

}  // namespace

TEST(EntryExceptions, DeliveryAndWorkersGoOnPastAModuleThatThrows)
{
    // A second of its own for the rate limit of these lines, which earlier
    // tests in this binary may have used up.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    LogCapture log;
    ThreadLog::setTarget(&log);
    CoreHarness h;
    const std::string thrower = h.plugin("a-thrower.so"), receiver = h.plugin("b-receiver.so");
    ASSERT_TRUE(InstallModule(thrower, "", "orv_throwing_module"));
    ASSERT_TRUE(InstallModule(receiver, "id = 0x22\naccepts_write = 1\nmask1 = 0xFF\n"));
    h.start();
    ASSERT_EQ(2u, h.core.TEST_modules().size());
    char bytes[4] = "abc";
    for (uint64_t event = 1; event <= 3; ++event)
        ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x02, event, bytes, 3)));
    ASSERT_EQ(0, Send(MakeMessage(0x4321, ORV_FLAG_NOTIFY_OTHERS, 0x4, bytes, 3)));
    ASSERT_EQ(0, Send(MakeMessage(0, 0x02, 0x1, nullptr, 0, 5)));
    ASSERT_TRUE(WaitForEntries(receiver, "IOCTL"));
    EXPECT_TRUE(WorkerRegistry::instance().waitForWorkers(h.core.TEST_modules().at(h.indexOf("a-thrower.so")).library, 5000));
    h.stop();
    ThreadLog::setTarget(nullptr);

    std::vector<std::string> events;
    for (const LogLine& line : Entries(receiver, "Write"))
        events.push_back(line.str("event"));
    EXPECT_EQ((std::vector<std::string>{"0x1", "0x2", "0x3"}), events);
    const std::vector<std::string> errors = log.texts(wxLOG_Error);
    const std::string failed = " failed on purpose); the call counts as failed";
    EXPECT_EQ(3u, CountOf(errors, "plugin a-thrower.so: Write threw an exception (Write" + failed));
    // The worker's call at load and the payload notice.
    EXPECT_EQ(2u, CountOf(errors, "plugin a-thrower.so: IOCTL threw an exception (IOCTL" + failed));
    EXPECT_EQ(1u, CountOf(errors, "plugin a-thrower.so: Read threw an exception (Read" + failed));
    // The harness opens the queue itself: Open is not called here.
    for (const char* entry : {"Close", "Unload"})
        EXPECT_EQ(1u, CountOf(errors, std::string("plugin a-thrower.so: ") + entry + " threw an exception (" + entry +
                                          failed));
    EXPECT_EQ(8u, errors.size());
}
