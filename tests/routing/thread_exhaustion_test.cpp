// Threads the system will not create: a request worker is refused with -1
// and a line that names its module, and the service goes on; a thread of the
// service's own still ends the process. pthread_create is replaced in this
// test binary and fails while a test asks it to; the sanitizer builds
// intercept it themselves and skip these tests.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include <atomic>

#include <gtest/gtest.h>

#include "base/thread_log.h"
#include "routing/event_handler.h"
#include "support/core_harness.h"
#include "support/log_capture.h"
#include "support/messages.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ORV_FAILING_THREADS 1

namespace {
std::atomic<bool> refuseThreads{false};
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (refuseThreads.load())
        return EAGAIN;
    return create(thread, attributes, start, argument);
}
#endif

using namespace testmodule;

namespace {

// The system refuses new threads for the object's lifetime.
class NoThreads {
public:
    NoThreads()
    {
#ifdef ORV_FAILING_THREADS
        refuseThreads = true;
#endif
    }
    ~NoThreads()
    {
#ifdef ORV_FAILING_THREADS
        refuseThreads = false;
#endif
    }
};

}  // namespace

TEST(ThreadExhaustion, RequestWorkerIsRefusedAndTheServiceGoesOn)
{
#ifndef ORV_FAILING_THREADS
    GTEST_SKIP() << "the sanitizer intercepts pthread_create";
#endif
    LogCapture log;
    ThreadLog::setTarget(&log);
    CoreHarness h;
    const std::string reader = h.plugin("reader.so");
    ASSERT_TRUE(InstallModule(reader, "id = 0x31\nwants_read_worker = 1\nmask1 = 0xFFFFFF\n"));
    h.start();
    {
        NoThreads none;
        EXPECT_EQ(-1, Send(MakeMessage(0, 0x02, 0x1, nullptr, 0, 7)));
        EXPECT_EQ(-1, Send(MakeMessage(0, 0x02, 0x1, nullptr, 0, 8)));
    }
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1, nullptr, 0, 9)));
    EXPECT_TRUE(WaitForEntries(reader, "ReadEnd", 1, "request", "0x9"));
    EXPECT_EQ(1u, Entries(reader, "Read").size());
    h.stop();
    ThreadLog::setTarget(nullptr);
    const std::vector<std::string> errors = log.texts(wxLOG_Error);
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ("plugin reader.so: no thread could be created for a Read worker; the call is not made", errors[0]);
}

TEST(ThreadExhaustionDeathTest, TheServicesOwnThreadIsStillFatal)
{
#ifndef ORV_FAILING_THREADS
    GTEST_SKIP() << "the sanitizer intercepts pthread_create";
#endif
    CoreHarness h;
    h.createTrigger();
    EXPECT_EXIT(
        {
            NoThreads none;
            h.core.StartEventHandler();
        },
        ::testing::ExitedWithCode(0x28), "Internal \\[c0028\\]: pthread_create\\(\\) failed");
}
