// The recorder's disk fault on its own: one line when it begins, one when it
// clears, whatever the cameras do in between. Lines go to standard error
// (no service here).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

extern "C" {
#include <libavutil/error.h>

#include "shipped/segment_recorder/disk_fault.h"
}

namespace {

TEST(DiskFaultTest, OneLineWhenItBeginsAndOneWhenTheLastFailingCameraWritesAgain)
{
    DiskFault fault = {};
    testing::internal::CaptureStderr();
    disk_fault_clear(&fault, 0, 0);  // no fault: nothing to say
    EXPECT_EQ(disk_fault_raise(&fault, 63, "cannot start", "yard/a.mkv", AVERROR(ENOSPC), 5), 1);
    EXPECT_EQ(disk_fault_raise(&fault, 63, "cannot write", "yard/b.mkv", AVERROR(ENOSPC), 7), 0);
    EXPECT_EQ(disk_fault_raise(&fault, 0, "cannot start", "door/a.mkv", AVERROR(EACCES), 9), 1);
    disk_fault_clear(&fault, 63, 20);  // the door camera still fails
    disk_fault_clear(&fault, 63, 20);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "module: cannot start yard/a.mkv: No space left on device\n");

    testing::internal::CaptureStderr();
    disk_fault_clear(&fault, 0, 25);
    disk_fault_raise(&fault, 1, "cannot finish", "door/b.mkv", AVERROR(ENOENT), 30);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "module: writing again, 20 packets lost meanwhile\n"
              "module: cannot finish door/b.mkv: No such file or directory\n");
}

}  // namespace
