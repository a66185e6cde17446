// The dispatcher: result codes, the whole-value commands, payload copies,
// open requests and their Read workers, and request flow control, with real
// test modules loaded into an in-process Core.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "modules/worker_registry.h"
#include "routing/plugin_thread.h"
#include "support/core_harness.h"
#include "tests/support/messages.h"

using namespace testmodule;

namespace {

constexpr uint64_t SENDER = 0x4321;

void* Buffer(const std::string& bytes)
{
    void* p = std::malloc(bytes.size());
    std::memcpy(p, bytes.data(), bytes.size());
    return p;
}

// Frees a sender's buffer the way a careless sender would: scribbled first.
void Scribble(void* p, size_t n)
{
    std::memset(p, 0xEE, n);
    std::free(p);
}

Message Front(Core& core)
{
    return core.TEST_eventQueue().TEST_messages().front();
}

}  // namespace

TEST(DispatchResults, QueuedCopyOwnsAPrivatePayload)
{
    CoreHarness h;
    h.createTrigger();
    void* sent = Buffer("hello");
    Message message = MakeMessage(SENDER, 0x04, 0x1234, sent, 5);
    for (size_t i = 0; i < sizeof message.body; ++i)
        message.body[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(0, Send(message));
    Scribble(sent, 5);

    ASSERT_EQ(1u, QueueLength(h.core));
    Message queued = Front(h.core);
    EXPECT_NE(sent, queued.data);
    EXPECT_EQ(0, std::memcmp(queued.data, "hello", 5));
    Message expected = message;
    expected.data = queued.data;
    EXPECT_EQ(0, std::memcmp(&expected, &queued, sizeof(Message)));
}

TEST(DispatchResults, EmptyPayloadIsQueuedAsNone)
{
    CoreHarness h;
    h.createTrigger();
    char bytes[4] = "abc";
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0, 1, bytes, 0)));
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0, 2, nullptr, 9)));
    ASSERT_EQ(2u, QueueLength(h.core));
    for (const Message& queued : h.core.TEST_eventQueue().TEST_messages()) {
        EXPECT_EQ(nullptr, queued.data);
        EXPECT_EQ(0, queued.length);
    }
}

TEST(DispatchResults, PayloadThatCannotBeCopiedIsRefused)
{
    CoreHarness h;
    h.createTrigger();
    char bytes[4] = "abc";
    EXPECT_EQ(-1, Send(MakeMessage(SENDER, 0, 1, bytes, -1)));
    EXPECT_EQ(0u, QueueLength(h.core));
}

TEST(DispatchResults, ThrottlingRefusesVideoBeforeCopying)
{
    CoreHarness h;
    h.createTrigger();
    char bytes[4] = "abc";
    h.core.TEST_dispatcher().setThrottling(true);
    // Refused before the copy: an impossible length does not matter.
    EXPECT_EQ(5, Send(MakeMessage(SENDER, 0x01, 0x1000002, bytes, -1)));
    EXPECT_EQ(5, Send(MakeMessage(SENDER, 0x41, 0x3000000, bytes, 3)));
    EXPECT_EQ(0u, QueueLength(h.core));
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x02, 0x1000002, bytes, 3)));
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x01, 0x0000002, bytes, 3)));
    EXPECT_EQ(2u, QueueLength(h.core));
    h.core.TEST_dispatcher().setThrottling(false);
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x01, 0x1000002, bytes, 3)));
    EXPECT_EQ(3u, QueueLength(h.core));
}

TEST(DispatchResults, OutsideStartAndStopEverythingIsTurnedAway)
{
    CoreHarness h;  // no trigger: not started, or stopped
    char notOurs[4] = "abc";
    EXPECT_EQ(1, Send(MakeMessage(SENDER, 0x04, 1, notOurs, 3)));
    EXPECT_EQ(1, Release(notOurs, SENDER));
    EXPECT_EQ(1, Send(MakeMessage(0, ORV_CMD_CANCEL, 0, nullptr, 0, 7)));
    EXPECT_EQ(1, Send(MakeMessage(0, 0x02, 0x1000002, nullptr, 0, 7)));
    EXPECT_EQ(0u, QueueLength(h.core));
    EXPECT_TRUE(h.core.TEST_requestFlow().TEST_cancelledCount() == 0);

    h.createTrigger();
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x04, 1)));
    h.stop();
    EXPECT_EQ(1, Send(MakeMessage(SENDER, 0x04, 1, notOurs, 3)));
    EXPECT_EQ(0u, QueueLength(h.core));
}

TEST(DispatchResults, CallbackWithoutCoreRefuses)
{
    {
        Core gone("/nonexistent/orvantisd");
    }
    ASSERT_EQ(nullptr, Core::AcquireInstance());
    Core::ReleaseInstance();
    EXPECT_EQ(1, Send(MakeMessage(SENDER, 0x04, 1)));
}

TEST(WholeValueCommands, ReleaseWhateverTheSourceAndNothingElse)
{
    CoreHarness h;
    h.createTrigger();
    // Never handed out by the Core: released, so nothing may be freed or queued.
    char stray[4] = "abc";
    EXPECT_EQ(0, Release(stray, 0));
    EXPECT_EQ(0, Release(stray, SENDER));
    EXPECT_EQ(0, Release(stray, ORV_CORE_ID));
    EXPECT_EQ(0u, QueueLength(h.core));
    // 0x240 is a message (it selects class mask 6), not a release.
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x240, 1, stray, 3)));
    EXPECT_EQ(1u, QueueLength(h.core));
    EXPECT_EQ(0x240u, Front(h.core).flags);
}

TEST(WholeValueCommands, CancelOnlyFromSourceZero)
{
    CoreHarness h;
    h.createTrigger();
    EXPECT_EQ(0, Send(MakeMessage(0, ORV_CMD_CANCEL, 0, nullptr, 0, 7)));
    EXPECT_EQ(0u, QueueLength(h.core));
    EXPECT_TRUE(h.core.TEST_requestFlow().TEST_cancelled(7));
    EXPECT_EQ(0, Send(MakeMessage(SENDER, ORV_CMD_CANCEL, 0, nullptr, 0, 0)));
    EXPECT_EQ(1u, QueueLength(h.core));
    EXPECT_EQ(1u, h.core.TEST_requestFlow().TEST_cancelledCount());
}

TEST(PayloadHolds, StrayRepeatedAndCoreIdReleasesNeverDropTheCoresHold)
{
    CoreHarness h;
    h.createTrigger();
    void* payload = Buffer("held");  // held by the Core, as while delivered
    h.core.TEST_payloadHolds().addHold(payload, 0x11);
    h.core.TEST_payloadHolds().addHold(payload, ORV_CORE_ID);  // a module that took the Core's id
    EXPECT_EQ(0, Release(payload, 0x22));  // holds nothing
    EXPECT_EQ(0, Release(payload, 0));
    EXPECT_EQ(2u, h.core.TEST_payloadHolds().keptHolds(payload));
    EXPECT_EQ(0, Release(payload, 0x11));
    EXPECT_EQ(0, Release(payload, 0x11));  // released twice
    EXPECT_EQ(0, Release(payload, ORV_CORE_ID));
    EXPECT_EQ(0, Release(payload, ORV_CORE_ID));  // only the module's hold went
    EXPECT_EQ(0u, h.core.TEST_payloadHolds().keptHolds(payload));
    EXPECT_EQ(0, std::memcmp(payload, "held", 4));  // the delivery pass still has it
    h.core.TEST_payloadHolds().endPass(MakeMessage(SENDER, 0x04, 1, payload, 4), true);  // the last: freed (ASan checks)
}

// The calling thread poses as a request worker: it owns a flow slot.
class PosingWorker {
public:
    explicit PosingWorker(Core& core_) : core(core_)
    {
        core.TEST_requestFlow().addSlot(pthread_self());
    }
    ~PosingWorker()
    {
        core.TEST_requestFlow().removeSlot(pthread_self());
    }

private:
    Core& core;
};

TEST(RequestRules, RequestIdNeedsAFlowSlotAndAnOpenRequest)
{
    CoreHarness h;
    h.createTrigger();
    EXPECT_EQ(1, Send(MakeMessage(SENDER, 0x04, 1, nullptr, 0, 7)));  // not a request worker
    EXPECT_EQ(0u, QueueLength(h.core));

    PosingWorker worker(h.core);
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x04, 1, nullptr, 0, 7)));
    EXPECT_EQ(0, Send(MakeMessage(0, ORV_CMD_CANCEL, 0, nullptr, 0, 7)));
    char bytes[4] = "abc";
    EXPECT_EQ(1, Send(MakeMessage(SENDER, 0x04, 2, bytes, 3, 7)));
    EXPECT_EQ(1, Send(MakeMessage(SENDER, 0x04, 2, nullptr, 0, 7)));
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x04, 2, nullptr, 0, 8)));  // other requests go on
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1000002, nullptr, 0, 7)));
    EXPECT_FALSE(h.core.TEST_requestFlow().TEST_cancelled(7));
    EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x04, 3, nullptr, 0, 7)));
    EXPECT_EQ(3u, QueueLength(h.core));
}

TEST(RequestRules, SendRefusedAfterItsWaitGivesTheGateBack)
{
    CoreHarness h;
    h.createTrigger();
    std::atomic<int> second{0x7777}, third{0x7777};
    std::atomic<bool> restarted{false};
    std::thread worker([&] {
        PosingWorker slot(h.core);
        char bytes[4] = "abc";
        EXPECT_EQ(0, Send(MakeMessage(SENDER, 0x04, 1, bytes, 3, 7)));
        second = Send(MakeMessage(SENDER, 0x04, 2, bytes, 3, 7));  // waits for the first
        while (!restarted)
            usleep(1000);
        third = Send(MakeMessage(SENDER, 0x04, 3, bytes, 3, 7));
    });
    ASSERT_TRUE(WaitFor([&] { return QueueLength(h.core) == 1; }));
    usleep(100 * 1000);
    EXPECT_EQ(0x7777, second.load());
    // The first payload leaves the queue for delivery; the Core's trigger is
    // retired meanwhile, as at the end of a stop (whose opening of every gate
    // would wake the waiting send by itself).
    Message first = Front(h.core);
    h.core.TEST_eventQueue().retire();
    h.core.TEST_payloadHolds().endPass(first, false);
    ASSERT_TRUE(WaitFor([&] { return second.load() != 0x7777; }));
    EXPECT_EQ(1, second.load());

    h.createTrigger();
    restarted = true;
    EXPECT_TRUE(WaitFor([&] { return third.load() != 0x7777; }, 2000)) << "the refused send kept the gate";
    if (third.load() == 0x7777) {
        h.core.TEST_requestFlow().TEST_openGates();
    }
    worker.join();
    EXPECT_EQ(0, third.load());
    EXPECT_EQ(1u, QueueLength(h.core));
}

namespace {

// Request workers: modules that serve requests through Read. Event 0x1000002
// with flags 0x02 gives the broadcast key 0x800002 against class_mask[1].
std::string Reader(uint64_t id, uint64_t mask1, int wantsRead = 1, const std::string& extra = "")
{
    char text[200];
    std::snprintf(text, sizeof text, "id = 0x%llx\nwants_read_worker = %d\nmask1 = 0x%llx\n",
                  static_cast<unsigned long long>(id), wantsRead, static_cast<unsigned long long>(mask1));
    return text + extra;
}

}  // namespace

TEST(OpenRequests, OneReadWorkerPerChosenModuleEachWithItsOwnCopy)
{
    CoreHarness h;
    const std::string r1 = h.plugin("r1.so"), r2 = h.plugin("r2.so"), r3 = h.plugin("r3.so");
    const std::string r4 = h.plugin("r4.so"), r5 = h.plugin("r5.so"), r6 = h.plugin("r6.so");
    // The two workers' Reads overlap, so their copies are alive together:
    // a copy given back after its Read may come back from the payload pool
    // as the next one.
    const std::string overlap = "return_delay_ms = 300\n";
    ASSERT_TRUE(InstallModule(r1, Reader(1, 0x800002, 1, overlap)));
    ASSERT_TRUE(InstallModule(r2, Reader(2, 0x800000)));          // lacks bit 2
    ASSERT_TRUE(InstallModule(r3, Reader(3, ~0ull, 0)));          // serves no requests
    ASSERT_TRUE(InstallModule(r4, Reader(4, 0xFFFFFF, 1, overlap)));
    ASSERT_TRUE(InstallModule(r5, Reader(5, 0x2000002)));         // the delivery key only
    ASSERT_TRUE(InstallModule(r6, Reader(6, ~0ull), "orv_test_module_bare"));  // no Read export
    h.load();
    ASSERT_EQ(6u, h.core.TEST_modules().size());

    const std::string bytes = "request-bytes";
    void* sent = Buffer(bytes);
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1000002, sent, static_cast<int32_t>(bytes.size()), 7)));
    Scribble(sent, bytes.size());
    EXPECT_EQ(0u, QueueLength(h.core));  // the open command itself is never queued

    ASSERT_TRUE(WaitForEntries(r1, "ReadEnd"));
    ASSERT_TRUE(WaitForEntries(r4, "ReadEnd"));
    LogLine read1 = Entries(r1, "Read").at(0), read4 = Entries(r4, "Read").at(0);
    for (const LogLine& read : {read1, read4}) {
        EXPECT_EQ(40, read.num("size"));
        EXPECT_EQ(1, read.num("version"));
        EXPECT_EQ(0, read.num("code"));
        EXPECT_EQ(1, read.num("on_worker"));
        EXPECT_EQ(static_cast<int64_t>(bytes.size()), read.num("length"));
        EXPECT_EQ(Hex(bytes), read.str("payload"));
        EXPECT_EQ(7, read.num("request"));
        EXPECT_EQ(32, read.num("rsize"));
        EXPECT_EQ(1, read.num("rzero"));
        EXPECT_NE(sent, read.ptr("data"));
    }
    EXPECT_NE(read1.ptr("data"), read4.ptr("data"));
    EXPECT_NE(read1.str("tid"), read4.str("tid"));
    for (const ModuleRecord& record : h.core.TEST_modules())
        EXPECT_TRUE(WorkerRegistry::instance().waitForWorkers(record.library, 5000));
    EXPECT_TRUE(Entries(r2, "Read").empty());
    EXPECT_TRUE(Entries(r3, "Read").empty());
    EXPECT_TRUE(Entries(r5, "Read").empty());
    EXPECT_EQ(0u, FlowSlotCount(h.core));
}

TEST(OpenRequests, SentDuringTheClosePassIsRefused)
{
    CoreHarness h;
    const std::string r = h.plugin("r.so");
    ASSERT_TRUE(InstallModule(r, Reader(1, 0xFFFFFF) + "send = close flags=0x02 event=0x1 source=0 request=7\n"));
    h.start();
    h.stop();
    EXPECT_EQ(1, Entries(r, "Send").at(0).num("result"));
    EXPECT_TRUE(Entries(r, "Read").empty());
}

TEST(OpenRequests, WorkerWhosePayloadCannotBeCopiedIsNotStarted)
{
    CoreHarness h;
    const std::string r1 = h.plugin("r1.so");
    ASSERT_TRUE(InstallModule(r1, Reader(1, 0x800002)));
    h.load();
    char bytes[4] = "abc";
    EXPECT_EQ(-1, Send(MakeMessage(0, 0x02, 0x1000002, bytes, -1, 7)));
    EXPECT_EQ(0, WorkerRegistry::instance().liveWorkers(h.core.TEST_modules()[0].library));
    EXPECT_FALSE(h.core.TEST_requestFlow().TEST_cancelled(7));
    h.stop();
    EXPECT_TRUE(Entries(r1, "Read").empty());
}

TEST(OpenRequests, SameRequestTwiceGivesTwoWorkersWithTheirOwnSlots)
{
    CoreHarness h;
    const std::string r1 = h.plugin("r1.so");
    ASSERT_TRUE(InstallModule(r1, Reader(1, 0x800002, 1, "block_until_close = 1\n")));
    h.load();
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1000002, nullptr, 0, 7)));
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1000002, nullptr, 0, 7)));
    ASSERT_TRUE(WaitForEntries(r1, "Read", 2));
    auto reads = Entries(r1, "Read");
    EXPECT_NE(reads[0].str("tid"), reads[1].str("tid"));
    EXPECT_TRUE(WaitFor([&] { return FlowSlotCount(h.core) == 2; }));
    h.stop();  // Close lets both Reads return
    EXPECT_EQ(2u, Entries(r1, "ReadEnd").size());
    EXPECT_EQ(0u, FlowSlotCount(h.core));
}

TEST(OpenRequests, ScheduledReadWorkerServesNoRequest)
{
    CoreHarness h;
    const std::string r1 = h.plugin("r1.so");
    ASSERT_TRUE(InstallModule(r1, Reader(1, 0x800002, 1,
                                         "send = read flags=0x04 event=1 request=7\n"
                                         "send = read flags=0x04 event=2\n")));
    h.load();
    ASSERT_TRUE(h.core.StartReadWorker(h.core.TEST_modules()[0]));
    EXPECT_NE(nullptr, h.core.TEST_modules()[0].read_worker);
    ASSERT_TRUE(WaitForEntries(r1, "ReadEnd"));
    LogLine read = Entries(r1, "Read").at(0);
    EXPECT_EQ(0, read.num("length"));
    EXPECT_EQ(nullptr, read.ptr("data"));
    EXPECT_EQ(0, read.num("request"));
    auto sends = Entries(r1, "Send");
    ASSERT_EQ(2u, sends.size());
    EXPECT_EQ(1, sends[0].num("result"));  // request id from a thread without a flow slot
    EXPECT_EQ(0, sends[1].num("result"));
    EXPECT_EQ(0u, FlowSlotCount(h.core));
}

TEST(FlowControl, SecondPayloadWaitsUntilEveryHolderOfTheFirstReleased)
{
    CoreHarness h;
    const std::string producer = h.plugin("producer.so");
    const std::string keeper1 = h.plugin("keeper1.so"), keeper2 = h.plugin("keeper2.so");
    ASSERT_TRUE(InstallModule(producer, Reader(1, 0x800002, 1,
                                               "send = read flags=0x08 event=0x20 payload=first request=same\n"
                                               "send = read flags=0x08 event=0x21 request=same\n"
                                               "send = read flags=0x08 event=0x22 payload=second request=same\n")));
    ASSERT_TRUE(InstallModule(keeper1, "id = 0x2\naccepts_write = 1\nmask3 = 0xFF\nwrite_keeps = 1\n"));
    ASSERT_TRUE(InstallModule(keeper2, "id = 0x3\naccepts_write = 1\nmask3 = 0xFF\nwrite_keeps = 1\n"));
    h.start();
    EXPECT_EQ(0, Send(MakeMessage(0, 0x02, 0x1000002, nullptr, 0, 9)));

    ASSERT_TRUE(WaitForEntries(keeper2, "Write", 1, "event", "0x20"));
    // A send without payload does not wait.
    ASSERT_TRUE(WaitForEntries(producer, "Send", 1, "event", "0x21"));
    void* first = Entries(keeper1, "Write", "event", "0x20").at(0).ptr("data");
    EXPECT_EQ(first, Entries(keeper2, "Write", "event", "0x20").at(0).ptr("data"));
    ASSERT_EQ(1u, h.core.TEST_requestFlow().TEST_slotCount());
    EXPECT_EQ(first, h.core.TEST_requestFlow().TEST_inFlight().at(0));

    EXPECT_EQ(0, Release(first, 0x2));
    usleep(200 * 1000);
    EXPECT_TRUE(Entries(producer, "Send", "event", "0x22").empty());  // keeper2 still holds it
    EXPECT_EQ(0, std::memcmp(first, "first", 5));
    EXPECT_EQ(0, Release(first, 0x3));
    ASSERT_TRUE(WaitForEntries(producer, "Send", 1, "event", "0x22"));
    EXPECT_EQ(0, Entries(producer, "Send", "event", "0x22").at(0).num("result"));
    ASSERT_TRUE(WaitForEntries(producer, "ReadEnd"));
    EXPECT_TRUE(WorkerRegistry::instance().waitForWorkers(h.core.TEST_modules()[h.indexOf("producer.so")].library, 5000));
    EXPECT_EQ(0u, FlowSlotCount(h.core));

    // A payload outliving its worker's slot is freed by its last holder as usual.
    ASSERT_TRUE(WaitForEntries(keeper2, "Write", 1, "event", "0x22"));
    LogLine second = Entries(keeper2, "Write", "event", "0x22").at(0);
    EXPECT_EQ(Hex("second"), second.str("payload"));
    EXPECT_EQ(0, Release(second.ptr("data"), 0x2));
    EXPECT_EQ(0, Release(second.ptr("data"), 0x3));
    EXPECT_EQ(0u, h.core.TEST_payloadHolds().keptHolds(second.ptr("data")));
}

TEST(CoreMessages, TextAndDocumentsCarryTheirBytesWithoutTerminator)
{
    CoreHarness h;
    const std::string t = h.plugin("t.so");
    ASSERT_TRUE(InstallModule(t, "id = 0x3\naccepts_write = 1\nmask6 = 0x2000012\n"));
    h.start();
    h.core.SendText("abc");
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("1.0", "", ""));
    TiXmlElement* root = new TiXmlElement("Kest");
    root->SetAttribute("a", "1");
    root->LinkEndChild(new TiXmlElement("Empty"));
    document.LinkEndChild(root);
    h.core.SendDocument(document, 0x40);
    ASSERT_TRUE(WaitForEntries(t, "Write", 2));
    auto writes = Entries(t, "Write");
    EXPECT_EQ(3, writes[0].num("length"));
    EXPECT_EQ(Hex("abc"), writes[0].str("payload"));
    EXPECT_EQ(0x40, writes[0].num("flags"));
    EXPECT_EQ(0x1000002, writes[0].num("event"));
    EXPECT_EQ(static_cast<int64_t>(ORV_CORE_ID), writes[0].num("source"));
    EXPECT_EQ(0, writes[0].num("request"));
    EXPECT_EQ(std::string(336, '0'), writes[0].str("body"));
    const std::string printed = "<?xml version=\"1.0\" ?><Kest a=\"1\"><Empty /></Kest>";
    EXPECT_EQ(static_cast<int64_t>(printed.size()), writes[1].num("length"));
    EXPECT_EQ(Hex(printed), writes[1].str("payload"));
    EXPECT_EQ(0x1000010, writes[1].num("event"));
}
