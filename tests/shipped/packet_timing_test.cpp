// The video source's packet timing on its own: what it makes of packets
// without timestamps, without dts, and of inputs timed by capture time.
#include <gtest/gtest.h>

extern "C" {
#include "shipped/video_source/packet_timing.h"
}

namespace {

// A 25 fps stream in the 90 kHz clock of RTP and MPEG-TS, `delay` pictures
// reordered.
class PacketTimingTest : public ::testing::Test {
protected:
    void Start(int delay, int by_capture_time = 0)
    {
        input_ = avformat_alloc_context();
        stream_ = avformat_new_stream(input_, nullptr);
        stream_->time_base = {1, 90000};
        stream_->avg_frame_rate = {25, 1};
        stream_->codecpar->video_delay = delay;
        packet_timing_start(&timing_, stream_, by_capture_time, 1000000);
    }

    void TearDown() override
    {
        packet_timing_stop(&timing_);
        avformat_free_context(input_);
    }

    // Adds a packet; returns the (dts, pts) of the packets now ready.
    std::vector<std::pair<int64_t, int64_t>> Add(int64_t pts, int64_t dts, int64_t capture_us = 0)
    {
        AVPacket* packet = av_packet_alloc();
        packet->pts = pts;
        packet->dts = dts;
        const int ready = packet_timing_add(&timing_, packet, capture_us);
        av_packet_free(&packet);
        std::vector<std::pair<int64_t, int64_t>> times;
        for (int i = 0; i < ready; ++i)
            times.emplace_back(packet_timing_ready(&timing_, i)->dts, packet_timing_ready(&timing_, i)->pts);
        packet_timing_done(&timing_);
        return times;
    }

    static constexpr int64_t kFrame = 3600;
    static constexpr int64_t kNone = AV_NOPTS_VALUE;
    AVFormatContext* input_ = nullptr;
    AVStream* stream_ = nullptr;
    PacketTiming timing_{};
};

using Times = std::vector<std::pair<int64_t, int64_t>>;

// RTSP's first key frame comes without timestamps: it is held, then timed a
// frame before its successor; later untimed packets follow the last one.
TEST_F(PacketTimingTest, UntimedPacketsBeforeTheFirstTimedOneComeOneFrameApartBeforeIt)
{
    Start(0);
    EXPECT_EQ(Add(kNone, kNone), Times{});
    EXPECT_EQ(Add(kNone, kNone), Times{});
    EXPECT_EQ(Add(7200, 7200), (Times{{0, 0}, {3600, 3600}, {7200, 7200}}));
    EXPECT_EQ(Add(kNone, kNone), (Times{{10800, 10800}}));
}

TEST_F(PacketTimingTest, ATimelineStartsAtZeroWhenNoTimestampComesWithinTheHeldPackets)
{
    Start(0);
    for (int i = 0; i + 1 < PACKET_TIMING_HELD; ++i)
        EXPECT_EQ(Add(kNone, kNone), Times{});
    Times times = Add(kNone, kNone);
    ASSERT_EQ(times.size(), size_t{PACKET_TIMING_HELD});
    EXPECT_EQ(times.back(), (std::pair<int64_t, int64_t>{0, 0}));
    EXPECT_EQ(times.front().first, -(PACKET_TIMING_HELD - 1) * kFrame);
}

// Matroska with two B-frames: I0 P3 B1 B2 in decoding order, pts only. The
// dts count on a frame at a time from the key frame's pts minus the delay,
// increase, and never pass the pts.
TEST_F(PacketTimingTest, MissingDtsCountOnFromTheKeyFrameMinusTheReorderDelay)
{
    Start(2);
    int64_t last = INT64_MIN;
    for (int64_t picture : {0, 3, 1, 2, 6, 4, 5}) {
        Times times = Add(picture * kFrame, kNone);
        ASSERT_EQ(times.size(), 1u);
        EXPECT_GT(times[0].first, last);
        EXPECT_LE(times[0].first, times[0].second);
        last = times[0].first;
    }
    EXPECT_EQ(last, 4 * kFrame);
}

TEST_F(PacketTimingTest, CaptureTimeIsTheClockInMicrosecondsAndAlwaysIncreases)
{
    Start(0, 1);
    EXPECT_EQ(timing_.time_base.den, 1000000);
    EXPECT_EQ(Add(kNone, kNone, 1066667), (Times{{66667, 66667}}));
    EXPECT_EQ(Add(500, 500, 1066667), (Times{{66668, 66668}})); // same capture time, container's ignored
}

} // namespace
