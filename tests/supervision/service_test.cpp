// Status and supervision through the running service, with real modules:
// the open pass and the documents as modules receive them, the scheduler's
// Read workers, and memory throttling driven by a real allocation.
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/core.h"
#include "supervision/service_fixture.h"
#include "support/test_module.h"

using service::ServiceDir;
using testmodule::Entries;
using testmodule::LogLine;

namespace {

// The compact form of a saved document that holds no text: every line
// without its indentation, joined.
std::string Compact(const std::string& file)
{
    std::string out;
    size_t start = 0;
    for (size_t end; (end = file.find('\n', start)) != std::string::npos; start = end + 1) {
        size_t first = file.find_first_not_of(' ', start);
        out += file.substr(first, end - first);
    }
    return out;
}

std::string Unhex(const std::string& hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::vector<LogLine> Notices(const std::string& module, unsigned code)
{
    return Entries(module, "IOCTL", "code", std::to_string(code));
}

}  // namespace

TEST(ServiceStatus, ModulesAreOpenedAndEveryOneReceivesThePublishedDocuments)
{
    ServiceDir service;
    const std::string a = service.install("a.so", "id = 0xA1\nopen_sleep_ms = 30\n");
    const std::string b = service.install("b.so", "id = 0x1B2000000B2\nopen_result = 7\n");
    service.install("c.so", "", "orv_test_module_missing_dep");
    Core core(service.executable());
    ASSERT_TRUE(core.Start());
    ASSERT_EQ(core.TEST_modules().size(), 2u);
    const ModuleRecord& ra = core.TEST_modules()[0];
    const ModuleRecord& rb = core.TEST_modules()[1];
    EXPECT_EQ(ra.open_code, 0);
    EXPECT_GE(ra.open_time_ms, 25);
    EXPECT_EQ(rb.open_code, 7);

    const std::string file = testmodule::ReadFile(service.file("plugins.xml"));
    const std::string expected =
        "<?xml ?>\n"
        "<Kest Delta=\"0\">\n"
        "    <Modules>\n"
        "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"8.8.1.119385\">\n"
        "            <Plugin ID=\"-2147483648\" Filename=\"orvantisd\" Opened=\"1\" OpenCode=\"0\" />\n"
        "            <Plugin ID=\"161\" Filename=\"a.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"" +
        std::to_string(ra.load_time_ms) + "\" OpenTime=\"" + std::to_string(ra.open_time_ms) +
        "\" />\n"
        "            <Plugin ID=\"178\" Filename=\"b.so\" Opened=\"1\" OpenCode=\"7\" LoadTime=\"" +
        std::to_string(rb.load_time_ms) + "\" OpenTime=\"" + std::to_string(rb.open_time_ms) +
        "\" />\n"
        "            <Plugin ID=\"1\" Filename=\"c.so\" Opened=\"1\" OpenCode=\"79\" />\n"
        "        </Module>\n"
        "        <Module ID=\"1\" Name=\"c.so\" Version=\"not loaded\" />\n"
        "    </Modules>\n"
        "</Kest>\n";
    EXPECT_EQ(file, expected);

    // Opened once each, after every module was loaded.
    for (const std::string& module : {a, b}) {
        std::vector<LogLine> opens = Entries(module, "Open");
        ASSERT_EQ(opens.size(), 1u) << module;
        EXPECT_EQ(opens[0].num("size"), 24);
        EXPECT_EQ(opens[0].num("version"), 1);
        EXPECT_EQ(opens[0].num("zero"), 1);
        EXPECT_EQ(opens[0].num("rsize"), 16);
        EXPECT_EQ(opens[0].num("rversion"), 1);
        EXPECT_GE(opens[0].num("ms"), Entries(b, "Load")[0].num("ms"));
    }

    // Both modules get "plugins.xml" and then "core.xml" as payload notices.
    const std::string plugins = Compact(expected);
    ASSERT_EQ(plugins.rfind("<?xml ?><Kest Delta=\"0\"><Modules>", 0), 0u) << plugins;
    for (const std::string& module : {a, b}) {
        ASSERT_TRUE(testmodule::WaitFor([&] { return Notices(module, 2).size() >= 2; })) << module;
        std::vector<LogLine> notices = Notices(module, 2);
        const std::string settings = Compact(testmodule::ReadFile(service.file("core.xml")));
        EXPECT_EQ(notices[0].num("length"), static_cast<int64_t>(plugins.size()));
        EXPECT_EQ(Unhex(notices[0].str("payload")), plugins);
        EXPECT_EQ(notices[1].num("length"), static_cast<int64_t>(settings.size()));
        EXPECT_EQ(Unhex(notices[1].str("payload")),
                  "<?xml ?><Kest Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" /></Kest>");
    }
    core.Stop();
    EXPECT_EQ(Entries(a, "Unload").size(), 1u);
    EXPECT_EQ(Entries(b, "Unload").size(), 1u);
}

TEST(ServiceScheduler, StartsOneReadWorkerPerModuleThatWantsOne)
{
    ServiceDir service;
    const std::string reader = service.install(
        "r.so", "id = 0x51\nwants_read_worker = 1\n"
                "send = read flags=0x40 event=0x1000002 request=9 payload=hi\n"
                "send = read flags=0x40 event=0x1000002 payload=hi\n");
    const std::string other = service.install("s.so", "id = 0x52\n");
    Core core(service.executable());
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(testmodule::WaitForEntries(reader, "ReadEnd"));
    core.Stop();

    std::vector<LogLine> reads = Entries(reader, "Read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].num("size"), 40);
    EXPECT_EQ(reads[0].num("version"), 1);
    EXPECT_EQ(reads[0].num("code"), 0);
    EXPECT_EQ(reads[0].num("on_worker"), 1);
    EXPECT_EQ(reads[0].u64("request"), 0u);
    EXPECT_EQ(reads[0].num("length"), 0);
    EXPECT_EQ(reads[0].u64("data"), 0u);
    EXPECT_EQ(reads[0].num("rsize"), 32);
    EXPECT_EQ(reads[0].num("rzero"), 1);
    std::vector<LogLine> sends = Entries(reader, "Send", "from", "read");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].num("result"), 1);  // a request id from a worker that serves none
    EXPECT_EQ(sends[1].num("result"), 0);
    EXPECT_TRUE(Entries(other, "Read").empty());
}

// --- Throttling end to end -----------------------------------------------

namespace {

constexpr uint64_t kGiB = UINT64_C(1) << 30;

// Sanitizer builds run on their own allocator, which has no such statistic.
#ifdef ORV_WITH_TCMALLOC
constexpr bool kAllocatorStatistic = true;
#else
constexpr bool kAllocatorStatistic = false;
#endif

// The limit the service applies on this machine, worked out independently.
bool MachineLimit(uint64_t* limit, uint64_t* total)
{
    struct sysinfo info {};
    struct utsname name {};
    if (sysinfo(&info) != 0 || uname(&name) != 0)
        return false;
    *total = static_cast<uint64_t>(info.totalram) * info.mem_unit;
    if (*total <= 2 * kGiB)
        *limit = *total;
    else if (*total <= 3 * kGiB || std::strcmp(name.machine, "x86_64") != 0)
        *limit = 2 * kGiB;
    else
        *limit = 3 * kGiB;
    return true;
}

const char* const kLowText = "available system memory is low, throttling video";
const char* const kOkText = "available system memory ok, not throttling video";

std::vector<LogLine> WritesOf(const std::string& module, const char* event)
{
    return Entries(module, "Write", "event", event);
}

bool HasStatusDocument(const std::string& module, const std::string& throttling)
{
    for (const LogLine& line : WritesOf(module, "0x1000010"))
        if (line.str("flags") == "0x4" &&
            Unhex(line.str("payload")).find("Throttling=\"" + throttling + "\" Time=") != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST(ServiceThrottling, ALargeAllocationThrottlesVideoUntilItIsFreed)
{
    if (!kAllocatorStatistic)
        GTEST_SKIP() << "the allocated-bytes statistic needs tcmalloc";
    uint64_t limit = 0;
    uint64_t total = 0;
    ASSERT_TRUE(MachineLimit(&limit, &total));
    const uint64_t block = limit + 256 * (UINT64_C(1) << 20);
    if (block >= total)
        GTEST_SKIP() << "one untouched block above the limit would exceed the machine's memory";

    ServiceDir service;
    const std::string watch = service.install(
        "watch.so", "id = 0x5001\naccepts_write = 1\nmask6 = 0x2000002\nmask2 = 0x2000010\nmask0 = 0xFF\n"
                    "alloc_bytes = " + std::to_string(block) + "\nfree_event = 0x78\n");
    Core core(service.executable());
    ASSERT_TRUE(core.Start());
    ASSERT_FALSE(Entries(watch, "Alloc").empty());
    ASSERT_NE(Entries(watch, "Alloc")[0].u64("ptr"), 0u);

    ASSERT_TRUE(testmodule::WaitFor([&] { return HasStatusDocument(watch, "1"); }, 2000));
    std::vector<LogLine> notices = WritesOf(watch, "0x1000002");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].str("flags"), "0x40");
    EXPECT_EQ(Unhex(notices[0].str("payload")), kLowText);
    EXPECT_TRUE(HasStatusDocument(watch, "0"));  // the first cycle's state, before the sample

    const uint64_t camera = 0x5002;
    EXPECT_EQ(service::Send(core, service::ModuleMessage(camera, 0x01, 0x1000000, "frame")), 5);
    EXPECT_EQ(service::Send(core, service::ModuleMessage(camera, 0x02, 0x1000000, "frame")), 0);

    EXPECT_EQ(service::Send(core, service::ModuleMessage(camera, 0x01, 0x78)), 0);
    ASSERT_TRUE(testmodule::WaitForEntries(watch, "Free"));
    EXPECT_TRUE(testmodule::WaitFor(
        [&] { return service::Send(core, service::ModuleMessage(camera, 0x01, 0x1000000, "frame")) == 0; }, 3000));
    EXPECT_FALSE(core.TEST_throttling());
    core.Stop();
    // The memory-ok announcement waits a minute after the latest low sample.
    for (const LogLine& line : WritesOf(watch, "0x1000002"))
        EXPECT_NE(Unhex(line.str("payload")), kOkText);
}
