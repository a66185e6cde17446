// The status documents: "plugins.xml" and "core.xml" byte for byte, the open
// pass, and how the "Throttling" setting is read.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>
#include <tinyxml.h>
#include <wx/dynlib.h>

#include "core/core.h"
#include "supervision/status_documents.h"
#include "supervision/supervision_helpers.h"
#include "support/core_harness.h"

namespace {

const std::string kCoreModuleOpen =
    "<?xml ?>\n"
    "<Kest Delta=\"0\">\n"
    "    <Modules>\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"8.8.1.119385\">\n"
    "            <Plugin ID=\"-2147483648\" Filename=\"orvantisd\" Opened=\"1\" OpenCode=\"0\" />\n";

ModuleRecord ListedRecord(uint64_t id, const char* file, int32_t openCode, int64_t loadMs, int64_t openMs)
{
    // No library: the open pass leaves the hand-set results alone.
    ModuleRecord record;
    record.info.module_id = id;
    record.file_name = file;
    record.open_code = openCode;
    record.load_time_ms = loadMs;
    record.open_time_ms = openMs;
    return record;
}

}  // namespace

TEST(ModuleStatusFile, OnlyTheCoreWhenNothingWasFound)
{
    TempWorkDir dir;
    Core core("/opt/orvantis/bin/orvantisd");
    EXPECT_TRUE(core.PublishModuleStatus());
    EXPECT_EQ(ReadFileBytes("plugins.xml"), kCoreModuleOpen +
                                                "        </Module>\n"
                                                "    </Modules>\n"
                                                "</Kest>\n");
}

TEST(ModuleStatusFile, ListsModulesInOrderWithTheirCodesAndTimes)
{
    TempWorkDir dir;
    Core core("/opt/orvantis/bin/orvantisd");
    core.TEST_modules().push_back(ListedRecord(0x60000, "head.so", 0, 12, 3));
    core.TEST_modules().push_back(ListedRecord(0x70001, "cam.so", -22, 0, 1500));
    core.TEST_modules().push_back(ListedRecord(5, "a&b<c>.so", 7, -4, 0));
    EXPECT_TRUE(core.PublishModuleStatus());
    EXPECT_EQ(ReadFileBytes("plugins.xml"),
              kCoreModuleOpen +
                  "            <Plugin ID=\"393216\" Filename=\"head.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"12\" OpenTime=\"3\" />\n"
                  "            <Plugin ID=\"458753\" Filename=\"cam.so\" Opened=\"1\" OpenCode=\"-22\" LoadTime=\"0\" OpenTime=\"1500\" />\n"
                  "            <Plugin ID=\"5\" Filename=\"a&amp;b&lt;c&gt;.so\" Opened=\"1\" OpenCode=\"7\" LoadTime=\"-4\" OpenTime=\"0\" />\n"
                  "        </Module>\n"
                  "    </Modules>\n"
                  "</Kest>\n");
}

TEST(ModuleStatusFile, FilesThatFailedToLoadGetAModuleAndAPluginEach)
{
    TempWorkDir dir;
    Core core("orvantisd");
    core.TEST_modules().push_back(ListedRecord(1, "one.so", 0, 2, 1));
    core.TEST_moduleList().noteNotLoaded("broken.so");
    core.TEST_moduleList().noteNotLoaded("missing-dep.so");
    EXPECT_TRUE(core.PublishModuleStatus());
    EXPECT_EQ(ReadFileBytes("plugins.xml"),
              kCoreModuleOpen +
                  "            <Plugin ID=\"1\" Filename=\"one.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"2\" OpenTime=\"1\" />\n"
                  "            <Plugin ID=\"1\" Filename=\"broken.so\" Opened=\"1\" OpenCode=\"79\" />\n"
                  "            <Plugin ID=\"2\" Filename=\"missing-dep.so\" Opened=\"1\" OpenCode=\"79\" />\n"
                  "        </Module>\n"
                  "        <Module ID=\"1\" Name=\"broken.so\" Version=\"not loaded\" />\n"
                  "        <Module ID=\"2\" Name=\"missing-dep.so\" Version=\"not loaded\" />\n"
                  "    </Modules>\n"
                  "</Kest>\n");
    EXPECT_EQ(core.TEST_moduleList().notLoaded().size(), 2u);
}

TEST(ModuleStatusFile, WideValuesAreCutToTheirLow32BitsSigned)
{
    TempWorkDir dir;
    Core core("/x/orvantisd");
    core.TEST_modules().push_back(ListedRecord(UINT64_C(0x123456789), "wide.so", 0, INT64_C(0x80000000), INT64_C(0x100000005)));
    core.TEST_modules().push_back(ListedRecord(UINT64_C(0xFFFFFFFFFFFFFFFF), "all.so", 0, -1, 0));
    EXPECT_TRUE(core.PublishModuleStatus());
    EXPECT_EQ(ReadFileBytes("plugins.xml"),
              kCoreModuleOpen +
                  "            <Plugin ID=\"591751049\" Filename=\"wide.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"-2147483648\" OpenTime=\"5\" />\n"
                  "            <Plugin ID=\"-1\" Filename=\"all.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"-1\" OpenTime=\"0\" />\n"
                  "        </Module>\n"
                  "    </Modules>\n"
                  "</Kest>\n");
}

TEST(ModuleStatusFile, AnUnwritableFileIsPassedOver)
{
    TempWorkDir dir;
    ASSERT_EQ(mkdir("plugins.xml", 0755), 0);
    Core core("/x/orvantisd");
    EXPECT_TRUE(core.PublishModuleStatus());
}

TEST(ElementBuilders, AppendInOrderAndReturnTheElementInTheTree)
{
    TiXmlElement parent("Modules");
    TiXmlElement* first = AddModuleElement(&parent, -5, "m", "v");
    TiXmlElement* second = AddPluginElement(&parent, 9, "f.so", 1, 79);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(parent.FirstChildElement(), first);
    EXPECT_EQ(first->NextSiblingElement(), second);
    second->SetAttribute("Extra", 1);
    std::string text;
    text << parent;
    EXPECT_EQ(text,
              "<Modules><Module ID=\"-5\" Name=\"m\" Version=\"v\" />"
              "<Plugin ID=\"9\" Filename=\"f.so\" Opened=\"1\" OpenCode=\"79\" Extra=\"1\" /></Modules>");
}

// --- The open pass -------------------------------------------------------

namespace {

std::vector<int> openCalls;
bool openArgsAsExpected = true;

template <int N, int32_t Code, int SleepMs>
int32_t FakeOpen(void* in, void* out)
{
    const OpenArgs* args = static_cast<const OpenArgs*>(in);
    const OpenReply* reply = static_cast<const OpenReply*>(out);
    openArgsAsExpected = openArgsAsExpected && args->size == 24 && args->version == 1 && args->reserved[0] == 0 &&
                         args->reserved[1] == 0 && reply->size == 16 && reply->version == 1 && reply->reserved == 0;
    openCalls.push_back(N);
    if (SleepMs)
        usleep(SleepMs * 1000);
    return Code;
}

ModuleRecord OpenableRecord(uint64_t id, OrvEntryPoint open)
{
    ModuleRecord record;
    record.library = new wxDynamicLibrary;
    record.info.module_id = id;
    record.file_name = "m.so";
    record.Open = open;
    record.stats = testmodule::RecordStats(id, record.file_name);
    return record;
}

}  // namespace

TEST(OpenPass, CallsEveryOpenInListOrderAndRecordsCodeAndTime)
{
    TempWorkDir dir;
    openCalls.clear();
    openArgsAsExpected = true;
    Core core("/x/orvantisd");
    core.TEST_modules().push_back(OpenableRecord(1, FakeOpen<1, 0, 60>));
    core.TEST_modules().push_back(OpenableRecord(2, FakeOpen<2, 17, 0>));
    core.TEST_modules().push_back(OpenableRecord(3, nullptr));
    core.TEST_modules().push_back(ListedRecord(4, "nolib.so", 0, 0, 0));
    core.TEST_modules().back().Open = FakeOpen<4, 99, 0>;

    EXPECT_TRUE(core.PublishModuleStatus());
    EXPECT_EQ(openCalls, (std::vector<int>{1, 2}));
    EXPECT_TRUE(openArgsAsExpected);
    EXPECT_EQ(core.TEST_modules()[0].open_code, 0);
    EXPECT_GE(core.TEST_modules()[0].open_time_ms, 50);
    EXPECT_LT(core.TEST_modules()[0].open_time_ms, 5000);
    EXPECT_EQ(core.TEST_modules()[1].open_code, 17);
    EXPECT_EQ(core.TEST_modules()[2].open_code, ModulePasses::kMissingOpenCode);
    EXPECT_EQ(core.TEST_modules()[3].open_code, 0);  // no library: never opened

    const std::string file = ReadFileBytes("plugins.xml");
    EXPECT_NE(file.find("<Plugin ID=\"2\" Filename=\"m.so\" Opened=\"1\" OpenCode=\"17\""), std::string::npos) << file;
    EXPECT_NE(file.find("OpenTime=\"" + std::to_string(core.TEST_modules()[0].open_time_ms) + "\""), std::string::npos);
    for (ModuleRecord& record : core.TEST_modules())
        delete record.library;
}

// --- core.xml ------------------------------------------------------------

namespace {

std::string CoreSettings(int throttling)
{
    return "<?xml ?>\n"
           "<Kest Delta=\"0\">\n"
           "    <Memory ID=\"-2147483648\" Throttling=\"" +
           std::to_string(throttling) +
           "\" />\n"
           "</Kest>\n";
}

struct SettingCase {
    const char* name;
    const char* content;  // null: no file
    bool enabled;
};

}  // namespace

TEST(ThrottleSetting, IsReadFromTheFirstElementsMemoryAndTheFileRewritten)
{
    const SettingCase cases[] = {
        {"missing", nullptr, true},
        {"empty", "", true},
        {"malformed", "<Kest><Memory Throttling=\"0\">", true},
        {"no Memory", "<Kest Delta=\"0\"><Other Throttling=\"0\" /></Kest>", true},
        {"Memory too deep", "<Kest><Inner><Memory Throttling=\"0\" /></Inner></Kest>", true},
        {"no Throttling", "<Kest><Memory ID=\"1\" /></Kest>", true},
        {"two", "<Kest><Memory Throttling=\"2\" /></Kest>", true},
        {"minus one", "<Kest><Memory Throttling=\"-1\" /></Kest>", true},
        {"off", "<Kest><Memory Throttling=\"off\" /></Kest>", true},
        {"empty value", "<Kest><Memory Throttling=\"\" /></Kest>", true},
        {"zero", "<Kest><Memory Throttling=\"0\" /></Kest>", false},
        {"space zero", "<Kest><Memory Throttling=\" 0\" /></Kest>", false},
        {"hex five", "<Kest><Memory Throttling=\"0x5\" /></Kest>", false},
        {"other root", "<?xml version=\"1.0\"?><Settings><Memory Throttling=\"0\" /></Settings>", false},
        {"Memory after others", "<Kest><Disk /><Memory Throttling=\"0\" /><Memory Throttling=\"1\" /></Kest>", false},
        {"only first Memory counts", "<Kest><Memory /><Memory Throttling=\"0\" /></Kest>", true},
        {"normal form off", "<?xml ?>\n<Kest Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n</Kest>\n",
         false},
    };
    for (const SettingCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempWorkDir dir;
        if (c.content)
            WriteFileBytes("core.xml", c.content);
        Core core("/x/orvantisd");
        EXPECT_EQ(core.ReadThrottleSetting(), c.enabled);
        EXPECT_EQ(ReadFileBytes("core.xml"), CoreSettings(c.enabled ? 1 : 0));
    }
}

TEST(ThrottleSetting, WriteCoreSettingsWritesTheNormalForm)
{
    TempWorkDir dir;
    WriteFileBytes("core.xml", std::string(5000, 'x'));
    Core core("/x/orvantisd");
    core.WriteCoreSettings(false);
    EXPECT_EQ(ReadFileBytes("core.xml"), CoreSettings(0));
    core.WriteCoreSettings(true);
    EXPECT_EQ(ReadFileBytes("core.xml"), CoreSettings(1));
}

// An unreadable file counts as missing. Root reads anything, so the check
// runs in a child process that has given up its privileges (nothing else
// runs in this process here, so a plain fork is safe).
TEST(ThrottleSetting, AnUnreadableFileEnablesThrottling)
{
    TempWorkDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    WriteFileBytes("core.xml", "<Kest><Memory Throttling=\"0\" /></Kest>");
    ASSERT_EQ(chmod("core.xml", 0), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        Core core("/x/orvantisd");
        _exit(core.ReadThrottleSetting() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
