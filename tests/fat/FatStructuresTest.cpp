// Boot sectors, tables, directory entries and long names on hand-built bytes
// and on mkfs.fat images.
#include <gtest/gtest.h>

#include <cstring>

#include "FatTestSupport.h"
#include "fat/FATStructures.h"
#include "fat/FATTable.h"
#include "fat/FATVolume.h"
#include "support/LittleEndian.h"

using namespace fattest;

namespace {

using quillory_test::Put16;
using quillory_test::Put32;

std::vector<std::uint8_t> Fat16Boot(std::uint16_t rootEntries = 512, std::uint16_t bps = 512) {
    std::vector<std::uint8_t> b(512, 0);
    b[0] = 0xEB;
    Put16(&b[11], bps);
    b[13] = 4;
    Put16(&b[14], 4);
    b[16] = 2;
    Put16(&b[17], rootEntries);
    Put16(&b[19], 0);
    Put16(&b[22], 64);
    Put32(&b[32], 65536);
    std::memcpy(&b[54], "FAT16   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

std::vector<std::uint8_t> Fat32Boot() {
    std::vector<std::uint8_t> b(512, 0);
    b[0] = 0xEB;
    Put16(&b[11], 512);
    b[13] = 1;
    Put16(&b[14], 32);
    b[16] = 2;
    Put32(&b[32], 98304);
    Put32(&b[36], 760);
    Put32(&b[44], 2);
    std::memcpy(&b[82], "fat32   ", 8);  // the label test ignores case
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

}  // namespace

TEST(FatBootSector, ClassifiesAndReadsGeometry) {
    auto b16 = Fat16Boot();
    CTempFATDBR d16(b16.data(), 512);
    EXPECT_EQ(d16.GetFileSystemType(), 1u);
    EXPECT_EQ(d16.GetTotalSectors(), 65536u);  // 16-bit field 0: the 32-bit one
    EXPECT_EQ(d16.GetSectorsPerFat(), 64u);
    EXPECT_EQ(d16.GetRootDirStartCluster(), 0u);
    Put16(&b16[19], 4000);
    EXPECT_EQ(CTempFATDBR(b16.data(), 512).GetTotalSectors(), 4000u);

    auto b32 = Fat32Boot();
    CFATDBR d32(b32.data(), 512);
    EXPECT_EQ(d32.GetFileSystemType(), 2u);
    EXPECT_EQ(d32.GetSectorsPerFat(), 760u);
    EXPECT_EQ(d32.GetRootDirStartCluster(), 2u);
    EXPECT_EQ(d32.GetReservedSector(), 32u);
    b32[0] = 0;  // the copy is unaffected
    EXPECT_TRUE(d32.IsValidDBR());
    EXPECT_FALSE(CTempFATDBR::SimpleCheck(b32.data()));
}

TEST(FatBootSector, RejectionTable) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> sector;
        std::uint32_t deviceSectorSize;
        std::uint32_t type;
    };
    auto few = Fat16Boot(200);
    auto notMultiple = Fat16Boot(226);  // 226 x 32 is not a multiple of 512
    auto threeFats = Fat16Boot();
    threeFats[16] = 3;
    auto badSpc = Fat16Boot();
    badSpc[13] = 3;
    auto noSig = Fat32Boot();
    noSig[511] = 0;
    auto noFat = Fat32Boot();
    Put32(&noFat[36], 0);
    auto fat12 = Fat16Boot();
    std::memcpy(&fat12[54], "FAT12   ", 8);
    const Case cases[] = {
        {"512 root entries", Fat16Boot(512), 512, 1},
        {"200 root entries", few, 512, 10},
        {"226 root entries", notMultiple, 512, 10},
        {"bytes per sector differ from device", Fat16Boot(512, 512), 4096, 10},
        {"4096-byte sectors match", Fat16Boot(512, 4096), 4096, 1},
        {"three FATs", threeFats, 512, 10},
        {"3 sectors per cluster", badSpc, 512, 10},
        {"no signature", noSig, 512, 10},
        {"zero FAT32 size", noFat, 512, 10},
        {"FAT12 label", fat12, 512, 10},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CTempFATDBR(c.sector.data(), c.deviceSectorSize).GetFileSystemType(), c.type) << c.what;
}

TEST(FatTable, NextClusterMappings) {
    // FAT16: 0xFFF7 -> bad cluster, above -> end of chain.
    std::vector<std::uint8_t> f16(64, 0);
    Put32(&f16[0], 0xFFFFFFF8);
    Put16(&f16[4], 3);
    Put16(&f16[6], 0xFFF7);
    Put16(&f16[8], 0xFFFF);
    CFAT16Table t16(nullptr, 0, 1, f16.data(), f16.size());
    EXPECT_EQ(t16.GetNextCluster(2), 3u);
    EXPECT_EQ(t16.GetNextCluster(3), 0x0FFFFFF7u);
    EXPECT_EQ(t16.GetNextCluster(4), 0x0FFFFFF8u);
    EXPECT_EQ(t16.GetNextCluster(32), 0u);  // outside

    // FAT12: entries 2 = 0xFFF, 3 = 0xFF8, 4 = 5.
    std::vector<std::uint8_t> f12(16, 0);
    f12[0] = 0xF8;
    f12[1] = 0xFF;
    f12[2] = 0xFF;
    auto set12 = [&](unsigned n, unsigned v) {
        unsigned at = n * 3 / 2;
        unsigned w = byteorder::LE16(&f12[at]);
        w = (n & 1) ? ((w & 0x000F) | (v << 4)) : ((w & 0xF000) | v);
        Put16(&f12[at], static_cast<std::uint16_t>(w));
    };
    set12(2, 0xFFF);
    set12(3, 0xFF8);
    set12(4, 5);
    CFAT12Table t12(nullptr, 0, 1, f12.data(), f12.size());
    EXPECT_TRUE(t12.IsValidFATTable());
    EXPECT_EQ(t12.GetNextCluster(2), 0xFFFFFFFFu);
    EXPECT_EQ(t12.GetNextCluster(3), 0x0FFFFFF8u);
    EXPECT_EQ(t12.GetNextCluster(4), 5u);
    EXPECT_EQ(t12.GetNextCluster(100), 0u);

    // FAT32 keeps the top nibble.
    std::vector<std::uint8_t> f32(64, 0);
    Put32(&f32[0], 0x0FFFFFF8);
    Put32(&f32[4], 0xFFFFFFFF);
    Put32(&f32[8], 0xF0000003);
    CFAT32Table t32(nullptr, 0, 1, f32.data(), f32.size());
    EXPECT_EQ(t32.GetNextCluster(2), 0xF0000003u);
}

TEST(FatTable, BodyAndChainTests) {
    auto table = [](std::initializer_list<std::pair<int, std::uint32_t>> entries) {
        std::vector<std::uint8_t> f(4 * 16, 0);
        Put32(&f[0], 0x0FFFFFF8);
        Put32(&f[4], 0x0FFFFFFF);
        for (auto [i, v] : entries) Put32(&f[4 * i], v);
        return f;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool valid;
    };
    const Case cases[] = {
        {"chains 2-3-4 and 6-7", table({{2, 3}, {3, 4}, {4, 0x0FFFFFFF}, {6, 7}, {7, 0x0FFFFFF8}}), true},
        {"reverse chain 9-8-7", table({{9, 8}, {8, 7}, {7, 0x0FFFFFFF}}), true},
        {"entry 5 = 5", table({{5, 5}}), false},
        {"entry = 1", table({{5, 1}}), false},
        {"beyond the table", table({{5, 100}}), false},
        {"3 and 4 both to 6", table({{3, 6}, {4, 6}, {6, 0x0FFFFFFF}}), false},
        {"join into a chain head", table({{3, 6}, {6, 7}, {7, 0x0FFFFFFF}, {9, 6}}), false},
        {"loop 2-3-2", table({{2, 3}, {3, 2}}), false},
        {"loop behind a tail 5-9-10-9", table({{5, 9}, {9, 10}, {10, 9}}), false},
    };
    for (const auto& c : cases) {
        CFAT32Table t(nullptr, 0, 1, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(t.IsValidFATTable(), c.valid) << c.what;
    }
    std::vector<std::uint8_t> badHeader = table({});
    Put32(&badHeader[0], 0);
    CFAT32Table t(nullptr, 0, 1, badHeader.data(), badHeader.size());
    EXPECT_FALSE(t.IsValidFATTable());
}

TEST(FatDirEntry, ShortNames) {
    struct Case {
        const char* raw;
        std::uint8_t attr;
        bool withoutDot;
        const char* name;
    };
    const Case cases[] = {
        {"README  TXT", 0x20, false, "README.TXT"},  {"MYDISK     ", 0x08, true, "MYDISK"},
        {"\xE5ILE    DAT", 0x20, false, "#ILE.DAT"}, {"CAF\x82    TXT", 0x20, false, "CAF_.TXT"},
        {"NOEXT      ", 0x20, false, "NOEXT"},       {"VOLUME  LBL", 0x08, true, "VOLUMELBL"},
    };
    for (const auto& c : cases) {
        auto e = ShortEntry(c.raw, c.attr, 0, 0);
        EXPECT_EQ(CTempFATDirEntry(e.data()).GetShortName(c.withoutDot), c.name) << c.raw;
    }
}

TEST(FatDirEntry, ValidityTable) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> e;
        bool skip;
        bool valid;
    };
    auto badMonth = ShortEntry("FILE    TXT", 0x20, 3, 10, (10 << 9) | (13 << 5) | 1);
    auto badTime = ShortEntry("FILE    TXT", 0x20, 3, 10, 0x5A21, (24 << 11));
    const Case cases[] = {
        {"plain file", ShortEntry("FILE    TXT", 0x20, 3, 10), false, true},
        {"file with cluster, no size", ShortEntry("FILE    TXT", 0x20, 3, 0), false, false},
        {"same, cluster test skipped", ShortEntry("FILE    TXT", 0x20, 3, 0), true, true},
        {"empty file", ShortEntry("EMPTY   TXT", 0x20, 0, 0), false, true},
        {"folder with size and high word", ShortEntry("DIR        ", 0x10, 0x10003, 5), false, false},
        {"long-name piece", LongEntries("x"), false, true},
        {"attribute 0x40", ShortEntry("FILE    TXT", 0x40, 3, 10), false, false},
        {"month 13", badMonth, false, false},
        {"hour 24", badTime, false, false},
        {"name with '?'", ShortEntry("FI?E    TXT", 0x20, 3, 10), false, false},
        {"name starting with a blank", ShortEntry(" ILE    TXT", 0x20, 3, 10), false, false},
        {"erased entry", ShortEntry("\xE5ILE    TXT", 0x20, 3, 10), false, true},
        {"all zero", std::vector<std::uint8_t>(32, 0), true, false},
        {"volume label", ShortEntry("LABEL      ", 0x08, 0, 0), false, true},
    };
    for (const auto& c : cases) EXPECT_EQ(CTempFATDirEntry(c.e.data()).IsValidFATDirEntry(c.skip), c.valid) << c.what;
}

TEST(FatDirEntry, ShortNameCharacters) {
    // Below 0x1A and these printable ones are refused; bytes from 0x80 are
    // the lead bytes of double-byte names.
    const std::string refused = "\"*/:<>?\\|";
    for (int c = 0; c < 0x100; ++c) {
        auto e = ShortEntry("FILE    TXT", 0x20, 3, 10);
        e[2] = static_cast<std::uint8_t>(c);
        const bool valid = c >= 0x80 || (c >= 0x1A && refused.find(static_cast<char>(c)) == std::string::npos);
        EXPECT_EQ(CTempFATDirEntry(e.data()).IsValidFATDirEntry(false), valid) << c;
    }
}

TEST(FatDirEntry, LongNamePieces) {
    auto pieces = LongEntries("Hello World.txt");  // two pieces, last first
    ASSERT_EQ(pieces.size(), 64u);
    char buf[64];
    CTempFATDirEntry(pieces.data()).GetLongFileName(buf, sizeof buf);
    EXPECT_STREQ(buf, "xt");
    CTempFATDirEntry(pieces.data() + 32).GetLongFileName(buf, sizeof buf);
    EXPECT_STREQ(buf, "Hello World.t");

    std::vector<std::uint8_t> zero(32, 0);
    zero[11] = 0x0F;
    CTempFATDirEntry(zero.data()).GetLongFileName(buf, sizeof buf);
    EXPECT_STREQ(buf, "_");

    // UTF-16: e-acute, a CJK character and a surrogate pair (U+1F600).
    std::vector<std::uint8_t> u(32, 0xFF);
    u[0] = 0x41;
    u[11] = 0x0F;
    const std::uint16_t units[] = {0x00E9, 0x4E2D, 0xD83D, 0xDE00, 0x0000};
    const int pos[] = {1, 3, 5, 7, 9};
    for (int i = 0; i < 5; ++i) {
        u[pos[i]] = units[i] & 0xFF;
        u[pos[i] + 1] = units[i] >> 8;
    }
    CTempFATDirEntry(u.data()).GetLongFileName(buf, sizeof buf);
    EXPECT_STREQ(buf, "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
    // A lone low surrogate ends the text.
    u[5] = 0x00;
    u[6] = 0xDC;
    CTempFATDirEntry(u.data()).GetLongFileName(buf, sizeof buf);
    EXPECT_STREQ(buf, "\xC3\xA9\xE4\xB8\xAD");
    // A short buffer is cut at a character boundary.
    CTempFATDirEntry(u.data()).GetLongFileName(buf, 4);
    EXPECT_STREQ(buf, "\xC3\xA9");

    EXPECT_TRUE(CTempFATDirEntry::IsValidLongFileName("Report 2024 (final).docx"));
    EXPECT_FALSE(CTempFATDirEntry::IsValidLongFileName("a/b"));
    EXPECT_FALSE(CTempFATDirEntry::IsValidLongFileName(""));
    EXPECT_FALSE(CTempFATDirEntry::IsValidLongFileName(nullptr));
}

TEST(FatFolderAnalyser, SectorKinds) {
    auto sector = [](std::initializer_list<std::vector<std::uint8_t>> entries) {
        std::vector<std::uint8_t> s(512, 0);
        std::size_t off = 0;
        for (const auto& e : entries) {
            std::memcpy(&s[off], e.data(), e.size());
            off += e.size();
        }
        return s;
    };
    auto dot = ShortEntry(".          ", 0x10, 7, 0);
    auto dotdot = ShortEntry("..         ", 0x10, 0, 0);
    auto file = ShortEntry("FILE    TXT", 0x20, 9, 100);
    auto file2 = ShortEntry("FILE2   TXT", 0x20, 12, 100);
    std::vector<std::uint8_t> junk(32, 0x01);

    CFATFolderAnalyser a(512);
    auto start = sector({dot, dotdot, file, junk});
    EXPECT_EQ(a.AnalyseSector(start.data()), 1);
    EXPECT_EQ(a.GetDirectoryEntryType(), 2);
    EXPECT_EQ(a.GetCurDirFirstClusterNum(), 7u);
    EXPECT_EQ(a.GetMaxClusterNum(), 9u);

    auto middle = sector({file, LongEntries("Some long name.txt"), file2});
    EXPECT_EQ(a.AnalyseSector(middle.data()), 1);
    EXPECT_EQ(a.GetDirectoryEntryType(), 1);
    EXPECT_EQ(a.GetCurDirFirstClusterNum(), 0u);

    auto empties = sector({ShortEntry("A       TXT", 0x20, 0, 0), ShortEntry("B       TXT", 0x20, 0, 0)});
    EXPECT_EQ(a.AnalyseSector(empties.data()), 0);
    EXPECT_EQ(a.GetDirectoryEntryType(), 0);

    auto trailingJunk = sector({file, file2, junk});
    EXPECT_EQ(a.AnalyseSector(trailingJunk.data()), 0);

    std::vector<std::uint8_t> zeros(512, 0);
    EXPECT_EQ(a.AnalyseSector(zeros.data()), 0);
}

TEST(FatTableAnalyser, FirstSectorAndUsedClusters) {
    std::vector<std::uint8_t> s(512, 0);
    Put32(&s[0], 0x0FFFFFF8);
    Put32(&s[4], 0x0FFFFFFF);
    std::uint32_t type = 99;
    EXPECT_TRUE(CFATTableAnalyser::IsValidFATTableFirstSector(s.data(), 512, &type));
    EXPECT_EQ(type, 2u);
    Put32(&s[0], 0xFFFFFFF8);
    Put32(&s[4], 0);
    EXPECT_TRUE(CFATTableAnalyser::IsValidFATTableFirstSector(s.data(), 512, &type));
    EXPECT_EQ(type, 1u);
    Put32(&s[0], 0x12);
    EXPECT_FALSE(CFATTableAnalyser::IsValidFATTableFirstSector(s.data(), 512, &type));
    EXPECT_FALSE(CFATTableAnalyser::IsUsedCluster(1));
    EXPECT_TRUE(CFATTableAnalyser::IsUsedCluster(2));
    EXPECT_TRUE(CFATTableAnalyser::IsUsedCluster(0x0FFFFFEF));
    EXPECT_FALSE(CFATTableAnalyser::IsUsedCluster(0x0FFFFFF0));
}

TEST(FatImages, TablesAndLabelsOfMkfsImages) {
    {
        ImageDevice dev(Fixture("fat16.img"));
        auto boot = ReadBytes(Fixture("fat16.img"), 0, 512);
        CTempFATDBR dbr(boot.data(), 512);
        ASSERT_EQ(dbr.GetFileSystemType(), 1u);
        IFATTable* t =
            IFATTableFactory::CreateFATTable(&dev, dbr.GetReservedSector(), 1, dbr.GetSectorsPerFat(), true, false);
        auto* both = static_cast<CDoubleFATTable*>(t);
        EXPECT_NE(both->GetFirst(), nullptr);
        IFATTableFactory::DestroyFATTable(t);
        char label[100] = {};
        CFATVolume(&dev).GetPartitionLabel(0, boot.data(), label);
        EXPECT_STREQ(label, "LBL16");
    }
    {
        ImageDevice dev(Fixture("fat32.img"));
        auto boot = ReadBytes(Fixture("fat32.img"), 0, 512);
        CTempFATDBR dbr(boot.data(), 512);
        ASSERT_EQ(dbr.GetFileSystemType(), 2u);
        IFATTable* t =
            IFATTableFactory::CreateFATTable(&dev, dbr.GetReservedSector(), 2, dbr.GetSectorsPerFat(), false, true);
        auto* both = static_cast<CDoubleFATTable*>(t);
        EXPECT_EQ(both->GetFirst(), nullptr);
        EXPECT_NE(both->GetSecond(), nullptr);         // only the second copy wanted
        EXPECT_GE(t->GetNextCluster(2), 0x0FFFFFF8u);  // the root folder ends at once
        IFATTableFactory::DestroyFATTable(t);
        char label[100] = {};
        CFATVolume(&dev).GetPartitionLabel(0, boot.data(), label);
        EXPECT_STREQ(label, "TESTVOL");  // written by mlabel into the root folder
    }
    {
        auto boot = ReadBytes(Fixture("fat12.img"), 0, 512);
        EXPECT_EQ(CTempFATDBR(boot.data(), 512).GetFileSystemType(), 10u);
    }
}

// A FAT32 root chain that loops through clusters full of valid entries must
// not keep the label reader going.
TEST(FatImages, CyclicRootChainEndsTheLabelWalk) {
    std::string img = ScratchCopy("fat32.img");
    auto boot = ReadBytes(img, 0, 512);
    CTempFATDBR dbr(boot.data(), 512);
    const std::uint64_t fat = dbr.GetReservedSector() * 512ull;
    const std::uint64_t data = fat + 2ull * dbr.GetSectorsPerFat() * 512;
    // Root = cluster 2 -> 3 -> 2; both clusters hold valid entries and no label.
    const std::uint32_t two = 2, three = 3;
    PatchBytes(img, fat + 8, &three, 4);
    PatchBytes(img, fat + 12, &two, 4);
    auto file = ShortEntry("FILE    TXT", 0x20, 9, 100);
    std::vector<std::uint8_t> cluster(512);
    for (int i = 0; i < 16; ++i) std::memcpy(&cluster[32 * i], file.data(), 32);
    PatchBytes(img, data, cluster.data(), 512);
    PatchBytes(img, data + 512, cluster.data(), 512);
    ImageDevice dev(img);
    char label[100] = {};
    CFATVolume(&dev).GetPartitionLabel(0, boot.data(), label);
    EXPECT_STREQ(label, "");
    EXPECT_LT(dev.reads, 20);
}
