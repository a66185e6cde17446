// The host log: the exact line, the per-module rate, the queue's bound when
// the log target stalls, and calls outside open..close.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "supervision/host_log.h"

namespace {

// Collects what the writer writes; can hold the writer until released.
class Target {
public:
    HostLog::Sink sink()
    {
        return [this](uint32_t level, const std::string& line) {
            std::unique_lock<std::mutex> guard(lock);
            released.wait(guard, [this] { return open; });
            lines.emplace_back(level, line);
        };
    }
    void hold() { std::lock_guard<std::mutex> guard(lock); open = false; }
    void release()
    {
        { std::lock_guard<std::mutex> guard(lock); open = true; }
        released.notify_all();
    }
    size_t count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return lines.size();
    }
    std::vector<std::pair<uint32_t, std::string>> lines;  // read after close

private:
    std::mutex lock;
    std::condition_variable released;
    bool open = true;
};

struct FrozenClock {
    std::atomic<int64_t> now{1000000000};
    HostLog::Clock clock() { return [this] { return now.load(); }; }
};

int32_t Write(HostLog& log, uint64_t id, const std::string& text, uint32_t level = ORV_LOG_INFO)
{
    return log.write(id, "m" + std::to_string(id) + ".so", level, text.data(), text.size());
}

TEST(HostLogLine, PrefixesAndEscapesControlBytes)
{
    const char text[] = "a\nb\\c\x7f\x01 100%s \xc3\xa4";
    EXPECT_EQ("plugin cam.so ID 0x00001234: a\\x0Ab\\x5Cc\\x7F\\x01 100%s \xc3\xa4",
              HostLog::FormatLine(0x1234, "cam.so", text, sizeof text - 1));
    EXPECT_EQ("plugin x.so ID 0x1234567890: ", HostLog::FormatLine(0x1234567890, "x.so", nullptr, 0));
    const std::string longText(ORV_LOG_TEXT_MAX + 10, 'x');
    EXPECT_EQ(std::string("plugin x.so ID 0x00000001: ") + std::string(ORV_LOG_TEXT_MAX, 'x'),
              HostLog::FormatLine(1, "x.so", longText.data(), longText.size()));
}

TEST(HostLogRate, ABurstThenTheRateAndOneLineForTheDropped)
{
    Target target;
    FrozenClock time;
    HostLog log(target.sink(), time.clock());
    log.open();
    for (unsigned i = 0; i < ORV_LOG_BURST; ++i)
        ASSERT_EQ(0, Write(log, 1, "line " + std::to_string(i)));
    EXPECT_EQ(2, Write(log, 1, "dropped"));
    EXPECT_EQ(2, Write(log, 1, "dropped"));
    EXPECT_EQ(0, Write(log, 2, "another module is not limited"));
    time.now += 1000000000 / ORV_LOG_PER_SECOND;
    EXPECT_EQ(0, Write(log, 1, "again", ORV_LOG_ERROR));
    log.close();

    ASSERT_EQ(ORV_LOG_BURST + 3, target.lines.size());
    EXPECT_EQ("plugin m1.so ID 0x00000001: line 0", target.lines[0].second);
    EXPECT_EQ(std::make_pair(ORV_LOG_WARNING, std::string("plugin m1.so ID 0x00000001: 2 lines dropped (more than 5 "
                                                          "a second)")),
              target.lines[ORV_LOG_BURST + 1]);
    EXPECT_EQ(std::make_pair(ORV_LOG_ERROR, std::string("plugin m1.so ID 0x00000001: again")),
              target.lines[ORV_LOG_BURST + 2]);
}

// The lines written, and the sum of the dropped counts reported.
std::pair<size_t, size_t> Tally(const std::vector<std::pair<uint32_t, std::string>>& lines)
{
    const std::string report = " lines dropped (more than 5 a second)";
    size_t written = 0, dropped = 0;
    for (const auto& [level, line] : lines) {
        const size_t at = line.find(": ");
        if (line.size() > report.size() && line.compare(line.size() - report.size(), report.size(), report) == 0)
            dropped += std::stoul(line.substr(at + 2));
        else
            ++written;
    }
    return {written, dropped};
}

bool WaitForLines(Target& target, size_t lines)
{
    for (int i = 0; i < 300 && target.count() < lines; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return target.count() >= lines;
}

TEST(HostLogRate, DroppedLinesAreReportedWithoutAFurtherLine)
{
    Target target;
    HostLog log(target.sink());  // the real clock: the writer reports within a second or so
    log.open();
    for (unsigned i = 0; i < ORV_LOG_BURST; ++i)
        Write(log, 7, "x");
    // The writer is idle when the flood's last line is dropped.
    ASSERT_TRUE(WaitForLines(target, ORV_LOG_BURST));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(2, Write(log, 7, "x"));
    EXPECT_TRUE(WaitForLines(target, ORV_LOG_BURST + 1)) << "no report before the close";
    log.close();
    ASSERT_EQ(ORV_LOG_BURST + 1, target.lines.size());
    EXPECT_EQ("plugin m7.so ID 0x00000007: 1 lines dropped (more than 5 a second)", target.lines.back().second);
}

TEST(HostLogRate, TheCloseReportsWhatIsStillUncounted)
{
    Target target;
    FrozenClock time;
    HostLog log(target.sink(), time.clock());
    log.open();
    for (unsigned i = 0; i < ORV_LOG_BURST + 3; ++i)
        Write(log, 7, "x");
    log.close();
    ASSERT_EQ(ORV_LOG_BURST + 1, target.lines.size());
    EXPECT_EQ("plugin m7.so ID 0x00000007: 3 lines dropped (more than 5 a second)", target.lines.back().second);
}

TEST(HostLogTarget, AStalledTargetNeverHoldsUpACaller)
{
    Target target;
    FrozenClock time;
    HostLog log(target.sink(), time.clock());
    log.open();
    target.hold();
    size_t queued = 0, dropped = 0;
    // More modules than the queue has room for at one burst each.
    for (uint64_t id = 1; id <= 2 * HostLog::kQueueLines / ORV_LOG_BURST; ++id)
        for (unsigned i = 0; i < ORV_LOG_BURST; ++i)
            (Write(log, id, "x") == 0 ? queued : dropped) += 1;
    // The writer holds one line in the target, the queue the rest.
    EXPECT_LE(queued, HostLog::kQueueLines + 1);
    EXPECT_GT(dropped, 0u);
    target.release();
    log.close();
    EXPECT_EQ(std::make_pair(queued, dropped), Tally(target.lines));
}

TEST(HostLogLifecycle, NothingBeforeOpenOrAfterCloseAndBadLevelsRefused)
{
    Target target;
    HostLog log(target.sink());
    EXPECT_EQ(1, Write(log, 1, "early"));
    log.open();
    EXPECT_EQ(-1, Write(log, 1, "x", ORV_LOG_ERROR - 1));
    EXPECT_EQ(-1, Write(log, 1, "x", ORV_LOG_DEBUG + 1));
    EXPECT_EQ(-1, log.write(1, "m1.so", ORV_LOG_INFO, nullptr, 3));
    EXPECT_EQ(0, Write(log, 1, "kept"));
    log.close();
    EXPECT_EQ(1, Write(log, 1, "late"));
    ASSERT_EQ(1u, target.lines.size());
    EXPECT_EQ("plugin m1.so ID 0x00000001: kept", target.lines[0].second);
}

TEST(HostLogLifecycle, WritersRacingCloseEachGetAnAnswer)
{
    Target target;
    HostLog log(target.sink());
    log.open();
    std::atomic<int> accepted{0}, dropped{0};
    std::vector<std::thread> writers;
    for (uint64_t id = 1; id <= 4; ++id)
        writers.emplace_back([&log, &accepted, &dropped, id] {
            for (int i = 0; i < 2000; ++i) {
                const int32_t result = Write(log, id, "x");
                ASSERT_TRUE(result == 0 || result == 1 || result == 2) << result;
                accepted += result == 0;
                dropped += result == 2;
            }
        });
    log.close();
    for (std::thread& writer : writers)
        writer.join();
    const auto [written, reported] = Tally(target.lines);
    EXPECT_EQ(size_t(accepted.load()), written);
    EXPECT_EQ(size_t(dropped.load()), reported);
}

}  // namespace
