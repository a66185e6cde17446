// The stop with real modules: close and unload order, workers still inside
// their modules, a worker that never returns, and a module thread that keeps
// calling the callback through the stop.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/core.h"
#include "supervision/service_fixture.h"
#include "support/log_capture.h"
#include "support/test_module.h"

using service::ServiceDir;
using testmodule::Entries;
using testmodule::LogLine;

namespace {

// Every module sends one message from its Close and one from its Unload. With
// the Core's threads stopped they stay queued, in the order of the calls.
std::string Module(uint64_t id, uint64_t closeKey)
{
    return "id = " + std::to_string(id) + "\nmask5 = " + std::to_string(closeKey) +
           "\nsend = close flags=0x40 event=0xC\nsend = unload flags=0x40 event=0xD\n";
}

std::vector<std::string> QueuedCalls(Core& core)
{
    std::vector<std::string> calls;
    for (const Message& message : core.TEST_eventQueue().TEST_messages())
        calls.push_back((message.event == 0xC ? "close " : "unload ") + std::to_string(message.source_id));
    return calls;
}

int64_t Seq(const std::string& module, const std::string& entry)
{
    std::vector<LogLine> lines = Entries(module, entry);
    return lines.empty() ? -1 : lines[0].num("seq");
}

}  // namespace

TEST(ShutdownService, ModulesCloseAndUnloadLargestKeyFirst)
{
    ServiceDir service;
    service.install("a.so", Module(1, 1));
    service.install("b.so", Module(2, 0x10));
    service.install("c.so", Module(3, 0));
    service.install("d.so", Module(4, 0x10));
    service.install("z.so", Module(0x60000, 0x10));
    Core core(service.executable());
    ASSERT_TRUE(core.Start());
    core.StopScheduler();
    core.StopEventHandler();
    core.CloseModules();
    core.UnloadModules();
    EXPECT_EQ(QueuedCalls(core), (std::vector<std::string>{"close 393216", "close 2", "close 4", "close 1", "close 3",
                                                           "unload 393216", "unload 2", "unload 4", "unload 1",
                                                           "unload 3"}));
    core.Stop();
    EXPECT_TRUE(core.TEST_modules().empty());
    EXPECT_FALSE(core.TEST_eventQueue().running());
}

TEST(ShutdownService, WorkersReturnFromCloseBeforeTheirModuleIsUnloaded)
{
    ServiceDir service;
    const std::string busy = service.install(
        "busy.so", "id = 7\nwants_read_worker = 1\nwants_ioctl_worker = 1\nblock_until_close = 1\nreturn_delay_ms = 100\n"
                   "send = read flags=0x40 event=0x1000002 payload=still-here\n");
    Core core(service.executable());
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(testmodule::WaitForEntries(busy, "Read"));
    ASSERT_TRUE(testmodule::WaitForEntries(busy, "IOCTL", 1, "code", "1"));
    core.Stop();

    const int64_t unload = Seq(busy, "Unload");
    ASSERT_GT(unload, 0);
    EXPECT_GT(Seq(busy, "Close"), 0);
    EXPECT_LT(Seq(busy, "Close"), Seq(busy, "ReadEnd"));
    EXPECT_LT(Seq(busy, "ReadEnd"), unload);
    EXPECT_LT(Seq(busy, "IOCTLEnd"), unload);
}

TEST(ShutdownService, AWorkerThatNeverReturnsLeavesItsModuleLoaded)
{
    testmodule::LogCapture log;
    ServiceDir service;
    const std::string stuck = service.install("stuck.so", "id = 8\nwants_read_worker = 1\nworker_never_returns = 1\n");
    const std::string fine = service.install("fine.so", "id = 9\nwants_read_worker = 1\n");
    Core core(service.executable());
    core.TEST_workerWaits().exitTimeoutMs = 300;
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(testmodule::WaitForEntries(stuck, "Read"));
    ASSERT_TRUE(testmodule::WaitForEntries(fine, "ReadEnd"));

    const auto start = std::chrono::steady_clock::now();
    core.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(core.TEST_modules().empty());
    EXPECT_EQ(Entries(stuck, "Close").size(), 1u);
    EXPECT_EQ(Entries(stuck, "Unload").size(), 1u);
    EXPECT_EQ(Entries(fine, "Unload").size(), 1u);
    std::vector<std::string> errors = log.texts(wxLOG_Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("stuck.so"), std::string::npos) << errors[0];
}

TEST(ShutdownService, AModuleThreadMayCallTheCallbackThroughoutTheStop)
{
    ServiceDir service;
    // The resident variant keeps its code mapped, so its thread may outlive Unload.
    const std::string chatty = service.install(
        "chatty.so",
        "id = 10\nmask0 = 0xFF\nwants_read_worker = 1\nthread_interval_ms = 1\nthread_count = 400\n"
        "thread_survives_unload = 1\n"
        "send = thread flags=0x40 event=0x1000002 payload=tick\n"
        "send = thread source=0 flags=0x01 event=0x1 request=3 payload=open\n",
        "orv_test_module_resident");
    Core core(service.executable());
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(testmodule::WaitForEntries(chatty, "Send", 20));
    core.Stop();
    const size_t sentBeforeStop = Entries(chatty, "Send").size();
    ASSERT_TRUE(testmodule::WaitForEntries(chatty, "ThreadEnd", 1, "", "", 10000));

    std::vector<LogLine> sends = Entries(chatty, "Send");
    EXPECT_GT(sends.size(), sentBeforeStop);
    EXPECT_EQ(sends.front().num("result"), 0);
    EXPECT_EQ(sends.back().num("result"), 1);  // turned away once the Core has stopped
    // Open requests started Read workers while the service ran; none of them
    // was still inside the module when it was unloaded.
    const int64_t unload = Seq(chatty, "Unload");
    ASSERT_GT(unload, 0);
    EXPECT_FALSE(Entries(chatty, "Read", "request", "0x3").empty());
    for (const LogLine& line : Entries(chatty, "ReadEnd"))
        EXPECT_LT(line.num("seq"), unload);
}
