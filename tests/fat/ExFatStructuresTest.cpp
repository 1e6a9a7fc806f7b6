// exFAT structures and the entry-set analyser on hand-built buffers.
#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fat/ExFatQuickSearch.h"
#include "fat/ExFatStructures.h"
#include "foundation/DataRun.h"
#include "storage/MemoryDevice.h"
#include "support/LittleEndian.h"

namespace {

using quillory_test::Put16;
using quillory_test::Put32;
using quillory_test::Put64;

// A boot sector: heap at 128, FAT at 32 (length 64), `count` clusters of
// 2^spcShift sectors, volume length heap + (count - 1) << spcShift.
std::vector<std::uint8_t> BootSector(std::uint8_t bpsShift, std::uint8_t spcShift, std::uint32_t count) {
    std::vector<std::uint8_t> s(4096, 0);
    s[0] = 0xEB;
    s[1] = 0x76;
    s[2] = 0x90;
    std::memcpy(&s[3], "EXFAT   ", 8);
    Put64(&s[72], 128 + (static_cast<std::uint64_t>(count - 1) << spcShift));
    Put32(&s[80], 32);
    Put32(&s[84], 64);
    Put32(&s[88], 128);
    Put32(&s[92], count);
    Put32(&s[96], 4);
    s[108] = bpsShift;
    s[109] = spcShift;
    s[110] = 1;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(ExFatStructures, BootSectorValidity) {
    struct Case {
        const char* what;
        std::uint32_t sectorSize;
        std::uint8_t bps, spc;
        std::function<void(std::vector<std::uint8_t>&)> patch;
        bool valid;
    } cases[] = {
        {"heap + (count-1) x spc == length", 512, 9, 3, nullptr, true},
        {"one sector more than the volume", 512, 9, 3, [](auto& s) { Put64(&s[72], byteorder::LE64(&s[72]) - 1); },
         false},
        {"4 KiB sectors, cluster shift 13", 4096, 12, 13, nullptr, true},
        {"4 KiB sectors, cluster shift 14", 4096, 12, 14, nullptr, false},
        {"sector size differs from device", 4096, 9, 3, nullptr, false},
        {"bad signature", 512, 9, 3, [](auto& s) { s[511] = 0; }, false},
        {"bad name", 512, 9, 3, [](auto& s) { s[3] = 'N'; }, false},
        {"non-zero in the zero area", 512, 9, 3, [](auto& s) { s[40] = 1; }, false},
        {"three FATs", 512, 9, 3, [](auto& s) { s[110] = 3; }, false},
        {"root cluster 1", 512, 9, 3, [](auto& s) { Put32(&s[96], 1); }, false},
        {"FAT runs into the heap", 512, 9, 3, [](auto& s) { Put32(&s[84], 97); }, false},
        {"zero cluster count", 512, 9, 3, [](auto& s) { Put32(&s[92], 0); }, false},
    };
    for (const Case& c : cases) {
        auto s = BootSector(c.bps, c.spc, 1000);
        if (c.patch) c.patch(s);
        EXPECT_EQ(CExFatDBR(s.data()).IsValid(c.sectorSize), c.valid) << c.what;
    }
    auto s = BootSector(9, 3, 1000);
    CExFatDBR dbr(s.data());
    EXPECT_EQ(dbr.GetFileSystemType(), FILE_SYSTEM_EXFAT);
    EXPECT_EQ(dbr.GetSectorsperCluster(), 8u);
    EXPECT_EQ(dbr.GetDataRegionStartSector(), 128u);
}

// Clusters run from 2 to count + 1; a FAT length too short for them must not
// make the last two unreachable.
TEST(ExFatStructures, ClusterLimit) {
    struct Case {
        const char* what;
        std::uint32_t count, fatSectors;
        std::uint64_t limit;
    } cases[] = {
        {"FAT longer than needed", 1000, 64, 64 * 128},
        {"FAT exactly count + 2 entries", 64 * 128 - 2, 64, 64 * 128},
        {"FAT two entries short", 64 * 128, 64, 64 * 128 + 2},
        {"FAT far too short", 100000, 1, 100002},
    };
    for (const Case& c : cases) {
        auto s = BootSector(9, 0, c.count);
        Put32(&s[84], c.fatSectors);
        EXPECT_EQ(CExFatDBR(s.data()).GetClusterLimit(), c.limit) << c.what;
    }
}

// A 512-byte-sector device whose FAT (at sector 8) holds entry c = c + 1.
struct FatDevice {
    static constexpr std::int64_t kFatStart = 8;
    static constexpr std::uint32_t kFatSectors = 2048 * 12;  // 12 blocks of 1 MiB
    CMemoryStorageDevice dev{512, kFatStart + kFatSectors + 64};
    FatDevice() {
        std::uint8_t* fat = dev.Bytes().data() + kFatStart * 512;
        for (std::uint32_t c = 0; c < kFatSectors * 128; ++c) Put32(fat + 4ull * c, c + 1);
    }
};

TEST(ExFatStructures, FatBlocksAreReadOnDemandAndTheLowestIsDropped) {
    FatDevice f;
    CFatTable fat;
    EXPECT_EQ(fat.GetNextCluster(5), EXFAT_NO_CLUSTER) << "nothing cached yet";
    ASSERT_TRUE(fat.CreateFatTable(&f.dev, FatDevice::kFatStart, FatDevice::kFatSectors, 1000));
    EXPECT_TRUE(fat.IsValid());
    const std::int64_t afterCreate = f.dev.ReadCalls();
    EXPECT_EQ(fat.GetNextCluster(7), 8u);
    EXPECT_EQ(f.dev.ReadCalls(), afterCreate) << "the first block came with the table";
    // Cluster 262,144 + 3 lies in the second block: one read.
    EXPECT_EQ(fat.GetNextCluster(262144 + 3), 262144u + 4);
    EXPECT_EQ(f.dev.ReadCalls(), afterCreate + 1);
    EXPECT_EQ(fat.GetNextCluster(262144 + 9), 262144u + 10);
    EXPECT_EQ(f.dev.ReadCalls(), afterCreate + 1);
    for (std::uint32_t b = 2; b < 9; ++b) EXPECT_EQ(fat.GetNextCluster(b * 262144), b * 262144 + 1);
    EXPECT_EQ(fat.GetCachedBlockCount(), 9u);
    EXPECT_EQ(fat.GetNextCluster(10 * 262144 + 1), 10u * 262144 + 2);
    EXPECT_EQ(fat.GetCachedBlockCount(), 9u);
    EXPECT_FALSE(fat.IsBlockCached(FatDevice::kFatStart)) << "the lowest key makes room";
    EXPECT_TRUE(fat.IsBlockCached(FatDevice::kFatStart + 2048));
    // Beyond the table: no entry, no read.
    const std::int64_t before = f.dev.ReadCalls();
    EXPECT_EQ(fat.GetNextCluster(0xFFFFFFF0u), EXFAT_NO_CLUSTER);
    EXPECT_EQ(f.dev.ReadCalls(), before);
    fat.ClearFatData();
    EXPECT_FALSE(fat.IsValid());
}

TEST(ExFatStructures, FirstBlockIsZeroBeyondTheTable) {
    CMemoryStorageDevice dev(512, 4096);
    std::vector<std::uint8_t> ones(512 * 4096, 0xAB);
    dev.Write(0, ones.data(), ones.size());
    CFatTable fat;
    // A 2-sector FAT: entries 0-255 are the table, everything after is not.
    ASSERT_TRUE(fat.CreateFatTable(&dev, 10, 2, 200));
    EXPECT_EQ(fat.GetNextCluster(255), 0xABABABABu);
    EXPECT_EQ(fat.GetNextCluster(256), EXFAT_NO_CLUSTER);
    CFatTable refused;
    EXPECT_FALSE(refused.CreateFatTable(&dev, 4000, 96, 200)) << "table reaches the device end";
    EXPECT_FALSE(refused.CreateFatTable(nullptr, 10, 2, 200));
    EXPECT_FALSE(refused.CreateFatTable(&dev, 10, 0, 200));
    dev.FailSector(11);
    EXPECT_FALSE(refused.CreateFatTable(&dev, 10, 2, 200));
    EXPECT_FALSE(refused.IsValid());
}

TEST(ExFatStructures, RunLists) {
    FatDevice f;
    // Damaged chains: 20 -> 21 -> 20 and 30 -> 30 loop.
    std::uint8_t* fat = f.dev.Bytes().data() + FatDevice::kFatStart * 512;
    Put32(fat + 4 * 21, 20);
    Put32(fat + 4 * 30, 30);
    CExFatPartition p;
    ASSERT_TRUE(p.CreateFatTable(&f.dev, FatDevice::kFatStart, FatDevice::kFatSectors, 100000));
    p.m_sectorsPerCluster = 8;
    p.m_clusterBytes = 4096;
    p.m_totalClusters = 100000;
    p.m_dataRegionStart = 1000;
    EXPECT_EQ(p.ConvertClusterNumToSector(2), 1000);
    EXPECT_EQ(p.ConvertClusterNumToSector(5), 1024);
    EXPECT_EQ(p.ConvertClusterNumToSector(1), 0);
    EXPECT_EQ(p.ConvertSectorToClusterNum(1024), 5u);
    EXPECT_EQ(p.GetNextCluster(99999, false), EXFAT_NO_CLUSTER) << "at the cluster count";
    EXPECT_EQ(p.GetNextCluster(40, true), 41u);

    struct Case {
        const char* what;
        std::int64_t size;
        std::uint32_t first;
        std::uint8_t noFatChain;
        std::uint16_t attributes;
        std::vector<DataRun> runs;
    } cases[] = {
        {"no FAT chain, 1 byte", 1, 10, 1, 0, {{8, 1}}},
        {"no FAT chain, 3 clusters and a byte", 3 * 4096 + 1, 10, 1, 0, {{8, 4}}},
        {"FAT chain (c -> c + 1) merges", 3 * 4096, 10, 0, 0, {{8, 3}}},
        {"folder", 4096, 10, 1, EXFAT_ATTR_DIRECTORY, {}},
        {"empty file", 0, 10, 1, 0, {}},
        {"first cluster 1", 100, 1, 1, 0, {}},
        {"first cluster past the last", 100, 0xFFFFFFF6u, 1, 0, {}},
        {"looping chain, huge size", std::int64_t{1} << 60, 20, 0, 0, {{18, 2}}},
        {"chain onto itself, huge size", std::int64_t{1} << 60, 30, 0, 0, {{28, 1}}},
        {"no FAT chain past the partition end", 100 * 4096, 99990, 1, 0, {{99988, 10}}},
        {"no FAT chain, huge size", std::int64_t{1} << 60, 10, 1, 0, {{8, 99990}}},
        {"first cluster past the partition", 4096, 100000, 1, 0, {}},
    };
    for (const Case& c : cases) {
        _tagFileBaseInfo info;
        info.size = c.size;
        info.firstCluster = c.first;
        info.noFatChain = c.noFatChain;
        info.attributes = c.attributes;
        IDataRunList* runs = p.BuildFileDataRun(info);
        ASSERT_NE(runs, nullptr) << c.what;
        std::vector<DataRun> got;
        for (DataRun* r = runs->GetFirst(); r; r = runs->GetNext()) got.push_back(*r);
        runs->Release();
        ASSERT_EQ(got.size(), c.runs.size()) << c.what;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].start, c.runs[i].start) << c.what;
            EXPECT_EQ(got[i].length, c.runs[i].length) << c.what;
        }
    }
}

// A set: file entry, stream, name entries for `name` (ASCII or UTF-16 units).
std::vector<std::uint8_t> EntrySet(const std::u16string& name, std::uint32_t first, std::uint64_t size,
                                   bool deleted = false, std::uint16_t attributes = 0x20, std::uint8_t flags = 0x03) {
    const int names = static_cast<int>((name.size() + 14) / 15);
    std::vector<std::uint8_t> s(32 * (2 + names), 0);
    s[0] = 0x85;
    s[1] = static_cast<std::uint8_t>(1 + names);
    Put16(&s[4], attributes);
    const std::uint32_t stamp = (static_cast<std::uint32_t>((44 << 9) | (3 << 5) | 15) << 16) | (10 << 11);
    Put32(&s[8], stamp);
    Put32(&s[12], stamp);
    Put32(&s[16], stamp);
    s[32] = 0xC0;
    s[33] = flags;
    s[35] = static_cast<std::uint8_t>(name.size());
    Put64(&s[40], size);
    Put32(&s[52], first);
    Put64(&s[56], size);
    for (int n = 0; n < names; ++n) {
        std::uint8_t* e = &s[64 + 32 * n];
        e[0] = 0xC1;
        for (int i = 0; i < 15; ++i) {
            const std::size_t at = static_cast<std::size_t>(n) * 15 + i;
            if (at < name.size()) Put16(e + 2 + 2 * i, name[at]);
        }
    }
    Put16(&s[2], ExFatSetChecksum(s.data(), s.size()));
    if (deleted)
        for (std::size_t i = 0; i < s.size(); i += 32) s[i] &= 0x7F;
    return s;
}

CEFDTAnalyze Analyzer() {
    CEFDTAnalyze a;
    a.Prepare(9, 12, 1 << 20);
    a.SetSkipBenign(true);
    return a;
}

std::vector<std::string> Names(CEFDTAnalyze& a) {
    std::vector<std::string> out;
    for (auto& r : a.GetRecords()) out.push_back(r.name);
    return out;
}

TEST(ExFatStructures, DeletedSetChecksumOverInUseCodes) {
    auto live = EntrySet(u"hello.txt", 10, 100);
    const std::uint16_t sum = byteorder::LE16(&live[2]);
    EXPECT_TRUE(CheckDirEntry(live.data(), live.size(), sum));
    auto deleted = EntrySet(u"hello.txt", 10, 100, true);
    EXPECT_TRUE(CheckDirEntry(deleted.data(), deleted.size(), sum));
    deleted[70] ^= 1;
    EXPECT_FALSE(CheckDirEntry(deleted.data(), deleted.size(), sum));
    EXPECT_TRUE(CheckDirEntry(nullptr, 0, 0));
    EXPECT_FALSE(CheckDirEntry(live.data(), 0, 1));
}

TEST(ExFatStructures, TimestampsAndNameTable) {
    EXPECT_FALSE(IsValidExFatTimestamp(0)) << "day 0";
    const std::uint32_t ok = (static_cast<std::uint32_t>((44 << 9) | (3 << 5) | 15) << 16) | (10 << 11);
    EXPECT_TRUE(IsValidExFatTimestamp(ok));
    EXPECT_FALSE(IsValidExFatTimestamp(ok | (13u << 21))) << "month 13";
    EXPECT_FALSE(IsValidExFatTimestamp(ok | (3u << 14))) << "hour 24+";
    EXPECT_FALSE(IsValidExFatTimestamp(ok | (15u << 1))) << "seconds 60";
    setenv("TZ", "UTC", 1);
    tzset();
    // 2024-03-15 10:00:00 UTC.
    EXPECT_EQ(DosTime2FileTime(ok), 1710496800LL * 10000000 + 116444736000000000LL);
    EXPECT_EQ(g_u8FileNameCheckTable['a'], 1);
    EXPECT_EQ(g_u8FileNameCheckTable[0x1A], 1);
    EXPECT_EQ(g_u8FileNameCheckTable[0x19], 0);
    for (char c : std::string("\"*/:<>?\\|")) EXPECT_EQ(g_u8FileNameCheckTable[static_cast<std::uint8_t>(c)], 0) << c;
    EXPECT_EQ(g_u8FileNameCheckTable[0xFF], 0);
}

TEST(ExFatAnalyzer, SetsAcrossBuffersAndDeletedSets) {
    auto a = Analyzer();
    auto one = EntrySet(u"a rather long name that takes three entries", 10, 5000);
    auto two = EntrySet(u"gone.bin", 20, 1, true);
    std::vector<std::uint8_t> all = one;
    all.insert(all.end(), two.begin(), two.end());
    // Split in the middle of the first set: the set continues in the next buffer.
    EXPECT_TRUE(a.Analyze(all.data(), 64, 100));
    EXPECT_TRUE(a.Analyze(all.data() + 64, all.size() - 64, 101));
    ASSERT_EQ(Names(a), (std::vector<std::string>{"a rather long name that takes three entries", "gone.bin"}));
    EXPECT_EQ(a.GetRecords()[0].inUse, 1);
    EXPECT_EQ(a.GetRecords()[0].entrySector, 100);
    EXPECT_EQ(a.GetRecords()[0].size, 5000);
    EXPECT_EQ(a.GetRecords()[1].inUse, 0);
    EXPECT_EQ(a.GetRecords()[1].firstCluster, 20u);
}

TEST(ExFatAnalyzer, EdgeCases) {
    std::vector<std::uint8_t> guid(32, 0), label(32, 0), zero(32, 0);
    guid[0] = 0xA0;
    label[0] = 0x83;
    label[1] = 2;
    label[2] = 'Q';
    label[4] = 'X';
    auto first = EntrySet(u"first", 10, 10);
    auto second = EntrySet(u"second", 11, 10);
    auto starName = EntrySet(u"bad*name", 12, 10);
    auto stray = EntrySet(u"stray", 13, 10);
    // A set whose stream does not follow its file entry: a name entry sits between.
    std::vector<std::uint8_t> split(stray.begin(), stray.begin() + 32);
    split.insert(split.end(), stray.begin() + 64, stray.begin() + 96);
    split.insert(split.end(), stray.begin() + 32, stray.begin() + 64);
    auto cat = [](std::initializer_list<std::vector<std::uint8_t>> parts) {
        std::vector<std::uint8_t> out;
        for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool ok;
        std::vector<std::string> names;
    } cases[] = {
        {"label, GUID entry, two sets", cat({label, guid, first, second}), true, {"first", "second"}},
        {"stream out of place: set dropped, walk goes on", cat({split, second}), true, {"second"}},
        {"'*' in a name ends the walk, earlier sets kept", cat({first, starName, second}), false, {"first"}},
        {"end of folder (0x00) is a fault", cat({first, zero, second}), false, {"first"}},
        {"bad checksum drops the set",
         [&] {
             auto b = first;
             b[2] ^= 1;
             return cat({b, second});
         }(),
         true,
         {"second"}},
        {"secondary count 1 is a fault",
         [&] {
             auto b = first;
             b[1] = 1;
             return cat({second, b});
         }(),
         false,
         {"second"}},
    };
    for (const Case& c : cases) {
        auto a = Analyzer();
        EXPECT_EQ(a.Analyze(c.bytes.data(), c.bytes.size(), 0), c.ok) << c.what;
        EXPECT_EQ(Names(a), c.names) << c.what;
    }
    // The deep road keeps the benign types strict.
    auto strict = Analyzer();
    strict.SetSkipBenign(false);
    auto bytes = cat({first, guid, second});
    EXPECT_FALSE(strict.Analyze(bytes.data(), bytes.size(), 0));
}

TEST(ExFatAnalyzer, NamesAreUtf8AndCutOnACharacterBoundary) {
    // 255 characters of U+00E9: 510 bytes in UTF-8, cut to 259 -> 258 bytes.
    std::u16string longName(255, u'\u00e9');
    auto a = Analyzer();
    auto s = EntrySet(longName, 10, 10);
    ASSERT_TRUE(a.Analyze(s.data(), s.size(), 0));
    ASSERT_EQ(a.GetRecords().size(), 1u);
    const std::string name = a.GetRecords()[0].name;
    EXPECT_EQ(name.size(), 258u);
    EXPECT_EQ(name.substr(0, 4), "\xC3\xA9\xC3\xA9");
    // A surrogate pair split across two name entries stays one character.
    std::u16string pair(14, u'x');
    pair += u'\xD83D';
    pair += u'\xDE00';
    auto b = Analyzer();
    auto t = EntrySet(pair, 10, 10);
    ASSERT_TRUE(b.Analyze(t.data(), t.size(), 0));
    ASSERT_EQ(b.GetRecords().size(), 1u);
    EXPECT_EQ(std::string(b.GetRecords()[0].name), std::string(14, 'x') + "\xF0\x9F\x98\x80");
}

TEST(ExFatNode, BuildAndClone) {
    CExFatPartition p;
    p.m_clusterBytes = 4096;
    p.m_totalClusters = 1000;
    _tagFileBaseInfo info;
    info.size = 5000;
    info.firstCluster = 10;
    info.noFatChain = 1;
    info.inUse = 0;
    info.attributes = 0x20;
    info.create = info.modified = info.accessed = (static_cast<std::uint32_t>((44 << 9) | (3 << 5) | 15) << 16);
    info.entrySector = 77;
    std::strcpy(info.name, "x.bin");
    CExFatFileNode* node = p.BuildFile(info);
    EXPECT_STREQ(node->GetFileName(), "x.bin");
    EXPECT_EQ(node->IsDeleted(), 1);
    EXPECT_TRUE(node->IsFatInvalid());
    EXPECT_EQ(node->GetAttribute(), 0x20u);
    EXPECT_EQ(node->GetSearcheType(), SEARCHER_DEFAULT);
    EXPECT_EQ(node->GetMetadataStartPosition(), 77);
    node->SetID(5);
    node->SetParentID(6);
    auto* copy = static_cast<CExFatFileNode*>(node->Clone());
    EXPECT_STREQ(copy->GetFileName(), "x.bin");
    EXPECT_EQ(copy->IsDeleted(), 1);
    EXPECT_EQ(copy->GetCurrentNodeID(), 5);
    EXPECT_EQ(copy->GetParentNodeID(), 6);
    ASSERT_NE(copy->GetDataRunList(), nullptr);
    EXPECT_NE(copy->GetDataRunList(), node->GetDataRunList());
    EXPECT_EQ(copy->GetDataRunList()->GetFirst()->length, 2);
    copy->Release();
    node->Release();
}

}  // namespace
