// Two modules talking through the running service: Core::Start and
// Core::Stop as the service runs them, in a temporary executable directory
// that is also the working directory (the status documents are written there).
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/core_harness.h"

using namespace testmodule;

namespace {

class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path)
    {
        char* cwd = getcwd(nullptr, 0);
        previous = cwd ? cwd : "/";
        std::free(cwd);
        changed = chdir(path.c_str()) == 0;
    }
    ~WorkingDirectory()
    {
        if (changed && chdir(previous.c_str()) != 0)
            std::abort();
    }

    bool changed;

private:
    std::string previous;
};

}  // namespace

TEST(Service, TwoModulesExchangeMessages)
{
    CoreHarness h;
    WorkingDirectory cwd(h.dir.path());
    ASSERT_TRUE(cwd.changed);
    const std::string a = h.plugin("a.so"), b = h.protectedPlugin("b.so");
    // a's Read worker (started by the scheduler) says ping; b answers pong from its Write.
    ASSERT_TRUE(InstallModule(a, "id = 0xA\nwants_read_worker = 1\naccepts_write = 1\nmask3 = 0xFF\n"
                                 "send = read flags=0x04 event=0x5 payload=ping\n"));
    ASSERT_TRUE(InstallModule(b, "id = 0xB\naccepts_write = 1\nmask2 = 0xFF\n"
                                 "send = write flags=0x08 event=0x6 payload=pong on_event=0x5\n"));
    ASSERT_TRUE(h.core.Start());
    ASSERT_TRUE(WaitForEntries(a, "Write", 1, "event", "0x6"));
    h.core.Stop();

    LogLine ping = Entries(b, "Write", "event", "0x5").at(0);
    EXPECT_EQ(0xA, ping.num("source"));
    EXPECT_EQ(Hex("ping"), ping.str("payload"));
    LogLine pong = Entries(a, "Write", "event", "0x6").at(0);
    EXPECT_EQ(0xB, pong.num("source"));
    EXPECT_EQ(Hex("pong"), pong.str("payload"));
    EXPECT_EQ(ping.str("tid"), pong.str("tid"));  // both delivered by the event-handler thread
    for (const std::string& module : {a, b}) {
        EXPECT_EQ(1u, Entries(module, "Open").size());
        EXPECT_EQ(1u, Entries(module, "Unload").size());
    }
    EXPECT_TRUE(h.core.TEST_modules().empty());
    EXPECT_FALSE(h.core.TEST_eventQueue().running());
}
