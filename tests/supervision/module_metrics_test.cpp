// Module metrics: the declaration rules, values read back, stale handles and
// concurrent updates.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "supervision/module_metrics.h"

namespace {

MetricDeclaration Declaration(const char* name, uint32_t type = ORV_METRIC_GAUGE, uint64_t moduleId = 0x100)
{
    MetricDeclaration d;
    std::memset(&d, 0, sizeof d);
    d.size = sizeof d;
    d.version = ORV_METRIC_DECLARATION_VERSION;
    d.module_id = moduleId;
    d.name = name;
    d.help = "help";
    d.type = type;
    return d;
}

MetricDeclaration Labelled(const char* name, const char* label, const char* value)
{
    MetricDeclaration d = Declaration(name);
    d.label_count = 1;
    d.labels[0] = MetricLabel{label, value};
    return d;
}

std::vector<MetricReading> Read(const ModuleMetrics& metrics, uint32_t* count = nullptr)
{
    std::vector<MetricReading> readings(16);
    MetricSnapshot snapshot{};
    snapshot.size = sizeof snapshot;
    snapshot.version = ORV_METRIC_SNAPSHOT_VERSION;
    snapshot.metrics = readings.data();
    snapshot.capacity = uint32_t(readings.size());
    snapshot.metric_size = sizeof(MetricReading);
    EXPECT_EQ(0, metrics.read(&snapshot));
    readings.resize(std::min(snapshot.metric_count, snapshot.capacity));
    if (count)
        *count = snapshot.metric_count;
    return readings;
}

TEST(MetricDeclarations, RefuseWhatThePageCouldNotShow)
{
    ModuleMetrics metrics;
    const std::string longName(ORV_METRIC_NAME_SIZE, 'a');
    const std::string longValue(ORV_METRIC_LABEL_SIZE, 'v');
    for (const MetricDeclaration& d :
         {Declaration(""), Declaration("9lives"), Declaration("has-dash"), Declaration("has:colon"),
          Declaration(longName.c_str()), Declaration("packets", ORV_METRIC_COUNTER), Declaration("x", 3),
          Labelled("x", "module", "a"), Labelled("x", "id", "a"), Labelled("x", "__name", "a"),
          Labelled("x", "bad label", "a"), Labelled("x", "camera", longValue.c_str()),
          Labelled("x", "camera", nullptr)})
        EXPECT_EQ(ORV_METRIC_INVALID, metrics.declare(d)) << (d.name ? d.name : "");
    MetricDeclaration twice = Labelled("x", "camera", "front");
    twice.label_count = 2;
    twice.labels[1] = twice.labels[0];
    EXPECT_EQ(ORV_METRIC_INVALID, metrics.declare(twice));
    MetricDeclaration tooMany = Declaration("x");
    tooMany.label_count = ORV_METRIC_LABELS + 1;
    EXPECT_EQ(ORV_METRIC_INVALID, metrics.declare(tooMany));
    MetricDeclaration old = Declaration("x");
    old.size = sizeof old - 8;
    EXPECT_EQ(ORV_METRIC_INVALID, metrics.declare(old));
    EXPECT_TRUE(Read(metrics).empty());
}

TEST(MetricDeclarations, SameDeclarationSameHandleAndANameKeepsItsType)
{
    ModuleMetrics metrics;
    const int64_t front = metrics.declare(Labelled("cam_up", "camera", "front"));
    ASSERT_GT(front, 0);
    EXPECT_EQ(front, metrics.declare(Labelled("cam_up", "camera", "front")));
    EXPECT_NE(front, metrics.declare(Labelled("cam_up", "camera", "back")));
    EXPECT_GT(metrics.declare(Declaration("cam_up", ORV_METRIC_GAUGE, 0x200)), 0);
    EXPECT_GT(metrics.declare(Declaration("cam_up_total", ORV_METRIC_COUNTER)), 0);
    EXPECT_EQ(ORV_METRIC_INVALID, metrics.declare(Declaration("cam_up_total", ORV_METRIC_GAUGE, 0x300)));
}

TEST(MetricValues, SetAndAddAreReadBackWithTheDeclaration)
{
    ModuleMetrics metrics;
    const int64_t bytes = metrics.declare(Declaration("src_bytes_total", ORV_METRIC_COUNTER));
    const int64_t up = metrics.declare(Labelled("src_up", "camera", "fr\"ont"));
    metrics.add(bytes, 1000);
    metrics.add(bytes, 0.5);
    metrics.set(up, 1);
    metrics.set(0, 7);
    metrics.add(-5, 7);
    metrics.set(bytes + 100, 7);
    const std::vector<MetricReading> readings = Read(metrics);
    ASSERT_EQ(2u, readings.size());
    EXPECT_EQ(sizeof(MetricReading), readings[0].size);
    EXPECT_EQ(0x100u, readings[0].module_id);
    EXPECT_EQ(ORV_METRIC_COUNTER, readings[0].type);
    EXPECT_STREQ("src_bytes_total", readings[0].name);
    EXPECT_STREQ("help", readings[0].help);
    EXPECT_EQ(1000.5, readings[0].value);
    EXPECT_EQ(1u, readings[1].label_count);
    EXPECT_STREQ("camera", readings[1].labels[0][0]);
    EXPECT_STREQ("fr\"ont", readings[1].labels[0][1]);
    EXPECT_EQ(1.0, readings[1].value);
}

TEST(MetricValues, ClearMakesEveryHandleStale)
{
    ModuleMetrics metrics;
    const int64_t before = metrics.declare(Declaration("a"));
    metrics.clear();
    EXPECT_TRUE(Read(metrics).empty());
    const int64_t after = metrics.declare(Declaration("a"));
    EXPECT_NE(before, after);
    metrics.set(before, 5);
    metrics.add(before, 5);
    ASSERT_EQ(1u, Read(metrics).size());
    EXPECT_EQ(0.0, Read(metrics)[0].value);
}

TEST(MetricValues, ReadWithLessRoomFillsWhatFitsAndCountsAll)
{
    ModuleMetrics metrics;
    for (const char* name : {"a", "b", "c"})
        metrics.declare(Declaration(name));
    std::vector<MetricReading> one(2);
    std::memset(one.data(), 0xAB, sizeof(MetricReading) * 2);
    MetricSnapshot snapshot{sizeof snapshot, 1, one.data(), 1, sizeof(MetricReading), 0, 0};
    ASSERT_EQ(0, metrics.read(&snapshot));
    EXPECT_EQ(3u, snapshot.metric_count);
    EXPECT_STREQ("a", one[0].name);
    EXPECT_EQ(0xABu, reinterpret_cast<const unsigned char*>(&one[1])[0]);
    snapshot.metric_size = sizeof(MetricReading) - 1;
    EXPECT_EQ(-1, metrics.read(&snapshot));
}

TEST(MetricValues, TheTableHasAFixedRoom)
{
    ModuleMetrics metrics;
    std::vector<std::string> names;
    for (unsigned i = 0; i <= ORV_METRIC_CAPACITY; ++i)
        names.push_back("m" + std::to_string(i));
    for (unsigned i = 0; i < ORV_METRIC_CAPACITY; ++i)
        ASSERT_GT(metrics.declare(Declaration(names[i].c_str())), 0);
    EXPECT_EQ(ORV_METRIC_FULL, metrics.declare(Declaration(names.back().c_str())));
}

TEST(MetricValues, ConcurrentAddsAllCount)
{
    ModuleMetrics metrics;
    const int64_t packets = metrics.declare(Declaration("packets_total", ORV_METRIC_COUNTER));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&metrics, packets] {
            for (int i = 0; i < 20000; ++i)
                metrics.add(packets, 1);
        });
    for (int i = 0; i < 100; ++i)
        Read(metrics);
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(80000.0, Read(metrics)[0].value);
}

}  // namespace
