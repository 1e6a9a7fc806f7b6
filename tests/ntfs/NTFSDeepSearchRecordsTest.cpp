#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "NTFSTestSupport.h"
#include "foundation/RecordContainer.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"

using namespace ntfstest;

namespace {

constexpr tagGUIDSIGN kFrame = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};

// A real record-container file in a temporary folder.
class ContainerFile {
public:
    ContainerFile() {
        char tmpl[] = "/tmp/quillory-ntfs-rs.XXXXXX";
        m_dir = mkdtemp(tmpl);
        m_path = m_dir + "/result.rsf";
    }
    ~ContainerFile() {
        std::remove(m_path.c_str());
        rmdir(m_dir.c_str());
    }
    template <typename Fn>
    void Write(Fn fn) {
        CRSData rs(RSMODE_WRITE);
        ASSERT_TRUE(rs.StartRS(m_path.c_str(), 1));
        FILEHEADER header;
        header.status = 1;
        ASSERT_TRUE(rs.WriteFileHeader(header));
        rs.OpenFrame(kFrame);
        fn(rs);
        rs.CloseFrame();
        rs.EndRS();
    }
    template <typename Fn>
    void Read(Fn fn) {
        CRSData rs(RSMODE_READ);
        ASSERT_TRUE(rs.StartRS(m_path.c_str(), 0));
        rs.OpenFrame(kFrame);
        fn(rs);
        rs.CloseFrame();
        rs.EndRS();
    }

private:
    std::string m_dir;
    std::string m_path;
};

std::vector<std::uint8_t> MftRecord(const std::vector<std::uint8_t>& runs, std::int64_t realSize,
                                    std::int64_t lastVcn) {
    return MakeRecord({ResidentAttr(0x10, StdInfoContent(0x06)), ResidentAttr(0x30, FileNameContent(u"$MFT", 5, 3)),
                       NonResidentAttr(0x80, runs, realSize, 0, lastVcn)},
                      1, 0);
}

}  // namespace

TEST(NTFSDeepSearchRecords, PositionRunsMerge) {
    CCommonFileRecordPositionInfo run(1000);
    EXPECT_TRUE(run.Merge(1002));
    EXPECT_TRUE(run.Merge(1004));
    EXPECT_EQ(run.GetFileRecordCount(), 3);
    EXPECT_FALSE(run.Merge(1005));
    EXPECT_FALSE(run.Merge(1008));
    EXPECT_TRUE(run.Merge(1006));
    EXPECT_EQ(run.GetFileRecordCount(), 4);
    CCommonFileRecordPositionInfo empty;
    EXPECT_FALSE(empty.Merge(0));
}

TEST(NTFSDeepSearchRecords, SystemFileInfos) {
    // $MFT with two runs: 16 clusters at 4, 8 clusters at 100 (4 KiB clusters).
    auto rec = MftRecord({0x11, 0x10, 0x04, 0x11, 0x08, 0x60, 0x00}, 24 * 4096, 23);
    CNTFSFileRecord r(rec.data(), 1024, 1);
    std::unique_ptr<CMFTInfo> mft(CMFTInfo::Build(r, 64));
    ASSERT_NE(mft, nullptr);
    EXPECT_EQ(mft->GetSectorsPerCluster(), 8);
    EXPECT_EQ(mft->GetSectorsPerFileRecord(), 2);
    EXPECT_EQ(mft->GetFirstClusterNO(), 4);
    EXPECT_EQ(mft->GetDataRunList().GetLCN(16), 100);

    // $Bitmap with real size 0 is refused.
    auto bitmap0 =
        MakeRecord({ResidentAttr(0x10, StdInfoContent(0x06)), ResidentAttr(0x30, FileNameContent(u"$Bitmap", 5, 3)),
                    NonResidentAttr(0x80, {0x11, 0x01, 0x20, 0x00}, 0, 0, 0)},
                   1, 6);
    CNTFSFileRecord b0(bitmap0.data(), 1024, 1);
    CBitmapFileInfo info;
    EXPECT_FALSE(info.InitFromBuffer(b0, 80));
    auto bitmap =
        MakeRecord({ResidentAttr(0x10, StdInfoContent(0x06)), ResidentAttr(0x30, FileNameContent(u"$Bitmap", 5, 3)),
                    NonResidentAttr(0x80, {0x11, 0x01, 0x20, 0x00}, 512, 0, 0)},
                   1, 6);
    CNTFSFileRecord b1(bitmap.data(), 1024, 1);
    EXPECT_TRUE(info.InitFromBuffer(b1, 80));
    EXPECT_EQ(info.GetFileSize(), 512);
    // The total check: clusters must equal the VCN span.
    auto bitmapBad = MakeRecord({ResidentAttr(0x30, FileNameContent(u"$Bitmap", 5, 3)),
                                 NonResidentAttr(0x80, {0x11, 0x01, 0x20, 0x00}, 512, 0, 5)},
                                1, 6);
    CNTFSFileRecord b2(bitmapBad.data(), 1024, 1);
    EXPECT_FALSE(CBitmapFileInfo().InitFromBuffer(b2, 80));

    // Meta infos keep sector, sequence number and runs; a resident $DATA fails.
    CMetaFileInfo a, b;
    EXPECT_TRUE(a.InitFromBuffer(rec.data(), 1024, 64));
    EXPECT_TRUE(b.InitFromBuffer(rec.data(), 1024, 64));
    EXPECT_TRUE(a.Equals(b));
    EXPECT_EQ(a.GetLogFileSequenceNumber(), 0x1234);
    auto resident = MakeRecord(
        {ResidentAttr(0x30, FileNameContent(u"x", 5)), ResidentAttr(0x80, std::vector<std::uint8_t>(10, 1))});
    EXPECT_FALSE(CMetaFileInfo().InitFromBuffer(resident.data(), 1024, 64));

    // Common records: folder flag, own number, parent fallback.
    auto common = MakeRecord(
        {ResidentAttr(0x30, FileNameContent(u"A", 2, 2)), ResidentAttr(0x30, FileNameContent(u"Along", 66, 1))}, 3, 90);
    CCommonFileRecordInfo ci;
    EXPECT_TRUE(ci.InitFromBuffer(common.data(), 1024, 5000));
    EXPECT_TRUE(ci.IsDirectory());
    EXPECT_EQ(ci.GetMFTFileRecordNumber(), 90);
    EXPECT_EQ(ci.GetParentFileRecordNumber(), 66);
    EXPECT_EQ(ci.GetSectorAddress(), 5000);
}

TEST(NTFSDeepSearchRecords, SaveAndRestoreThroughAContainerFile) {
    auto rec = MftRecord({0x11, 0x10, 0x04, 0x11, 0x08, 0x60, 0x00}, 24 * 4096, 23);
    CNTFSFileRecord r(rec.data(), 1024, 1);
    std::unique_ptr<CMFTInfo> mft(CMFTInfo::Build(r, 64));
    ASSERT_NE(mft, nullptr);

    CSearchedNTFSPartitionInfo part(4096);
    part.SetSerialNumber(0x0102030405060708);
    part.AddPartitionBuildFromFlag(NTFS_BUILD_FROM_RSTR1);
    part.AddPartitionBuildFromFlag(NTFS_BUILD_FROM_RSTR2);
    part.SetMFTLocated(1);
    part.SetTotalClusters(4000);
    part.SetLogFileMatchCount(16);
    part.SetMFTSector(64);
    part.SetBitmapSectors(32000);

    CNoneResidentNTFSDataRunList runs;
    runs.AddDataRun(DataRun{100, 8});
    runs.AddDataRun(DataRun{-1, 4});
    std::unique_ptr<CCompressedDataRunList> compact(CCompressedDataRunList::Compress(&runs));

    ContainerFile file;
    std::uint32_t sizes[3] = {};
    file.Write([&](IRSData& rs) {
        ASSERT_TRUE(mft->Save(rs));
        ASSERT_TRUE(part.Save(rs));
        ASSERT_TRUE(compact->Save(rs));
    });
    file.Read([&](IRSData& rs) {
        sizes[0] = rs.GetFrameSize();
        CMFTInfo back;
        ASSERT_TRUE(back.Restore(rs));
        sizes[1] = rs.GetFrameRemaining();
        EXPECT_EQ(back.GetSectorAddress(), 64);
        EXPECT_EQ(back.GetSectorsPerCluster(), 8);
        EXPECT_EQ(back.GetSectorsPerFileRecord(), 2);
        EXPECT_TRUE(back.GetDataRunList().IsEqual(mft->GetDataRunList()));
        CSearchedNTFSPartitionInfo partBack;
        ASSERT_TRUE(partBack.Restore(rs));
        sizes[2] = rs.GetFrameRemaining();
        EXPECT_EQ(partBack.GetType(), 0);
        EXPECT_EQ(partBack.GetSerialNumber(), 0x0102030405060708);
        EXPECT_EQ(partBack.GetPartitionBuildFromFlags(), 192u);
        EXPECT_EQ(partBack.GetMFTLocated(), 1u);
        EXPECT_EQ(partBack.GetTotalClusters(), 4000);
        EXPECT_EQ(partBack.GetLogFileMatchCount(), 16);
        EXPECT_EQ(partBack.GetAttrDefMatchCount(), -1);
        EXPECT_EQ(partBack.GetMFTSector(), 64);
        EXPECT_EQ(partBack.GetBitmapSectors(), 32000);
        std::unique_ptr<CCompressedDataRunList> compactBack(CCompressedDataRunList::Restore(rs));
        ASSERT_NE(compactBack, nullptr);
        EXPECT_EQ(compactBack->Bytes(), compact->Bytes());
        EXPECT_EQ(rs.GetFrameRemaining(), 0u);
    });
    EXPECT_EQ(sizes[0] - sizes[1], 66u);  // 8 + 1 + 1 + 8 + 2 x 24
    EXPECT_EQ(sizes[1] - sizes[2], 96u);
}

TEST(NTFSDeepSearchRecords, HostileCountsInAFrameAreRefused) {
    ContainerFile file;
    file.Write([&](IRSData& rs) {
        std::uint8_t runCount[8];
        Put64(runCount, 0x0FFFFFFFFFFFFFFFull);  // a run list claiming 2^60 runs
        rs.WriteCurFrame(runCount, 8);
    });
    file.Read([&](IRSData& rs) {
        CNTFSDataRunList list;
        EXPECT_FALSE(list.Restore(rs));
        EXPECT_TRUE(list.IsEmpty());
    });
    ContainerFile file2;
    file2.Write([&](IRSData& rs) {
        std::uint8_t count[4];
        Put32(count, 0xFFFFFFF0u);  // compact runs claiming 4 GiB
        rs.WriteCurFrame(count, 4);
        rs.WriteCurFrame(count, 4);
    });
    file2.Read([&](IRSData& rs) { EXPECT_EQ(CCompressedDataRunList::Restore(rs), nullptr); });
    ContainerFile file3;
    file3.Write([&](IRSData& rs) {
        std::uint8_t partial[50] = {};
        rs.WriteCurFrame(partial, sizeof(partial));  // shorter than a partition record
    });
    file3.Read([&](IRSData& rs) {
        CSearchedNTFSPartitionInfo p;
        EXPECT_FALSE(p.Restore(rs));
        // Nothing was consumed: a run list with count 0 follows the header.
        CMFTInfo m;
        EXPECT_TRUE(m.Restore(rs));
        EXPECT_TRUE(m.GetDataRunList().IsEmpty());
    });
}
