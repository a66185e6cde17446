// Delivery by the event-handler thread: who gets a Write or a payload notice,
// with which records; payload holds; sends from inside a delivery; the order
// of delivery and the last drain at stop. Real test modules, in-process Core.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "routing/event_handler.h"
#include "support/core_harness.h"
#include "support/log_capture.h"
#include "tests/support/messages.h"

using namespace testmodule;

namespace {

std::string Config(uint64_t id, const std::string& rest)
{
    char text[64];
    std::snprintf(text, sizeof text, "id = 0x%llx\n", static_cast<unsigned long long>(id));
    return text + rest;
}

// Sends a payload from `source`; the sender's buffer is gone when this returns.
int32_t SendPayload(uint64_t source, uint64_t flags, uint64_t event, const std::string& bytes,
                    const uint8_t* body = nullptr)
{
    void* buffer = std::malloc(bytes.size());
    std::memcpy(buffer, bytes.data(), bytes.size());
    Message message = MakeMessage(source, flags, event, buffer, static_cast<int32_t>(bytes.size()));
    if (body)
        std::memcpy(message.body, body, sizeof message.body);
    int32_t result = Send(message);
    std::memset(buffer, 0xEE, bytes.size());
    std::free(buffer);
    return result;
}

std::vector<std::string> Events(const std::string& module, const std::string& entry = "Write")
{
    std::vector<std::string> events;
    for (const LogLine& line : Entries(module, entry))
        events.push_back(line.str("event"));
    return events;
}

}  // namespace

TEST(Delivery, WriteReachesExactlyTheMatchingModulesWithEveryField)
{
    CoreHarness h;
    const std::string a = h.plugin("a.so"), b = h.plugin("b.so"), c = h.plugin("c.so");
    const std::string d = h.plugin("d.so"), e = h.plugin("e.so");
    ASSERT_TRUE(InstallModule(a, Config(0xA, "accepts_write = 1\nmask6 = 0x2000002\n")));
    ASSERT_TRUE(InstallModule(b, Config(0xB, "accepts_write = 1\nmask6 = 0x2000000\n")));
    ASSERT_TRUE(InstallModule(c, Config(0xC, "mask6 = 0xFFFFFFFFFFFFFFFF\n")));  // takes no Write
    ASSERT_TRUE(InstallModule(d, Config(0xD, "accepts_write = 1\nmask6 = 0xFFFFFFFFFFFFFFFF\n")));
    ASSERT_TRUE(InstallModule(e, Config(0xE, "accepts_write = 1\nmask5 = 0xFFFFFFFFFFFFFFFF\n")));
    h.start();
    uint8_t body[168];
    for (size_t i = 0; i < sizeof body; ++i)
        body[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(0, SendPayload(0x4321, 0x40, 0x1000002, "payload-bytes", body));
    h.stop();

    auto writesA = Entries(a, "Write"), writesD = Entries(d, "Write");
    ASSERT_EQ(1u, writesA.size());
    ASSERT_EQ(1u, writesD.size());
    EXPECT_TRUE(Entries(b, "Write").empty());
    EXPECT_TRUE(Entries(c, "Write").empty());
    EXPECT_TRUE(Entries(e, "Write").empty());
    const LogLine& w = writesA[0];
    EXPECT_EQ(232, w.num("size"));
    EXPECT_EQ(1, w.num("version"));
    EXPECT_EQ(0, w.num("code"));
    EXPECT_EQ(0, w.num("on_worker"));
    EXPECT_EQ(13, w.num("length"));
    EXPECT_EQ(Hex("payload-bytes"), w.str("payload"));
    EXPECT_EQ(0x4321, w.num("source"));
    EXPECT_EQ(0, w.num("request"));
    EXPECT_EQ(0x40, w.num("flags"));
    EXPECT_EQ(0x1000002, w.num("event"));
    EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(body), sizeof body)), w.str("body"));
    EXPECT_EQ(32, w.num("rsize"));
    EXPECT_EQ(1, w.num("rversion"));
    EXPECT_EQ(1, w.num("rzero"));
    EXPECT_EQ(w.str("data"), writesD[0].str("data"));  // one payload for every receiver
    EXPECT_EQ(w.str("tid"), writesD[0].str("tid"));
}

TEST(Delivery, Flag0x400SelectsMaskEight)
{
    CoreHarness h;
    const std::string f = h.plugin("f.so"), g = h.plugin("g.so");
    ASSERT_TRUE(InstallModule(f, Config(0xF, "accepts_write = 1\nmask8 = 0x2000005\n")));
    ASSERT_TRUE(InstallModule(g, Config(0x6, "accepts_write = 1\nmask0 = 0x2000005\nmask7 = 0x2000005\n")));
    h.start();
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x400, 0x1000005)));
    h.stop();
    EXPECT_EQ(std::vector<std::string>{"0x1000005"}, Events(f));
    EXPECT_TRUE(Events(g).empty());
}

namespace {

// Sender s (0x11, whose masks match), o1 (0x12, no masks, no Write) and o2
// (0x13, masks match). Returns the three module paths.
std::vector<std::string> NoticeModules(CoreHarness& h)
{
    std::vector<std::string> paths = {h.plugin("s.so"), h.plugin("o1.so"), h.plugin("o2.so")};
    EXPECT_TRUE(InstallModule(paths[0], Config(0x11, "accepts_write = 1\nmask6 = 0xFFFFFFFFFFFFFFFF\n")));
    EXPECT_TRUE(InstallModule(paths[1], Config(0x12, "")));
    EXPECT_TRUE(InstallModule(paths[2], Config(0x13, "accepts_write = 1\nmask6 = 0xFFFFFFFFFFFFFFFF\n")));
    h.start();
    return paths;
}

std::vector<int64_t> NoticeCodes(const std::string& module)
{
    std::vector<int64_t> codes;
    for (const LogLine& line : Entries(module, "IOCTL"))
        codes.push_back(line.num("code"));
    return codes;
}

}  // namespace

TEST(PayloadNotices, OthersSkipTheSenderWhateverTheirMasks)
{
    CoreHarness h;
    auto m = NoticeModules(h);
    ASSERT_EQ(0, SendPayload(0x11, 0x140, 0x1000002, "n"));
    h.stop();
    EXPECT_TRUE(NoticeCodes(m[0]).empty());
    EXPECT_EQ(1u, Entries(m[0], "Write").size());  // the sender is treated as without 0x100
    EXPECT_EQ(std::vector<int64_t>{2}, NoticeCodes(m[1]));
    EXPECT_EQ(std::vector<int64_t>{2}, NoticeCodes(m[2]));
    EXPECT_TRUE(Entries(m[2], "Write").empty());
    const LogLine notice = Entries(m[1], "IOCTL").at(0);
    EXPECT_EQ(40, notice.num("size"));
    EXPECT_EQ(1, notice.num("version"));
    EXPECT_EQ(24, notice.num("ref_size"));
    EXPECT_EQ(1, notice.num("ref_version"));
    EXPECT_EQ(1, notice.num("length"));
    EXPECT_EQ(Hex("n"), notice.str("payload"));
    EXPECT_EQ(28, notice.num("rsize"));
    EXPECT_EQ(1, notice.num("rversion"));
    EXPECT_EQ(2, notice.num("rcode"));
    EXPECT_EQ(0, notice.num("rreserved"));
    EXPECT_EQ(0, notice.num("rkeeps"));
    EXPECT_EQ(8, notice.num("rnested_size"));
    EXPECT_EQ(1, notice.num("rnested_version"));
    EXPECT_EQ(notice.str("data"), Entries(m[2], "IOCTL").at(0).str("data"));
    EXPECT_EQ(notice.str("data"), Entries(m[0], "Write").at(0).str("data"));
}

TEST(PayloadNotices, OthersAndAllTogetherGiveNoWrite)
{
    CoreHarness h;
    auto m = NoticeModules(h);
    ASSERT_EQ(0, SendPayload(0x11, 0x940, 0x1000002, "n"));
    h.stop();
    EXPECT_EQ(std::vector<int64_t>{3}, NoticeCodes(m[0]));
    EXPECT_EQ(std::vector<int64_t>{2}, NoticeCodes(m[1]));
    EXPECT_EQ(std::vector<int64_t>{2}, NoticeCodes(m[2]));
    for (const std::string& module : m)
        EXPECT_TRUE(Entries(module, "Write").empty());
}

TEST(PayloadNotices, AllIncludesTheSender)
{
    CoreHarness h;
    auto m = NoticeModules(h);
    ASSERT_EQ(0, SendPayload(0x11, 0x840, 0x1000002, "n"));
    ASSERT_EQ(0, Send(MakeMessage(ORV_CORE_ID, 0x100, 0x1000002)));  // the Core's own: reaches everybody
    h.stop();
    for (const std::string& module : m)
        EXPECT_TRUE(Entries(module, "Write").empty());
    EXPECT_EQ((std::vector<int64_t>{3, 2}), NoticeCodes(m[0]));
    EXPECT_EQ((std::vector<int64_t>{3, 2}), NoticeCodes(m[1]));
    const LogLine none = Entries(m[1], "IOCTL").at(1);
    EXPECT_EQ(0, none.num("length"));
    EXPECT_EQ(nullptr, none.ptr("data"));
}

TEST(PayloadHolds, MessageWithoutPayloadRecordsNoHold)
{
    CoreHarness h;
    const std::string k = h.plugin("k.so");
    ASSERT_TRUE(InstallModule(k, Config(0x21, "accepts_write = 1\nmask2 = 0xFF\nwrite_keeps = 1\n")));
    h.start();
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x1)));
    ASSERT_TRUE(WaitForEntries(k, "Write"));
    LogLine w = Entries(k, "Write").at(0);
    EXPECT_EQ(0, w.num("length"));
    EXPECT_EQ(nullptr, w.ptr("data"));
    EXPECT_EQ("-", w.str("payload"));
    EXPECT_EQ(0, w.num("keeps"));
    h.stop();
    EXPECT_EQ(0u, h.core.TEST_payloadHolds().keptHolds(nullptr));
}

TEST(PayloadHolds, KeptPayloadLivesUntilItsLastHolderReleases)
{
    CoreHarness h;
    const std::string k1 = h.plugin("k1.so"), k2 = h.plugin("k2.so");
    // k1 releases what it keeps when it sees event 0x77.
    ASSERT_TRUE(InstallModule(k1, Config(0x21, "accepts_write = 1\nmask2 = 0xFF\nwrite_keeps = 1\n"
                                               "release_event = 0x77\n")));
    ASSERT_TRUE(InstallModule(k2, Config(0x22, "accepts_write = 1\nmask2 = 0xFF\nioctl_keeps = 1\n")));
    h.start();
    // Sent as k1: k1 keeps it through Write, k2 through a payload notice.
    ASSERT_EQ(0, SendPayload(0x21, 0x104, 0x1, "kept"));
    ASSERT_TRUE(WaitForEntries(k2, "IOCTL"));
    ASSERT_TRUE(WaitForEntries(k1, "Write"));
    void* payload = Entries(k1, "Write").at(0).ptr("data");
    ASSERT_TRUE(WaitFor([&] { return h.core.TEST_payloadHolds().keptHolds(payload) == 2; }));

    EXPECT_EQ(0, Release(payload, 0x23));  // holds nothing
    EXPECT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x77)));
    ASSERT_TRUE(WaitForEntries(k1, "Release"));
    EXPECT_EQ(0, Entries(k1, "Release").at(0).num("result"));
    EXPECT_EQ(1u, h.core.TEST_payloadHolds().keptHolds(payload));
    EXPECT_EQ(0, Release(payload, 0x21));  // k1 again: it holds nothing any more
    EXPECT_EQ(1u, h.core.TEST_payloadHolds().keptHolds(payload));
    EXPECT_EQ(0, std::memcmp(payload, "kept", 4));  // still allocated (ASan)
    EXPECT_EQ(0, Release(payload, 0x22));
    EXPECT_EQ(0u, h.core.TEST_payloadHolds().keptHolds(payload));
}

TEST(PayloadHolds, ReleaseSentInsideTheWriteThatKeepsThePayloadCounts)
{
    CoreHarness h;
    const std::string k = h.plugin("k.so"), z = h.plugin("z.so");
    // k keeps the payload and releases it before its Write returns.
    ASSERT_TRUE(InstallModule(k, Config(0x21, "accepts_write = 1\nmask2 = 0xFF\nwrite_keeps = 1\n"
                                              "release_event = 0x1\n")));
    ASSERT_TRUE(InstallModule(z, Config(0x22, "accepts_write = 1\nmask2 = 0xFF\nwrite_keeps = 1\n")));
    h.start();
    ASSERT_EQ(0, SendPayload(0x4321, 0x04, 0x1, "early"));
    ASSERT_TRUE(WaitForEntries(z, "Write"));
    void* payload = Entries(z, "Write").at(0).ptr("data");
    EXPECT_EQ(Hex("early"), Entries(z, "Write").at(0).str("payload"));
    ASSERT_TRUE(WaitFor([&] { return h.core.TEST_payloadHolds().keptHolds(payload) == 1; }));
    EXPECT_EQ(0, Entries(k, "Release").at(0).num("result"));
    EXPECT_EQ(0, Release(payload, 0x21));  // k holds nothing any more
    EXPECT_EQ(1u, h.core.TEST_payloadHolds().keptHolds(payload));
    EXPECT_EQ(0, std::memcmp(payload, "early", 5));
    EXPECT_EQ(0, Release(payload, 0x22));  // the last hold: freed (ASan checks)
    EXPECT_EQ(0u, h.core.TEST_payloadHolds().keptHolds(payload));
}

TEST(PayloadHolds, ModuleWithTheCoresIdCannotFreeWhatOthersHold)
{
    CoreHarness h;
    const std::string x = h.plugin("x.so"), k = h.plugin("k.so");
    ASSERT_TRUE(InstallModule(x, Config(ORV_CORE_ID, "accepts_write = 1\nmask2 = 0xFF\nwrite_keeps = 1\n")));
    ASSERT_TRUE(InstallModule(k, Config(0x21, "accepts_write = 1\nmask2 = 0xFF\nwrite_keeps = 1\n")));
    h.start();
    ASSERT_EQ(0, SendPayload(0x4321, 0x04, 0x1, "shared"));
    ASSERT_TRUE(WaitForEntries(k, "Write"));
    void* payload = Entries(k, "Write").at(0).ptr("data");
    ASSERT_TRUE(WaitFor([&] { return h.core.TEST_payloadHolds().keptHolds(payload) == 2; }));
    EXPECT_EQ(0, Release(payload, ORV_CORE_ID));
    EXPECT_EQ(0, Release(payload, ORV_CORE_ID));
    EXPECT_EQ(1u, h.core.TEST_payloadHolds().keptHolds(payload));
    EXPECT_EQ(0, std::memcmp(payload, "shared", 6));
    EXPECT_EQ(0, Release(payload, 0x21));
    EXPECT_EQ(0u, h.core.TEST_payloadHolds().keptHolds(payload));
}

TEST(DeliveryOrder, WriteThatSendsBackIsFollowedByTheNewMessage)
{
    CoreHarness h;
    const std::string a = h.plugin("a.so"), b = h.plugin("b.so");
    ASSERT_TRUE(InstallModule(a, Config(0xA, "accepts_write = 1\nmask2 = 0xFF\n"
                                             "send = write flags=0x04 event=0x2 payload=echo on_event=0x1\n")));
    ASSERT_TRUE(InstallModule(b, Config(0xB, "accepts_write = 1\nmask2 = 0xFF\n")));
    h.load();
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x1)));
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x3)));
    h.core.StartEventHandler();
    ASSERT_TRUE(WaitForEntries(b, "Write", 3));
    h.stop();
    EXPECT_EQ(0, Entries(a, "Send").at(0).num("result"));
    // The echo is queued behind 0x3, which was already waiting.
    EXPECT_EQ((std::vector<std::string>{"0x1", "0x3", "0x2"}), Events(b));
    EXPECT_EQ((std::vector<std::string>{"0x1", "0x3", "0x2"}), Events(a));
    EXPECT_EQ(Hex("echo"), Entries(b, "Write").at(2).str("payload"));
}

TEST(DeliveryOrder, MessagesSentWhileLoadingComeFirst)
{
    CoreHarness h;
    const std::string a = h.plugin("a.so"), b = h.plugin("b.so");
    const std::string dep = h.protectedPlugin("dep.so");
    ASSERT_TRUE(InstallModule(a, Config(0xA, "send = load flags=0x04 event=0x3 payload=early\n")));
    ASSERT_TRUE(InstallModule(b, Config(0xB, "accepts_write = 1\nmask2 = 0xFF\nmask6 = 0x2000002\n")));
    ASSERT_TRUE(InstallModule(dep, Config(0xC, ""), "orv_test_module_missing_dep"));
    h.load();
    EXPECT_EQ(0, Entries(a, "Send").at(0).num("result"));
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x4)));
    usleep(50 * 1000);
    EXPECT_TRUE(Entries(b, "Write").empty());  // nothing is delivered before the handler runs
    h.core.StartEventHandler();
    ASSERT_TRUE(WaitForEntries(b, "Write", 3));
    h.stop();
    EXPECT_EQ((std::vector<std::string>{"0x3", "0x1000002", "0x4"}), Events(b));
    EXPECT_EQ(Hex("Failed to load plugin: dep.so (missing dependency)"), Entries(b, "Write").at(1).str("payload"));
}

TEST(DeliveryOrder, StopDeliversWhatWasQueuedBeforeTheLastDrain)
{
    CoreHarness h;
    const std::string a = h.plugin("a.so");
    ASSERT_TRUE(InstallModule(a, Config(0xA, "accepts_write = 1\nmask2 = 0xFF\n"
                                             "write_sleep_ms = 150\nwrite_sleep_event = 0x1\n")));
    h.start();
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x1)));
    ASSERT_TRUE(WaitForEntries(a, "Write"));  // the handler is inside Write now
    ASSERT_EQ(0, SendPayload(0x4321, 0x04, 0x2, "two"));
    ASSERT_EQ(0, SendPayload(0x4321, 0x04, 0x3, "three"));
    h.core.StopEventHandler();
    EXPECT_EQ((std::vector<std::string>{"0x1", "0x2", "0x3"}), Events(a));
    // Queued after the last drain: never delivered, freed by the stop.
    ASSERT_EQ(0, SendPayload(0x4321, 0x04, 0x4, "four"));
    h.stop();
    EXPECT_EQ(3u, Events(a).size());
}

TEST(DeliveryOrder, StopBeforeTheFirstWaitStillDrains)
{
    CoreHarness h;
    const std::string a = h.plugin("a.so");
    ASSERT_TRUE(InstallModule(a, Config(0xA, "accepts_write = 1\nmask2 = 0xFF\n")));
    h.load();
    ASSERT_EQ(0, SendPayload(0x4321, 0x04, 0x1, "one"));
    {
        EventHandlerThread handler(h.core.TEST_eventQueue(), h.core.TEST_delivery());
        handler.signal();  // signalled before it ever waits
        handler.start();
        ASSERT_TRUE(WaitFor([&] { return handler.isFinished(); }));
    }
    EXPECT_EQ(std::vector<std::string>{"0x1"}, Events(a));
    EXPECT_EQ(0u, QueueLength(h.core));
}

TEST(LastPass, RepliesSentFromItsOwnCallsAreDeliveredInOrder)
{
    CoreHarness h;
    const std::string a = h.plugin("a.so"), b = h.plugin("b.so");
    ASSERT_TRUE(InstallModule(a, Config(0xA, "accepts_write = 1\nmask2 = 0xFF\n"
                                             "write_sleep_ms = 200\nwrite_sleep_event = 0x1\n"
                                             "send = write flags=0x04 event=0x2 payload=reply on_event=0x3\n")));
    ASSERT_TRUE(InstallModule(b, Config(0xB, "accepts_write = 1\nmask2 = 0xFF\n")));
    h.start();
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x1)));
    ASSERT_TRUE(WaitForEntries(a, "Write"));  // the handler sleeps in Write while the stop begins
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x3)));
    h.stop();
    EXPECT_EQ(0, Entries(a, "Send").at(0).num("result"));
    EXPECT_EQ((std::vector<std::string>{"0x1", "0x3", "0x2"}), Events(b));
    EXPECT_EQ(Hex("reply"), Entries(b, "Write").at(2).str("payload"));
}

TEST(LastPass, EndlessRepliesEndAtTheBoundRefused)
{
    LogCapture log;
    CoreHarness h;
    const std::string a = h.plugin("a.so");
    // Every Write of 0x5 sends 0x5 again: a chain that never ends.
    ASSERT_TRUE(InstallModule(a, Config(0xA, "accepts_write = 1\nmask2 = 0xFF\n"
                                             "send = write flags=0x04 event=0x5 on_event=0x5\n")));
    h.start();
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x5)));
    ASSERT_TRUE(WaitForEntries(a, "Write", 10));
    h.stop();
    const std::vector<LogLine> sends = Entries(a, "Send");
    ASSERT_FALSE(sends.empty());
    EXPECT_EQ(1, sends.back().num("result"));  // beyond the bound: refused, not accepted and lost
    const size_t writes = Events(a).size();
    EXPECT_EQ(sends.size(), writes);  // every reply but the last was delivered
    EXPECT_TRUE(log.texts(wxLOG_Warning).empty());
}

TEST(LastPass, EverySendAnsweredZeroIsDeliveredTheRestAreRefused)
{
    LogCapture log;
    CoreHarness h;
    const std::string a = h.plugin("a.so"), b = h.plugin("b.so");
    // a's own thread sends throughout; b holds the handler in its first Write
    // while the stop begins, so some of a's sends come after the last pass began.
    ASSERT_TRUE(InstallModule(a, Config(0xA, "thread_interval_ms = 1\nsend = thread flags=0x04 event=0x5\n")));
    ASSERT_TRUE(InstallModule(b, Config(0xB, "accepts_write = 1\nmask2 = 0xFF\n"
                                             "write_sleep_ms = 200\nwrite_sleep_event = 0x1\n")));
    h.start();
    ASSERT_EQ(0, Send(MakeMessage(0x4321, 0x04, 0x1)));
    ASSERT_TRUE(WaitForEntries(b, "Write"));
    h.stop();
    size_t accepted = 0, refused = 0;
    for (const LogLine& send : Entries(a, "Send"))
        (send.num("result") == 0 ? accepted : refused) += 1;
    EXPECT_GT(refused, 0u);
    EXPECT_EQ(accepted + 1, Events(b).size());  // b's Writes: 0x1, then every accepted 0x5
    EXPECT_TRUE(log.texts(wxLOG_Warning).empty());
}

TEST(MissingEntryPoints, AreSkippedNotCalled)
{
    CoreHarness h;
    const std::string bare = h.plugin("bare.so"), full = h.plugin("full.so");
    const std::string everything = "accepts_write = 1\nwants_read_worker = 1\nwants_ioctl_worker = 1\n"
                                   "mask1 = 0xFFFFFFFF\nmask2 = 0xFF\n";
    ASSERT_TRUE(InstallModule(bare, Config(0x31, everything), "orv_test_module_bare"));
    ASSERT_TRUE(InstallModule(full, Config(0x32, "accepts_write = 1\nmask2 = 0xFF\n")));
    h.start();
    ASSERT_EQ(2u, h.core.TEST_modules().size());
    EXPECT_EQ(nullptr, h.core.TEST_modules()[0].ioctl_worker);
    EXPECT_FALSE(h.core.StartReadWorker(h.core.TEST_modules()[0]));
    ASSERT_EQ(0, SendPayload(0x4321, 0x104, 0x1, "x"));
    ASSERT_EQ(0, Send(MakeMessage(0, 0x02, 0x1000002, nullptr, 0, 5)));
    ASSERT_TRUE(WaitForEntries(full, "IOCTL"));
    h.stop();
    EXPECT_EQ(1u, Entries(bare, "Load").size());
    EXPECT_EQ(1u, Entries(bare, "Close").size());
}

TEST(Concurrency, SendersReleasersAndARequestWorkerAtOnce)
{
    CoreHarness h;
    const std::string keeper = h.plugin("keeper.so"), counter = h.plugin("counter.so");
    const std::string producer = h.plugin("producer.so");
    ASSERT_TRUE(InstallModule(keeper, Config(0x41, "accepts_write = 1\nmask2 = 0xFF\nwrite_keeps = 1\n")));
    ASSERT_TRUE(InstallModule(counter, Config(0x42, "accepts_write = 1\nmask2 = 0xFF\nmask3 = 0xFF\n")));
    ASSERT_TRUE(InstallModule(producer, Config(0x43, "wants_read_worker = 1\nmask1 = 0x800002\n"
                                                     "send = read flags=0x08 event=0x9 payload_size=100 "
                                                     "request=same count=40\n")));
    h.start();
    constexpr int kThreads = 4, kEach = 40;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                EXPECT_EQ(0, SendPayload(0x100 + t, 0x04, 0x1, std::string(64, static_cast<char>('a' + t))));
        });
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1000002, nullptr, 0, 3)));
    // Release what the keeper kept while the senders are still sending.
    std::set<std::string> released;
    ASSERT_TRUE(WaitFor([&] {
        for (const LogLine& w : Entries(keeper, "Write")) {
            if (released.insert(w.str("seq")).second) {
                EXPECT_EQ(0, Release(w.ptr("data"), 0x41));
            }
        }
        return released.size() == kThreads * kEach;
    }, 20000));
    for (std::thread& sender : senders)
        sender.join();
    ASSERT_TRUE(WaitForEntries(producer, "ReadEnd", 1, "", "", 20000));
    ASSERT_TRUE(WaitForEntries(counter, "Write", kThreads * kEach + 40, "", "", 20000));
    h.stop();
    for (const LogLine& send : Entries(producer, "Send"))
        EXPECT_EQ(0, send.num("result"));
    EXPECT_EQ(40u, Entries(counter, "Write", "event", "0x9").size());
}

TEST(Concurrency, OpenRequestsWhileModulesAreStillLoading)
{
    CoreHarness h;
    // a.so loads first and its own thread sends open requests while the
    // loader goes on inserting the readers behind it.
    ASSERT_TRUE(InstallModule(h.plugin("a.so"), Config(0xA, "thread_interval_ms = 1\n"
                                                           "send = thread source=0 flags=0x02 event=0x1000002 "
                                                           "request=5\n")));
    std::vector<std::string> readers;
    for (int i = 0; i < 8; ++i) {
        readers.push_back(h.plugin("r" + std::to_string(i) + ".so"));
        ASSERT_TRUE(InstallModule(readers.back(), Config(0x100 + i, "wants_read_worker = 1\nmask1 = 0x800002\n"
                                                                     "load_sleep_ms = 5\n")));
    }
    h.start();
    ASSERT_EQ(9u, h.core.TEST_modules().size());
    ASSERT_TRUE(WaitForEntries(readers.back(), "ReadEnd"));
    h.stop();
    // Carried out until the close pass begins, refused from then on.
    const std::vector<LogLine> sends = Entries(h.plugin("a.so"), "Send");
    ASSERT_FALSE(sends.empty());
    EXPECT_EQ(0, sends.front().num("result"));
    for (size_t i = 1; i < sends.size(); ++i)
        EXPECT_GE(sends[i].num("result"), sends[i - 1].num("result"));
    for (const std::string& reader : readers)
        EXPECT_EQ(Entries(reader, "Read").size(), Entries(reader, "ReadEnd").size());
}
