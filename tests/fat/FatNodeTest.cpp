// FAT nodes, properties made from directory entries and partition records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "FatTestSupport.h"
#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "foundation/DataRun.h"

using namespace fattest;

namespace {
struct UtcZone {
    UtcZone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
}  // namespace

TEST(FatProperties, DosTimesUnderUtc) {
    UtcZone utc;
    // 2024-03-15 13:45:30 = 1710510330 s since 1970.
    const std::uint16_t date = ((2024 - 1980) << 9) | (3 << 5) | 15;
    const std::uint16_t time = (13 << 11) | (45 << 5) | 15;
    std::int64_t ft = -1;
    EXPECT_TRUE(DosDateTimeToFileTime(date, time, &ft));
    EXPECT_EQ(ft, 1710510330LL * 10000000LL + 0x019DB1DED53E8000LL);
    // An unset date is no time, not 1979-11-30.
    EXPECT_FALSE(DosDateTimeToFileTime(0, 0, &ft));
    EXPECT_EQ(ft, 0);
    EXPECT_EQ(SecondsSince1970ToFileTime(0), 0x019DB1DED53E8000LL);
}

TEST(FatProperties, EntryFieldsAndStates) {
    UtcZone utc;
    auto erased = ShortEntry("\xE5OST    TXT", 0x20, 5, 1234, 0, 0);
    CFATFileProperties* p =
        CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(erased.data(), erased.size());
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->GetFileName(), "#OST.TXT");
    EXPECT_EQ(p->GetFileSize(), 1234);
    EXPECT_EQ(p->GetState() & 1, 1);
    EXPECT_EQ(p->GetCreationTime(), 0);
    CFATFileNode node;
    node.SetFileProperties(p);
    EXPECT_EQ(node.IsDeleted(), 1);
    EXPECT_EQ(node.GetSearcheType(), SEARCHER_FAT);

    auto dir = ShortEntry("FOLDER     ", 0x30, 9, 0);
    CFATFileNode folder;
    folder.SetFileProperties(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntry("FOLDER", dir.data()));
    EXPECT_EQ(folder.IsDirectory(), 1);
    EXPECT_EQ(folder.IsDeleted(), 0);
    folder.MarkDeleted();
    EXPECT_EQ(folder.IsDeleted(), 1);
    EXPECT_EQ(folder.GetSearcheType(), SEARCHER_FAT);
    EXPECT_EQ(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntry("x", nullptr), nullptr);
}

TEST(FatProperties, LongNamesJoin) {
    auto group = Join({LongEntries("A Name Made Of Three Pieces Here.txt"), ShortEntry("ANAMEM~1TXT", 0x20, 3, 10)});
    ASSERT_EQ(group.size(), 4u * 32);
    CFATFileProperties* p =
        CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(group.data(), group.size());
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->GetFileName(), "A Name Made Of Three Pieces Here.txt");
    CFATFileProperties::Destory(p);

    // An invalid long name falls back to the short name.
    auto bad = Join({LongEntries("what?.txt"), ShortEntry("WHAT    TXT", 0x20, 3, 10)});
    p = CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(bad.data(), bad.size());
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->GetFileName(), "WHAT.TXT");
    CFATFileProperties::Destory(p);

    // A gathered name reaching 2047 bytes gives none; no short entry gives none.
    auto huge = Join({LongEntries(std::string(2050, 'x')), ShortEntry("X       TXT", 0x20, 3, 10)});
    EXPECT_EQ(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(huge.data(), huge.size()), nullptr);
    auto alone = LongEntries("orphan.txt");
    EXPECT_EQ(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(alone.data(), alone.size()), nullptr);
}

TEST(FatNode, CloneAndAdopt) {
    auto* props = CFATFileProperties::Create();
    props->SetFileName("data.bin");
    props->SetFirstClusterNum(77);
    props->SetParentFirstClusterNum(5);
    props->SetMetaDataSector(1234);
    auto* runs = CreateDataRunList();
    DataRun r{75, 3};
    runs->AddDataRun(&r);
    CFATFileNode node;
    node.SetFileProperties(props);
    node.SetDataRunList(runs);
    EXPECT_EQ(node.GetCurrentNodeID(), 77);
    EXPECT_EQ(node.GetParentNodeID(), 5);
    EXPECT_EQ(node.GetMetadataStartPosition(), 1234);
    IFileNode* copy = node.Clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->GetFileName(), "data.bin");
    EXPECT_EQ(copy->GetCurrentNodeID(), 77);
    auto* fc = static_cast<CFATFileNode*>(copy);
    ASSERT_NE(fc->GetDataRunList(), nullptr);
    EXPECT_NE(fc->GetDataRunList(), runs);
    EXPECT_EQ(fc->GetDataRunList()->GetFirst()->length, 3);
    fc->SetFileName(".hidden");
    fc->FilterFileNameByDot();
    EXPECT_STREQ(fc->GetFileName(), ".hidden");
    node.AdoptPropertiesFrom(*fc);
    EXPECT_STREQ(node.GetFileName(), ".hidden");
    copy->Release();
}

TEST(FatPartitionRecord, CloneKeepsGeometryNotVotes) {
    CFATSearchedPartitionInfo* info = CreateFATSearchedPartitionInfo(4096);
    EXPECT_EQ(info->GetType(), 1);
    info->SetPartitionIndex(3);
    info->SetFileSystemType(2);
    info->SetSectorsPerCluster(8);
    info->SetStartSector(2048);
    info->SetDataStartSector(2048 + 32 + 2 * 760);
    info->SetTotalSectors(98304);
    info->SetReservedSector(32);
    info->SetSectorPerFAT(760);
    info->SetTotalCluster(12000);
    info->SetRootInfo(2);
    info->MergeFlag(FAT_FLAG_FAT32_DBR);
    info->MergeFlag(FAT_FLAG_FAT1_USABLE);
    info->SetVotes(9);
    info->SetCount(77);
    CFATSearchedPartitionInfo* copy = info->Clone();
    EXPECT_EQ(copy->GetSectorSize(), 4096u);
    EXPECT_EQ(copy->GetPartitionIndex(), 3);
    EXPECT_EQ(copy->GetFileSystemType(), 2u);
    EXPECT_EQ(copy->GetStartSector(), 2048);
    EXPECT_EQ(copy->GetCluster0Sector(), 2048 + 32 + 2 * 760);
    EXPECT_EQ(copy->GetRootInfo(), 2u);
    EXPECT_EQ(copy->GetFlag(), FAT_FLAG_FAT32_DBR | FAT_FLAG_FAT1_USABLE);
    EXPECT_EQ(copy->GetTotalCluster(), 12000u);
    EXPECT_EQ(copy->GetVotes(), 0);
    EXPECT_EQ(copy->GetCount(), 1u);
    DestroyFATSearchedPartitionInfo(copy);
    DestroyFATSearchedPartitionInfo(info);
}
