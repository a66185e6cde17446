// The web view's request paths: only the fixed shapes pass, whatever the
// percent-decoded path carries.
#include <gtest/gtest.h>

#include <string>

extern "C" {
#include "../../shipped/web_view/request_path.h"
}

namespace {

Request parse(const std::string& path)
{
    Request request;
    request_path_parse(path.c_str(), &request);
    return request;
}

TEST(RequestPath, CameraFilesAreKnownByTheirExactNames)
{
    EXPECT_EQ(parse("/cameras/front-door_2.b/live.m3u8").kind, REQUEST_PLAYLIST);
    EXPECT_STREQ(parse("/cameras/front-door_2.b/live.m3u8").camera, "front-door_2.b");
    EXPECT_EQ(parse("/cameras/a/init.mp4").kind, REQUEST_INIT);
    EXPECT_EQ(parse("/cameras/a/snapshot.jpg").kind, REQUEST_SNAPSHOT);
    EXPECT_EQ(parse("/cameras/a/recordings.json").kind, REQUEST_RECORDINGS);
    EXPECT_EQ(parse("/cameras/a/recording.mp4").kind, REQUEST_RECORDING);
    EXPECT_EQ(parse("/cameras.json").kind, REQUEST_CAMERAS);
    Request whole = parse("/cameras/a/123456789.m4s");
    EXPECT_EQ(whole.kind, REQUEST_MEDIA);
    EXPECT_EQ(whole.sequence, 123456789u);
    EXPECT_EQ(whole.part, -1);
    Request part = parse("/cameras/a/7.0.m4s");
    EXPECT_EQ(part.kind, REQUEST_MEDIA);
    EXPECT_EQ(part.sequence, 7u);
    EXPECT_EQ(part.part, 0);
}

TEST(RequestPath, AnythingElseIsUnknown)
{
    for (const char* path :
         {"", "/cameras/", "/cameras/a", "/cameras/a/", "/cameras//live.m3u8", "/cameras/../live.m3u8",
          "/cameras/./live.m3u8", "/cameras/.a/live.m3u8", "/cameras/a/../live.m3u8", "/cameras/a/b/live.m3u8",
          "/cameras/a b/live.m3u8", "/cameras/a%2f/live.m3u8", "/cameras/a/live.m3u8/", "/cameras/a/LIVE.M3U8",
          "/cameras/a/1234567890.m4s", "/cameras/a/.m4s", "/cameras/a/1..m4s", "/cameras/a/1.2.3.m4s",
          "/cameras/a/-1.m4s", "/cameras/a/1.-1.m4s", "/cameras/a/+1.m4s", "/cameras/a/1.200000.m4s",
          "/cameras/a/1.m4s.jpg", "/cameras/0123456789012345678901234567890123/live.m3u8", "cameras.json",
          "//etc/passwd", "/../etc/passwd", "/a/b"})
        EXPECT_EQ(parse(path).kind, REQUEST_UNKNOWN) << path;
    // One level below the root is left to the page's own table.
    EXPECT_EQ(parse("/etc").kind, REQUEST_PAGE_FILE);
    EXPECT_EQ(parse("/").kind, REQUEST_PAGE_FILE);
}

TEST(RequestPath, CameraNamesAreFolderNames)
{
    EXPECT_TRUE(request_camera_name_ok("a", 1));
    EXPECT_TRUE(request_camera_name_ok("0123456789012345678901234567890", 31));
    EXPECT_FALSE(request_camera_name_ok("01234567890123456789012345678901", 32));
    EXPECT_FALSE(request_camera_name_ok("", 0));
    EXPECT_FALSE(request_camera_name_ok("..", 2));
    EXPECT_FALSE(request_camera_name_ok("a/b", 3));
    EXPECT_FALSE(request_camera_name_ok("a\0b", 3));
    EXPECT_FALSE(request_camera_name_ok("caf\xc3\xa9", 5));
}

TEST(RequestPath, NumbersAreDecimalWithinTheirRange)
{
    long long value = 0;
    EXPECT_TRUE(request_number("1733700000000", 0, 4102444800000LL, &value));
    EXPECT_EQ(value, 1733700000000LL);
    EXPECT_TRUE(request_number("-5", -10, 10, &value));
    EXPECT_EQ(value, -5);
    for (const char* bad : {"", "-", "1e3", "0x10", " 1", "1 ", "+1", "11", "1234567890123456789", "9.5"})
        EXPECT_FALSE(request_number(bad, -10, 10, &value)) << bad;
    EXPECT_FALSE(request_number(nullptr, 0, 10, &value));
}

}  // namespace
