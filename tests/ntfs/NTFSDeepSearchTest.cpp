// The NTFS deep search on hand-built sectors: the evidence analysers, the
// joins of records cut by a block end, and the scoring and drop rules.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "NTFSTestSupport.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSLogFileFinder.h"
#include "ntfs/NTFSMetaFileAnalyzers.h"
#include "ntfs/NTFSSearchController.h"
#include "ntfs/NTFSUpCase.h"
#include "storage/MemoryDevice.h"

using namespace ntfstest;

namespace {

// A system FILE record (hidden + system) named `name` whose unnamed $DATA
// holds `clusters` clusters from `lcn`, `bytes` long: the cluster size is
// guessed as bytes / clusters.
std::vector<std::uint8_t> SystemRecord(const std::u16string& name, std::uint8_t lcn, std::uint8_t clusters,
                                       std::int64_t bytes, std::uint32_t mft = 2) {
    return MakeRecord({ResidentAttr(0x10, StdInfoContent(0x06)), ResidentAttr(0x30, FileNameContent(name, 5)),
                       NonResidentAttr(0x80, {0x11, clusters, lcn, 0x00}, bytes, 0, clusters - 1)},
                      1, mft);
}

std::vector<std::uint8_t> OrdinaryRecord(std::uint32_t mft = 70) {
    return MakeRecord({ResidentAttr(0x10, StdInfoContent(0)), ResidentAttr(0x30, FileNameContent(u"a.txt", 5))}, 1,
                      mft);
}

// A 4,096-byte INDX block of folder `parent`, VCN 0, in its on-disk form.
std::vector<std::uint8_t> Indx(std::uint64_t parent) {
    std::vector<std::uint8_t> b(4096, 0);
    std::memcpy(b.data(), "INDX", 4);
    Put16(b.data() + 4, 40);
    Put16(b.data() + 6, 9);
    Put32(b.data() + 24, 40);
    std::size_t off = 64;
    Put64(b.data() + off, 100);
    Put16(b.data() + off + 8, 96);
    Put16(b.data() + off + 10, 80);
    Put64(b.data() + off + 16, parent);
    Put64(b.data() + off + 56, 8192);
    Put64(b.data() + off + 64, 5000);
    b[off + 80] = 3;
    off += 96;
    Put16(b.data() + off + 8, 16);
    Put16(b.data() + off + 12, 2);
    off += 16;
    Put32(b.data() + 28, static_cast<std::uint32_t>(off - 24));
    Put32(b.data() + 32, 4072);
    Put16(b.data() + 40, 0x0042);
    for (int i = 0; i < 8; ++i) {
        b[42 + 2 * i] = b[510 + 512 * i];
        b[43 + 2 * i] = b[511 + 512 * i];
        Put16(b.data() + 510 + 512 * i, 0x0042);
    }
    return b;
}

std::vector<std::uint8_t> Rcrd() {
    std::vector<std::uint8_t> b(4096, 0);
    std::memcpy(b.data(), "RCRD", 4);
    Put16(b.data() + 4, 40);
    Put16(b.data() + 6, 9);
    Put16(b.data() + 40, 0x0033);
    for (int i = 0; i < 8; ++i) Put16(b.data() + 510 + 512 * i, 0x0033);
    return b;
}

// A valid NTFS boot sector.
std::vector<std::uint8_t> Boot(std::int64_t totalSectors, std::uint8_t spc = 8) {
    std::vector<std::uint8_t> b(512, 0);
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    Put16(b.data() + 11, 512);
    b[13] = spc;
    Put64(b.data() + 40, static_cast<std::uint64_t>(totalSectors));
    Put64(b.data() + 48, 4);
    Put64(b.data() + 56, 100);
    b[64] = 0xF6;  // 1,024-byte records
    Put64(b.data() + 72, 0xABCD);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

CSearchedNTFSPartitionInfo* Candidate(std::int64_t start, std::uint32_t spc, std::uint32_t flags) {
    auto* c = new CSearchedNTFSPartitionInfo(512);
    c->SetStartSector(start);
    c->SetSectorsPerCluster(spc);
    c->SetPartitionBuildFromFlag(flags);
    return c;
}

struct Deleter {
    NTFSCandidateSet& set;
    ~Deleter() {
        for (auto* c : set) delete c;
    }
};

// Refuses the reads of one block without touching the buffer.
class RefusingDevice : public CMemoryStorageDevice {
public:
    using CMemoryStorageDevice::CMemoryStorageDevice;
    std::int64_t refused = -1;
    EngineResult ReadSectorResult(void* buffer, std::int64_t first, std::int64_t count) override {
        if (first == refused) return STORAGE_ERROR(STORAGE_ERROR_IO);
        return CMemoryStorageDevice::ReadSectorResult(buffer, first, count);
    }
};

struct Search {
    explicit Search(IStorageDevice* device, int block = 16) {
        searcher.SetDevice(device);
        searcher.SetBlockSize(block);
        searcher.PreparetoSearch();
    }
    bool HasRunAt(std::int64_t sector) {
        for (auto* p : searcher.GetPositionList())
            if (p->GetFileRecordStartSector() == sector) return true;
        return false;
    }
    bool HasIndexAt(std::uint64_t sector) {
        for (auto* i : searcher.GetIndexRecords())
            if (i->sector == sector) return true;
        return false;
    }
    CNTFSSearchController searcher;
};

}  // namespace

// ------------------------------------------------------------ analysers

TEST(NTFSMetaAnalyzers, RestartPagesAndTheLogFileRecordPlaceThePartition) {
    CMemoryStorageDevice device(512, 16);
    {  // Pages at 1,000 and 1,008, then a $LogFile at cluster 2 of 8 sectors.
        NTFSCandidateSet set;
        Deleter d{set};
        CNTFSPartitionInfoBuilder builder(set);
        CLogFileAnalyzer log(set, builder, &device);
        log.SetDeviceTotalSectors(100000);
        log.AnalyzeRSTRRecord(1000, nullptr, 4096);
        log.AnalyzeRSTRRecord(1008, nullptr, 4096);
        auto rec = SystemRecord(u"$LogFile", 2, 16, 16 * 4096);
        log.AnalyzeLogFileFileRecord(5000, rec.data(), 1024);
        ASSERT_EQ(set.size(), 1u);
        EXPECT_EQ((*set.begin())->GetStartSector(), 984);
        EXPECT_EQ((*set.begin())->GetPartitionBuildFromFlags(), 192u);
    }
    {  // A $LogFile known first; a page at 4 would put it 4 sectors in.
        NTFSCandidateSet set;
        Deleter d{set};
        CNTFSPartitionInfoBuilder builder(set);
        CLogFileAnalyzer log(set, builder, &device);
        log.SetDeviceTotalSectors(100000);
        auto rec = SystemRecord(u"$LogFile", 1, 16, 16 * 2048);
        log.AnalyzeLogFileFileRecord(5000, rec.data(), 1024);
        log.AnalyzeRSTRRecord(4, nullptr, 4096);
        EXPECT_TRUE(set.empty());
    }
    {  // The $LogFile known first: a lone page may be the first or the
        // second one; the page 8 sectors later settles it, and the guess
        // that the later page was a first one is withdrawn.
        NTFSCandidateSet set;
        Deleter d{set};
        CNTFSPartitionInfoBuilder builder(set);
        CLogFileAnalyzer log(set, builder, &device);
        log.SetDeviceTotalSectors(100000);
        auto rec = SystemRecord(u"$LogFile", 2, 16, 16 * 4096);
        log.AnalyzeLogFileFileRecord(5000, rec.data(), 1024);
        log.AnalyzeRSTRRecord(2000, nullptr, 4096);
        log.AnalyzeRSTRRecord(2008, nullptr, 4096);
        std::vector<std::pair<std::int64_t, std::uint32_t>> got;
        for (auto* c : set) got.push_back({c->GetStartSector(), c->GetPartitionBuildFromFlags()});
        const std::vector<std::pair<std::int64_t, std::uint32_t>> want = {{1976, 128}, {1984, 192}};
        EXPECT_EQ(got, want);
    }
}

TEST(NTFSMetaAnalyzers, FlagAdjusterDropsWhatLosesItsOnlyEvidence) {
    NTFSCandidateSet set;
    Deleter d{set};
    CNTFSPartitionInfoBuilder builder(set);
    set.insert(Candidate(100, 8, 64));
    set.insert(Candidate(200, 8, 64 | 1));
    std::unique_ptr<CSearchedNTFSPartitionInfo> probe(Candidate(100, 8, 0));
    EXPECT_TRUE(builder.AdjustPartitionBuildFromFlag(probe.get(), 0, 64));
    EXPECT_EQ(set.size(), 1u);
    probe.reset(Candidate(200, 8, 0));
    EXPECT_TRUE(builder.AdjustPartitionBuildFromFlag(probe.get(), 0, 64));
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ((*set.begin())->GetPartitionBuildFromFlags(), 1u);
    probe.reset(Candidate(200, 4, 0));  // same start, other cluster size
    EXPECT_FALSE(builder.AdjustPartitionBuildFromFlag(probe.get(), 8, 0));
}

TEST(NTFSMetaAnalyzers, RecordPageCutByTheBlockEndIsCompletedFromTheNext) {
    CMemoryStorageDevice device(512, 16);
    NTFSCandidateSet set;
    CNTFSPartitionInfoBuilder builder(set);
    std::vector<std::uint8_t> page = Rcrd();
    std::vector<std::uint8_t> a(16 * 512, 0), b(16 * 512, 0);
    std::memcpy(a.data() + 13 * 512, page.data(), 3 * 512);
    std::memcpy(b.data(), page.data() + 3 * 512, 5 * 512);
    {
        CLogFileAnalyzer log(set, builder, &device);
        log.AnalyzeRCRDRecord(a.data(), 0, 16);
        log.AnalyzeRCRDRecord(b.data(), 16, 16);
        ASSERT_EQ(log.GetRCRDRanges().GetRanges().size(), 1u);
        EXPECT_EQ(log.GetRCRDRanges().GetRanges()[0].first, 13u);
        EXPECT_EQ(log.GetRCRDRanges().GetRanges()[0].count, 8u);
    }
    {  // The next block does not follow on, or the search began again.
        CLogFileAnalyzer log(set, builder, &device);
        log.AnalyzeRCRDRecord(a.data(), 0, 16);
        log.AnalyzeRCRDRecord(b.data(), 17, 16);
        EXPECT_TRUE(log.GetRCRDRanges().GetRanges().empty());
        log.AnalyzeRCRDRecord(a.data(), 0, 16);
        log.ResetSavedPage();
        log.AnalyzeRCRDRecord(b.data(), 16, 16);
        EXPECT_TRUE(log.GetRCRDRanges().GetRanges().empty());
    }
}

TEST(NTFSMetaAnalyzers, AttrDefContentEqualsMkntfs) {
    CAttrDefFileAnalyzer analyzer;
    std::vector<std::uint8_t> sector(CAttrDefFileAnalyzer::m_u8AttrDefFile + 1024,
                                     CAttrDefFileAnalyzer::m_u8AttrDefFile + 1536);
    EXPECT_TRUE(analyzer.AnalyzeSectorBuffer(77, sector.data()));
    sector[300] ^= 1;
    EXPECT_FALSE(analyzer.AnalyzeSectorBuffer(78, sector.data()));
    ASSERT_EQ(analyzer.GetRanges().GetRanges().size(), 1u);
    EXPECT_EQ(analyzer.GetRanges().GetRanges()[0].first, 77u);
    // Every sector of the table is told (three begin with zeros), a zero
    // sector is not.
    CAttrDefFileAnalyzer whole;
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(whole.AnalyzeSectorBuffer(100 + i, CAttrDefFileAnalyzer::m_u8AttrDefFile + 512 * i)) << i;
    const std::vector<std::uint8_t> zero(512, 0);
    EXPECT_FALSE(whole.AnalyzeSectorBuffer(105, zero.data()));
    // The first 2,560 bytes of a real $AttrDef are the table.
    const std::string attrdef = RunCommand("icat " + Fixture("ntfs_basic.img") + " 4 | head -c 2560");
    ASSERT_EQ(attrdef.size(), 2560u);
    EXPECT_EQ(std::memcmp(attrdef.data(), CAttrDefFileAnalyzer::m_u8AttrDefFile, 2560), 0);
}

TEST(NTFSMetaAnalyzers, UpCaseTable) {
    int changed = 0;
    for (int u = 0; u < 65536; ++u) changed += NTFSUpCase::ToUpper(static_cast<std::uint16_t>(u)) != u;
    EXPECT_EQ(changed, 636);
    EXPECT_EQ(NTFSUpCase::ToUpper(0x61), 0x41);
    EXPECT_EQ(NTFSUpCase::ToUpper(0xFF), 0x178);
    EXPECT_EQ(NTFSUpCase::ToUpper(0x3B1), 0x391);
    EXPECT_EQ(NTFSUpCase::ToUpper(0x41), 0x41);

    CUpCaseFileAnalyzer analyzer;
    const std::uint8_t* table = NTFSUpCase::GetStandardTable();
    EXPECT_EQ(analyzer.AnalyzeSectorBuffer(9, table + 512), 1);
    std::vector<std::uint8_t> shifted(513, 0);
    std::memcpy(shifted.data() + 1, table + 512, 512);
    EXPECT_EQ(analyzer.AnalyzeSectorBuffer(10, shifted.data()), 0);

    // mkntfs writes a newer table: most of its sectors are the standard ones.
    const std::string upcase = RunCommand("icat " + Fixture("ntfs_basic.img") + " 10");
    ASSERT_EQ(upcase.size(), 131072u);
    int same = 0;
    for (int s = 0; s < 256; ++s) same += std::memcmp(upcase.data() + 512 * s, table + 512 * s, 512) == 0;
    EXPECT_EQ(same, 243);
}

TEST(NTFSMetaAnalyzers, UpCaseRecordTwentySectorsBehindTheMFT) {
    CUpCaseFileAnalyzer analyzer;
    auto early = SystemRecord(u"$UpCase", 50, 32, 131072, 10);
    auto late = SystemRecord(u"$UpCase", 60, 32, 131072, 10);
    analyzer.AnalyzeUpCaseFileRecord(500, early.data(), 1024);
    analyzer.AnalyzeUpCaseFileRecord(1020, late.data(), 1024);
    CSearchedNTFSPartitionInfo c(512);
    c.SetStartSector(0);
    c.SetTotalSectors(100000);
    c.SetSectorsPerCluster(8);
    EXPECT_EQ(analyzer.FindUpCaseFileInfo(c)->GetSectorAddress(), 500);
    c.SetMFTSector(1000);
    EXPECT_EQ(analyzer.FindUpCaseFileInfo(c)->GetSectorAddress(), 1020);
    c.SetMFTSector(3000);  // none there: the first inside the partition
    EXPECT_EQ(analyzer.FindUpCaseFileInfo(c)->GetSectorAddress(), 500);
    // Matched table sectors inside the file's runs (cluster 60, 32 clusters).
    for (int s = 0; s < 256; ++s) analyzer.AnalyzeSectorBuffer(480 + s, NTFSUpCase::GetStandardTable() + 512 * s);
    c.SetMFTSector(1000);
    analyzer.CalcUpcaseMatch(c);
    EXPECT_EQ(c.GetUpCaseMatchCount(), 256);
    EXPECT_EQ(c.GetUpCaseRecordSector(), 1020);
}

TEST(NTFSMetaAnalyzers, SystemRecordOutOfItsPlaceEndsTheMFTGroup) {
    CMemoryStorageDevice device(512, 16);
    for (int logOffset : {4, 6}) {
        SCOPED_TRACE(logOffset);
        NTFSCandidateSet set;
        Deleter d{set};
        CNTFSPartitionInfoBuilder builder(set);
        std::list<CMFTInfo*> mfts;
        std::list<CMFTMirrInfo*> mirrs;
        std::list<CMFTFilesPair*> pairs;
        std::list<FindFileMFTAndLogx*> finders;
        CMetaFileRecordGroupinMFTAnalyzer group(mfts, mirrs, set, builder, pairs, finders, &device);
        group.SetDeviceTotalSectors(100000);
        auto mft = SystemRecord(u"$MFT", 4, 16, 16 * 4096, 0);
        auto log = SystemRecord(u"$LogFile", 40, 16, 16 * 4096, 2);
        CNTFSFileRecord mftRecord(mft.data(), 1024, 1), logRecord(log.data(), 1024, 1);
        EXPECT_TRUE(group.AnalyzeNTFSMetaFileRecord(2032, mftRecord));
        group.AnalyzeNTFSMetaFileRecord(2032 + logOffset, logRecord);
        // At its place the $LogFile keeps the group open; elsewhere the
        // group ends and its $MFT places the partition.
        EXPECT_EQ(set.size(), logOffset == 4 ? 0u : 1u);
        if (!set.empty()) {
            EXPECT_EQ((*set.begin())->GetStartSector(), 2000);
            EXPECT_EQ((*set.begin())->GetPartitionBuildFromFlags(), NTFS_BUILD_FROM_MFT);
            EXPECT_EQ((*set.begin())->GetMFTSector(), 2032);
        }
        for (auto* m : mfts) delete m;
        for (auto* f : finders) {
            delete f->finder;
            delete f;
        }
    }
}

// --------------------------------------------------------- the searcher

TEST(NTFSDeepSearch, RecordPagesFoundInTheSectorWalk) {
    // A page at 2 with another whole one from its fourth sector on (passed
    // over inside it), and one at 13 cut by the end of the first block of 16.
    CMemoryStorageDevice device(512, 64);
    const std::vector<std::uint8_t> page = Rcrd();
    device.Write(2 * 512, page.data(), 4096);
    device.Write(5 * 512, page.data(), 4096);
    device.Write(13 * 512, page.data(), 4096);
    Search s(&device);
    s.searcher.AnalyzeBlock(0, 16);
    s.searcher.AnalyzeBlock(16, 16);
    const auto& ranges = s.searcher.GetLogFileAnalyzer()->GetRCRDRanges().GetRanges();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].first, 2u);
    EXPECT_EQ(ranges[0].count, 8u);
    EXPECT_EQ(ranges[1].first, 13u);
    EXPECT_EQ(ranges[1].count, 8u);
}

TEST(NTFSDeepSearch, FileRecordCutByTheBlockEndIsJoinedOnlyWithTheNextSector) {
    CMemoryStorageDevice device(512, 64);
    auto rec = OrdinaryRecord();
    device.Write(15 * 512, rec.data(), 1024);
    {
        Search s(&device);
        s.searcher.AnalyzeBlock(0, 16);
        s.searcher.AnalyzeBlock(16, 16);
        EXPECT_TRUE(s.HasRunAt(15));
    }
    {
        Search s(&device);
        s.searcher.AnalyzeBlock(0, 16);
        s.searcher.AnalyzeBlock(17, 15);
        EXPECT_FALSE(s.HasRunAt(15));
    }
    {  // A new search forgets the half record of the last one.
        Search s(&device);
        s.searcher.AnalyzeBlock(0, 16);
        s.searcher.PreparetoSearch();
        s.searcher.AnalyzeBlock(16, 16);
        EXPECT_FALSE(s.HasRunAt(15));
    }
}

TEST(NTFSDeepSearch, IndexRecordCutByTheBlockEndIsJoinedAndTheRootsIsIgnored) {
    CMemoryStorageDevice device(512, 64);
    auto folder = Indx(70);
    auto root = Indx(5);
    device.Write(13 * 512, folder.data(), 4096);
    device.Write(40 * 512, root.data(), 4096);
    Search s(&device);
    s.searcher.AnalyzeBlock(0, 16);
    s.searcher.AnalyzeBlock(16, 16);
    s.searcher.AnalyzeBlock(32, 16);
    EXPECT_TRUE(s.HasIndexAt(13));
    EXPECT_FALSE(s.HasIndexAt(40));
    EXPECT_EQ(s.searcher.GetIndexRecords().size(), 1u);
}

TEST(NTFSDeepSearch, RefusedReadIsNotParsedAsThePreviousBlock) {
    RefusingDevice device(512, 64);
    auto boot = Boot(40);
    device.Write(0, boot.data(), 512);
    device.refused = 16;
    Search s(&device);
    s.searcher.AnalyzeBlock(0, 16);
    s.searcher.AnalyzeBlock(16, 16);
    ASSERT_EQ(s.searcher.GetCandidates().size(), 1u);
    EXPECT_EQ((*s.searcher.GetCandidates().begin())->GetStartSector(), 0);
}

TEST(NTFSDeepSearch, BootSectorAndItsBackupMakeOneCandidate) {
    CMemoryStorageDevice device(512, 200);
    auto boot = Boot(100);
    device.Write(50 * 512, boot.data(), 512);   // primary; its backup guess lies at -50
    device.Write(150 * 512, boot.data(), 512);  // backup at start + T
    auto tooLate = Boot(100);
    device.Write(195 * 512, tooLate.data(), 512);  // 5 sectors before the end: no primary
    Search s(&device, 64);
    for (int b = 0; b < 200; b += 64) s.searcher.AnalyzeBlock(b, std::min(64, 200 - b));
    std::vector<std::pair<std::int64_t, std::uint32_t>> got;
    for (auto* c : s.searcher.GetCandidates()) got.push_back({c->GetStartSector(), c->GetPartitionBuildFromFlags()});
    // The sector at 195 read as a backup puts a partition at 95.
    const std::vector<std::pair<std::int64_t, std::uint32_t>> want = {{50, 3}, {95, 2}};
    EXPECT_EQ(got, want);
    EXPECT_EQ((*s.searcher.GetCandidates().begin())->GetTotalSectors(), 96u);  // whole clusters
}

TEST(NTFSDeepSearch, PartitionCopiesOnlyWhenTheyAllFit) {
    CMemoryStorageDevice device(512, 64);
    Search s(&device);
    s.searcher.AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(Candidate(10, 8, 32));
    s.searcher.AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(Candidate(20, 8, 32));
    EXPECT_EQ(s.searcher.GetSearchedPartitionInfo(nullptr, 0), 2);
    CSearchedPartitionInfo* out[2] = {nullptr, nullptr};
    EXPECT_EQ(s.searcher.GetSearchedPartitionInfo(out, 1), 2);
    EXPECT_EQ(out[0], nullptr);
    EXPECT_EQ(s.searcher.GetSearchedPartitionInfo(out, 2), 2);
    ASSERT_NE(out[1], nullptr);
    EXPECT_EQ(out[1]->GetStartSector(), 20);
    EXPECT_EQ(out[0]->GetType(), CSearchedNTFSPartitionInfo::kNTFSType);
    delete out[0];
    delete out[1];
}

TEST(NTFSDeepSearchDeathTest, BlockLargerThanTheBlockSizeIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CMemoryStorageDevice device(512, 64);
    Search s(&device);
    EXPECT_DEATH(s.searcher.AnalyzeBlock(0, 17), "i64SectorsCount <= m_iSectorsperBlock");
}

// The drop rules over candidates of known evidence (no content matches).
TEST(NTFSDeepSearch, ScoresAndDropRules) {
    struct Case {
        const char* what;
        std::vector<std::uint32_t> flags;
        std::vector<bool> mftLocated;
        std::vector<std::int64_t> indexMatches;
        std::vector<std::int64_t> keptStarts;
    };
    const Case cases[] = {
        {"60, 40 located, 20 with index matches",
         {1 | 4, 4 | 16, 64 | 128},
         {false, true, false},
         {0, 0, 1},
         {100, 200}},
        {"a strong third without index matches",
         {1 | 4, 4 | 16, 1 | 2 | 4},
         {false, true, true},
         {0, 0, 0},
         {100, 200, 300}},
        {"a weak third without index matches", {1 | 4, 1 | 4, 1 | 2}, {true, true, false}, {0, 0, 0}, {100, 200}},
        {"two weak ones stay", {64, 64}, {false, false}, {0, 0}, {100, 200}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        CMemoryStorageDevice device(512, 64);
        Search s(&device);
        for (std::size_t i = 0; i < k.flags.size(); ++i) {
            CSearchedNTFSPartitionInfo* c = Candidate(100 * static_cast<std::int64_t>(i + 1), 8, k.flags[i]);
            if (k.mftLocated[i]) c->SetMFTSector(c->GetStartSector() + 32);
            c->SetThirdPosition(k.indexMatches[i]);
            s.searcher.AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(c);
        }
        s.searcher.EndSearch(1);
        std::vector<std::int64_t> kept;
        int place = 0;
        const std::size_t n = s.searcher.GetCandidates().size();
        for (auto* c : s.searcher.GetCandidates()) {
            kept.push_back(c->GetStartSector());
            EXPECT_EQ(c->GetPartitionIndex(), place);
            EXPECT_EQ(c->GetScore(), static_cast<double>(n - place));
            EXPECT_EQ(c->GetCluster0Sector(), c->GetStartSector());
            ++place;
        }
        EXPECT_EQ(kept, k.keptStarts);
    }
}

TEST(NTFSDeepSearch, ReliabilityScore) {
    CSearchedNTFSPartitionInfo c(512);
    c.SetPartitionBuildFromFlag(1 | 2 | 4 | 32 | 64 | 128);
    c.SetUpCaseMatchCount(255);
    c.SetLogFileMatchCount(10000);
    c.SetAttrDefMatchCount(5);
    EXPECT_EQ(CalcFileSystemReliabilityScore(c), 30 + 10 + 30 + 10 + 10 + 10 + 10);
    c.SetUpCaseMatchCount(256);
    c.SetPartitionBuildFromFlag(8 | 16);
    EXPECT_EQ(CalcFileSystemReliabilityScore(c), 10 + 10 + 30);
}
