#include <gtest/gtest.h>

#include <cstring>

#include "NTFSTestSupport.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileRecord.h"

using namespace ntfstest;

namespace {

std::vector<std::uint8_t> GoodBootSector() {
    std::vector<std::uint8_t> s(512, 0);
    std::memcpy(s.data() + 3, "NTFS    ", 8);
    Put16(s.data() + 11, 512);
    s[13] = 8;
    s[21] = 0xF8;
    Put64(s.data() + 40, 32767);
    Put64(s.data() + 48, 4);
    Put64(s.data() + 56, 2047);
    s[64] = 0xF6;
    Put64(s.data() + 72, 0x1122334455667788ull);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

}  // namespace

TEST(NTFSBootSector, RulesTable) {
    struct Case {
        const char* what;
        int offset;
        std::uint8_t value;
        bool valid;
    } cases[] = {
        {"spc 0x80", 13, 0x80, true},
        {"spc 3", 13, 0x03, false},
        {"spc 0", 13, 0x00, false},
        {"spc 0x81", 13, 0x81, false},
        {"media byte 21", 21, 0x12, true},
        {"hidden sectors", 28, 0x3F, true},
        {"byte 16", 16, 1, false},
        {"byte 35", 35, 1, false},
        {"byte 22", 22, 1, false},
        {"reserved 14", 14, 1, false},
        {"record size 0x80", 64, 0x80, false},  // 2^128: refused, no shift past 63
        {"record size 0xE0", 64, 0xE0, false},  // 2^32
        {"record size 0xF0", 64, 0xF0, true},   // 65,536
        {"record size 0xEF", 64, 0xEF, false},  // 131,072: past the read area
        {"record size 0xF7", 64, 0xF7, false},  // 512
        {"signature", 510, 0x54, false},
    };
    for (const Case& c : cases) {
        auto s = GoodBootSector();
        s[c.offset] = c.value;
        EXPECT_EQ(CNTFSDBR::IsFullValidDBR(s.data()), c.valid) << c.what;
    }
    auto s = GoodBootSector();
    s[11] = 0x00;
    s[12] = 0x03;  // 768 bytes per sector
    EXPECT_FALSE(CNTFSDBR::IsFullValidDBR(s.data()));
    s = GoodBootSector();
    std::memcpy(s.data() + 3, "NTFS   X", 8);
    EXPECT_FALSE(CNTFSDBR::IsFullValidDBR(s.data()));
}

TEST(NTFSBootSector, RecordSizeAndFields) {
    struct Case {
        std::uint8_t byte64;
        std::uint8_t spc;
        std::uint32_t size;
    } cases[] = {{0xF6, 8, 1024}, {0x02, 8, 8192}, {0x00, 8, 1024}, {0x01, 2, 1024}, {0x03, 8, 0}};
    for (const Case& c : cases) {
        auto s = GoodBootSector();
        s[64] = c.byte64;
        s[13] = c.spc;
        EXPECT_EQ(CNTFSDBR::FileRecordSizeOf(s.data()), c.size) << int(c.byte64);
    }
    CNTFSDBR dbr;
    auto s = GoodBootSector();
    ASSERT_TRUE(dbr.InitFromBuffer(s.data()));
    EXPECT_EQ(dbr.GetFileRecordSizeByByte(), 1024u);
    EXPECT_EQ(dbr.GetMFTStartCluster(), 4);
    EXPECT_EQ(dbr.GetMFTMirrorStartCluster(), 2047);
    EXPECT_EQ(dbr.GetSectorsperCluster(), 8);
    EXPECT_EQ(dbr.GetTotalSectors(), 32767);
    EXPECT_EQ(dbr.GetSerialNumber(), 0x1122334455667788ull);
    // A refused sector leaves the kept copy as it was.
    s[13] = 3;
    EXPECT_FALSE(dbr.InitFromBuffer(s.data()));
    EXPECT_EQ(dbr.GetSectorsperCluster(), 8);
}

TEST(NTFSFileRecord, UpdateSequenceRoundTripsOnCallersBuffer) {
    auto rec = MakeRecord({ResidentAttr(0x30, FileNameContent(u"a.txt", 5))});
    const auto original = rec;
    {
        CNTFSFileRecord r(rec.data(), 1024, 0);
        ASSERT_TRUE(r.IsValid());
        // Readable form while the object lives: sector ends hold the data.
        EXPECT_EQ(LE16(rec.data() + 510), 0);
    }
    EXPECT_EQ(rec, original);
    {
        CNTFSFileRecord copy(rec.data(), 1024, 1);
        ASSERT_TRUE(copy.IsValid());
        EXPECT_NE(copy.GetBuffer(), rec.data());
    }
    EXPECT_EQ(rec, original);
}

TEST(NTFSFileRecord, UpdateSequenceEdgeCases) {
    auto rec = MakeRecord({});
    // USA count 1: nothing to check or change, both directions.
    auto one = rec;
    Put16(one.data() + 6, 1);
    const auto oneCopy = one;
    EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(one.data(), 1024));
    EXPECT_EQ(CNTFSFileRecord::UnfixupFileRecord(one.data(), 1024), 1);
    EXPECT_EQ(one, oneCopy);
    EXPECT_EQ(CNTFSFileRecord::FixupFileRecord(one.data(), 1024), 1);
    EXPECT_EQ(one, oneCopy);
    // Count 3 with the third stride's end wrong: only two strides are checked.
    std::vector<std::uint8_t> big(2048, 0);
    std::copy(rec.begin(), rec.end(), big.begin());
    Put16(big.data() + 6, 3);
    Put16(big.data() + 1534, 0xBEEF);
    EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(big.data(), 2048));
    // A broken second stride is not intact, and the record stays protected.
    auto broken = rec;
    Put16(broken.data() + 1022, 0x1111);
    EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(broken.data(), 1024));
    EXPECT_EQ(CNTFSFileRecord::UnfixupFileRecord(broken.data(), 1024), 0);
    EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(rec.data(), 1000));
}

TEST(NTFSFileRecord, HeaderAndAttributeWalk) {
    auto empty = MakeRecord({});
    CNTFSFileRecord e(empty.data(), 1024, 1);
    ASSERT_TRUE(e.IsValid());
    EXPECT_EQ(e.FindAttibute(0x30, 0), nullptr);
    EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(e.GetBuffer(), 0x30), 0);

    auto rec = MakeRecord(
        {ResidentAttr(0x10, StdInfoContent(0x20)), ResidentAttr(0x30, FileNameContent(u"A", 5, 2)),
         ResidentAttr(0x30, FileNameContent(u"Along", 5, 1)), ResidentAttr(0x80, std::vector<std::uint8_t>(10, 7))},
        3, 77);
    CNTFSFileRecord r(rec.data(), 1024, 1);
    ASSERT_TRUE(r.IsValid());
    EXPECT_TRUE(r.IsFolder());
    EXPECT_TRUE(r.IsinUse());
    EXPECT_FALSE(r.IsExtendFileRecord());
    EXPECT_TRUE(r.HasXPNumberOfthisMFTRecord());
    EXPECT_EQ(r.GetXPNumberOfthisMFTRecord(), 77u);
    EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(r.GetBuffer(), 0x30), 2);
    EXPECT_EQ(CNTFSFileRecord::GetAttributeOffset(r.GetBuffer(), 0x10, 0), 56u);
    EXPECT_EQ(CNTFSFileRecord::GetAttributeOffset(r.GetBuffer(), 0x30, 2), CNTFSFileRecord::kNotFound);
    EXPECT_NE(r.FindAttibute(0x30, 1), nullptr);
    EXPECT_FALSE(CNTFSFileRecord::HasAttributeList(r.GetBuffer()));

    struct Case {
        const char* what;
        int offset;
        std::uint32_t value;
        int width;
    } bad[] = {
        {"magic", 0, 0x454C4947, 4},     {"usa count 17", 6, 17, 2},         {"usa count 0", 6, 0, 2},
        {"allocated 8192", 28, 8192, 4}, {"allocated 1000", 28, 1000, 4},    {"usa offset 40", 4, 40, 2},
        {"usa offset 300", 4, 300, 2},   {"usa count 4 for 1 KiB", 6, 4, 2},
    };
    for (const Case& c : bad) {
        auto b = rec;
        if (c.width == 2)
            Put16(b.data() + c.offset, static_cast<std::uint16_t>(c.value));
        else
            Put32(b.data() + c.offset, c.value);
        EXPECT_FALSE(CNTFSFileRecord::IsValid(b.data(), 1024)) << c.what;
    }
    EXPECT_FALSE(CNTFSFileRecord::IsValid(rec.data(), 512));
    // A first-attribute offset past the walk limit has nothing to walk.
    auto far = rec;
    Put16(far.data() + 20, 1016);
    EXPECT_TRUE(CNTFSFileRecord::IsValid(far.data(), 1024));
    EXPECT_EQ(CNTFSFileRecord::FindAttibute(far.data(), 0x10, 0), nullptr);
}

TEST(NTFSAttributes, MalformedAttributesAreRefused) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> attr;
        bool valid;
    };
    auto fn = ResidentAttr(0x30, FileNameContent(u"ok", 5));
    auto longName = fn;
    longName[24 + 64] = 255;  // 255 units in a 96-byte attribute
    auto question = ResidentAttr(0x30, FileNameContent(u"a?b", 5));
    auto tab = ResidentAttr(0x30, FileNameContent(u"a\tb", 5));
    auto nulEarly = ResidentAttr(0x30, FileNameContent(std::u16string(u"ab\0?", 4), 5));
    auto shortHeader = ResidentAttr(0x80, {});
    Put32(shortHeader.data() + 4, 16);
    auto contentPast = ResidentAttr(0x80, std::vector<std::uint8_t>(8, 1));
    Put32(contentPast.data() + 16, 200);
    auto nonResShort = NonResidentAttr(0x80, {0x11, 0x01, 0x10, 0x00}, 4096);
    Put32(nonResShort.data() + 4, 40);
    auto runsOffsetPast = NonResidentAttr(0xA0, {0x11, 0x01, 0x10, 0x00}, 4096);
    Put16(runsOffsetPast.data() + 32, 500);
    auto badRuns = NonResidentAttr(0x80, {0x51, 0x01, 1, 2, 3, 4, 5, 0}, 4096);
    Case cases[] = {
        {"file name", fn, true},
        {"name longer than its attribute", longName, false},
        {"question mark", question, false},
        {"tab", tab, true},
        {"name ends at NUL", nulEarly, true},
        {"header longer than the attribute", shortHeader, false},
        {"content past the attribute", contentPast, false},
        {"non-resident shorter than its header", nonResShort, false},
        {"runs offset past the attribute", runsOffsetPast, false},
        {"five-byte offset", badRuns, false},
    };
    for (const Case& c : cases) {
        auto rec = MakeRecord({c.attr});
        EXPECT_EQ(CNTFSFileRecord::IsValid(rec.data(), 1024), c.valid) << c.what;
    }
    // Namespace above 3 reads as 4.
    auto ns = FileNameContent(u"x", 5, 7);
    auto nsAttr = ResidentAttr(0x30, ns);
    EXPECT_EQ(CNTFSFileRecordFileNameAttribute::GetFileNameNamespaceType(nsAttr.data()), 4);
    // $STANDARD_INFORMATION reads stay inside its own length.
    auto si = ResidentAttr(0x10, std::vector<std::uint8_t>(16, 0));
    EXPECT_FALSE(CNTFSFileRecordStandardInformationAttribute::IsValid(si.data(), static_cast<int>(si.size())));
    auto siOk = ResidentAttr(0x10, StdInfoContent(6));
    EXPECT_TRUE(CNTFSFileRecordStandardInformationAttribute::IsValid(siOk.data(), static_cast<int>(siOk.size())));
    // A $FILE_NAME cut by the end of the caller's buffer.
    EXPECT_FALSE(CNTFSFileRecordFileNameAttribute::IsValid(fn.data(), 60));
}

TEST(NTFSDataRuns, DecodeTable) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool valid;
        std::vector<CDataRun> runs;  // {LCN, VCN, length}
    } cases[] = {
        {"one run", {0x21, 0x18, 0x34, 0x56, 0x00}, true, {{22068, 0, 24}}},
        {"one-byte step back", {0x11, 0x04, 0x40, 0x11, 0x02, 0xF0, 0x00}, true, {{64, 0, 4}, {48, 4, 2}}},
        {"three-byte step back",
         {0x41, 0x01, 0x00, 0x00, 0x90, 0x00, 0x31, 0x01, 0x00, 0x00, 0x80, 0x00},
         true,
         {{0x900000, 0, 1}, {0x900000 - 8388608, 1, 1}}},
        {"sparse keeps the running LCN",
         {0x11, 0x04, 0x40, 0x01, 0x10, 0x11, 0x02, 0x08, 0x00},
         true,
         {{64, 0, 4}, {-1, 4, 16}, {72, 20, 2}}},
        {"empty", {0x00}, true, {}},
        {"five offset bytes", {0x51, 0x01, 1, 2, 3, 4, 5, 0x00}, false, {}},
        {"no terminator inside", {0x11, 0x04, 0x40}, false, {}},
        {"ends exactly at the buffer end", {0x11, 0x04, 0x40, 0x11, 0x01, 0x01}, false, {}},
    };
    for (const Case& c : cases) {
        const int len = static_cast<int>(c.bytes.size());
        EXPECT_EQ(CNTFSDataRunList::IsValid(c.bytes.data(), len), c.valid) << c.what;
        CNTFSDataRunList list;
        EXPECT_EQ(list.InitFromBuffer(c.bytes.data(), len), c.valid) << c.what;
        EXPECT_EQ(list.Runs(), c.runs) << c.what;
    }
    EXPECT_FALSE(CNTFSDataRunList::IsValid(nullptr, 4));
    // Header 0x05: five length bytes and no offset, a sparse run when decoded.
    const std::uint8_t sparse[] = {0x05, 0x10, 0, 0, 0, 0, 0x00};
    std::vector<CDataRun> decoded;
    ASSERT_TRUE(CNTFSDataRunList::FormDataRunList(sparse, sizeof(sparse), decoded));
    EXPECT_EQ(decoded, (std::vector<CDataRun>{{-1, 0, 16}}));
    EXPECT_EQ(CNTFSDataRunList::GetTotalClusters(cases[3].bytes.data(), 9), 22);
    EXPECT_EQ(CNTFSDataRunList::GetTotalClusters(cases[5].bytes.data(), 8), -1);
}

TEST(NTFSDataRuns, ClusterQueries) {
    CNTFSDataRunList list;
    EXPECT_EQ(list.GetLCN(0), -1);  // an empty list from disk is no failure
    EXPECT_EQ(list.GetVCN(0), -1);
    const std::uint8_t bytes[] = {0x11, 0x04, 0x40, 0x01, 0x10, 0x11, 0x02, 0x08, 0x00};
    ASSERT_TRUE(list.AddDataRunsfromBuffer(bytes, sizeof(bytes), 100));
    EXPECT_EQ(list.GetLCN(100), 64);
    EXPECT_EQ(list.GetLCN(103), 67);
    EXPECT_EQ(list.GetLCN(104), -1);  // sparse
    EXPECT_EQ(list.GetLCN(121), 73);
    EXPECT_EQ(list.GetLCN(122), -1);
    EXPECT_EQ(list.GetVCN(73), 121);
    EXPECT_TRUE(list.IsLCNContained(65));
    EXPECT_FALSE(list.IsLCNContained(68));
    EXPECT_EQ(list.GetTotalClusters(), 22);
    CNTFSDataRunList other;
    other.AddDataRun({72, 120, 2});
    other.AddDataRun({64, 100, 4});
    other.Sort();
    EXPECT_EQ(other.Runs().front().VCN, 100);
    EXPECT_FALSE(list.IsEqual(other));
    EXPECT_TRUE(CNTFSDataRunList().IsEqual(CNTFSDataRunList()));
    EXPECT_TRUE(NTFSPublicFunction::IsClusterNOMatch(2048 + 80, 10, 2048, 8));
    EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(2048 + 81, 10, 2048, 8));
    EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(2048 + 81, 10, 2048, 3));
}

TEST(NTFSDataRuns, SectorsPerClusterGuess) {
    struct Case {
        std::int64_t bytes, clusters;
        std::uint8_t spc;
    } cases[] = {{4096, 1, 8},    {1, 1, 1}, {8192, 1, 16}, {65536 * 2, 1, 0}, {65536, 1, 128},
                 {5 * 512, 1, 8}, {0, 4, 0}, {4096, 0, 0},  {2 * 512, 1, 2}};
    for (const Case& c : cases)
        EXPECT_EQ(GuessSectorsPerCluster(c.bytes, c.clusters), c.spc) << c.bytes << "/" << c.clusters;
}
