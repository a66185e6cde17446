// Allocation failure inside Dispatch: the sender gets -1 and the Core goes
// on, with no lock left held. operator new is replaced in this test binary,
// failing only on a thread that asks for it; the sanitizer builds keep their
// own allocator and skip these tests.
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "support/core_harness.h"
#include "support/messages.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ORV_FAILING_NEW 1

namespace {
thread_local bool failNew = false;
}

void* operator new(std::size_t size)
{
    void* p = failNew ? nullptr : std::malloc(size ? size : 1);
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
