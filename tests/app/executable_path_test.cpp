// Finding the running executable from the name it was started as.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/executable_path.h"
#include "app/process_helpers.h"
#include "support/test_module.h"

namespace {

namespace fs = std::filesystem;

// A scratch tree with an executable file in `dir`/bin and a decoy of the same
// name in `dir`/decoy, and PATH and the working directory under the test's
// control.
class ExecutablePath : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::canonical(scratch.path()).string();
        fs::create_directories(dir + "/bin");
        fs::create_directories(dir + "/decoy");
        fs::create_directories(dir + "/other");
        makeExecutable(dir + "/bin/orvtool");
        makeExecutable(dir + "/decoy/orvtool");
        const char* path = getenv("PATH");
        savedPath = path ? path : "";
        savedCwd = fs::current_path().string();
        self = fs::read_symlink("/proc/self/exe").string();
    }

    void TearDown() override
    {
        setenv("PATH", savedPath.c_str(), 1);
        fs::current_path(savedCwd);
    }

    static void makeExecutable(const std::string& path)
    {
        std::ofstream(path) << "#!/bin/sh\n";
        chmod(path.c_str(), 0755);
    }

    testmodule::TempDir scratch;
    std::string dir;
    std::string savedPath;
    std::string savedCwd;
    std::string self;
};

TEST_F(ExecutablePath, BareNameIsSearchedInPath)
{
    setenv("PATH", (dir + "/other:" + dir + "/bin:" + dir + "/decoy").c_str(), 1);
    fs::current_path(dir + "/other");
    EXPECT_EQ(dir + "/bin/orvtool", FindExecutablePath("orvtool"));
}

TEST_F(ExecutablePath, AbsoluteNameIsKeptEvenWhenPathHoldsTheSameName)
{
    setenv("PATH", (dir + "/decoy").c_str(), 1);
    EXPECT_EQ(dir + "/bin/orvtool", FindExecutablePath(dir + "/bin/orvtool"));
}

TEST_F(ExecutablePath, RelativeNameIsMadeAbsoluteAndNormalised)
{
    setenv("PATH", (dir + "/decoy").c_str(), 1);
    fs::current_path(dir + "/other");
    EXPECT_EQ(dir + "/bin/orvtool", FindExecutablePath("../bin/./orvtool"));
    fs::current_path(dir);
    EXPECT_EQ(dir + "/bin/orvtool", FindExecutablePath("bin//orvtool"));
}

TEST_F(ExecutablePath, UnknownNamesFallBackToTheRunningExecutable)
{
    setenv("PATH", (dir + "/other").c_str(), 1);
    EXPECT_EQ(self, FindExecutablePath("orvtool"));
    EXPECT_EQ(self, FindExecutablePath(""));
    EXPECT_EQ(self, FindExecutablePath(dir + "/missing/orvtool"));
    EXPECT_EQ(self, FindExecutablePath(dir + "/bin"));
}

TEST_F(ExecutablePath, NamesTheLibraryCannotConvertFallBackToTheRunningExecutable)
{
    std::string strange = dir + "/bin/orv\xe4tool";
    makeExecutable(strange);
    std::string found = FindExecutablePath(strange);
    // Either the bytes survived unchanged or the kernel's record stood in;
    // never a mangled name.
    EXPECT_TRUE(found == strange || found == self) << found;
}

TEST(DirectoryOf, DropsTheLastComponent)
{
    EXPECT_EQ("/opt/orvantis/bin", DirectoryOf("/opt/orvantis/bin/orvantisd"));
    EXPECT_EQ("/", DirectoryOf("/orvantisd"));
    EXPECT_EQ("", DirectoryOf("orvantisd"));
    EXPECT_EQ("", DirectoryOf(""));
}

}  // namespace
