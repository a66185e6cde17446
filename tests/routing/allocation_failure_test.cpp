// Allocation failure in routing: the sender gets -1 and the Core goes on,
// with no lock left held; a request worker and the event-handler thread
// survive allocations failing under them. operator new is replaced in this
// test binary, failing on a thread that asks for it, or (while a test turns
// it on) one call in N on every thread but the test's own; the sanitizer
// builds keep their own allocator and skip these tests.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <thread>

#include <gtest/gtest.h>
#include <wx/log.h>

#include "base/thread_log.h"
#include "modules/worker_registry.h"
#include "support/core_harness.h"
#include "support/messages.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ORV_FAILING_NEW 1
// The replaced operator delete frees what the replaced operator new took
// from malloc; g++ cannot see that they match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local bool failNew = false;       // every allocation of this thread fails
thread_local bool spared = false;        // this thread's allocations never fail one in N
std::atomic<unsigned> failOneIn{0};      // 0: off
std::atomic<unsigned> allocations{0};

bool FailThisOne()
{
    if (failNew)
        return true;
    const unsigned n = failOneIn.load(std::memory_order_relaxed);
    return n && !spared && allocations.fetch_add(1, std::memory_order_relaxed) % n == n - 1;
}
}  // namespace

void* operator new(std::size_t size)
{
    void* p = FailThisOne() ? nullptr : std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
#endif

using namespace testmodule;

namespace {

// Sends `message` with every operator new of this thread failing.
int32_t SendWithoutMemory(const Message& message)
{
#ifdef ORV_FAILING_NEW
    failNew = true;
    int32_t result = Send(message);
    failNew = false;
    return result;
#else
    return Send(message);
#endif
}

}  // namespace

TEST(AllocationFailure, DispatchAnswersMinusOneAndTheCoreGoesOn)
{
#ifndef ORV_FAILING_NEW
    GTEST_SKIP() << "the sanitizer's allocator is not replaced";
#endif
    CoreHarness h;
    const std::string reader = h.plugin("reader.so");
    ASSERT_TRUE(InstallModule(reader, "id = 0x31\nwants_read_worker = 1\nmask1 = 0xFFFFFF\n"));
    h.load();
    char bytes[4] = "abc";
    // The queue cannot grow, a cancel cannot be recorded, a worker cannot be made.
    EXPECT_EQ(-1, SendWithoutMemory(MakeMessage(0x4321, 0x04, 1, bytes, 3)));
    EXPECT_EQ(0u, QueueLength(h.core));
    EXPECT_EQ(-1, SendWithoutMemory(MakeMessage(0, ORV_CMD_CANCEL, 0, nullptr, 0, 9)));
    EXPECT_EQ(-1, SendWithoutMemory(MakeMessage(0, 0x02, 0x1, nullptr, 0, 9)));
    // With memory back, everything works: no lock was left held.
    EXPECT_EQ(0, Send(MakeMessage(0x4321, 0x04, 1, bytes, 3)));
    EXPECT_EQ(1u, QueueLength(h.core));
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1, nullptr, 0, 9)));
    EXPECT_TRUE(WaitForEntries(reader, "ReadEnd"));
    h.stop();
}

namespace {

// One allocation in `n` fails on every thread but the caller's, for the
// object's lifetime.
class FailingAllocations {
public:
    explicit FailingAllocations(unsigned n)
    {
#ifdef ORV_FAILING_NEW
        spared = true;
        failOneIn = n;
#else
        (void)n;
#endif
    }
    ~FailingAllocations()
    {
#ifdef ORV_FAILING_NEW
        failOneIn = 0;
#endif
    }
};

// Runs `body` on a thread of its own. A body still running after `seconds`
// is deadlocked, which no later test could survive: the binary ends here.
void RunBounded(int seconds, const std::function<void()>& body)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread runner([&] {
        body();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "deadlocked: still running after %d s\n", seconds);
        std::abort();
    }
    runner.join();
}

}  // namespace

TEST(AllocationFailure, RequestWorkersLeaveNoLockHeld)
{
#ifndef ORV_FAILING_NEW
    GTEST_SKIP() << "the sanitizer's allocator is not replaced";
#endif
    CoreHarness h;
    const std::string reader = h.plugin("reader.so");
    ASSERT_TRUE(InstallModule(reader, "id = 0x31\nwants_read_worker = 1\nmask1 = 0xFFFFFF\n"));
    h.start();
    const void* library = h.core.TEST_modules().at(0).library;
    RunBounded(60, [&] {
        {
            // Each worker registers its flow slot and ends while allocations fail.
            FailingAllocations failing(50);
            for (uint64_t request = 1; request <= 2000; ++request)
                Send(MakeMessage(0, 0x02, 0x1, nullptr, 0, request));
            EXPECT_TRUE(WorkerRegistry::instance().waitForWorkers(library, 30000));
        }
        EXPECT_EQ(0u, FlowSlotCount(h.core));
        EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1, nullptr, 0, 9999)));
        EXPECT_TRUE(WaitForEntries(reader, "ReadEnd", 1, "request", "0x270f"));
        h.stop();
    });
}

// A log target with no memory left for a line.
class TargetWithoutMemory : public wxLog {
protected:
    void DoLogRecord(wxLogLevel, const wxString&, const wxLogRecordInfo&) override { throw std::bad_alloc(); }
};

TEST(AllocationFailure, EventHandlerOutlivesFailuresInItsOwnLogging)
{
#ifndef ORV_FAILING_NEW
    GTEST_SKIP() << "the sanitizer's allocator is not replaced";
#endif
    CoreHarness h;
    // Logging on the handler's out-of-memory path fails too.
    TargetWithoutMemory target;
    ThreadLog::setTarget(&target);
    const std::string keeper = h.plugin("keeper.so");
    ASSERT_TRUE(InstallModule(keeper, "id = 0x32\naccepts_write = 1\nmask1 = 0xFF\nwrite_keeps = 1\n"));
    h.start();
    RunBounded(60, [&] {
        char bytes[4] = "abc";
        {
            FailingAllocations failing(7);
            for (int i = 0; i < 1000; ++i)
                Send(MakeMessage(0x4321, 0x02, 0x1, bytes, 3));
            WaitFor([&] { return QueueLength(h.core) == 0; }, 10000);
        }
        // Memory is back: delivery goes on.
        EXPECT_EQ(0, Send(MakeMessage(0x4321, 0x02, 0x77)));
        EXPECT_TRUE(WaitForEntries(keeper, "Write", 1, "event", "0x77"));
        h.stop();
    });
    ThreadLog::setTarget(nullptr);
}
