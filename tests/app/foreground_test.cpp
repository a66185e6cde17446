// The real binary in the foreground (-d / --debug) and its command line.
// None of these can daemonize: every run carries the switch, so a fault in
// the parser shows up as a foreground run rather than a daemon on the host.
#include <signal.h>

#include <filesystem>
#include <tuple>

#include <gtest/gtest.h>

#include "app/process_helpers.h"
#include "support/test_module.h"

namespace {

const char kForegroundOutput[] =
    "starting the core...\n"
    "\npress any key to stop the core\n\n"
    "\nstopping the core...\n\n";
const char kRunningPrompt[] = "\npress any key to stop the core\n\n";
const char kAlreadyRunning[] = "Orvantis is already running.  Stop Orvantis first.";
const int kWait = 5000;

class Foreground : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::canonical(scratch.path()).string();
        ASSERT_TRUE(files.create(dir));
        environment = {"HOME=" + files.home};
        // A link to the binary: a name that leads through it must keep its
        // directory, while the running executable's record names the target.
        linkDir = dir + "/linked";
        std::filesystem::create_directories(linkDir);
        std::filesystem::create_symlink(files.binary, linkDir + "/orvantisd");
    }

    // Starts the copy with `args` (args[0] is the name it is started as)
    // from `cwd`.
    void start(Child& child, const std::vector<std::string>& args, bool inputPipe,
               const std::string& cwd = "/")
    {
        ASSERT_TRUE(child.start(files.binary, args, environment, cwd, inputPipe));
    }

    std::string lockFile() const { return files.home + "/Orvantis"; }

    testmodule::TempDir scratch;
    std::string dir;
    std::string linkDir;
    ServiceFiles files;
    std::vector<std::string> environment;
};

TEST_F(Foreground, BothSpellingsOfTheSwitchRunAndStopAtEndOfInput)
{
    for (const char* option : {"-d", "--debug"}) {
        Child child;
        start(child, {files.binary, option}, false);
        EXPECT_EQ(0, child.finish(kWait)) << option << "\n" << child.err;
        EXPECT_EQ(kForegroundOutput, child.out) << option;
        EXPECT_FALSE(std::filesystem::exists(lockFile())) << option;
    }
}

TEST_F(Foreground, RunsUntilAKeyIsPressed)
{
    Child child;
    start(child, {files.binary, "-d"}, true);
    ASSERT_TRUE(child.waitForOutput(kRunningPrompt, kWait)) << child.err;
    EXPECT_TRUE(IsRunning(child.pid()));
    EXPECT_EQ(files.binDir, LinkTarget("/proc/" + std::to_string(child.pid()) + "/cwd"));
    EXPECT_EQ(std::to_string(child.pid()) + std::string(1, '\0'), FileContent(lockFile()));
    ASSERT_TRUE(child.writeInput("\n"));
    EXPECT_EQ(0, child.finish(kWait)) << child.err;
    EXPECT_EQ(kForegroundOutput, child.out);
    EXPECT_FALSE(std::filesystem::exists(lockFile()));
}

TEST_F(Foreground, BareNameIsFoundThroughPathFromAnotherDirectory)
{
    environment.push_back("PATH=" + linkDir + ":/usr/bin:/bin");
    Child child;
    start(child, {"orvantisd", "-d"}, true, files.home);
    ASSERT_TRUE(child.waitForOutput(kRunningPrompt, kWait)) << child.err;
    EXPECT_EQ(linkDir, LinkTarget("/proc/" + std::to_string(child.pid()) + "/cwd"));
    child.closeInput();
    EXPECT_EQ(0, child.finish(kWait));
}

TEST_F(Foreground, RelativeNameFromAnotherDirectory)
{
    Child child;
    start(child, {"./linked/orvantisd", "-d"}, true, dir);
    ASSERT_TRUE(child.waitForOutput(kRunningPrompt, kWait)) << child.err;
    EXPECT_EQ(linkDir, LinkTarget("/proc/" + std::to_string(child.pid()) + "/cwd"));
    child.closeInput();
    EXPECT_EQ(0, child.finish(kWait));
}

TEST_F(Foreground, HelpAndUndeclaredOptionsPrintUsageAndStartNothing)
{
    const std::vector<std::vector<std::string>> lines = {
        {"-d", "--help"}, {"-d", "-h"}, {"-d", "--bogus"}, {"-d", "-x"}, {"-d", "extra"}};
    for (const std::vector<std::string>& line : lines) {
        std::vector<std::string> args = {files.binary};
        args.insert(args.end(), line.begin(), line.end());
        Child child;
        start(child, args, false);
        int status = child.finish(kWait);
        EXPECT_NE(0, status) << line.back();
        EXPECT_NE(-1, status) << line.back();
        EXPECT_EQ("", child.out) << line.back();
        EXPECT_NE(std::string::npos, child.err.find("Usage: orvantisd")) << child.err;
        EXPECT_NE(std::string::npos, child.err.find("-d, --debug\tdo not daemonize")) << child.err;
        EXPECT_FALSE(std::filesystem::exists(lockFile())) << line.back();
    }
}

TEST_F(Foreground, SecondCopyIsRefusedWhileOneRuns)
{
    Child first;
    start(first, {files.binary, "-d"}, true);
    ASSERT_TRUE(first.waitForOutput(kRunningPrompt, kWait)) << first.err;

    Child second;
    start(second, {files.binary, "--debug"}, false);
    EXPECT_NE(0, second.finish(kWait));
    EXPECT_EQ("", second.out);
    EXPECT_NE(std::string::npos, second.err.find(kAlreadyRunning)) << second.err;

    EXPECT_TRUE(IsRunning(first.pid()));
    EXPECT_EQ(std::to_string(first.pid()) + std::string(1, '\0'), FileContent(lockFile()));
    first.closeInput();
    EXPECT_EQ(0, first.finish(kWait));
    EXPECT_EQ(kForegroundOutput, first.out);
}


// A module that crashes takes the service down with one line on standard
// error that names it, and the signal's default action; also when it
// overflowed the stack of a thread of the service's (not one of its own).
class ForegroundCrash : public Foreground,
                        public ::testing::WithParamInterface<std::tuple<const char*, const char*>> {};

TEST_P(ForegroundCrash, NamesTheModuleAndEntryPoint)
{
    const auto [call, by] = GetParam();
    ASSERT_TRUE(InstallCrashingModule(files.binDir, call, by));
    Child child;
    start(child, {files.binary, "-d"}, true);
    EXPECT_EQ(128 + SIGSEGV, child.finish(kWait + 5000)) << child.err;
    EXPECT_NE(std::string::npos, child.err.find(CrashLine(call) + "\n")) << child.err;
}

INSTANTIATE_TEST_SUITE_P(EachCall, ForegroundCrash,
                         ::testing::Combine(::testing::Values("Load", "Write", "Read", "thread"),
                                            ::testing::Values("access")));
INSTANTIATE_TEST_SUITE_P(StackOverflow, ForegroundCrash,
                         ::testing::Combine(::testing::Values("Load", "Write", "Read"), ::testing::Values("overflow")));

}  // namespace
