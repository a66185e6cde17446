// Modules' lines in the daemon's syslog: a shipped module's line under its
// name at its priority, the warning for a failed Open, and a flooding module
// held to its rate while delivery between two others goes on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/process_helpers.h"
#include "app/sandbox_helpers.h"
#include "support/test_module.h"
#include "supervision/host_api.h"

namespace {

const int kWait = 15000;
const int kSends = 200;

// A loopback port that nothing listens on now.
int FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

class ModuleLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::string why;
        if (!sandbox.enter(&why)) {
            if (!HasFailure())
                GTEST_SKIP() << why;
            return;
        }
        ASSERT_TRUE(files.create(sandbox.root()));
        plugins = files.binDir + "/plugins";
        std::filesystem::create_directories(plugins);
    }

    void TearDown() override
    {
        if (daemon > 0 && waitpid(daemon, nullptr, WNOHANG) == 0) {
            kill(daemon, SIGKILL);
            waitpid(daemon, nullptr, 0);
        }
        sandbox.leave();
    }

    // Runs `wait` while the log is read, as a system logger would. The log
    // socket holds a few records only; once it is full, every syslog() of
    // the daemon blocks, the start and the stop included.
    template <typename Wait>
    auto whileReading(Wait wait)
    {
        std::atomic<bool> done{false};
        std::thread reader([&] {
            SyslogRecord record;
            while (!done)
                sandbox.receive(&record, 50);
        });
        auto result = wait();
        done = true;
        reader.join();
        return result;
    }

    // Starts the daemon and learns its pid from its PID file.
    void start()
    {
        Child launcher;
        ASSERT_TRUE(launcher.start(files.binary, {files.binary}, {"HOME=" + files.home}, "/", false));
        ASSERT_EQ(0, whileReading([&] { return launcher.finish(kWait); })) << launcher.err;
        daemon = std::stoi(FileContent("/run/orvantisd.pid"));
    }

    // The record with exactly `text`, received now or before; false when it
    // does not come within `timeoutMs`.
    bool arrived(const std::string& text, SyslogRecord* found, int timeoutMs = kWait)
    {
        for (const SyslogRecord& seen : sandbox.received)
            if (seen.text == text) {
                *found = seen;
                return true;
            }
        return sandbox.waitFor(text, found, timeoutMs);
    }

    void stop()
    {
        // A start that failed leaves no pid: kill(-1) would signal every process.
        ASSERT_GT(daemon, 0);
        ASSERT_EQ(0, kill(daemon, SIGTERM));
        int status = 0;
        ASSERT_EQ(daemon, whileReading([&] { return waitpid(daemon, &status, 0); }));
        daemon = -1;
        EXPECT_EQ(0, status);
    }

    Sandbox sandbox;
    ServiceFiles files;
    std::string plugins;
    pid_t daemon = -1;
};

TEST_F(ModuleLog, LinesArriveNamedAtTheirPriorityAndAFloodIsHeldToItsRate)
{
    namespace fs = std::filesystem;
    fs::create_symlink(ORV_TEST_BIN_DIR "/../shipped/prometheus_exporter/prometheus_exporter.so",
                       plugins + "/prometheus_exporter.so");
    const int port = FreePort();
    ASSERT_TRUE(testmodule::WriteFile(plugins + "/prometheus_exporter.conf", "port = " + std::to_string(port) + "\n"));
    ASSERT_TRUE(testmodule::InstallModule(plugins + "/refusing.so", "id = 0x5301\nopen_result = 5\n"));
    fs::create_symlink(testmodule::VariantPath("orv_reporting_module"), plugins + "/flood.so");
    ASSERT_TRUE(testmodule::WriteFile(plugins + "/flood.conf", "module_id = 0x5302\nlog_lines = 20000\n"));
    ASSERT_TRUE(testmodule::InstallModule(plugins + "/sender.so",
                                          "id = 0x5303\nthread_interval_ms = 5\nthread_count = " +
                                              std::to_string(kSends) +
                                              "\nsend = thread flags=0x8 event=0x77 payload_size=100\n"));
    ASSERT_TRUE(testmodule::InstallModule(plugins + "/receiver.so", "id = 0x5304\naccepts_write = 1\nmask3 = 0xFF\n"));
    ASSERT_NO_FATAL_FAILURE(start());

    SyslogRecord record;
    ASSERT_TRUE(arrived("plugin refusing.so ID 0x00005301: open returned 5", &record));
    EXPECT_EQ(LOG_DAEMON | LOG_WARNING, record.priority);
    EXPECT_EQ(daemon, record.pid);
    ASSERT_TRUE(arrived("plugin prometheus_exporter.so ID 0x00000600: serving http://127.0.0.1:" +
                            std::to_string(port) + "/metrics",
                        &record));
    EXPECT_EQ(LOG_DAEMON | LOG_INFO, record.priority);
    EXPECT_EQ("orvantisd", record.tag);
    ASSERT_TRUE(whileReading(
        [&] { return testmodule::WaitForEntries(plugins + "/receiver.so", "Write", kSends, "", "", 10000); }));
    // The writer reports the lines dropped within about a second of the flood.
    const std::string flood = "plugin flood.so ID 0x00005302: ";
    const std::string droppedEnd = " lines dropped (more than 5 a second)";
    size_t floodLines = 0, dropped = 0, misfiled = 0;
    auto count = [&] {
        floodLines = dropped = misfiled = 0;
        for (const SyslogRecord& seen : sandbox.received) {
            const std::string& text = seen.text;
            if (text.rfind(flood + "line ", 0) == 0) {
                ++floodLines;
                misfiled += seen.priority != (LOG_DAEMON | LOG_INFO);
            } else if (text.rfind(flood, 0) == 0 && text.size() > droppedEnd.size() &&
                       text.compare(text.size() - droppedEnd.size(), droppedEnd.size(), droppedEnd) == 0) {
                dropped += std::stoul(text.substr(flood.size()));
                misfiled += seen.priority != (LOG_DAEMON | LOG_WARNING);
            }
        }
        return floodLines + dropped;
    };
    testmodule::WaitFor(
        [&] {
            SyslogRecord next;
            sandbox.receive(&next, 100);
            return count() >= 20000;
        },
        kWait);
    stop();
    while (sandbox.receive(&record, 200)) {
    }

    count();
    EXPECT_EQ(0u, misfiled) << "flood lines not at info, reports not at warning";
    // A burst, and at the rate while the flood lasts (a fraction of a second).
    EXPECT_GE(floodLines, ORV_LOG_BURST);
    EXPECT_LE(floodLines, ORV_LOG_BURST + 2 * ORV_LOG_PER_SECOND);
    EXPECT_EQ(20000u, floodLines + dropped) << floodLines << " lines written, " << dropped << " reported dropped";
    // Every message went through, each within a generous bound of its send.
    const auto sends = testmodule::Entries(plugins + "/sender.so", "Send", "result", "0");
    const auto writes = testmodule::Entries(plugins + "/receiver.so", "Write");
    ASSERT_EQ(size_t(kSends), sends.size());
    ASSERT_EQ(size_t(kSends), writes.size());
    int64_t slowest = 0;
    for (int i = 0; i < kSends; ++i)
        slowest = std::max(slowest, writes[i].num("ms") - sends[i].num("ms"));
    // Generous: a blocked delivery would wait for the whole flood.
    EXPECT_LT(slowest, 3000);
}

}  // namespace
