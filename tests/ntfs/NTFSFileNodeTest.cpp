#include <gtest/gtest.h>

#include <memory>

#include "NTFSTestSupport.h"
#include "recovery/FileReader.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"

using namespace ntfstest;

static bool operator==(const DataRun& a, const DataRun& b) { return a.start == b.start && a.length == b.length; }

namespace {

std::vector<DataRun> RunsOf(IDataRunList* list) {
    std::vector<DataRun> out;
    for (DataRun* r = list->GetFirst(); r != nullptr; r = list->GetNext()) out.push_back(*r);
    return out;
}

std::unique_ptr<CNTFSFileProperties> Build(std::vector<std::uint8_t> rec, std::int64_t clusterBytes = 4096,
                                           std::int64_t sector = 1000, std::int64_t* parent = nullptr,
                                           IStorageDevice* device = nullptr,
                                           const ExtendFileRecordInfoList* ext = nullptr) {
    CNTFSMultiFileRecord multi(rec.data(), 1024, sector, device, ext);
    return std::unique_ptr<CNTFSFileProperties>(
        CNTFSFilePropertiesBuilder::BuildFileProperties(sector, multi, clusterBytes, parent));
}

}  // namespace

TEST(NTFSCompactRuns, EncodeDecodeTable) {
    CNoneResidentNTFSDataRunList list;
    const std::vector<DataRun> runs = {{100, 8}, {90, 4}, {-1, 16}, {200, 2}};
    for (const DataRun& r : runs) list.AddDataRun(r);
    std::unique_ptr<CCompressedDataRunList> c(CCompressedDataRunList::Compress(&list));
    ASSERT_NE(c, nullptr);
    const std::vector<std::uint8_t> expected = {0x11, 0x08, 0x64, 0x11, 0x04, 0xF6, 0x01, 0x10, 0x11, 0x02, 0x6E, 0x00};
    EXPECT_EQ(c->Bytes(), expected);
    EXPECT_EQ(c->GetCompressedDataRunSize(), 12);
    IDataRunList* back = c->Decompress();
    EXPECT_EQ(back->GetDataRunListType(), CNoneResidentNTFSDataRunList::kListType);
    EXPECT_EQ(RunsOf(back), runs);
    back->Release();

    struct Need {
        std::int64_t v;
        int bytes;
    } needs[] = {{0, 1},        {127, 1},     {128, 2},       {-128, 1},     {-129, 2},
                 {-8388608, 3}, {8388608, 4}, {INT64_MAX, 8}, {INT64_MIN, 8}};
    for (const Need& n : needs) EXPECT_EQ(CCompressedDataRunList::GetNeedBytes(n.v), n.bytes) << n.v;

    // Deltas and lengths far beyond the on-disk four-byte limit round-trip.
    CNoneResidentNTFSDataRunList wide;
    const std::vector<DataRun> wideRuns = {{9000000, 1}, {9000000 - 8388608, 3}, {1ll << 40, 1ll << 35}, {5, 7}};
    for (const DataRun& r : wideRuns) wide.AddDataRun(r);
    std::unique_ptr<CCompressedDataRunList> cw(CCompressedDataRunList::Compress(&wide));
    EXPECT_EQ(cw->Bytes()[6], 0x31);  // the -8,388,608 step takes three bytes
    IDataRunList* wideBack = cw->Decompress();
    EXPECT_EQ(RunsOf(wideBack), wideRuns);
    wideBack->Release();

    // Thousands of runs: the encoding grows as needed.
    CNoneResidentNTFSDataRunList many;
    std::vector<DataRun> manyRuns;
    for (int i = 0; i < 5000; ++i)
        manyRuns.push_back({static_cast<std::int64_t>(i) * 1000003 % 900000007, 1 + i % 300});
    for (const DataRun& r : manyRuns) many.AddDataRun(r);
    std::unique_ptr<CCompressedDataRunList> cm(CCompressedDataRunList::Compress(&many));
    IDataRunList* manyBack = cm->Decompress();
    EXPECT_EQ(RunsOf(manyBack), manyRuns);
    manyBack->Release();

    CNoneResidentNTFSDataRunList empty;
    EXPECT_EQ(CCompressedDataRunList::Compress(&empty), nullptr);

    CResidentNTFSDataRunList res;
    res.InitList(4242, 1, 0x98);
    std::unique_ptr<CCompressedDataRunList> cr(CCompressedDataRunList::Compress(&res));
    EXPECT_EQ(cr->GetDataOffset(), 0x98);
    IDataRunList* resBack = cr->Decompress();
    EXPECT_EQ(resBack->IsResident(), 1);
    EXPECT_EQ(resBack->GetOffset(), 0x98);
    EXPECT_EQ(RunsOf(resBack), (std::vector<DataRun>{{4242, 1}}));
    IDataRunList* resClone = resBack->Clone();  // a clone stays resident
    EXPECT_EQ(resClone->IsResident(), 1);
    EXPECT_EQ(resClone->GetOffset(), 0x98);
    resClone->Release();
    resBack->Release();
}

TEST(NTFSProperties, BuilderRules) {
    const auto si = ResidentAttr(0x10, StdInfoContent(0x27 | 0x100));
    // Sizes: $FILE_NAME 5,000 against $DATA 4,000.
    {
        auto rec = MakeRecord({si, ResidentAttr(0x30, FileNameContent(u"five.txt", 70, 1, 5000)),
                               NonResidentAttr(0x80, {0x11, 0x02, 0x40, 0x00}, 4000, 0, 1)});
        auto p = Build(rec, 4096);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->GetFileSize(), 5000);  // two clusters allocated
        auto one = MakeRecord({si, ResidentAttr(0x30, FileNameContent(u"five.txt", 70, 1, 5000)),
                               NonResidentAttr(0x80, {0x11, 0x01, 0x40, 0x00}, 4000, 0, 0)});
        EXPECT_EQ(Build(one, 4096)->GetFileSize(), 4096);  // clamped to one cluster
        EXPECT_EQ(Build(one, 0)->GetFileSize(), 5000);     // no usable cluster size: no clamp
    }
    // Size 0 with two clusters becomes the allocation.
    {
        auto rec = MakeRecord({si, ResidentAttr(0x30, FileNameContent(u"zero", 70, 1, 0)),
                               NonResidentAttr(0x80, {0x11, 0x02, 0x40, 0x00}, 0, 0, 1)},
                              0);
        auto p = Build(rec, 4096);
        EXPECT_EQ(p->GetFileSize(), 8192);
        EXPECT_EQ(p->GetState() & 1, 1);  // not in use: deleted
    }
    // Compressed and encrypted: encrypted wins.
    {
        auto rec = MakeRecord({si, ResidentAttr(0x30, FileNameContent(u"enc", 70)),
                               NonResidentAttr(0x80, {0x11, 0x02, 0x40, 0x00}, 8192, 0, 1, 0x4001)});
        EXPECT_EQ(Build(rec)->GetAttribute() & (NTFS_ATTR_ENCRYPTED | NTFS_ATTR_COMPRESSED), NTFS_ATTR_ENCRYPTED);
    }
    // DOS name first, Win32 second: the Win32 name and its parent.
    {
        std::int64_t parent = -1;
        auto rec = MakeRecord({si, ResidentAttr(0x30, FileNameContent(u"LONGNA~1.TXT", 3, 2)),
                               ResidentAttr(0x30, FileNameContent(u"long name.txt", 88, 1)),
                               ResidentAttr(0x80, std::vector<std::uint8_t>(33, 'x'))});
        auto p = Build(rec, 4096, 1000, &parent);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p->GetFileName(), "long name.txt");
        EXPECT_EQ(parent, 88);
        // $STANDARD_INFORMATION times and the bits 0x01, 0x02, 0x04, 0x20 win.
        EXPECT_EQ(p->GetCreationTime(), 5000);
        EXPECT_EQ(p->GetModificationTime(), 5001);
        EXPECT_EQ(p->GetLastAccessTime(), 5003);
        EXPECT_EQ(p->GetAttribute(), 0x27u);
        // Resident data: one run at the record's sector, content offset in it.
        EXPECT_EQ(p->GetFileSize(), 33);
        IDataRunList* runs = p->GetDataRunList();
        ASSERT_NE(runs, nullptr);
        EXPECT_EQ(runs->IsResident(), 1);
        EXPECT_EQ(RunsOf(runs), (std::vector<DataRun>{{1000, 1}}));
        const std::uint32_t dataOffset = CNTFSFileRecord::GetAttributeOffset(rec.data(), 0x80, 0);
        EXPECT_EQ(runs->GetOffset(), static_cast<std::int64_t>(dataOffset + 24));
        runs->Release();
        EXPECT_EQ(p->GetFileRecordIndex(), 70);
    }
    // Parents below 5 fall back; a directory gets 0x10; no name: no properties.
    {
        std::int64_t parent = -1;
        auto rec = MakeRecord({ResidentAttr(0x30, FileNameContent(u"dir", 2, 1, 0, 0x10000000))}, 3);
        auto p = Build(rec, 4096, 1000, &parent);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(parent, 2);
        EXPECT_EQ(p->GetAttribute(), NTFS_ATTR_DIRECTORY);
        EXPECT_EQ(Build(MakeRecord({si})), nullptr);
        EXPECT_EQ(Build(MakeRecord({ResidentAttr(0x30, FileNameContent(u"", 5))})), nullptr);
    }
    // Unpaired surrogates convert to U+FFFD; the name stays terminated.
    {
        std::u16string name = u"a";
        name += static_cast<char16_t>(0xD800);
        name += u"b";
        name += static_cast<char16_t>(0xDC00);
        auto rec = MakeRecord({ResidentAttr(0x30, FileNameContent(name, 5))});
        auto p = Build(rec);
        EXPECT_STREQ(p->GetFileName(),
                     "a\xEF\xBF\xBD"
                     "b\xEF\xBF\xBD");
        EXPECT_EQ(p->GetFileNameLength(), 9);
    }
}

TEST(NTFSProperties, SparseRunsAndNegativeSizes) {
    auto rec =
        MakeRecord({ResidentAttr(0x30, FileNameContent(u"sparse", 5)),
                    NonResidentAttr(0x80, {0x11, 0x02, 0x40, 0x01, 0x10, 0x11, 0x02, 0x08, 0x00}, 81920, 0, 19)});
    auto p = Build(rec);
    IDataRunList* runs = p->GetDataRunList();
    EXPECT_EQ(RunsOf(runs), (std::vector<DataRun>{{64, 2}, {-1, 16}, {72, 2}}));
    runs->Release();
    EXPECT_EQ(p->GetFileSize(), 81920);
    p->SetFileSize(-1);
    CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(p.get(), 8);
    EXPECT_EQ(p->GetFileSize(), 20 * 8 * 512);
}

TEST(NTFSFileNode, NodeForwardsAndClonesDeeply) {
    auto rec =
        MakeRecord({ResidentAttr(0x10, StdInfoContent(0x20)), ResidentAttr(0x30, FileNameContent(u"..file.dat", 70)),
                    NonResidentAttr(0x80, {0x11, 0x02, 0x40, 0x00}, 6000, 0, 1, 0x0001)},
                   0);
    CNTFSFileProperties* props = Build(rec, 4096, 123456).release();
    ASSERT_NE(props, nullptr);
    props->SetExtendFileRecordInfoList(new ExtendFileRecordInfoList{{2000, 71}, {2002, 72}});
    CNTFSFileNode* node = CreateNTFSFileNode();
    node->SetFileProperties(props);
    EXPECT_EQ(node->GetCurrentNodeID(), 0);
    EXPECT_EQ(node->GetParentNodeID(), 5);
    EXPECT_EQ(node->GetMetadataStartPosition(), 123456);
    EXPECT_EQ(node->GetSearcheType(), SEARCHER_NTFS);
    EXPECT_TRUE(node->IsDeleted());
    EXPECT_TRUE(node->IsCompressed());
    EXPECT_FALSE(node->IsDirectory());
    EXPECT_EQ(node->GetFileSize(), 6000);
    // A compressed node makes an (unopened) compressed reader.
    IFileReader* compressed = node->CreateCompressFileReader(nullptr);
    ASSERT_NE(compressed, nullptr);
    EXPECT_EQ(compressed->GetDataSize(), 0);
    compressed->Release();
    ASSERT_NE(node->GetDataRunList(), nullptr);
    node->SetCurrentNodeID(70);
    node->SetParentNodeID(66);

    IFileNode* clone = node->Clone();
    ASSERT_NE(clone, nullptr);
    auto* c = static_cast<CNTFSFileNode*>(clone);
    EXPECT_NE(c->GetFileProperties(), node->GetFileProperties());
    EXPECT_STREQ(c->GetFileName(), "..file.dat");
    EXPECT_EQ(c->GetMetadataStartPosition(), 123456);
    auto* cp = static_cast<CNTFSFileProperties*>(c->GetFileProperties());
    EXPECT_NE(cp->GetExtendFileRecordInfoList(), props->GetExtendFileRecordInfoList());
    EXPECT_EQ(*cp->GetExtendFileRecordInfoList(), *props->GetExtendFileRecordInfoList());
    EXPECT_NE(cp->GetCompressedDataRunList(), props->GetCompressedDataRunList());
    EXPECT_NE(c->GetDataRunList(), node->GetDataRunList());
    // Each frees its own: releasing the source first must leave the clone whole.
    node->Release();
    EXPECT_EQ(RunsOf(c->GetDataRunList()), (std::vector<DataRun>{{64, 2}}));
    c->FilterFileNameByDot();
    EXPECT_STREQ(c->GetFileName(), "..file.dat");  // leading dots are part of the name
    c->MarkDeleted();
    EXPECT_TRUE(c->IsDeleted());
    clone->Release();
}

// A node keeps its runs compact until they are read: a clone or a merge made
// before any read must still carry the runs, and a merge must hand over the
// other node's runs, never leave the taker to decode its own.
TEST(NTFSFileNode, RunsNotYetReadSurviveCloneAndMerge) {
    auto nodeWith = [](std::vector<std::uint8_t> pairs, std::int64_t size, std::int64_t lastVcn) {
        auto rec =
            MakeRecord({ResidentAttr(0x10, StdInfoContent(0x20)), ResidentAttr(0x30, FileNameContent(u"f.dat", 70)),
                        NonResidentAttr(0x80, pairs, size, 0, lastVcn, 0)},
                       0);
        CNTFSFileNode* node = CreateNTFSFileNode();
        node->SetFileProperties(Build(rec).release());
        return node;
    };
    CNTFSFileNode* older = nodeWith({0x11, 0x02, 0x40, 0x00}, 6000, 1);  // 2 clusters at 64
    // 3 clusters at 32, then 1 at 48
    CNTFSFileNode* newer = nodeWith({0x11, 0x03, 0x20, 0x11, 0x01, 0x10, 0x00}, 9000, 3);

    IFileNode* clone = older->Clone();
    ASSERT_NE(clone, nullptr);
    ASSERT_NE(static_cast<CFileNode*>(clone)->GetDataRunList(), nullptr);
    EXPECT_EQ(RunsOf(static_cast<CFileNode*>(clone)->GetDataRunList()), (std::vector<DataRun>{{64, 2}}));
    clone->Release();

    older->MergeNode(newer);
    ASSERT_NE(older->GetDataRunList(), nullptr);
    EXPECT_EQ(RunsOf(older->GetDataRunList()), (std::vector<DataRun>{{32, 3}, {48, 1}}));
    EXPECT_EQ(newer->GetDataRunList(), nullptr);
    older->Release();
    newer->Release();
}
