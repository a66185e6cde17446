// Whatever stands under the names of the status files, the service neither
// blocks nor overflows on it: only a regular file (also behind a symbolic
// link, which stays) is read or written, "core.xml" only within its size,
// element and attribute limits, and anything else is passed over with a
// warning that names the file and the reason.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "core/core.h"
#include "supervision/status_documents.h"
#include "supervision/supervision_helpers.h"
#include "support/log_capture.h"

namespace {

const std::string kThrottlingOff = "<Kest><Memory Throttling=\"0\" /></Kest>";

std::string NormalForm(int throttling)
{
    return "<?xml ?>\n<Kest Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) +
           "\" />\n</Kest>\n";
}

// `count` elements: the setting "off", then all the others nested beside it.
std::string Nested(size_t count)
{
    std::string text = "<Kest><Memory Throttling=\"0\" />";
    for (size_t i = 2; i < count; ++i)
        text += "<a>";
    for (size_t i = 2; i < count; ++i)
        text += "</a>";
    return text + "</Kest>";
}

// The setting "off" on an element with `count` attributes in all (up to
// 52^3), with names of three letters so that 125,000 fit in 1 MiB.
std::string ManyAttributes(size_t count)
{
    const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string text = "<Kest><Memory Throttling=\"0\"";
    for (size_t i = 1; i < count; ++i)
        text += std::string(" ") + letters[i / 2704] + letters[i / 52 % 52] + letters[i % 52] + "=\"\"";
    return text + " /></Kest>";
}

bool IsSymlink(const char* path)
{
    struct stat status;
    return lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}

struct UnusableCase {
    const char* name;
    std::function<void()> make;  // puts something under "core.xml"
    const char* warning;
};

}  // namespace

TEST(HostileCoreSettings, UnusableFilesEnableThrottlingWithAWarning)
{
    const size_t limit = StatusDocuments::kMaxCoreSettingsBytes;
    const UnusableCase cases[] = {
        {"directory", [] { ASSERT_EQ(mkdir("core.xml", 0755), 0); }, "core.xml is not used: not a regular file"},
        {"FIFO", [] { ASSERT_EQ(mkfifo("core.xml", 0644), 0); }, "core.xml is not used: not a regular file"},
        {"device", [] { ASSERT_EQ(symlink("/dev/zero", "core.xml"), 0); }, "core.xml is not used: not a regular file"},
        {"one byte over 1 MiB", [limit] { WriteFileBytes("core.xml", kThrottlingOff + std::string(limit + 1 - kThrottlingOff.size(), ' ')); },
         "core.xml is not used: larger than 1048576 bytes"},
        {"100,000 nested elements", [] { WriteFileBytes("core.xml", Nested(100000)); },
         "core.xml is not used: more than 1024 elements"},
        {"1025 elements", [] { WriteFileBytes("core.xml", Nested(1025)); },
         "core.xml is not used: more than 1024 elements"},
        {"125,000 attributes", [] { WriteFileBytes("core.xml", ManyAttributes(125000)); },
         "core.xml is not used: more than 512 attributes ('=' signs)"},
        {"513 attributes", [] { WriteFileBytes("core.xml", ManyAttributes(513)); },
         "core.xml is not used: more than 512 attributes ('=' signs)"},
    };
    for (const UnusableCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempWorkDir dir;
        c.make();
        testmodule::LogCapture log;
        Core core("/x/orvantisd");
        EXPECT_TRUE(core.ReadThrottleSetting());
        const auto warnings = log.texts(wxLOG_Warning);
        ASSERT_FALSE(warnings.empty());
        EXPECT_EQ(warnings.front(), c.warning);
    }
}

TEST(HostileCoreSettings, RegularFilesRewrittenInPlace)
{
    TempWorkDir dir;
    WriteFileBytes("core.xml", Nested(100000));
    Core core("/x/orvantisd");
    EXPECT_TRUE(core.ReadThrottleSetting());
    EXPECT_EQ(ReadFileBytes("core.xml"), NormalForm(1));
}

TEST(HostileCoreSettings, FilesAtTheLimitsAreRead)
{
    const size_t limit = StatusDocuments::kMaxCoreSettingsBytes;
    const std::string cases[] = {
        kThrottlingOff + std::string(limit - kThrottlingOff.size(), ' '),
        Nested(StatusDocuments::kMaxCoreSettingsElements),
        ManyAttributes(StatusDocuments::kMaxCoreSettingsAttributes),
    };
    for (const std::string& content : cases) {
        TempWorkDir dir;
        WriteFileBytes("core.xml", content);
        testmodule::LogCapture log;
        Core core("/x/orvantisd");
        EXPECT_FALSE(core.ReadThrottleSetting());
        EXPECT_TRUE(log.texts(wxLOG_Warning).empty());
        EXPECT_EQ(ReadFileBytes("core.xml"), NormalForm(0));
    }
}

// As the installed package sets it up: the names beside the executable are
// links into /etc and /var/lib.
TEST(StatusFileLinks, TheTargetIsReadAndRewrittenAndTheLinkStays)
{
    TempWorkDir dir;
    ASSERT_EQ(mkdir("etc", 0755), 0);
    WriteFileBytes("etc/core.xml", kThrottlingOff);
    ASSERT_EQ(symlink("etc/core.xml", "core.xml"), 0);
    ASSERT_EQ(symlink("etc/plugins.xml", "plugins.xml"), 0);  // dangling: created through the link
    Core core("/x/orvantisd");
    EXPECT_FALSE(core.ReadThrottleSetting());
    EXPECT_TRUE(core.PublishModuleStatus());
    EXPECT_TRUE(IsSymlink("core.xml"));
    EXPECT_TRUE(IsSymlink("plugins.xml"));
    EXPECT_EQ(ReadFileBytes("etc/core.xml"), NormalForm(0));
    EXPECT_NE(ReadFileBytes("etc/plugins.xml").find("<Kest Delta=\"0\">"), std::string::npos);
}

TEST(HostileModuleStatus, AFifoDoesNotHoldUpTheStart)
{
    TempWorkDir dir;
    ASSERT_EQ(mkfifo("plugins.xml", 0644), 0);
    testmodule::LogCapture log;
    Core core("/x/orvantisd");
    EXPECT_TRUE(core.PublishModuleStatus());
    const auto warnings = log.texts(wxLOG_Warning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "plugins.xml is not used: not a regular file");
}
