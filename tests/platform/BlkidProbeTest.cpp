#include "platform/BlkidProbe.h"

#include <cstring>

#include "TestUtil.h"

using platform_test::ScratchDir;
using platform_test::Shell;

namespace {

TEST(BlkidProbe, GuidTextIsParsedIntoTheMixedEndianLayout) {
    uint8_t g[16];
    ASSERT_TRUE(BlkidProbe::ParseGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B", g));
    const uint8_t want[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                              0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
    EXPECT_EQ(std::memcmp(g, want, 16), 0);
    ASSERT_TRUE(BlkidProbe::ParseGuid("c12a7328-f81f-11d2-ba4b-00a0c93ec93b", g));
    EXPECT_EQ(std::memcmp(g, want, 16), 0);
    for (const char* bad : {"", "C12A7328F81F11D2BA4B00A0C93EC93B", "C12A7328-F81F-11D2-BA4B-00A0C93EC93",
                            "C12A7328-F81F-11D2-BA4B-00A0C93EC93BX", "G12A7328-F81F-11D2-BA4B-00A0C93EC93B",
                            "C12A7328-F81F+11D2-BA4B-00A0C93EC93B"})
        EXPECT_FALSE(BlkidProbe::ParseGuid(bad, g)) << bad;
}

TEST(BlkidProbe, SchemeCodes) {
    EXPECT_EQ(BlkidProbe::SchemeCode("dos"), 1u);
    EXPECT_EQ(BlkidProbe::SchemeCode("gpt"), 2u);
    EXPECT_EQ(BlkidProbe::SchemeCode("mac"), 3u);
    EXPECT_EQ(BlkidProbe::SchemeCode("bsd"), 0u);
    EXPECT_EQ(BlkidProbe::SchemeCode(""), 0u);
}

TEST(BlkidProbe, ReadsGptEntriesOfAnImageFile) {
    ScratchDir dir;
    const std::string img = dir / "gpt.img";
    ASSERT_TRUE(Shell("truncate -s 40M " + img +
                      " && sgdisk -n 1:2048:+16M -t 1:ef00 -u 1:11111111-2222-3333-4444-555555555555 "
                      "-n 2:0:0 -t 2:0700 " +
                      img));
    BlkidTable table;
    ASSERT_TRUE(BlkidProbe::ProbeTable(img, 0, table));
    EXPECT_EQ(table.scheme, "gpt");
    ASSERT_EQ(table.partitions.size(), 2u);
    EXPECT_EQ(table.partitions[0].number, 1);
    EXPECT_EQ(table.partitions[0].start512, 2048u);
    EXPECT_EQ(table.partitions[0].size512, 32768u);
    EXPECT_EQ(table.partitions[0].typeString, "c12a7328-f81f-11d2-ba4b-00a0c93ec93b");
    EXPECT_EQ(table.partitions[0].uuid, "11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(table.partitions[1].typeString, "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7");
}

TEST(BlkidProbe, ReadsMbrTypesAndLogicals) {
    ScratchDir dir;
    const std::string img = dir / "mbr.img";
    ASSERT_TRUE(Shell("truncate -s 20M " + img +
                      " && printf 'label: dos\\n2048,4096,83\\n,,5\\n,4096,7\\n,,c\\n' | sfdisk -q " + img));
    BlkidTable table;
    ASSERT_TRUE(BlkidProbe::ProbeTable(img, 0, table));
    EXPECT_EQ(table.scheme, "dos");
    ASSERT_EQ(table.partitions.size(), 4u);
    EXPECT_EQ(table.partitions[0].mbrType, 0x83);
    EXPECT_EQ(table.partitions[1].mbrType, 0x05);
    EXPECT_EQ(table.partitions[2].number, 5);
    EXPECT_EQ(table.partitions[2].mbrType, 0x07);
    EXPECT_EQ(table.partitions[3].number, 6);
}

TEST(BlkidProbe, ReadsApmTypeNames) {
    ScratchDir dir;
    const std::string img = dir / "apm.img";
    ASSERT_TRUE(Shell("truncate -s 20M " + img + " && parted -s " + img + " mklabel mac mkpart data hfs+ 1MiB 10MiB"));
    BlkidTable table;
    ASSERT_TRUE(BlkidProbe::ProbeTable(img, 0, table));
    EXPECT_EQ(table.scheme, "mac");
    ASSERT_FALSE(table.partitions.empty());
    EXPECT_EQ(table.partitions[0].typeString, "Apple_partition_map");
    bool sawHfs = false;
    for (const auto& p : table.partitions) sawHfs |= p.typeString == "Apple_HFS";
    EXPECT_TRUE(sawHfs);
}

TEST(BlkidProbe, FileSystemLabelAndType) {
    ScratchDir dir;
    const std::string img = dir / "fat.img";
    ASSERT_TRUE(Shell("truncate -s 16M " + img + " && mkfs.fat -F 16 -n MYLABEL " + img));
    std::string label, type;
    ASSERT_TRUE(BlkidProbe::ProbeFilesystem(img, 0, label, type));
    EXPECT_EQ(label, "MYLABEL");
    EXPECT_EQ(type, "vfat");
    BlkidTable table;
    ASSERT_TRUE(BlkidProbe::ProbeTable(img, 0, table));
    EXPECT_EQ(table.scheme, "");  // a file system on the whole disk is not a table

    EXPECT_FALSE(BlkidProbe::ProbeFilesystem(dir / "missing.img", 0, label, type));
    EXPECT_FALSE(BlkidProbe::ProbeTable(dir / "missing.img", 0, table));
}

}  // namespace
