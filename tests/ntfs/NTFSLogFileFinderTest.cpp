// The $LogFile record finder on synthetic logs (ntfs-3g leaves a real log
// all 0xFF), built in memory page by page as NTFS writes them: RCRD pages
// with their update sequence, records crossing page ends and wrapping from
// the last page to the first log page. FILE records in redo data come from a
// real mkntfs image.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "NTFSTestSupport.h"
#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSLogFileFinder.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSQuickSearch.h"
#include "storage/MemoryDevice.h"

using namespace ntfstest;

static bool operator==(const DataRun& a, const DataRun& b) { return a.start == b.start && a.length == b.length; }

namespace {

constexpr int kPage = 4096;
std::size_t Align8(std::size_t v) { return (v + 7) & ~std::size_t{7}; }

std::vector<std::uint8_t> MappingPairs(const std::vector<DataRun>& runs) {
    return CCompressedDataRunList::CreateCompressedDataRun(runs);
}

// A log record: header, NTFS operation header, redo then undo data.
struct Op {
    std::uint64_t lsn = 0;
    std::vector<std::uint8_t> redo;
    std::vector<std::uint8_t> undo;
    std::uint16_t recordOffset = 0;
    std::uint16_t attributeOffset = 0;
    std::uint16_t clusterBlockOffset = 0;
    std::int64_t vcn = 0;
    std::uint16_t undoOffsetOverride = 0;  // 0: right behind the redo data
    std::uint16_t undoLengthOverride = 0;
};

std::vector<std::uint8_t> LogRecord(const Op& op) {
    const std::size_t undoOffset = 40 + Align8(op.redo.size());
    const std::size_t clientData = undoOffset + Align8(op.undo.size());
    std::vector<std::uint8_t> r(48 + clientData, 0);
    Put64(r.data(), op.lsn);
    Put64(r.data() + 8, op.lsn - 1);
    Put32(r.data() + 24, static_cast<std::uint32_t>(clientData));
    Put32(r.data() + 32, 1);     // client record
    Put16(r.data() + 48, 0x09);  // redo: update mapping pairs
    Put16(r.data() + 50, 0x09);
    Put16(r.data() + 52, 40);
    Put16(r.data() + 54, static_cast<std::uint16_t>(op.redo.size()));
    Put16(r.data() + 56, op.undoOffsetOverride ? op.undoOffsetOverride : static_cast<std::uint16_t>(undoOffset));
    Put16(r.data() + 58, op.undoLengthOverride ? op.undoLengthOverride : static_cast<std::uint16_t>(op.undo.size()));
    Put16(r.data() + 62, 1);
    Put16(r.data() + 64, op.recordOffset);
    Put16(r.data() + 66, op.attributeOffset);
    Put16(r.data() + 68, op.clusterBlockOffset);
    Put64(r.data() + 72, static_cast<std::uint64_t>(op.vcn));
    std::copy(op.redo.begin(), op.redo.end(), r.begin() + 88);
    std::copy(op.undo.begin(), op.undo.end(), r.begin() + 48 + static_cast<std::ptrdiff_t>(undoOffset));
    return r;
}

// Writes records into log pages as NTFS does: 8-byte aligned, a header that
// would not fit moves to the next page, data that does not fit continues at
// byte 64 of the next page, and the page after the last is the first log
// page (4).
class LogWriter {
public:
    explicit LogWriter(int pages)
        : m_pages(static_cast<std::size_t>(pages), std::vector<std::uint8_t>(kPage, 0)),
          m_lastLsn(static_cast<std::size_t>(pages), 0),
          m_lastEnd(static_cast<std::size_t>(pages), 0),
          m_used(static_cast<std::size_t>(pages), false) {}
    void At(int page, std::size_t offset) {
        m_page = page;
        m_off = offset;
    }
    void Append(const std::vector<std::uint8_t>& record) {
        if (m_off + 48 > kPage) Next();
        const std::uint64_t lsn = LE64(record.data());
        m_lastLsn[static_cast<std::size_t>(m_page)] = lsn;
        m_used[static_cast<std::size_t>(m_page)] = true;
        std::size_t i = 0;
        while (i < record.size()) {
            const std::size_t n = std::min(record.size() - i, kPage - m_off);
            std::copy(record.begin() + static_cast<std::ptrdiff_t>(i),
                      record.begin() + static_cast<std::ptrdiff_t>(i + n),
                      m_pages[static_cast<std::size_t>(m_page)].begin() + static_cast<std::ptrdiff_t>(m_off));
            i += n;
            m_off += n;
            if (i < record.size()) Next();
        }
        m_lastEnd[static_cast<std::size_t>(m_page)] = lsn;
        m_off = Align8(m_off);
    }
    // The pages in their on-disk form (update sequence applied).
    std::vector<std::uint8_t> Bytes() const {
        std::vector<std::uint8_t> out;
        for (std::size_t p = 0; p < m_pages.size(); ++p) {
            std::vector<std::uint8_t> page = m_pages[p];
            if (p < 2) {
                std::memcpy(page.data(), "RSTR", 4);
            } else if (m_used[p]) {
                std::memcpy(page.data(), "RCRD", 4);
                Put16(page.data() + 4, 40);
                Put16(page.data() + 6, 9);
                Put64(page.data() + 8, m_lastLsn[p]);
                Put64(page.data() + 32, m_lastEnd[p]);
                const std::uint16_t usn = static_cast<std::uint16_t>(0x11 + p);
                Put16(page.data() + 40, usn);
                for (int s = 0; s < 8; ++s) {
                    page[42 + 2 * s] = page[510 + 512 * s];
                    page[43 + 2 * s] = page[511 + 512 * s];
                    Put16(page.data() + 510 + 512 * s, usn);
                }
            }
            out.insert(out.end(), page.begin(), page.end());
        }
        return out;
    }

private:
    void Next() {
        m_page = m_page + 1 == static_cast<int>(m_pages.size()) ? 4 : m_page + 1;
        m_off = 64;
        m_used[static_cast<std::size_t>(m_page)] = true;
    }
    std::vector<std::vector<std::uint8_t>> m_pages;
    std::vector<std::uint64_t> m_lastLsn, m_lastEnd;
    std::vector<bool> m_used;
    int m_page = 4;
    std::size_t m_off = 64;
};

// A volume at `start` on a disk of 512-byte sectors: the $MFT at byte
// 256 KiB of the volume with record 2 naming the $LogFile, whose pages lie at
// byte 1 MiB. 17 MiB hold the runs of ntfs_basic.img's files.
struct SyntheticVolume {
    SyntheticVolume(std::int64_t startSector, std::uint8_t spc, int logPages, std::int64_t claimedLogClusters = 0,
                    std::int64_t mib = 17)
        : start(startSector), spc(spc), device(512, startSector + mib * 2048) {
        const std::int64_t cluster = spc * 512;
        mftRuns.AddDataRun(CDataRun{kMftByte / cluster, 0, std::max<std::int64_t>(1, 65536 / cluster)});
        logClusters = claimedLogClusters ? claimedLogClusters : (logPages * kPage + cluster - 1) / cluster;
        const auto runs = MappingPairs({DataRun{kLogByte / cluster, logClusters}});
        const auto logRecord = MakeRecord({ResidentAttr(0x10, StdInfoContent(0x06)),
                                           ResidentAttr(0x30, FileNameContent(u"$LogFile", 5, 3, logPages * kPage)),
                                           NonResidentAttr(0x80, runs, static_cast<std::int64_t>(logPages) * kPage)},
                                          1, 2);
        device.Write(static_cast<std::uint64_t>(start) * 512 + kMftByte + 2048, logRecord.data(), logRecord.size());
    }
    void WriteLog(const LogWriter& log) {
        const auto bytes = log.Bytes();
        device.Write(static_cast<std::uint64_t>(start) * 512 + kLogByte, bytes.data(), bytes.size());
    }
    bool Init(CFindFileFromLogFile& finder) { return finder.Init(&device, &mftRuns, spc, start); }

    static constexpr std::int64_t kMftByte = 256 * 1024;
    static constexpr std::int64_t kLogByte = 1024 * 1024;
    std::int64_t start;
    std::uint8_t spc;
    CMemoryStorageDevice device;
    CNTFSDataRunList mftRuns;
    std::int64_t logClusters = 0;
};

// The on-disk FILE record of a file of ntfs_basic.img, by name.
std::vector<std::uint8_t> RealRecord(const wchar_t* name, std::int64_t* mftOut = nullptr) {
    const auto mft = ReadFile(Fixture("ntfs_basic.mft"));
    for (std::size_t i = 0; i + 1024 <= mft.size(); i += 1024) {
        std::vector<std::uint8_t> r(mft.begin() + static_cast<std::ptrdiff_t>(i),
                                    mft.begin() + static_cast<std::ptrdiff_t>(i + 1024));
        CNTFSFileRecord rec(r.data(), 1024, 1);
        if (!rec.IsValid()) continue;
        for (int k = 0; k < 3; ++k) {
            const std::uint8_t* fn = rec.FindAttibute(0x30, k);
            if (fn != nullptr && CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, name)) {
                if (mftOut) *mftOut = static_cast<std::int64_t>(i / 1024);
                return r;
            }
        }
    }
    ADD_FAILURE() << "no record for the name in ntfs_basic.mft";
    return std::vector<std::uint8_t>(1024, 0);
}

std::unique_ptr<CNTFSFileProperties> Properties(std::vector<std::uint8_t>& record, std::int64_t sector = 4000) {
    CNTFSMultiFileRecord multi(record.data(), static_cast<std::uint32_t>(record.size()), sector, nullptr, nullptr);
    return std::unique_ptr<CNTFSFileProperties>(
        CNTFSFilePropertiesBuilder::BuildFileProperties(sector, multi, 4096, nullptr));
}

std::vector<DataRun> RunsOf(CNTFSFileProperties& p) {
    std::vector<DataRun> out;
    IDataRunList* list = p.GetDataRunList();
    if (list == nullptr) return out;
    for (DataRun* r = list->GetFirst(); r != nullptr; r = list->GetNext()) out.push_back(*r);
    list->Release();
    return out;
}

// A deleted file whose record now says size 0: its $DATA has no runs.
std::vector<std::uint8_t> EmptiedRecord(const std::u16string& name, std::uint32_t mft, std::uint16_t flags = 0) {
    return MakeRecord({ResidentAttr(0x10, StdInfoContent(0x20)), ResidentAttr(0x30, FileNameContent(name, 5)),
                       NonResidentAttr(0x80, {0x00}, 0, 0, -1)},
                      flags, mft);
}

std::uint32_t DataAttributeOffset(std::vector<std::uint8_t> record) {
    CNTFSFileRecord::UnfixupFileRecord(record.data(), 1024);
    return CNTFSFileRecord::GetAttributeOffset(record.data(), 0x80, 0);
}

// The FILE record of a file as the journal logs it when the file is made.
std::vector<std::uint8_t> FileImageOp(std::uint64_t lsn, const std::vector<std::uint8_t>& record) {
    Op op;
    op.lsn = lsn;
    op.redo = record;
    return LogRecord(op);
}

}  // namespace

TEST(NTFSLogFileFinder, RecordIndexFromVcnAndClusterBlockOffset) {
    struct Case {
        std::uint8_t spc;
        std::int64_t vcn;
        std::uint16_t cbo;
        std::int64_t mft;
    };
    const Case cases[] = {
        {8, 10, 4, 42},  {8, 10, 0, 40}, {8, 10, 6, 43}, {8, 10, 3, -1},  // not at a record start
        {2, 42, 0, 42},                                                   // 1 KiB clusters: one record each
        {1, 84, 0, 42},                                                   // 512-byte clusters: two per record
        {4, 21, 0, 42},                                                   // 2 KiB clusters: two records each
        {128, 1, 2, 65},                                                  // 64 KiB clusters: 64 records each
        {8, -1, 0, -1},
    };
    for (const Case& c : cases) {
        SyntheticVolume vol(0, c.spc, 8, 0, 2);
        CFindFileFromLogFile finder;
        ASSERT_TRUE(vol.Init(finder));
        ASSERT_TRUE(finder.IsValid()) << int(c.spc);
        EXPECT_EQ(finder.GetFileRecordIndex(c.vcn, c.cbo), c.mft) << int(c.spc) << " " << c.vcn;
    }
}

TEST(NTFSLogFileFinder, CollectsFileImagesAndRepairsByNumberThenByName) {
    std::int64_t bigMft = -1;
    const auto big = RealRecord(L"big.dat", &bigMft);
    auto bigCopy = big;
    const auto real = Properties(bigCopy);
    ASSERT_NE(real, nullptr);
    ASSERT_EQ(real->GetFileSize(), 300000);

    SyntheticVolume vol(0, 8, 12);
    LogWriter log(12);
    log.Append(FileImageOp(100, big));
    // Images that are never collected: a folder, and a file of size 0.
    log.Append(
        FileImageOp(101, MakeRecord({ResidentAttr(0x30, FileNameContent(u"Folder", 5, 1, 0, 0x10000000))}, 3, 80)));
    log.Append(FileImageOp(102, EmptiedRecord(u"empty.txt", 81, 1)));
    vol.WriteLog(log);

    CFindFileFromLogFile finder;
    ASSERT_TRUE(vol.Init(finder));
    EXPECT_EQ(finder.GetLogPageCount(), 12);
    EXPECT_TRUE(finder.Analyzer());
    EXPECT_EQ(finder.GetCollectedFileCount(), 1u);

    // By its MFT number and name.
    auto deleted = EmptiedRecord(u"big.dat", static_cast<std::uint32_t>(bigMft));
    auto props = Properties(deleted);
    ASSERT_EQ(props->GetFileSize(), 0);
    EXPECT_TRUE(finder.ReplaceFileRecordInfo(deleted.data(), *props, bigMft, nullptr));
    EXPECT_EQ(props->GetFileSize(), 300000);
    EXPECT_EQ(RunsOf(*props), RunsOf(*real));
    EXPECT_FALSE(RunsOf(*props).empty());

    // Unknown number, another own number: the name alone still finds it.
    auto elsewhere = EmptiedRecord(u"big.dat", 999);
    auto guessed = Properties(elsewhere);
    EXPECT_TRUE(finder.ReplaceFileRecordInfo(elsewhere.data(), *guessed, -1, nullptr));
    EXPECT_EQ(guessed->GetFileSize(), 300000);

    // Without a collected image or undo data nothing changes: a deleted
    // file, a file still in use, a null record.
    auto other = EmptiedRecord(u"other.txt", 90);
    auto otherProps = Properties(other);
    EXPECT_FALSE(finder.ReplaceFileRecordInfo(other.data(), *otherProps, 90, nullptr));
    auto inUse = EmptiedRecord(u"other.txt", 91, 1);
    auto inUseProps = Properties(inUse);
    EXPECT_FALSE(finder.ReplaceFileRecordInfo(inUse.data(), *inUseProps, 91, nullptr));
    EXPECT_FALSE(finder.ReplaceFileRecordInfo(nullptr, *otherProps, 90, nullptr));
    EXPECT_EQ(otherProps->GetFileSize(), 0);
    EXPECT_TRUE(RunsOf(*otherProps).empty());

    finder.Reset();
    EXPECT_FALSE(finder.IsValid());
    EXPECT_EQ(finder.GetCollectedFileCount(), 0u);
}

TEST(NTFSLogFileFinder, RecordsCrossingPageEnds) {
    const auto big = RealRecord(L"big.dat");
    // A header at byte 4,040 of a page, completed from the next page, and a
    // record behind the continuation.
    {
        SyntheticVolume vol(0, 8, 8);
        LogWriter log(8);
        log.Append(FileImageOp(10, EmptiedRecord(u"a.txt", 70, 1)));
        // One record filling page 5 up to byte 4,040.
        Op filler;
        filler.lsn = 11;
        filler.redo = std::vector<std::uint8_t>(4040 - 64 - 88, 0x5A);
        log.At(5, 64);
        log.Append(LogRecord(filler));
        log.Append(FileImageOp(12, big));
        Op undo;
        undo.lsn = 13;
        undo.undo = std::vector<std::uint8_t>(16, 0x11);
        undo.recordOffset = 0x98;
        undo.attributeOffset = 64;
        undo.vcn = 19;
        undo.clusterBlockOffset = 2;
        log.Append(LogRecord(undo));
        vol.WriteLog(log);
        CFindFileFromLogFile finder;
        ASSERT_TRUE(vol.Init(finder));
        finder.Analyzer();
        EXPECT_EQ(finder.GetCollectedFileCount(), 1u);
        EXPECT_EQ(finder.GetLogRecordCount(), 1u);
    }
    // The last page's last record wraps to the first log page.
    {
        SyntheticVolume vol(0, 8, 8);
        LogWriter log(8);
        log.At(7, 3000);
        log.Append(FileImageOp(50, big));
        vol.WriteLog(log);
        CFindFileFromLogFile finder;
        ASSERT_TRUE(vol.Init(finder));
        finder.Analyzer();
        EXPECT_EQ(finder.GetCollectedFileCount(), 1u);
    }
    // A record running off the end of an unwrapped log: the copy never
    // reads past the last page (ASan), and nothing is collected.
    {
        SyntheticVolume vol(0, 8, 8);
        LogWriter log(8);
        log.At(7, 3800);
        auto cut = FileImageOp(60, big);
        log.Append(cut);
        auto bytes = log.Bytes();
        // Page 4 is not a continuation: the wrap is refused.
        std::memset(bytes.data() + 4 * kPage, 0, kPage);
        vol.device.Write(SyntheticVolume::kLogByte, bytes.data(), bytes.size());
        CFindFileFromLogFile finder;
        ASSERT_TRUE(vol.Init(finder));
        finder.Analyzer();
        EXPECT_EQ(finder.GetCollectedFileCount(), 0u);
    }
    // A log of 4 pages has no record pages at all.
    {
        SyntheticVolume vol(0, 8, 4, 0, 2);
        CFindFileFromLogFile finder;
        ASSERT_TRUE(vol.Init(finder));
        EXPECT_EQ(finder.GetLogPageCount(), 4);
        EXPECT_TRUE(finder.Analyzer());
        EXPECT_EQ(finder.GetCollectedFileCount(), 0u);
        EXPECT_EQ(finder.GetLogRecordCount(), 0u);
    }
}

TEST(NTFSLogFileFinder, UndoDataRebuildsTheRunsOfAnEmptiedRecord) {
    auto deleted = EmptiedRecord(u"lost.bin", 77);
    const std::uint32_t dataOffset = DataAttributeOffset(deleted);
    ASSERT_NE(dataOffset, CNTFSFileRecord::kNotFound);
    // MFT 77 with 4 KiB clusters: VCN 19, second 1 KiB block pair (offset 2).
    const std::vector<std::uint8_t> oldPairs = {0x21, 0x04, 0x00, 0x02, 0x21, 0x02, 0x00, 0x01, 0x11, 0x01, 0x05, 0x00};
    auto undoOp = [&](std::uint64_t lsn, std::vector<std::uint8_t> undo, std::uint16_t attributeOffset) {
        Op op;
        op.lsn = lsn;
        op.undo = std::move(undo);
        op.recordOffset = static_cast<std::uint16_t>(dataOffset);
        op.attributeOffset = attributeOffset;
        op.vcn = 19;
        op.clusterBlockOffset = 2;
        return op;
    };

    SyntheticVolume vol(0, 8, 8, 0, 4);
    LogWriter log(8);
    log.Append(LogRecord(undoOp(20, oldPairs, 64)));
    // Not this record: another MFT number, another attribute, too short.
    Op other = undoOp(21, oldPairs, 64);
    other.clusterBlockOffset = 4;
    log.Append(LogRecord(other));
    Op shortOne = undoOp(22, {1, 2, 3, 4, 5, 6, 7, 8}, 64);
    log.Append(LogRecord(shortOne));
    vol.WriteLog(log);

    CFindFileFromLogFile finder;
    ASSERT_TRUE(vol.Init(finder));
    finder.Analyzer();
    EXPECT_EQ(finder.GetLogRecordCount(), 2u);  // the short one is never kept
    auto props = Properties(deleted);
    const auto before = deleted;
    EXPECT_TRUE(finder.ReplaceFileRecordInfo(deleted.data(), *props, 77, nullptr));
    EXPECT_EQ(deleted, before);  // the caller's record is left alone
    EXPECT_EQ(RunsOf(*props), (std::vector<DataRun>{{512, 4}, {768, 2}, {773, 1}}));
    EXPECT_EQ(props->GetFileSize(), 7 * 4096);

    // Undo data whose place or source lies outside the record or its copy
    // is refused (regression: a heap overflow), runs pointing off the
    // device too; the file then stays as it was.
    for (int bad = 0; bad < 3; ++bad) {
        SyntheticVolume v2(0, 8, 8, 0, 4);
        LogWriter l2(8);
        Op op = undoOp(30, oldPairs, 64);
        if (bad == 0) {
            op.attributeOffset = 700;
            op.undo = std::vector<std::uint8_t>(400, 0x21);
        } else if (bad == 1) {
            op.undoOffsetOverride = 2000;
        } else {
            op.undo = {0x31, 0x04, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        }
        l2.Append(LogRecord(op));
        v2.WriteLog(l2);
        CFindFileFromLogFile f2;
        ASSERT_TRUE(v2.Init(f2));
        f2.Analyzer();
        EXPECT_EQ(f2.GetLogRecordCount(), 1u) << bad;
        auto rec = EmptiedRecord(u"lost.bin", 77);
        auto p2 = Properties(rec);
        EXPECT_FALSE(f2.ReplaceFileRecordInfo(rec.data(), *p2, 77, nullptr)) << bad;
        EXPECT_EQ(p2->GetFileSize(), 0) << bad;
    }
}

TEST(NTFSLogFileFinder, PositionsCountFromThePartitionStart) {
    const auto big = RealRecord(L"big.dat");
    SyntheticVolume vol(2048, 8, 8);
    LogWriter log(8);
    log.Append(FileImageOp(5, big));
    vol.WriteLog(log);
    CFindFileFromLogFile finder;
    ASSERT_TRUE(vol.Init(finder));
    ASSERT_TRUE(finder.IsValid());
    finder.Analyzer();
    EXPECT_EQ(finder.GetCollectedFileCount(), 1u);
    // Read from the disk's start, the same runs name nothing.
    CFindFileFromLogFile wrong;
    wrong.Init(&vol.device, &vol.mftRuns, 8, 0);
    EXPECT_FALSE(wrong.IsValid());
    EXPECT_FALSE(wrong.Analyzer());
}

TEST(NTFSLogFileFinder, PageStoreIsBounded) {
    // Runs claiming far more than the device: the log ends at the device end.
    SyntheticVolume vol(0, 8, 8, 100000);
    CFindFileFromLogFile finder;
    ASSERT_TRUE(vol.Init(finder));
    EXPECT_EQ(finder.GetLogPageCount(), (17 * 1024 * 1024 - SyntheticVolume::kLogByte) / kPage);
    EXPECT_TRUE(finder.Analyzer());

    // A device claiming 2 TiB and a log of 1 TiB: capped at 256 MiB of pages.
    struct HugeDevice : CMemoryStorageDevice {
        HugeDevice() : CMemoryStorageDevice(512, 17 * 2048) {}
        std::int64_t GetTotalSectors() override { return std::int64_t{1} << 32; }
        EngineResult ReadSectorResult(void* buffer, std::int64_t first, std::int64_t count) override {
            if (first + count <= CMemoryStorageDevice::GetTotalSectors())
                return CMemoryStorageDevice::ReadSectorResult(buffer, first, count);
            std::memset(buffer, 0, static_cast<std::size_t>(count) * 512);
            return ENGINE_OK;
        }
    } huge;
    SyntheticVolume big(0, 8, 8, std::int64_t{1} << 28);
    huge.Write(0, big.device.Bytes().data(), big.device.Bytes().size());
    CFindFileFromLogFile capped;
    ASSERT_TRUE(capped.Init(&huge, &big.mftRuns, 8, 0));
    EXPECT_EQ(capped.GetLogPageCount(), CFindFileFromLogFile::kMaxLogBytes / kPage);

    // A record 2 that is not the $LogFile's: read, but not valid.
    SyntheticVolume notLog(0, 8, 8, 0, 2);
    const auto other = EmptiedRecord(u"LogFile", 2, 1);
    notLog.device.Write(SyntheticVolume::kMftByte + 2048, other.data(), other.size());
    CFindFileFromLogFile none;
    EXPECT_TRUE(notLog.Init(none));
    EXPECT_FALSE(none.IsValid());
    EXPECT_FALSE(none.Init(nullptr, &notLog.mftRuns, 8, 0));
}

TEST(NTFSLogFileFinder, RealVolumesLogIsFoundAndEmpty) {
    struct Image {
        const char* name;
        std::uint32_t sectorSize;
    };
    for (const Image& img : {Image{"ntfs_basic.img", 512}, Image{"ntfs_4k.img", 4096}}) {
        const std::string path = Fixture(img.name);
        MemoryDevice dev(ReadFile(path), img.sectorSize);
        const auto& boot = dev.Bytes();
        const std::uint8_t spc = boot[13];
        const std::int64_t mftLcn = static_cast<std::int64_t>(LE64(boot.data() + 48));
        CNTFSDataRunList runs;
        runs.AddDataRun(CDataRun{mftLcn, 0, 64});
        CFindFileFromLogFile finder;
        ASSERT_TRUE(finder.Init(&dev, &runs, spc, 0)) << img.name;
        ASSERT_TRUE(finder.IsValid()) << img.name;
        const std::string size = RunCommand("icat '" + path + "' 2 | wc -c");
        EXPECT_EQ(finder.GetLogPageCount(), std::stoll(size) / kPage) << img.name;
        EXPECT_TRUE(finder.Analyzer());
        // ntfs-3g leaves the log all 0xFF.
        EXPECT_EQ(finder.GetCollectedFileCount(), 0u);
        EXPECT_EQ(finder.GetLogRecordCount(), 0u);
    }
}

// The quick search consults the journal for a deleted file left with size 0:
// ntfs_basic.img with Docs/mid.dat's record emptied and its FILE record
// logged in the $LogFile as redo data.
TEST(NTFSLogFileFinder, QuickSearchRepairsAnEmptiedDeletedFile) {
    auto bytes = ReadFile(Fixture("ntfs_basic.img"));
    ASSERT_FALSE(bytes.empty());
    std::int64_t midMft = -1;
    const auto original = RealRecord(L"mid.dat", &midMft);
    auto originalCopy = original;
    const auto expected = Properties(originalCopy);
    ASSERT_EQ(expected->GetFileSize(), 20000);

    // Where records and the log lie in the image.
    const std::int64_t mftLcn = static_cast<std::int64_t>(LE64(bytes.data() + 48));
    std::vector<std::uint8_t> rec0(bytes.begin() + mftLcn * 4096, bytes.begin() + mftLcn * 4096 + 1024);
    CNTFSDataRunList mftRuns;
    ASSERT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(rec0.data(), 1024, mftRuns, 0, nullptr));
    auto at = [&](std::int64_t mft) {
        return static_cast<std::size_t>(mftRuns.GetLCN(mft / 4) * 4096 + (mft % 4) * 1024);
    };
    std::vector<std::uint8_t> logRec(bytes.begin() + static_cast<std::ptrdiff_t>(at(2)),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(at(2) + 1024));
    const auto logProps = Properties(logRec);
    const auto logRuns = RunsOf(*logProps);
    ASSERT_FALSE(logRuns.empty());

    // Empty the deleted record: no runs, sizes 0 in $DATA and $FILE_NAME.
    std::vector<std::uint8_t> emptied = original;
    ASSERT_TRUE(EmptyLikeNtfs(emptied));
    std::copy(emptied.begin(), emptied.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at(midMft)));

    struct Recorder : IDirecotryTreeBuilder {
        int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
        int AddNode(IFileNode* node, _tagSearcherType) override {
            if (std::string(node->GetFileName()) == "mid.dat") {
                size = node->GetFileSize();
                runs =
                    RunsOf(*static_cast<CNTFSFileProperties*>(static_cast<CNTFSFileNode*>(node)->GetFileProperties()));
            }
            return 0;
        }
        int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
        void FlashBuild(_tagSearcherType) override {}
        void Release() override {}
        void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
        std::int64_t size = -1;
        std::vector<DataRun> runs;
    };
    struct Progress : IProgress {
        void UpdateProgress(_PROGRESS_INFO*) override {}
        int Continued() override { return 1; }
        int shouldBuild() override { return 1; }
    } progress;
    auto scan = [&](const std::vector<std::uint8_t>& image) {
        MemoryDevice dev(image);
        Recorder builder;
        CNTFSQuickSearch search;
        search.SetDirecotryTreeBuilder(&builder);
        EXPECT_EQ(search.QuickSearchFiles(&dev, &progress), ENGINE_OK);
        return builder;
    };
    // With the log as ntfs-3g left it the file stays empty.
    EXPECT_EQ(scan(bytes).size, 0);

    LogWriter log(8);
    log.Append(FileImageOp(7, original));
    const auto pages = log.Bytes();
    ASSERT_GE(logRuns[0].length * 4096, static_cast<std::int64_t>(pages.size()));
    std::copy(pages.begin(), pages.end(), bytes.begin() + logRuns[0].start * 4096);
    const Recorder repaired = scan(bytes);
    EXPECT_EQ(repaired.size, 20000);
    EXPECT_EQ(repaired.runs, RunsOf(*expected));
}
