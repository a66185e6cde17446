// Stops under load, with the stress module as receiver and request streamer:
// senders that outpace delivery, receivers that keep payloads and release
// them from their own threads, request storms with flow-controlled Read
// workers, and callbacks that go on while the Core is destroyed. Every
// message accepted before the stop began arrives once, in order, intact;
// every stop ends soon after the last Close.
//
// ORV_STRESS_SCALE multiplies the counts (1 in `make test`); the bound on a
// stop is ORV_STRESS_STOP_BOUND_MS (generous here, 1 s in `make stress`).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/core_harness.h"
#include "support/messages.h"
#include "support/stress_stream.h"
#include "supervision/host_snapshot.h"

using namespace testmodule;

namespace {

int EnvNumber(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

int Scale()
{
    return EnvNumber("ORV_STRESS_SCALE", 1);
}

int64_t NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Report {
    std::map<std::string, int64_t> values;
    std::map<uint64_t, uint64_t> streams;  // messages received per stream
};

Report ReadReport(const std::string& modulePath)
{
    Report report;
    std::istringstream in(ReadFile(modulePath + ".report"));
    std::string key, value;
    while (in >> key >> value) {
        if (key == "stream") {
            std::string count;
            in >> count;
            report.streams[std::strtoull(value.c_str(), nullptr, 0)] = std::strtoull(count.c_str(), nullptr, 0);
        } else {
            report.values[key] = std::strtoll(value.c_str(), nullptr, 0);
        }
    }
    return report;
}

// Sends stream `stream` as module `source` until told to end, counting what
// was accepted (result 0) and what was accepted before the stop began.
class Sender {
public:
    Sender(uint64_t source, uint64_t stream, int limit) : source(source), stream(stream), limit(limit) {}

    void start() { thread = std::thread([this] { run(); }); }
    void finish()
    {
        ending = true;
        thread.join();
    }

    std::atomic<uint64_t> accepted{0};
    std::atomic<bool> ending{false};

private:
    void run()
    {
        std::vector<uint8_t> buffer(65536);
        for (uint64_t seq = 0; !ending.load() && seq < static_cast<uint64_t>(limit); ++seq) {
            Message message = MakeMessage(source, stress::kFlags, stress::kEvent);
            stress::Stamp(message.body, stream, seq);
            message.length = stress::Length(stream, seq);
            stress::Fill(buffer.data(), message.length, stream, seq);
            message.data = message.length ? buffer.data() : nullptr;
            if (Send(message) != ORV_RESULT_OK)
                break;  // the Core has stopped: nothing later may be accepted
            accepted = seq + 1;
        }
    }

    uint64_t source;
    uint64_t stream;
    int limit;
    std::thread thread;
};

class StopStress : public ::testing::Test {
protected:
    StopStress() : h(new CoreHarness) {}

    std::string install(const std::string& name, const std::string& config)
    {
        const std::string path = h->plugin(name);
        EXPECT_TRUE(InstallModule(path, config, "orv_stress_module"));
        modules.push_back(path);
        return path;
    }

    void installReceivers()
    {
        install("keeps3.so", "id = 0x2001\nmask0 = 1\nkeep_every = 3\n");
        install("keeps7.so", "id = 0x2002\nmask0 = 1\nkeep_every = 7\n");
        install("plain.so", "id = 0x2003\nmask0 = 1\n");
    }

    // Stops the Core and checks that it ended soon after the last Close.
    void stopInTime(const char* scenario)
    {
        h->stop();
        const int64_t stopped = NowMs();
        int64_t lastClose = 0;
        for (const std::string& path : modules)
            lastClose = std::max(lastClose, ReadReport(path).values["closed_ms"]);
        ASSERT_GT(lastClose, 0);
        const int64_t took = stopped - lastClose;
        std::printf("[stress] %s: stop ended %lld ms after the last Close\n", scenario, static_cast<long long>(took));
        EXPECT_LE(took, EnvNumber("ORV_STRESS_STOP_BOUND_MS", 5000));
    }

    // Every receiver got each sender's stream from its start, in order and
    // intact, at least up to what was accepted before the stop began.
    void expectStreams(const std::vector<uint64_t>& beforeStop, const std::vector<std::unique_ptr<Sender>>& senders)
    {
        for (const std::string& path : modules) {
            Report report = ReadReport(path);
            EXPECT_EQ(report.values["errors"], 0) << path;
            for (size_t i = 0; i < senders.size(); ++i) {
                EXPECT_GE(report.streams[i + 1], beforeStop[i]) << path << " stream " << i + 1;
                EXPECT_LE(report.streams[i + 1], senders[i]->accepted.load()) << path << " stream " << i + 1;
            }
        }
    }

    // Takes snapshots over and over on a thread of its own, as a module's
    // HTTP thread would, until stopped; then every receiver's count of
    // Writes agrees with what it counted itself.
    void readSnapshotsUntil(std::atomic<bool>& done)
    {
        HostSnapshot snapshot;
        ModuleCounters counters[4];
        while (!done.load())
            ASSERT_EQ(takeSnapshot(snapshot, counters), 0);
    }

    int32_t takeSnapshot(HostSnapshot& snapshot, ModuleCounters* counters)
    {
        snapshot = HostSnapshot();
        snapshot.size = sizeof snapshot;
        snapshot.version = ORV_HOST_SNAPSHOT_VERSION;
        snapshot.modules = counters;
        snapshot.module_capacity = 4;
        snapshot.module_size = sizeof(ModuleCounters);
        return h->core.FillSnapshot(&snapshot);
    }

    void expectCountedWrites()
    {
        HostSnapshot snapshot;
        ModuleCounters counters[4];
        ASSERT_EQ(takeSnapshot(snapshot, counters), 0);
        ASSERT_EQ(snapshot.module_count, modules.size());
        EXPECT_EQ(snapshot.queue_depth, 0u);
        for (uint32_t i = 0; i < snapshot.module_count; ++i)
            EXPECT_EQ(counters[i].write_messages,
                      static_cast<uint64_t>(ReadReport(h->plugin(counters[i].file_name)).values["delivered"]))
                << counters[i].file_name;
    }

    std::unique_ptr<CoreHarness> h;
    std::vector<std::string> modules;
};

}  // namespace

TEST_F(StopStress, SendersToReceiversThatKeepPayloads)
{
    installReceivers();
    h->start();
    const int perSender = 1000 * Scale();
    std::vector<std::unique_ptr<Sender>> senders;
    for (uint64_t i = 0; i < 4; ++i)
        senders.emplace_back(new Sender(0x5000 + i, i + 1, perSender));
    for (auto& sender : senders)
        sender->start();
    std::atomic<bool> stopped{false};
    std::thread reader([&] { readSnapshotsUntil(stopped); });
    ASSERT_TRUE(WaitFor([&] { return senders[0]->accepted.load() >= static_cast<uint64_t>(perSender / 2); }, 60000));

    std::vector<uint64_t> beforeStop;
    for (auto& sender : senders)
        beforeStop.push_back(sender->accepted.load());
    stopInTime("senders, receivers keeping payloads");
    stopped = true;
    reader.join();
    for (auto& sender : senders)
        sender->finish();
    expectStreams(beforeStop, senders);
    expectCountedWrites();
}

TEST_F(StopStress, RequestStormWithStreamingWorkers)
{
    install("streamer1.so", "id = 0x3001\nmask1 = 1\nstream = 1\naccepts_write = 0\n");
    install("streamer2.so", "id = 0x3002\nmask1 = 1\nstream = 1\naccepts_write = 0\n");
    install("keeps2.so", "id = 0x2001\nmask0 = 1\nkeep_every = 2\n");
    install("plain.so", "id = 0x2003\nmask0 = 1\n");
    h->start();

    std::atomic<bool> ending{false};
    std::atomic<int> opened{0};
    std::vector<std::thread> storm;
    for (int t = 0; t < 8; ++t) {
        storm.emplace_back([&, t] {
            // Open, cancel, reopen and cancel again; a fresh id each round, so
            // a reopen never revives the workers of an earlier round.
            for (uint64_t n = 0; !ending.load(); ++n) {
                const uint64_t request = 1 + n * 8 + t;
                for (int twice = 0; twice < 2; ++twice) {
                    Send(MakeMessage(0, 0x02, stress::kEvent, nullptr, 0, request));
                    ++opened;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    Send(MakeMessage(0, ORV_CMD_CANCEL, 0, nullptr, 0, request));
                }
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] { return opened.load() >= 200 * Scale(); }, 60000));
    stopInTime("request storm, streaming workers");
    ending = true;
    for (std::thread& thread : storm)
        thread.join();

    // The last report is written when the library is unmapped: by then
    // every worker had left Read.
    for (const std::string& path : modules) {
        Report report = ReadReport(path);
        EXPECT_EQ(report.values["errors"], 0) << path;
        EXPECT_EQ(report.values["reads"], report.values["read_ends"]) << path;
    }
}

TEST_F(StopStress, FlatOutSendersThroughStopAndDestruction)
{
    installReceivers();
    h->start();
    std::vector<std::unique_ptr<Sender>> senders;
    for (uint64_t i = 0; i < 8; ++i)
        senders.emplace_back(new Sender(0x5000 + i, i + 1, 1 << 30));
    for (auto& sender : senders)
        sender->start();
    ASSERT_TRUE(WaitFor([&] { return senders[7]->accepted.load() >= static_cast<uint64_t>(500 * Scale()); }, 60000));

    std::vector<uint64_t> beforeStop;
    for (auto& sender : senders)
        beforeStop.push_back(sender->accepted.load());
    stopInTime("8 senders flat out");
    expectStreams(beforeStop, senders);
    // The senders are refused from here on, also while the Core is destroyed.
    h.reset();
    for (auto& sender : senders)
        sender->finish();
}
