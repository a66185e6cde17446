// The real binary as a daemon, inside the sandbox: start-up report, PID file,
// syslog records, stop signals, the single-instance lock, and what the daemon
// keeps of its launcher. Every daemon is reaped by the test (the test process
// is a child subreaper) and killed if it outlives its test.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "app/process_helpers.h"
#include "app/sandbox_helpers.h"
#include "support/test_module.h"

namespace {

const char kPidFile[] = "/run/orvantisd.pid";
const char kStarted[] = "Successfully started version 8.8.1.119385";
const char kAlreadyRunning[] = "Orvantis is already running.  Stop Orvantis first.";
const int kWait = 5000;

class DaemonMode : public ::testing::Test {
protected:
    void SetUp() override
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::string why;
        if (!sandbox.enter(&why, readOnlyRun())) {
            if (!HasFailure())
                GTEST_SKIP() << why;
            return;
        }
        ASSERT_TRUE(files.create(sandbox.root(), binaryName()));
        environment = {"HOME=" + files.home};
    }

    void TearDown() override
    {
        // Every record in the sandbox comes from a process of this test.
        SyslogRecord record;
        while (sandbox.receive(&record, 0)) {
        }
        for (const SyslogRecord& seen : sandbox.received)
            if (seen.pid > 0 && seen.pid != getpid() && !reaped.count(seen.pid))
                daemons.insert(seen.pid);
        // Daemons are this process's children (it is their subreaper) until
        // reaped, so their pids cannot have been reused.
        for (pid_t pid : std::set<pid_t>(daemons)) {
            if (ParentOf(pid) != getpid())
                continue;
            if (IsRunning(pid))
                kill(pid, SIGKILL);
            waitForExit(pid, kWait);
        }
        sandbox.leave();
    }

    virtual bool readOnlyRun() const { return false; }
    virtual std::string binaryName() const { return "orvantisd"; }

    void launch(Child& launcher, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> args = {files.binary};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(launcher.start(files.binary, args, environment, "/", false));
    }

    // Runs a launcher to its end and returns its exit status.
    int launchAndWait(Child& launcher)
    {
        launch(launcher);
        return launcher.finish(kWait);
    }

    // Starts a daemon that must come up cleanly and returns its pid.
    pid_t startDaemon()
    {
        Child launcher;
        EXPECT_EQ(0, launchAndWait(launcher)) << launcher.err;
        pid_t pid = pidFromFile();
        EXPECT_GT(pid, 0);
        return pid;
    }

    pid_t pidFromFile()
    {
        pid_t pid = atoi(FileContent(kPidFile).c_str());
        if (pid > 0 && !reaped.count(pid))
            daemons.insert(pid);
        return pid;
    }

    // Waits for the named record and learns its sender as a daemon to reap.
    SyslogRecord expectRecord(const std::string& text)
    {
        SyslogRecord record;
        EXPECT_TRUE(sandbox.waitFor(text, &record, kWait)) << "no record \"" << text << "\"";
        if (record.pid > 0 && !reaped.count(record.pid))
            daemons.insert(record.pid);
        return record;
    }

    // Reaps `pid`; its exit status, or -1 when it did not end in time.
    int waitForExit(pid_t pid, int timeoutMs)
    {
        if (pid <= 0)  // no record named it; never "any child"
            return -1;
        long long deadline = NowMs() + timeoutMs;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (NowMs() >= deadline)
                return -1;
            usleep(5000);
        }
        daemons.erase(pid);
        reaped.insert(pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string lockFile() const { return files.home + "/Orvantis"; }
    static std::string lockContent(pid_t pid) { return std::to_string(pid) + std::string(1, '\0'); }
    static std::string proc(pid_t pid, const char* entry) { return "/proc/" + std::to_string(pid) + "/" + entry; }

    Sandbox sandbox;
    ServiceFiles files;
    std::vector<std::string> environment;
    std::set<pid_t> daemons;  // started by this test and not reaped yet
    std::set<pid_t> reaped;   // reaped by this test: their pids may be reused
};

class DaemonStopSignal : public DaemonMode, public ::testing::WithParamInterface<int> {};

TEST_P(DaemonStopSignal, StartsReportsAndStops)
{
    const int signal = GetParam();
    Child launcher;
    ASSERT_EQ(0, launchAndWait(launcher)) << launcher.err;
    EXPECT_EQ("", launcher.out);
    EXPECT_EQ("", launcher.err);
    pid_t pid = pidFromFile();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(std::to_string(pid) + "\n", FileContent(kPidFile));
    EXPECT_TRUE(IsRunning(pid));

    SyslogRecord started = expectRecord(kStarted);
    EXPECT_EQ(LOG_DAEMON | LOG_INFO, started.priority);
    EXPECT_EQ("orvantisd", started.tag);
    EXPECT_EQ(pid, started.pid);

    EXPECT_EQ(files.binDir, LinkTarget(proc(pid, "cwd")));
    EXPECT_NE(std::string::npos, FileContent(proc(pid, "status")).find("\nUmask:\t0022\n"));
    EXPECT_EQ(lockContent(pid), FileContent(lockFile()));

    ASSERT_EQ(0, kill(pid, signal));
    SyslogRecord received = expectRecord("Received signal " + std::to_string(signal) + ", Exiting...");
    EXPECT_EQ(pid, received.pid);
    EXPECT_EQ(LOG_DAEMON | LOG_INFO, received.priority);
    SyslogRecord done = expectRecord("Done");
    EXPECT_EQ(pid, done.pid);
    EXPECT_EQ(0, waitForExit(pid, kWait));
    EXPECT_FALSE(std::filesystem::exists(kPidFile));
    EXPECT_FALSE(std::filesystem::exists(lockFile()));
}

INSTANTIATE_TEST_SUITE_P(EachSignal, DaemonStopSignal, ::testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == SIGINT ? "SIGINT" : info.param == SIGTERM ? "SIGTERM" : "SIGQUIT";
                         });

TEST_F(DaemonMode, SecondStartIsRefusedWhileTheDaemonRuns)
{
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    expectRecord(kStarted);

    Child second;
    EXPECT_NE(0, launchAndWait(second));
    EXPECT_NE(std::string::npos, second.err.find(kAlreadyRunning)) << second.err;

    Child foreground;
    launch(foreground, {"-d"});
    EXPECT_NE(0, foreground.finish(kWait));
    EXPECT_EQ("", foreground.out);
    EXPECT_NE(std::string::npos, foreground.err.find(kAlreadyRunning)) << foreground.err;

    // A second daemon would have logged by now.
    SyslogRecord record;
    while (sandbox.receive(&record, 300))
        EXPECT_EQ(pid, record.pid) << record.text;
    EXPECT_EQ(std::to_string(pid) + "\n", FileContent(kPidFile));
    EXPECT_EQ(lockContent(pid), FileContent(lockFile()));
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitForExit(pid, kWait));
}

TEST_F(DaemonMode, DaemonIsRefusedWhileAForegroundCopyRuns)
{
    Child foreground;
    ASSERT_TRUE(foreground.start(files.binary, {files.binary, "-d"}, environment, "/", true));
    ASSERT_TRUE(foreground.waitForOutput("press any key", kWait)) << foreground.err;

    Child launcher;
    EXPECT_NE(0, launchAndWait(launcher));
    EXPECT_NE(std::string::npos, launcher.err.find(kAlreadyRunning)) << launcher.err;
    EXPECT_FALSE(std::filesystem::exists(kPidFile));
    SyslogRecord record;
    EXPECT_FALSE(sandbox.receive(&record, 300)) << record.text;

    foreground.closeInput();
    EXPECT_EQ(0, foreground.finish(kWait));
}

// Two launchers at once may both pass their own check; the daemons' check
// after the fork still leaves exactly one.
TEST_F(DaemonMode, TwoLaunchersAtOnceLeaveOneDaemon)
{
    Child first, second;
    launch(first);
    launch(second);
    int statuses[2] = {first.finish(kWait), second.finish(kWait)};
    EXPECT_EQ(1, (statuses[0] == 0) + (statuses[1] == 0)) << statuses[0] << " " << statuses[1];
    pid_t pid = pidFromFile();
    ASSERT_GT(pid, 0);
    expectRecord(kStarted);
    SyslogRecord record;
    while (sandbox.receive(&record, 300)) {
        EXPECT_NE(kStarted, record.text) << "second daemon " << record.pid;
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitForExit(pid, kWait));
}

TEST_F(DaemonMode, KeepsNoDescriptorOfTheLauncher)
{
    int inherited[2];
    ASSERT_EQ(0, pipe(inherited));
    Child launcher;
    launch(launcher);
    close(inherited[1]);
    EXPECT_EQ(0, launcher.finish(kWait)) << launcher.err;
    pid_t pid = pidFromFile();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(IsRunning(pid));
    // End of input: no process holds the write end any more.
    struct pollfd ready = {inherited[0], POLLIN, 0};
    char byte;
    bool ended = poll(&ready, 1, kWait) == 1 && read(inherited[0], &byte, 1) == 0;
    close(inherited[0]);
    EXPECT_TRUE(ended) << "the daemon still holds the launcher's pipe";
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitForExit(pid, kWait));
}

// Signal registration fails (a preloaded libdaemon stand-in refuses it), so
// nothing could stop the daemon cleanly later: it reports the failure and
// stops on its own instead of running on unstoppable.
TEST_F(DaemonMode, DaemonWithoutSignalsReportsAndStops)
{
    const char* sanitizer = getenv("ASAN_OPTIONS");
    environment.push_back(std::string("LD_PRELOAD=") + ORV_NO_SIGNALS_PRELOAD);
    // The sanitizer runtime insists on coming first among the libraries.
    environment.push_back(std::string("ASAN_OPTIONS=") + (sanitizer ? sanitizer : "") + ":verify_asan_link_order=0");
    Child launcher;
    EXPECT_EQ(2, launchAndWait(launcher));
    EXPECT_NE(std::string::npos, launcher.err.find("Daemon returned 2")) << launcher.err;
    SyslogRecord failure = expectRecord("Could not register signal handlers (error 24: Too many open files)");
    EXPECT_EQ(LOG_DAEMON | LOG_ERR, failure.priority);
    EXPECT_EQ(failure.pid, expectRecord(kStarted).pid);
    EXPECT_EQ(failure.pid, expectRecord("No signal descriptor to wait on, stopping.").pid);
    EXPECT_EQ(failure.pid, expectRecord("Done").pid);
    EXPECT_EQ(0, waitForExit(failure.pid, kWait));
    EXPECT_FALSE(std::filesystem::exists(kPidFile));
}

// /run is read-only, so the PID file cannot be created. The copy runs under
// another name: after libdaemon's own logging, records that did not reopen
// the log would carry the program's name instead of "orvantisd".
class DaemonWithoutPidFile : public DaemonMode {
protected:
    bool readOnlyRun() const override { return true; }
    std::string binaryName() const override { return "orvantis-copy"; }
};

TEST_F(DaemonWithoutPidFile, LauncherFailsWhileTheDaemonCarriesOn)
{
    Child launcher;
    EXPECT_EQ(1, launchAndWait(launcher));
    EXPECT_NE(std::string::npos, launcher.err.find("Daemon returned 1")) << launcher.err;

    SyslogRecord failure = expectRecord("Could not create PID file (error 30: Read-only file system)");
    EXPECT_EQ(LOG_DAEMON | LOG_ERR, failure.priority);
    EXPECT_EQ("orvantisd", failure.tag);
    SyslogRecord started = expectRecord(kStarted);
    EXPECT_EQ("orvantisd", started.tag);
    EXPECT_EQ(failure.pid, started.pid);
    pid_t pid = started.pid;
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(IsRunning(pid));

    kill(pid, SIGTERM);
    EXPECT_EQ(pid, expectRecord("Done").pid);
    EXPECT_EQ(0, waitForExit(pid, kWait));
}

// With no system logger to take them, records go to the console, which the
// log options ask for: they must still be in force after libdaemon's logging.
TEST_F(DaemonWithoutPidFile, ConsoleFallbackOutlivesLibdaemonLogging)
{
    ASSERT_TRUE(sandbox.captureConsole());
    Child launcher;
    EXPECT_EQ(1, launchAndWait(launcher));
    pid_t pid = expectRecord(kStarted).pid;
    ASSERT_GT(pid, 0);

    sandbox.closeLog();
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitForExit(pid, kWait));
    std::string console = sandbox.consoleOutput();
    std::string tag = "orvantisd[" + std::to_string(pid) + "]: ";
    EXPECT_EQ(0u, console.find(tag + "Done\r\n")) << console;
}


// A PID file left behind by a daemon that was killed names no process, or
// by now another program's (here the test's own): the next start removes it
// with a warning and runs.
class StalePidFile : public DaemonMode, public ::testing::WithParamInterface<bool> {};

TEST_P(StalePidFile, IsReplaced)
{
    pid_t named = getpid();
    if (!GetParam()) {
        named = fork();
        if (named == 0)
            _exit(0);
        ASSERT_EQ(0, waitForExit(named, kWait));
    }
    ASSERT_TRUE(testmodule::WriteFile(kPidFile, std::to_string(named) + "\n"));

    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    ASSERT_NE(named, pid);
    SyslogRecord removed = expectRecord("Removed the stale PID file /var/run/orvantisd.pid, "
                                        "which names no running orvantisd.");
    EXPECT_EQ(LOG_DAEMON | LOG_WARNING, removed.priority);
    EXPECT_EQ(pid, removed.pid);
    EXPECT_EQ(pid, expectRecord(kStarted).pid);
    EXPECT_EQ(std::to_string(pid) + "\n", FileContent(kPidFile));
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitForExit(pid, kWait));
}

INSTANTIATE_TEST_SUITE_P(NamingAProcess, StalePidFile, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "OfAnotherProgram" : "ThatIsGone";
                         });

// A FIFO at the PID file's path is never opened for reading blocking: the
// start goes on without a PID file, and the launcher says so at once.
TEST_F(DaemonMode, FifoAtThePidFilePathDoesNotHoldUpTheStart)
{
    ASSERT_EQ(0, mkfifo(kPidFile, 0644));
    Child launcher;
    EXPECT_EQ(1, launchAndWait(launcher));
    EXPECT_NE(std::string::npos, launcher.err.find("Daemon returned 1")) << launcher.err;
    SyslogRecord refused = expectRecord("The PID file /var/run/orvantisd.pid is not a regular file.");
    EXPECT_EQ(LOG_DAEMON | LOG_ERR, refused.priority);
    expectRecord("Could not create PID file (error 17: File exists)");
    pid_t pid = expectRecord(kStarted).pid;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(refused.pid, pid);
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitForExit(pid, kWait));
}

// Another HOME escapes the single-instance lock, but not the PID file: the
// second daemon refuses, and both the terminal and the log say why.
TEST_F(DaemonMode, PidFileOfARunningDaemonRefusesTheStart)
{
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    expectRecord(kStarted);
    const std::string held = "Another daemon (pid " + std::to_string(pid) +
                             ") holds the PID file /var/run/orvantisd.pid: not starting a second one.";

    const std::string otherHome = sandbox.root() + "/other-home";
    std::filesystem::create_directories(otherHome);
    environment = {"HOME=" + otherHome};
    Child second;
    EXPECT_EQ(1, launchAndWait(second));
    EXPECT_NE(std::string::npos, second.err.find("Daemon returned 1")) << second.err;
    EXPECT_NE(std::string::npos, second.err.find(held)) << second.err;
    SyslogRecord refused = expectRecord(held);
    EXPECT_EQ(LOG_DAEMON | LOG_ERR, refused.priority);
    EXPECT_NE(pid, refused.pid);
    EXPECT_EQ(1, waitForExit(refused.pid, kWait));

    SyslogRecord record;
    while (sandbox.receive(&record, 300))
        EXPECT_NE(kStarted, record.text) << "second daemon " << record.pid;
    EXPECT_EQ(std::to_string(pid) + "\n", FileContent(kPidFile));
    EXPECT_TRUE(IsRunning(pid));
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitForExit(pid, kWait));
}

// A crash while starting, also an overflow of the main thread's stack, ends
// the launcher at once with 128 + the signal; the log names the module and
// entry point.
class DaemonStartCrash : public DaemonMode, public ::testing::WithParamInterface<const char*> {};

TEST_P(DaemonStartCrash, EndsTheLauncherAtOnce)
{
    ASSERT_TRUE(InstallCrashingModule(files.binDir, "Load", GetParam()));
    Child launcher;
    long long started = NowMs();
    launch(launcher);
    // Far below the launcher's own 60 s wait, generous for a slow machine.
    EXPECT_EQ(128 + SIGSEGV, launcher.finish(20000));
    EXPECT_LT(NowMs() - started, 20000);
    EXPECT_NE(std::string::npos, launcher.err.find("Daemon returned 139")) << launcher.err;
    EXPECT_NE(std::string::npos,
              launcher.err.find("The daemon crashed with signal 11 (SIGSEGV) while starting; the system log says where."))
        << launcher.err;
    SyslogRecord crash = expectRecord(CrashLine("Load"));
    EXPECT_EQ(LOG_DAEMON | LOG_CRIT, crash.priority);
    EXPECT_EQ("orvantisd", crash.tag);
    EXPECT_EQ(128 + SIGSEGV, waitForExit(crash.pid, kWait));
}

INSTANTIATE_TEST_SUITE_P(InLoad, DaemonStartCrash, ::testing::Values("access", "overflow"));

// A crash after the start leaves the launcher's success standing; the daemon
// logs its line and takes the default action.
class DaemonCrash : public DaemonMode,
                    public ::testing::WithParamInterface<std::tuple<const char*, const char*>> {};

TEST_P(DaemonCrash, NamesTheModuleAndEntryPoint)
{
    const auto [call, by] = GetParam();
    ASSERT_TRUE(InstallCrashingModule(files.binDir, call, by));
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    SyslogRecord crash = expectRecord(CrashLine(call));
    EXPECT_EQ(LOG_DAEMON | LOG_CRIT, crash.priority);
    EXPECT_EQ(pid, crash.pid);
    EXPECT_EQ(128 + SIGSEGV, waitForExit(pid, kWait));
}

// A fatal signal that hits no module's code is the service's own.
TEST_F(DaemonMode, FatalSignalOutsideModulesIsTheServicesOwn)
{
    pid_t pid = startDaemon();
    ASSERT_GT(pid, 0);
    expectRecord(kStarted);
    ASSERT_EQ(0, kill(pid, SIGSEGV));
    EXPECT_EQ(LOG_DAEMON | LOG_CRIT, expectRecord("Fatal signal 11 (SIGSEGV) in the service itself").priority);
    EXPECT_EQ(128 + SIGSEGV, waitForExit(pid, kWait));
}

INSTANTIATE_TEST_SUITE_P(AfterTheStart, DaemonCrash,
                         ::testing::Combine(::testing::Values("Write", "Read", "thread"), ::testing::Values("access")));
INSTANTIATE_TEST_SUITE_P(StackOverflow, DaemonCrash,
                         ::testing::Combine(::testing::Values("Write", "Read"), ::testing::Values("overflow")));

}  // namespace
