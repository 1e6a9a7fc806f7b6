#include <gtest/gtest.h>

#include "storage/DevicePath.h"

TEST(DevicePath, BuildsDevPathsAndRefusesWhatCouldNameAnotherNode) {
    char buf[16];
    EXPECT_EQ(BSDName2DevPath(buf, sizeof buf, "sdb1", false), 1);
    EXPECT_STREQ(buf, "/dev/sdb1");
    EXPECT_EQ(BSDName2DevPath(buf, sizeof buf, "nvme0n1p1", true), 1);
    EXPECT_STREQ(buf, "/dev/nvme0n1p1");
    EXPECT_EQ(BSDName2DevPath(buf, sizeof buf, "loop0p1234", false), 1);  // exactly fits
    EXPECT_EQ(BSDName2DevPath(buf, sizeof buf, "loop0p12345", false), 0);
    EXPECT_STREQ(buf, "");
    for (const char* bad : {"", "..", ".", "../sda", "mapper/x"}) {
        EXPECT_EQ(BSDName2DevPath(buf, sizeof buf, bad, false), 0) << bad;
        EXPECT_EQ(DevicePathOf(bad), "") << bad;
    }
    EXPECT_EQ(BSDName2DevPath(buf, sizeof buf, nullptr, false), 0);
    EXPECT_EQ(DevicePathOf("loop3p1"), "/dev/loop3p1");
}
