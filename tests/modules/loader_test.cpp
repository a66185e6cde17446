// Discovery and loading with real test modules: which files are candidates,
// in which order they load, what refusals and failures leave behind, and
// file names as bytes.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/callback.h"
#include "modules/module_files.h"
#include "modules/module_library.h"
#include "support/core_harness.h"
#include "support/log_capture.h"

using namespace testmodule;

namespace {

std::string Id(uint64_t id, const std::string& rest = "")
{
    char text[64];
    std::snprintf(text, sizeof text, "id = 0x%llx\n", static_cast<unsigned long long>(id));
    return text + rest;
}

std::vector<std::string> FileNames(const Core& core)
{
    std::vector<std::string> names;
    for (const ModuleRecord& record : core.TEST_modules())
        names.push_back(record.file_name);
    return names;
}

// True while the library at `path` is mapped in this process.
bool IsMapped(const std::string& path)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

std::vector<std::string> QueuedTexts(Core& core)
{
    std::vector<std::string> texts;
    for (const Message& message : core.TEST_eventQueue().TEST_messages()) {
        EXPECT_EQ(0x40u, message.flags);
        EXPECT_EQ(0x1000002u, message.event);
        EXPECT_EQ(ORV_CORE_ID, message.source_id);
        texts.emplace_back(static_cast<const char*>(message.data), message.length);
    }
    return texts;
}

}  // namespace

TEST(PluginDirectories, BesideTheExecutable)
{
    EXPECT_EQ((std::vector<std::string>{"/opt/orv/plugins", "/opt/orv/protected-plugins"}),
              PluginDirectories("/opt/orv/orvantisd"));
    EXPECT_EQ((std::vector<std::string>{"/plugins", "/protected-plugins"}), PluginDirectories("/orvantisd"));
}

TEST(LoadOrder, PluginsFirstThenByteOrderOfThePath)
{
    CoreHarness h;
    const std::vector<std::string> plugins = {"z.so", "alpha.so", "ab_x.so", "\xc3\xa4.so", "ab.so", "Zeta.so"};
    uint64_t id = 1;
    for (const std::string& name : plugins)
        ASSERT_TRUE(InstallModule(h.plugin(name), Id(id++)));
    ASSERT_TRUE(InstallModule(h.protectedPlugin("b.so"), Id(id++)));
    ASSERT_TRUE(InstallModule(h.protectedPlugin("a.so"), Id(id++)));
    h.load();
    EXPECT_EQ((std::vector<std::string>{"Zeta.so", "ab.so", "ab_x.so", "alpha.so", "z.so", "\xc3\xa4.so", "a.so",
                                        "b.so"}),
              FileNames(h.core));
}

TEST(LoadOrder, HeadModuleIsFirstWhereverItWasFound)
{
    {
        CoreHarness h;
        ASSERT_TRUE(InstallModule(h.plugin("a.so"), Id(1)));
        ASSERT_TRUE(InstallModule(h.plugin("b.so"), Id(2)));
        ASSERT_TRUE(InstallModule(h.protectedPlugin("z.so"), Id(ORV_HEAD_MODULE_ID)));
        h.load();
        EXPECT_EQ((std::vector<std::string>{"z.so", "a.so", "b.so"}), FileNames(h.core));
    }
    {
        CoreHarness h;
        ASSERT_TRUE(InstallModule(h.plugin("a.so"), Id(ORV_HEAD_MODULE_ID)));
        ASSERT_TRUE(InstallModule(h.plugin("b.so"), Id(2)));
        h.load();
        EXPECT_EQ((std::vector<std::string>{"a.so", "b.so"}), FileNames(h.core));
    }
}

TEST(Candidates, OnlyRegularFilesEndingInDotSoOneLevelDeep)
{
    CoreHarness h;
    LogCapture log;
    for (std::string name : {"libcam.so.2", "cam.SO", "cameraso"})
        ASSERT_TRUE(InstallModule(h.plugin(name), Id(0x10)));
    ASSERT_EQ(0, mkdir(h.plugin("y.so").c_str(), 0755));
    ASSERT_TRUE(InstallModule(h.plugin("y.so/inner.so"), Id(0x11)));
    ASSERT_EQ(0, symlink(h.plugin("y.so").c_str(), h.plugin("x.so").c_str()));
    ASSERT_EQ(0, symlink(h.plugin("nothing").c_str(), h.plugin("d.so").c_str()));
    ASSERT_TRUE(InstallModule(h.dir / "elsewhere", Id(0x12)));
    ASSERT_EQ(0, symlink((h.dir / "elsewhere").c_str(), h.plugin("l.so").c_str()));
    ASSERT_TRUE(WriteFile(h.plugin("l.so.conf"), Id(0x12)));  // the module reads it beside the link
    ASSERT_TRUE(InstallModule(h.plugin(".so"), Id(0x13)));
    h.load();
    EXPECT_EQ((std::vector<std::string>{".so", "l.so"}), FileNames(h.core));
    EXPECT_TRUE(h.core.TEST_moduleList().notLoaded().empty());
    EXPECT_TRUE(log.records().empty());
    for (std::string name : {"libcam.so.2", "cam.SO", "cameraso", "y.so/inner.so"})
        EXPECT_TRUE(ReadLog(h.plugin(name)).empty()) << name;
}

TEST(Candidates, MissingDirectoriesAddNothingAndLogNothing)
{
    CoreHarness h;
    TempDir::RemoveTree(h.plugin(""));
    TempDir::RemoveTree(h.protectedPlugin(""));
    ASSERT_TRUE(WriteFile(h.dir / "protected-plugins", "not a directory"));
    LogCapture log;
    h.load();
    EXPECT_TRUE(h.core.TEST_modules().empty());
    EXPECT_TRUE(h.core.TEST_moduleList().notLoaded().empty());
    EXPECT_TRUE(log.records().empty());
    EXPECT_EQ(0u, h.core.TEST_eventQueue().TEST_messages().size());
}

TEST(Rejections, DuplicateIdKeepsTheFirstAndNeverUnloadsTheOther)
{
    CoreHarness h;
    LogCapture log;
    ASSERT_TRUE(InstallModule(h.plugin("a.so"), Id(0x1234)));
    ASSERT_TRUE(InstallModule(h.protectedPlugin("a.so"), Id(0x1234)));
    ASSERT_TRUE(InstallModule(h.plugin("big.so"), Id(0xABCDEF0123ull)));
    ASSERT_TRUE(InstallModule(h.protectedPlugin("big2.so"), Id(0xABCDEF0123ull)));
    h.load();
    EXPECT_EQ((std::vector<std::string>{"a.so", "big.so"}), FileNames(h.core));
    EXPECT_EQ((std::vector<std::string>{"plugin a.so ID 0x00001234 already loaded",
                                        "plugin big2.so ID 0xABCDEF0123 already loaded"}),
              log.texts(wxLOG_Warning));
    EXPECT_FALSE(IsMapped(h.protectedPlugin("a.so")));
    h.stop();
    EXPECT_EQ(1u, Entries(h.plugin("a.so"), "Unload").size());
    auto rejected = ReadLog(h.protectedPlugin("a.so"));
    ASSERT_EQ(1u, rejected.size());
    EXPECT_EQ("Load", rejected[0].entry);
}

TEST(ReservedIds, LoadWithAWarningThatSaysWhatTheIdMeans)
{
    CoreHarness h;
    LogCapture log;
    ASSERT_TRUE(InstallModule(h.plugin("zero.so"), Id(0)));
    ASSERT_TRUE(InstallModule(h.plugin("core.so"), Id(ORV_CORE_ID)));
    h.load();
    EXPECT_EQ((std::vector<std::string>{"core.so", "zero.so"}), FileNames(h.core));
    EXPECT_EQ((std::vector<std::string>{
                  "plugin core.so ID 0x80000000 is the service's own ID: its messages look like the service's",
                  "plugin zero.so ID 0x00000000: every message it sends is taken as a request command"}),
              log.texts(wxLOG_Warning));
}

TEST(Rejections, RefusedLoadGetsNoFurtherCall)
{
    CoreHarness h;
    LogCapture log;
    ASSERT_TRUE(InstallModule(h.plugin("r1.so"), Id(1, "load_result = 3\n")));
    ASSERT_TRUE(InstallModule(h.plugin("r2.so"), Id(2, "load_error = 7\n")));
    ASSERT_TRUE(InstallModule(h.plugin("r3.so"), Id(3, "load_throws = 1\n")));
    ASSERT_TRUE(InstallModule(h.plugin("r4.so"), Id(4, "load_result = -2\nload_error = -9\n")));
    ASSERT_TRUE(InstallModule(h.plugin("ok.so"), Id(5)));
    h.load();
    EXPECT_EQ(std::vector<std::string>{"ok.so"}, FileNames(h.core));
    EXPECT_EQ((std::vector<std::string>{"plugin r1.so load returned 3 error 0", "plugin r2.so load returned 0 error 7",
                                        "plugin r3.so: Load threw an exception (Load failed on purpose); the call "
                                        "counts as failed",
                                        "plugin r3.so load returned -1 error 0",
                                        "plugin r4.so load returned -2 error -9"}),
              log.texts(wxLOG_Error));
    h.stop();
    for (std::string name : {"r1.so", "r2.so", "r3.so", "r4.so"}) {
        EXPECT_FALSE(IsMapped(h.plugin(name))) << name;
        auto calls = ReadLog(h.plugin(name));
        ASSERT_EQ(1u, calls.size()) << name;
        EXPECT_EQ("Load", calls[0].entry);
    }
}

TEST(Rejections, LibraryWithoutLoadLeavesNoTrace)
{
    CoreHarness h;
    LogCapture log;
    ASSERT_TRUE(InstallModule(h.plugin("n.so"), Id(1), "orv_test_module_noload"));
    h.load();
    EXPECT_TRUE(h.core.TEST_modules().empty());
    EXPECT_TRUE(h.core.TEST_moduleList().notLoaded().empty());
    EXPECT_TRUE(log.records().empty());  // absent exports are looked up silently
    EXPECT_EQ(0u, h.core.TEST_eventQueue().TEST_messages().size());
    EXPECT_FALSE(IsMapped(h.plugin("n.so")));
    EXPECT_TRUE(ReadLog(h.plugin("n.so")).empty());
}

TEST(Rejections, MissingDependencyIsNoticedRecordedAndExplainedOnce)
{
    CoreHarness h;
    LogCapture log;
    ASSERT_TRUE(InstallModule(h.plugin("dep.so"), Id(1), "orv_test_module_missing_dep"));
    ASSERT_TRUE(InstallModule(h.plugin("ok.so"), Id(2)));
    ASSERT_TRUE(InstallModule(h.protectedPlugin("dep2.so"), Id(3), "orv_test_module_missing_dep"));
    h.load();
    EXPECT_EQ(std::vector<std::string>{"ok.so"}, FileNames(h.core));
    EXPECT_EQ((std::vector<std::string>{"dep.so", "dep2.so"}), h.core.TEST_moduleList().notLoaded());
    EXPECT_EQ((std::vector<std::string>{"Failed to load plugin: dep.so (missing dependency)",
                                        "Failed to load plugin: dep2.so (missing dependency)"}),
              QueuedTexts(h.core));
    auto records = log.records();
    ASSERT_EQ(2u, records.size());
    for (const auto& record : records) {
        EXPECT_EQ(wxLOG_Error, record.level);
        EXPECT_NE(std::string::npos, record.text.find("liborv_test_absent.so")) << record.text;
    }
    EXPECT_NE(std::string::npos, records[0].text.find("plugin dep.so"));
}

TEST(FileNames, AnEmptyNameNeverOpensTheProgram)
{
    std::string reason;
    EXPECT_EQ(nullptr, OpenModuleLibrary("", reason));
    EXPECT_FALSE(reason.empty());
}

TEST(FileNames, NonAsciiBytesLoadAndKeepTheirBytes)
{
    CoreHarness h;
    const std::string utf8 = "k\xc3\xa4mera.so", latin1 = "k\xe4" "fer.so", broken = "d\xe4p.so";
    ASSERT_TRUE(InstallModule(h.plugin(utf8), Id(1)));
    ASSERT_TRUE(InstallModule(h.plugin(latin1), Id(2)));
    ASSERT_TRUE(InstallModule(h.plugin(broken), Id(3), "orv_test_module_missing_dep"));
    h.load();
    EXPECT_EQ((std::vector<std::string>{utf8, latin1}), FileNames(h.core));
    // Each Load ran in the module itself, not in the program.
    EXPECT_EQ(1u, Entries(h.plugin(utf8), "Load").size());
    EXPECT_EQ(1u, Entries(h.plugin(latin1), "Load").size());
    EXPECT_EQ(std::vector<std::string>{broken}, h.core.TEST_moduleList().notLoaded());
    EXPECT_EQ(std::vector<std::string>{"Failed to load plugin: " + broken + " (missing dependency)"},
              QueuedTexts(h.core));
}

TEST(Loading, RecordHoldsWhatLoadReturned)
{
    CoreHarness h;
    ASSERT_TRUE(InstallModule(h.plugin("m.so"), Id(0x77, "mask0 = 0x10\nmask5 = 0x55\nmask8 = 0x88\n"
                                                        "accepts_write = 1\nwants_read_worker = 1\n"
                                                        "load_sleep_ms = 60\n")));
    ASSERT_TRUE(InstallModule(h.plugin("n.so"), Id(0x78), "orv_test_module_bare"));
    LogCapture log;
    h.load();
    EXPECT_TRUE(log.records().empty());  // absent entry points are looked up silently
    ASSERT_EQ(2u, h.core.TEST_modules().size());
    const ModuleRecord& m = h.core.TEST_modules()[0];
    EXPECT_EQ("m.so", m.file_name);
    EXPECT_NE(nullptr, m.library);
    EXPECT_EQ(0x77u, m.info.module_id);
    EXPECT_EQ(112u, m.info.size);
    EXPECT_EQ(1u, m.info.version);
    EXPECT_EQ(0x10u, m.info.class_mask[0]);
    EXPECT_EQ(0x55u, m.info.class_mask[5]);
    EXPECT_EQ(0x88u, m.info.class_mask[8]);
    EXPECT_EQ(1, m.info.accepts_write);
    EXPECT_EQ(1, m.info.wants_read_worker);
    EXPECT_EQ(0, m.info.wants_ioctl_worker);
    EXPECT_GE(m.load_time_ms, 50);
    EXPECT_LT(m.load_time_ms, 5000);
    EXPECT_EQ(0, m.open_code);
    EXPECT_EQ(0, m.open_time_ms);
    EXPECT_EQ(nullptr, m.ioctl_worker);
    EXPECT_EQ(nullptr, m.read_worker);
    for (OrvEntryPoint entry : {m.Load, m.Unload, m.Open, m.Close, m.Read, m.Write, m.Seek, m.IOCTL})
        EXPECT_NE(nullptr, entry);
    const ModuleRecord& n = h.core.TEST_modules()[1];
    EXPECT_NE(nullptr, n.Load);
    for (OrvEntryPoint entry : {n.Read, n.Write, n.Seek, n.IOCTL})
        EXPECT_EQ(nullptr, entry);

    LogLine load = Entries(h.plugin("m.so"), "Load").at(0);
    EXPECT_EQ(24, load.num("size"));
    EXPECT_EQ(3, load.num("version"));
    EXPECT_EQ(static_cast<void*>(&h.core), load.ptr("core"));
    EXPECT_EQ(reinterpret_cast<void*>(&ModuleCallback), load.ptr("callback"));
    EXPECT_EQ(112, load.num("info_size"));
    EXPECT_EQ(1, load.num("info_version"));
    EXPECT_EQ(1, load.num("info_zero"));
}

TEST(Loading, IoctlWorkerStartsAtOnceOnItsOwnThread)
{
    CoreHarness h;
    const std::string i = h.plugin("i.so");
    ASSERT_TRUE(InstallModule(i, Id(1, "wants_ioctl_worker = 1\nblock_until_close = 1\n")));
    ASSERT_TRUE(InstallModule(h.plugin("j.so"), Id(2)));
    h.load();
    ASSERT_EQ(2u, h.core.TEST_modules().size());
    EXPECT_NE(nullptr, h.core.TEST_modules()[0].ioctl_worker);
    EXPECT_EQ(nullptr, h.core.TEST_modules()[1].ioctl_worker);
    ASSERT_TRUE(WaitForEntries(i, "IOCTL"));
    LogLine call = Entries(i, "IOCTL").at(0);
    EXPECT_NE(std::to_string(syscall(SYS_gettid)), call.str("tid"));
    EXPECT_EQ(1, call.num("code"));
    EXPECT_EQ(40, call.num("size"));
    EXPECT_EQ(1, call.num("version"));
    EXPECT_EQ(8, call.num("ref_size"));
    EXPECT_EQ(1, call.num("ref_version"));
    EXPECT_EQ(0, call.num("length"));
    EXPECT_EQ(nullptr, call.ptr("data"));
    EXPECT_EQ(28, call.num("rsize"));
    EXPECT_EQ(1, call.num("rversion"));
    EXPECT_EQ(1, call.num("rcode"));
    EXPECT_EQ(0, call.num("rreserved"));
    EXPECT_EQ(0, call.num("rkeeps"));
    EXPECT_EQ(8, call.num("rnested_size"));
    EXPECT_EQ(1, call.num("rnested_version"));
    EXPECT_TRUE(Entries(i, "IOCTLEnd").empty());  // still running: it returns at Close
    h.stop();
    EXPECT_EQ(1u, Entries(i, "IOCTLEnd").size());
}
