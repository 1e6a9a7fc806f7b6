// Pieces of the exFAT deep search on hand-built sectors: entry sets split
// across sectors and joined by checksum, abridged sectors, boot-sector
// candidates, root sets, and candidates covered by stronger ones.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fat/ExFatDeepSearch.h"
#include "fat/ExFatPartitionBuilder.h"
#include "fat/ExFatStructures.h"
#include "support/TempDir.h"
#include "support/LittleEndian.h"

using namespace exfatdeep;

namespace {

constexpr std::uint32_t kStamp = (46u << 25) | (5u << 21) | (17u << 16) | (10u << 11) | (20u << 5) | 3u;

using quillory_test::Put16;
using quillory_test::Put32;
using quillory_test::Put64;

// A whole entry set (file, stream, names) with its checksum.
std::vector<std::uint8_t> EntrySet(const std::string& name, std::uint32_t cluster, std::uint64_t size,
                                   bool folder = false, bool inUse = true) {
    const std::size_t names = (name.size() + 14) / 15;
    std::vector<std::uint8_t> set(32 * (2 + names), 0);
    std::uint8_t* f = set.data();
    f[0] = inUse ? 0x85 : 0x05;
    f[1] = static_cast<std::uint8_t>(1 + names);
    Put16(f + 4, folder ? 0x10 : 0x20);
    Put32(f + 8, kStamp);
    Put32(f + 12, kStamp);
    Put32(f + 16, kStamp);
    std::uint8_t* s = f + 32;
    s[0] = inUse ? 0xC0 : 0x40;
    s[1] = 0x03;  // allocation possible, no FAT chain
    s[3] = static_cast<std::uint8_t>(name.size());
    Put64(s + 8, size);
    Put32(s + 20, cluster);
    Put64(s + 24, size);
    for (std::size_t i = 0; i < name.size(); ++i) {
        std::uint8_t* n = f + 64 + 32 * (i / 15);
        n[0] = inUse ? 0xC1 : 0x41;
        Put16(n + 2 + 2 * (i % 15), static_cast<std::uint8_t>(name[i]));
    }
    Put16(f + 2, ExFatSetChecksum(set.data(), set.size()));
    return set;
}

struct Sector {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(1024, 0);  // the sector and one after it
    std::size_t at = 0;
    void Add(const std::vector<std::uint8_t>& entries) {
        std::memcpy(bytes.data() + at, entries.data(), entries.size());
        at += entries.size();
    }
};

std::vector<std::string> Names(const CFileSet& set) {
    std::vector<std::string> out;
    for (auto& f : set.live) out.push_back(f.name);
    for (auto& f : set.deleted) out.push_back(f.name);
    return out;
}

// Sector 10 ends with the file entry of a set whose stream and name lie at
// the start of sector 40 (the folder's next cluster lies elsewhere): the two
// halves are joined by the set checksum, whichever comes first.
TEST(ExFatDeepPieces, SetSplitOverDistantSectorsIsJoinedByChecksum) {
    const auto split = EntrySet("split-file.txt", 300, 5000);
    ASSERT_EQ(split.size(), 96u);
    Sector head;
    for (int i = 0; i < 5; ++i) head.Add(EntrySet("f" + std::to_string(i) + ".bin", 100 + i, 1000));
    ASSERT_EQ(head.at, 480u);
    head.Add(std::vector<std::uint8_t>(split.begin(), split.begin() + 32));
    // What follows sector 10 on the disk is something else.
    std::memset(head.bytes.data() + 512, 0x7E, 512);
    Sector tail;
    tail.Add(std::vector<std::uint8_t>(split.begin() + 32, split.end()));
    tail.Add(EntrySet("after.txt", 400, 10));

    for (bool headFirst : {true, false}) {
        CFDTPreAnaylze pre;
        pre.Prepare(9, 1 << 20);
        std::unique_ptr<CFileSet> first, second;
        if (headFirst) {
            first = pre.AnalyzeSector(head.bytes.data(), head.bytes.size(), 10);
            ASSERT_TRUE(first);
            EXPECT_EQ(pre.OpenHeads(), 1u);
            second = pre.AnalyzeSector(tail.bytes.data(), tail.bytes.size(), 40);
        } else {
            second = pre.AnalyzeSector(tail.bytes.data(), tail.bytes.size(), 40);
            ASSERT_TRUE(second);
            EXPECT_EQ(pre.OpenTails(), 1u);
            first = pre.AnalyzeSector(head.bytes.data(), head.bytes.size(), 10);
        }
        ASSERT_TRUE(first && second) << headFirst;
        EXPECT_EQ(pre.OpenHeads() + pre.OpenTails(), 0u) << headFirst;
        EXPECT_TRUE(first->flags & FILESET_NOT_END);
        EXPECT_TRUE(second->IsAbridged());
        EXPECT_EQ(second->firstSector, 40);
        // The joined file goes to the set being gathered when the join is made.
        auto& joinedIn = headFirst ? *second : *first;
        const auto names = Names(joinedIn);
        EXPECT_NE(std::find(names.begin(), names.end(), "split-file.txt"), names.end()) << headFirst;
        EXPECT_EQ(Names(*first).size() + Names(*second).size(), 7u) << headFirst;
        if (headFirst) {
            EXPECT_EQ(second->lastSector, 10);
        } else {
            EXPECT_EQ(first->nextSector, 40);
        }
    }

    // A wrong tail (another set's stream and name) is not joined.
    CFDTPreAnaylze pre;
    pre.Prepare(9, 1 << 20);
    pre.AnalyzeSector(head.bytes.data(), head.bytes.size(), 10);
    const auto other = EntrySet("other-name.txt", 300, 5000);
    Sector wrong;
    wrong.Add(std::vector<std::uint8_t>(other.begin() + 32, other.end()));
    auto set = pre.AnalyzeSector(wrong.bytes.data(), wrong.bytes.size(), 41);
    EXPECT_EQ(pre.OpenHeads(), 1u);
    EXPECT_EQ(pre.OpenTails(), 1u);
    EXPECT_TRUE(!set || !set->HasFile());
}

// A set that runs into the next sector as it lies on the disk is an
// ordinary set; a sector of zeros or of file data ends the set; a
// sector that starts with the rest of another sector's set only is
// not handed out.
TEST(ExFatDeepPieces, SectorsAndSets) {
    CFDTPreAnaylze pre;
    pre.Prepare(9, 1 << 20);
    std::vector<std::uint8_t> two(512 * 3, 0);
    std::size_t at = 0;
    for (int i = 0; i < 5; ++i) {
        auto s = EntrySet("g" + std::to_string(i), 50 + i, 100);
        std::memcpy(two.data() + at, s.data(), s.size());
        at += s.size();
    }
    const auto across = EntrySet("across-the-edge.dat", 90, 100);
    std::memcpy(two.data() + at, across.data(), across.size());
    at += across.size();
    EXPECT_FALSE(pre.AnalyzeSector(two.data(), two.size(), 7));
    auto set = pre.AnalyzeSector(two.data() + 512, two.size() - 512, 8);
    ASSERT_TRUE(set);
    EXPECT_EQ(set->firstSector, 7);
    EXPECT_EQ(set->sectorCount, 2);
    EXPECT_EQ(Names(*set).size(), 6u);
    EXPECT_FALSE(set->flags & FILESET_NOT_END);

    // A lone continuation: abridged, no file, nothing handed out.
    std::vector<std::uint8_t> lone(1024, 0);
    std::memcpy(lone.data(), across.data() + 32, 64);
    EXPECT_FALSE(pre.AnalyzeSector(lone.data(), lone.size(), 30));
    EXPECT_EQ(pre.OpenTails(), 1u);
    // Random data and zeros are no directory sectors.
    std::vector<std::uint8_t> noise(1024);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 37 + 11);
    EXPECT_FALSE(pre.AnalyzeSector(noise.data(), noise.size(), 31));
    EXPECT_FALSE(pre.FinishSet());
}

std::vector<std::uint8_t> BootSector() {
    std::vector<std::uint8_t> b(512, 0);
    std::memcpy(b.data() + 3, "EXFAT   ", 8);
    Put64(b.data() + 72, 16384);  // volume length
    Put32(b.data() + 80, 2048);   // FAT offset
    Put32(b.data() + 84, 16);     // FAT length
    Put32(b.data() + 88, 4096);   // cluster heap offset
    Put32(b.data() + 92, 1536);   // clusters
    Put32(b.data() + 96, 5);      // root cluster
    b[108] = 9;
    b[109] = 3;
    b[110] = 1;
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

TEST(ExFatDeepPieces, BootSectorsMakeMainAndBackupCandidates) {
    const auto boot = BootSector();
    ASSERT_TRUE(CExFatDBR(boot.data()).IsValid(512));
    {
        CPartitionBuilder b;
        b.PrepareBuild(512, 1 << 20);
        b.Build(1000, boot.data());
        b.Build(1012, boot.data());
        ASSERT_EQ(b.Candidates().size(), 1u);
        const CExFatPartitionEx* p = b.FindPartition(1000 + 4096, 8);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->m_flags, EXFAT_EVIDENCE_MAIN_BOOT | EXFAT_EVIDENCE_BACKUP_BOOT);
        EXPECT_EQ(p->m_partitionStart, 1000);
        EXPECT_EQ(p->m_rootCluster, 5u);
        EXPECT_EQ(b.FindPartition(988 + 4096, 8), nullptr);
        EXPECT_TRUE(b.IsPartitionRemoved(988 + 4096, 8));
        b.RecordFAT(1000 + 2048);
        EXPECT_TRUE(p->m_flags & EXFAT_EVIDENCE_FAT1);
    }
    {
        CPartitionBuilder b;
        b.PrepareBuild(512, 1 << 20);
        b.Build(5, boot.data());
        ASSERT_EQ(b.Candidates().size(), 1u);
        EXPECT_EQ(b.Candidates()[0]->m_flags, EXFAT_EVIDENCE_MAIN_BOOT);
    }
}

// A root set with the bitmap at cluster 2 and the up-case table at 3: the
// root is tried from cluster 4, never below.
TEST(ExFatDeepPieces, RootSetTriesRootClustersPastBitmapAndUpCase) {
    std::vector<std::uint8_t> sector(1024, 0);
    std::uint8_t* e = sector.data();
    e[0] = 0x83;
    e[1] = 2;
    Put16(e + 2, 'Q');
    Put16(e + 4, 'X');
    e += 32;
    e[0] = 0x81;
    Put32(e + 20, 2);
    Put64(e + 24, 192);
    e += 32;
    e[0] = 0x82;
    Put32(e + 4, 0xE619D30D);
    Put32(e + 20, 3);
    Put64(e + 24, 5836);
    e += 32;
    const auto file = EntrySet("a.txt", 9, 1000);
    std::memcpy(e, file.data(), file.size());

    CFDTPreAnaylze pre;
    pre.Prepare(9, 1 << 20);
    auto set = pre.AnalyzeSector(sector.data(), sector.size(), 20000);
    ASSERT_TRUE(set);
    EXPECT_TRUE(set->IsRoot());
    EXPECT_EQ(set->lowestRootCluster, 4u);
    EXPECT_EQ(set->totalClusters, 1536u);
    EXPECT_EQ(set->label, "QX");

    CPartitionBuilder b;
    b.PrepareBuild(512, 1 << 20);
    b.PushFileSet(std::move(set), -1, -1);
    b.Build(20000 + 9 + 0x2000001);  // far enough past to infer
    ASSERT_FALSE(b.Candidates().empty());
    bool four = false;
    for (const CExFatPartitionEx* p : b.Candidates()) {
        EXPECT_GE(p->m_rootCluster, 4u);
        EXPECT_LE(p->m_rootCluster, 8u);
        EXPECT_EQ(p->m_flags, EXFAT_EVIDENCE_ROOT);
        EXPECT_EQ(20000 - p->m_dataRegionStart,
                  static_cast<std::int64_t>(p->m_rootCluster - 2) * p->m_sectorsPerCluster);
        four = four || p->m_rootCluster == 4;
    }
    EXPECT_TRUE(four);
}

TEST(ExFatDeepPieces, CandidatesCoveredByStrongerOnesAreDropped) {
    struct Case {
        std::vector<std::int64_t> strong, weak;
        std::size_t handedOver;
    } cases[] = {
        {{100, 200, 300}, {100, 200}, 1},  // the stronger holds all of the weaker's sets
        {{100, 200}, {100, 200, 300}, 2},  // only the weaker covers the stronger
        {{100, 200}, {100, 400}, 2},       // neither covers the other
    };
    for (const Case& c : cases) {
        CPartitionBuilder b;
        b.PrepareBuild(512, 1 << 20);
        CExFatPartitionEx* strong = b.AddCandidate(64, 8, EXFAT_EVIDENCE_MAIN_BOOT);
        CExFatPartitionEx* weak = b.AddCandidate(32, 8, EXFAT_EVIDENCE_TREE);
        ASSERT_TRUE(strong && weak);
        strong->m_matched.insert(c.strong.begin(), c.strong.end());
        weak->m_matched.insert(c.weak.begin(), c.weak.end());
        std::vector<CExFatPartitionEx*> kept{weak, strong}, out;
        b.RemovePartionBeCoveredByOther(kept, out);
        ASSERT_EQ(out.size(), c.handedOver);
        EXPECT_EQ(out[0], strong);
        for (CExFatPartitionEx* p : out) delete p;
    }
}

}  // namespace
