#include "platform/MountTable.h"

#include "TestUtil.h"

namespace {

const char* kTable =
    "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
    "29 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "40 29 8:2 /var/lib/x /srv/bind rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "41 29 7:1 / /mnt/my\\040stick rw,relatime shared:30 master:2 - vfat /dev/loop1 rw\n"
    "42 29 0:45 / /data rw,relatime - btrfs /dev/sdb1 rw\n"
    "garbage line\n"
    "43 29 8:9 / /broken rw\n"
    "44 29 259:3 /sub /mnt/sub rw - ext4 /dev/nvme0n1p3 rw\n";

TEST(MountTable, ParsesFieldsAndDecodesEscapes) {
    MountTable table("unused");
    table.Parse(kTable);
    ASSERT_EQ(table.Entries().size(), 6u);
    const MountEntry& e = table.Entries()[3];
    EXPECT_EQ(e.major, 7u);
    EXPECT_EQ(e.minor, 1u);
    EXPECT_EQ(e.mountPoint, "/mnt/my stick");
    EXPECT_EQ(e.fsType, "vfat");
    EXPECT_EQ(e.source, "/dev/loop1");
}

TEST(MountTable, FindsMountPointsByDeviceNumberThenSource) {
    MountTable table("unused");
    table.Parse(kTable);
    std::string mp;
    EXPECT_TRUE(table.FindMountPoint(8, 2, "/dev/sda2", mp));
    EXPECT_EQ(mp, "/");  // the whole file system, not the bind mount of a subtree
    EXPECT_TRUE(table.FindMountPoint(7, 1, "", mp));
    EXPECT_EQ(mp, "/mnt/my stick");
    EXPECT_TRUE(table.FindMountPoint(259, 3, "", mp));
    EXPECT_EQ(mp, "/mnt/sub");                                  // only a subtree is mounted: still mounted
    EXPECT_TRUE(table.FindMountPoint(8, 17, "/dev/sdb1", mp));  // btrfs: anonymous device number
    EXPECT_EQ(mp, "/data");
    EXPECT_FALSE(table.FindMountPoint(8, 9, "/dev/sda9", mp));
    EXPECT_FALSE(table.FindMountPoint(8, 3, "/dev/sda3", mp));
}

TEST(MountTable, LoadsAFileAndFailsOnAMissingOne) {
    platform_test::ScratchDir dir;
    platform_test::WriteFile(dir / "mountinfo", kTable);
    MountTable table(dir / "mountinfo");
    ASSERT_TRUE(table.Load());
    EXPECT_EQ(table.Entries().size(), 6u);
    MountTable missing(dir / "nosuch");
    EXPECT_FALSE(missing.Load());
    EXPECT_TRUE(missing.Entries().empty());
}

TEST(MountTable, EscapeDecoding) {
    EXPECT_EQ(MountTable::DecodeEscapes("a\\040b\\011c\\134d"), "a b\tc\\d");
    EXPECT_EQ(MountTable::DecodeEscapes("trailing\\04"), "trailing\\04");
    EXPECT_EQ(MountTable::DecodeEscapes("\\999"), "\\999");
    EXPECT_EQ(MountTable::DecodeEscapes(""), "");
}

}  // namespace
