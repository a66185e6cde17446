// The Core's start and stop with no modules, and what Stop leaves behind.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/callback.h"
#include "core/core.h"

namespace {

namespace fs = std::filesystem;

// A Core whose executable lives in an empty scratch directory, which is also
// the working directory while the test runs (the Core writes its status
// documents there).
class CoreLifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "orvantis-core-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(&pattern[0]));
        dir = pattern;
        savedCwd = fs::current_path();
        fs::current_path(dir);
        core = new Core(dir + "/orvantisd");
    }

    void TearDown() override
    {
        delete core;
        fs::current_path(savedCwd);
        std::error_code error;
        fs::remove_all(dir, error);
    }

    // Queues a message as Dispatch would: the queue owns `data`.
    void queue(void* data, int32_t length)
    {
        Message message;
        memset(&message, 0, sizeof(message));
        message.size = sizeof(Message);
        message.version = ORV_MESSAGE_VERSION;
        message.length = length;
        message.data = data;
        message.source_id = 0x80000000u;
        ASSERT_EQ(EventQueue::Posted::Yes, core->TEST_eventQueue().post(message, message.data, nullptr, false));
    }

    std::string dir;
    fs::path savedCwd;
    Core* core = nullptr;
};

TEST_F(CoreLifecycle, ConstructionTouchesNothing)
{
    EXPECT_EQ(core, Core::AcquireInstance());
    Core::ReleaseInstance();
    EXPECT_EQ(dir + "/orvantisd", core->TEST_executablePath());
    EXPECT_FALSE(core->TEST_eventQueue().running());
    EXPECT_FALSE(core->TEST_eventHandlerRunning());
    EXPECT_FALSE(core->TEST_schedulerRunning());
    EXPECT_TRUE(core->TEST_modules().empty());
    EXPECT_TRUE(core->TEST_eventQueue().TEST_messages().empty());
    EXPECT_FALSE(core->TEST_throttling());
    EXPECT_EQ(0, core->TEST_throttleSince());
}

TEST_F(CoreLifecycle, StopAfterStartWithoutModulesLeavesNothingRunning)
{
    ASSERT_TRUE(core->Start());
    EXPECT_TRUE(core->TEST_eventQueue().running());
    EXPECT_TRUE(core->TEST_modules().empty());
    core->TEST_moduleList().noteNotLoaded("broken.so");
    core->Stop();
    EXPECT_FALSE(core->TEST_eventQueue().running());
    EXPECT_FALSE(core->TEST_eventHandlerRunning());
    EXPECT_FALSE(core->TEST_schedulerRunning());
    EXPECT_TRUE(core->TEST_modules().empty());
    ASSERT_EQ(1u, core->TEST_moduleList().notLoaded().size());
    EXPECT_EQ("broken.so", core->TEST_moduleList().notLoaded()[0]);
}

// Freed exactly once: a leak or a second free shows under AddressSanitizer.
TEST_F(CoreLifecycle, MessagesStillQueuedAtStopAreFreed)
{
    ASSERT_TRUE(core->Start());
    for (int32_t length : {1, 64, 4096})
        queue(malloc(static_cast<size_t>(length)), length);
    queue(nullptr, 0);
    core->Stop();
    EXPECT_TRUE(core->TEST_eventQueue().TEST_messages().empty());
    EXPECT_FALSE(core->TEST_eventQueue().running());
}

}  // namespace

TEST_F(CoreLifecycle, DestructionWaitsForACallerAlreadyInside)
{
    std::promise<void> inside;
    std::atomic<bool> released{false};
    std::thread caller([&] {
        EXPECT_EQ(core, Core::AcquireInstance());
        inside.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        released = true;
        Core::ReleaseInstance();
    });
    inside.get_future().wait();
    delete core;
    core = nullptr;
    EXPECT_TRUE(released) << "the Core was destroyed under a caller";
    caller.join();
    EXPECT_EQ(nullptr, Core::AcquireInstance());
    Core::ReleaseInstance();
}

TEST_F(CoreLifecycle, DestructionIsNotHeldUpByCallersThatKeepComing)
{
    core->Start();
    core->Stop();
    // Module threads that go on calling back after the stop, flat out.
    std::atomic<bool> quit{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 32; ++i)
        callers.emplace_back([&] {
            Message message;
            memset(&message, 0, sizeof message);
            message.size = sizeof message;
            message.version = ORV_MESSAGE_VERSION;
            message.source_id = 0x4321;
            MessageResult result = {sizeof result, 1, 0};
            while (!quit.load(std::memory_order_relaxed))
                ModuleCallback(&message, &result);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::future<void> destroyed = std::async(std::launch::async, [this] {
        delete core;
        core = nullptr;
    });
    const bool bounded = destroyed.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    quit = true;
    for (std::thread& caller : callers)
        caller.join();
    destroyed.wait();
    EXPECT_TRUE(bounded) << "the destructor waited for callers that came after the stop";
    // With no Core left, a callback is refused.
    Message message;
    memset(&message, 0, sizeof message);
    MessageResult result = {sizeof result, 1, 0};
    ModuleCallback(&message, &result);
    EXPECT_EQ(ORV_RESULT_REFUSED, result.result);
}
