// The source's AAC config and ADTS headers, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>

extern "C" {
#include "shipped/video_source/adts.h"
}

namespace {

AVCodecParameters Aac(int profile, int rate, int channels)
{
    AVCodecParameters params = {};
    params.profile = profile;
    params.sample_rate = rate;
    av_channel_layout_default(&params.ch_layout, channels);
    return params;
}

TEST(AdtsTest, ConfigOfCommonStreamsAndNoneForOthers)
{
    uint8_t config[2] = {};
    AVCodecParameters stereo = Aac(FF_PROFILE_AAC_LOW, 48000, 2);
    ASSERT_EQ(adts_config(&stereo, config), 2);
    EXPECT_EQ(config[0], 0x11);  // object type 2, rate index 3, 2 channels
    EXPECT_EQ(config[1], 0x90);
    AVCodecParameters phone = Aac(FF_PROFILE_AAC_LOW, 8000, 1);
    ASSERT_EQ(adts_config(&phone, config), 2);
    EXPECT_EQ(config[0], 0x15);  // rate index 11 straddles the bytes
    EXPECT_EQ(config[1], 0x88);
    AVCodecParameters odd_rate = Aac(FF_PROFILE_AAC_LOW, 47999, 2), seven = Aac(FF_PROFILE_AAC_LOW, 48000, 7),
                      unknown = Aac(FF_PROFILE_UNKNOWN, 48000, 2);
    EXPECT_EQ(adts_config(&odd_rate, config), 0);
    EXPECT_EQ(adts_config(&seven, config), 0);
    EXPECT_EQ(adts_config(&unknown, config), 0);
}

TEST(AdtsTest, HeaderLengths)
{
    const uint8_t plain[7] = {0xFF, 0xF1, 0x4C, 0x80, 0x2E, 0x7F, 0xFC};   // no CRC, one frame
    const uint8_t crc[7] = {0xFF, 0xF0, 0x4C, 0x80, 0x2E, 0x7F, 0xFC};     // with CRC
    const uint8_t several[7] = {0xFF, 0xF1, 0x4C, 0x80, 0x2E, 0x7F, 0xFD}; // two raw frames
    const uint8_t raw[7] = {0x21, 0x10, 0x04, 0x60, 0x8C, 0x1C, 0x00};
    EXPECT_EQ(adts_header_length(plain, 7), 7);
    EXPECT_EQ(adts_header_length(crc, 7), 9);
    EXPECT_EQ(adts_header_length(several, 7), -1);
    EXPECT_EQ(adts_header_length(raw, 7), 0);
    EXPECT_EQ(adts_header_length(plain, 6), 0);
}

}  // namespace
