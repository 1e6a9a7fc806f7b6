#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/SearchedPartitionInfo.h"

TEST(SearchedPartitionInfo, DefaultsAndSectorSizes) {
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{0, 512},     {100, 512},   {513, 512}, {512, 512},
                                                             {1024, 1024}, {4096, 4096}, {4097, 512}};
    for (const auto& [given, kept] : sizes) {
        CSearchedPartitionInfo p(given);
        EXPECT_EQ(p.GetSectorSize(), kept) << given;
    }
    CSearchedPartitionInfo p(4096);
    EXPECT_EQ(p.GetType(), 4);
    EXPECT_EQ(p.GetPartitionIndex(), 0xFFFF);
    EXPECT_EQ(p.GetFileSystemType(), 10u);
    EXPECT_EQ(p.GetCount(), 1u);
    EXPECT_EQ(p.GetScore(), 0.0);
    EXPECT_EQ(p.GetStartSector(), 0);
    EXPECT_EQ(p.GetCluster0Sector(), 0);
    EXPECT_EQ(p.GetTotalSectors(), 0u);
    EXPECT_FALSE(p.SetSectorSize(0));
    EXPECT_FALSE(p.SetSectorSize(700));
    EXPECT_EQ(p.GetSectorSize(), 4096u);
    EXPECT_TRUE(p.SetSectorSize(512));
    EXPECT_EQ(p.GetSectorSize(), 512u);
}

namespace {

class NtfsLikeRecord : public CSearchedPartitionInfo {
public:
    NtfsLikeRecord() : CSearchedPartitionInfo(512) {}
    int GetType() const override { return 0; }
};

}  // namespace

TEST(SearchedPartitionInfo, AssignmentCopiesFieldsNotTheClass) {
    CSearchedPartitionInfo base(4096);
    base.SetPartitionIndex(3);
    base.SetStartSector(2048);
    base.SetCluster0Sector(2048);
    base.SetScore(0.5);
    NtfsLikeRecord derived;
    static_cast<CSearchedPartitionInfo&>(derived) = base;
    EXPECT_EQ(derived.GetType(), 0);
    EXPECT_EQ(derived.GetPartitionIndex(), 3);
    EXPECT_EQ(derived.GetSectorSize(), 4096u);
    EXPECT_EQ(derived.GetCluster0Sector(), 2048);
    EXPECT_EQ(derived.GetScore(), 0.5);
}

TEST(SearchedPartitionInfo, ImageHasTheGoldenLayoutAndRoundTrips) {
    CSearchedPartitionInfo p(4096);
    p.SetReservedWord(0x1122334455667788ull);
    p.SetPartitionIndex(0x0102);
    p.SetFileSystemType(FILE_SYSTEM_FAT32);
    p.SetSectorsPerCluster(8);
    p.SetStartSector(2048);
    p.SetCluster0Sector(0x0A0B0C0D0E0F1011ll);
    p.SetSecondPosition(-2);
    p.SetThirdPosition(0x33);
    p.SetReservedWord2(0xCAFEBABE);
    p.SetTotalSectors(0x123456789ull);
    p.SetCount(7);
    p.SetScore(1.0);
    p.SetLastWord(0xDEADBEEF);
    p.SetLastWord2(0x01020304);

    std::uint8_t image[CSearchedPartitionInfo::kImageSize];
    std::memset(image, 0xEE, sizeof(image));
    p.WriteImage(image);

    const std::uint8_t expected[104] = {
        0,    0,    0,    0,    0,    0,    0,    0,     // 0: no type pointer in a file
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // 8: reserved word
        0x02, 0x01, 0,    0,                             // 16: partition index, padding
        0x02, 0,    0,    0,                             // 20: file-system type
        0x08, 0,    0,    0,                             // 24: sectors per cluster
        0,    0,    0,    0,                             // 28: padding
        0x00, 0x08, 0,    0,    0,    0,    0,    0,     // 32: start sector 2048
        0x11, 0x10, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A,  // 40: cluster-0 sector
        0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // 48: second position -2
        0x33, 0,    0,    0,    0,    0,    0,    0,     // 56: third position
        0x00, 0x10, 0,    0,                             // 64: sector size 4096
        0xBE, 0xBA, 0xFE, 0xCA,                          // 68: reserved word
        0x89, 0x67, 0x45, 0x23, 0x01, 0,    0,    0,     // 72: total sectors
        0x07, 0,    0,    0,    0,    0,    0,    0,     // 80: count
        0,    0,    0,    0,    0,    0,    0xF0, 0x3F,  // 88: score 1.0
        0xEF, 0xBE, 0xAD, 0xDE,                          // 96: last word
        0x04, 0x03, 0x02, 0x01,                          // 100: last word 2
    };
    EXPECT_EQ(std::vector<std::uint8_t>(image, image + 104), std::vector<std::uint8_t>(expected, expected + 104));

    // A reader rebuilds a base record; bytes 0-15 mean nothing in a file.
    std::memset(image, 0x5A, 16);
    CSearchedPartitionInfo back(512);
    back.ReadImage(image);
    EXPECT_EQ(back.GetReservedWord(), 0u);
    EXPECT_EQ(back.GetPartitionIndex(), 0x0102);
    EXPECT_EQ(back.GetFileSystemType(), 2u);
    EXPECT_EQ(back.GetSectorsPerCluster(), 8u);
    EXPECT_EQ(back.GetStartSector(), 2048);
    EXPECT_EQ(back.GetCluster0Sector(), 0x0A0B0C0D0E0F1011ll);
    EXPECT_EQ(back.GetSecondPosition(), -2);
    EXPECT_EQ(back.GetThirdPosition(), 0x33);
    EXPECT_EQ(back.GetSectorSize(), 4096u);
    EXPECT_EQ(back.GetReservedWord2(), 0xCAFEBABEu);
    EXPECT_EQ(back.GetTotalSectors(), 0x123456789ull);
    EXPECT_EQ(back.GetCount(), 7u);
    EXPECT_EQ(back.GetScore(), 1.0);
    EXPECT_EQ(back.GetLastWord(), 0xDEADBEEFu);
    EXPECT_EQ(back.GetLastWord2(), 0x01020304u);

    // A damaged file's sector size cannot make a record with sector size 0.
    image[64] = image[65] = image[66] = image[67] = 0;
    back.ReadImage(image);
    EXPECT_EQ(back.GetSectorSize(), 512u);
    image[64] = 0x01;
    image[65] = 0x02;  // 513
    back.ReadImage(image);
    EXPECT_EQ(back.GetSectorSize(), 512u);
}

TEST(SearchedPartitionInfo, RunsStartAtTheCluster0SectorOfEachFileSystem) {
    // Three partitions that start at sector 2048. FAT and exFAT runs count
    // from cluster 2, so run start 0 lies at the data region; NTFS runs count
    // from the partition start.
    struct Case {
        const char* what;
        std::uint32_t fileSystem;
        std::uint32_t sectorsPerCluster;
        std::int64_t cluster0;  // what the searcher records
        std::int64_t runStart;
        std::int64_t expected;
    } cases[] = {
        // FAT32: 32 reserved sectors, two FATs of 1009 sectors.
        {"fat32", FILE_SYSTEM_FAT32, 1, 2048 + 32 + 2 * 1009, 3, 2048 + 32 + 2018 + 3},
        // exFAT: cluster heap at sector 2048 + 4096 (cluster 2).
        {"exfat", FILE_SYSTEM_EXFAT, 8, 2048 + 4096, 1, 2048 + 4096 + 8},
        {"ntfs", FILE_SYSTEM_NTFS, 8, 2048, 4, 2048 + 32},
        {"raw, sectors", FILE_SYSTEM_UNKNOWN, 0, 0, 77, 77},
    };
    for (const Case& c : cases) {
        CSearchedPartitionInfo p(512);
        p.SetFileSystemType(c.fileSystem);
        p.SetStartSector(2048);
        p.SetSectorsPerCluster(c.sectorsPerCluster);
        p.SetCluster0Sector(c.cluster0);
        // The answer survives a save and restore as a base record.
        std::uint8_t image[CSearchedPartitionInfo::kImageSize];
        p.WriteImage(image);
        CSearchedPartitionInfo restored(512);
        restored.ReadImage(image);
        for (const CSearchedPartitionInfo* r : {&p, &restored}) {
            std::int64_t sector = -1;
            ASSERT_TRUE(r->GetRunDeviceSector(c.runStart, &sector)) << c.what;
            EXPECT_EQ(sector, c.expected) << c.what;
        }
    }
    CSearchedPartitionInfo p(512);
    p.SetSectorsPerCluster(128);
    p.SetCluster0Sector(2048);
    std::int64_t sector = 0;
    EXPECT_FALSE(p.GetRunDeviceSector(-1, &sector));              // sparse
    EXPECT_FALSE(p.GetRunDeviceSector(INT64_MAX / 64, &sector));  // overflows
    EXPECT_FALSE(p.GetRunDeviceSector(0, nullptr));
}
