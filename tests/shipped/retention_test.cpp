// The recorder's retention on its own, over a tree of small files in a
// temporary directory: what it finds, which segment goes first, and names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" {
#include "shipped/segment_recorder/retention.h"
}

namespace {

namespace fs = std::filesystem;

constexpr int64_t kSecond = 1000000;

class RetentionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "orv-retention-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override
    {
        retention_stop(&retention_);
        fs::remove_all(dir_);
    }

    // "<camera>/2025-01-05/20250105T1423SS.000Z.mkv" of `bytes` bytes.
    void Segment(const std::string& camera, int second, size_t bytes)
    {
        char name[64];
        std::snprintf(name, sizeof name, "20250105T1423%02d.000Z.mkv", second);
        fs::create_directories(dir_ + "/" + camera + "/2025-01-05");
        std::ofstream(dir_ + "/" + camera + "/2025-01-05/" + name) << std::string(bytes, 'x');
    }

    bool Exists(const std::string& camera, int second)
    {
        char name[64];
        std::snprintf(name, sizeof name, "/2025-01-05/20250105T1423%02d.000Z.mkv", second);
        return fs::exists(dir_ + "/" + camera + name);
    }

    void Start(RetentionLimits limits) { retention_start(&retention_, dir_.c_str(), limits); }

    std::string dir_;
    Retention retention_{};
};

TEST(RetentionNames, GiveTheWallClockStartToTheMillisecond)
{
    EXPECT_EQ(retention_start_of("20250105T142301.123Z.mkv"), 1736086981 * kSecond + 123000);
    EXPECT_EQ(retention_start_of("20250105T142301.123Z-2.mp4"), 1736086981 * kSecond + 123000);
    EXPECT_EQ(retention_start_of("notes.txt"), -1);
    EXPECT_EQ(retention_start_of("20250105T142301Z.mkv"), -1);
}

// Found on disk, in start order whatever the order of the folders.
TEST_F(RetentionTest, FindsTheSegmentsOnDiskOldestFirst)
{
    Segment("yard", 3, 10);
    Segment("door", 1, 20);
    Segment("door", 2, 30);
    std::ofstream(dir_ + "/door/2025-01-05/index-notes") << "x";
    Start({});
    ASSERT_EQ(retention_.count, 3);
    EXPECT_STREQ(retention_.segments[0].name, "door/2025-01-05/20250105T142301.000Z.mkv");
    EXPECT_STREQ(retention_.segments[2].name, "yard/2025-01-05/20250105T142303.000Z.mkv");
    EXPECT_EQ(retention_.bytes, 60);
}

// Beyond the overall bound the camera holding the most loses its oldest,
// even when another camera's segment is older; its empty day folder goes.
TEST_F(RetentionTest, TheCameraHoldingTheMostLosesItsOldestFirst)
{
    Segment("quiet", 0, 100);
    for (int second = 1; second <= 4; ++second)
        Segment("busy", second, 300);
    RetentionLimits limits{};
    limits.max_bytes = 700;
    Start(limits);
    retention_enforce(&retention_, 1736086990 * kSecond);
    EXPECT_TRUE(Exists("quiet", 0));
    EXPECT_FALSE(Exists("busy", 1));
    EXPECT_FALSE(Exists("busy", 2));
    EXPECT_TRUE(Exists("busy", 3));
    EXPECT_EQ(retention_.bytes, 700);
    EXPECT_EQ(retention_.deleted, 2u);

    ASSERT_TRUE(retention_make_room(&retention_));
    ASSERT_TRUE(retention_make_room(&retention_));
    EXPECT_FALSE(Exists("busy", 3));
    EXPECT_TRUE(Exists("quiet", 0)) << "busy held 300 bytes against quiet's 100 before its last went";
    EXPECT_FALSE(Exists("busy", 4));
    ASSERT_TRUE(retention_make_room(&retention_));
    EXPECT_FALSE(fs::exists(dir_ + "/quiet/2025-01-05"));
    EXPECT_FALSE(retention_make_room(&retention_)) << "nothing left to delete";
}

// Per camera: an age and a size bound, each only on its own camera.
TEST_F(RetentionTest, CameraBoundsTouchOnlyThatCamera)
{
    Segment("a", 0, 100);
    Segment("a", 5, 100);
    Segment("b", 1, 500);
    Segment("b", 2, 500);
    RetentionLimits limits{};
    limits.camera_max_age_us = 10 * kSecond;
    limits.camera_max_bytes = 600;
    Start(limits);
    retention_enforce(&retention_, (1736086980 + 12) * kSecond);
    EXPECT_FALSE(Exists("a", 0)) << "12 s old";
    EXPECT_TRUE(Exists("a", 5));
    EXPECT_FALSE(Exists("b", 1)) << "b held 1000 bytes";
    EXPECT_TRUE(Exists("b", 2));
    retention_add(&retention_, "a/2025-01-05/20250105T142320.000Z.mkv", (1736086980 + 20) * kSecond, 50);
    EXPECT_EQ(retention_.bytes, 650);
}

}  // namespace
