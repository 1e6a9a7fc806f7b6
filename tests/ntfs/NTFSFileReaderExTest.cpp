// The cluster reader of found NTFS files, the resident-stream helpers and the
// $Volume label: a pattern device whose every u64 names its sector, real
// records of ntfs_basic.img checked against icat, and the recycle-bin rename
// of a resident "$I" index file.
#include <gtest/gtest.h>

#include <memory>

#include "NTFSTestSupport.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/SearcherInterfaces.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileReaderEx.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMultiFileRecord.h"
#include "ntfs/NTFSVolumeAnalyzer.h"
#include "recovery/RecyclerFilter.h"
#include "storage/MemoryDevice.h"

using namespace ntfstest;

namespace {

struct NodeDeleter {
    void operator()(CNTFSFileNode* n) const { n->Release(); }
};
using NodePtr = std::unique_ptr<CNTFSFileNode, NodeDeleter>;

NodePtr NodeWithRuns(const std::vector<DataRun>& runs, std::int64_t size) {
    CNTFSFileProperties* props = CNTFSFileProperties::Create();
    CNoneResidentNTFSDataRunList list;
    for (const DataRun& r : runs) list.AddDataRun(r);
    props->SetDataRunList(&list);
    props->SetFileSize(size);
    props->SetFileName("file.bin");
    NodePtr node(CreateNTFSFileNode());
    node->SetFileProperties(props);
    return node;
}

// A node made from a FILE record at `sector` of the device, as the scans make them.
NodePtr NodeFromRecord(IStorageDevice& device, std::int64_t sector) {
    std::vector<std::uint8_t> area(16 * 512, 0);
    device.ReadSector(area.data(), sector, 2);
    CNTFSMultiFileRecord multi(area.data(), 1024, sector, &device, nullptr);
    CNTFSFileProperties* props = CNTFSFilePropertiesBuilder::BuildFileProperties(sector, multi, 4096, nullptr);
    if (props == nullptr) return nullptr;
    NodePtr node(CreateNTFSFileNode());
    node->SetFileProperties(props);
    return node;
}

// Sector of MFT record `mft` in ntfs_basic.img (4 KiB clusters, 1 KiB records).
std::int64_t RecordSector(const std::vector<std::uint8_t>& image, std::int64_t mft) {
    const auto lcn = static_cast<std::int64_t>(byteorder::LE64(&image[48]));
    std::vector<std::uint8_t> rec0(image.begin() + lcn * 4096, image.begin() + lcn * 4096 + 1024);
    CNTFSDataRunList runs;
    CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(rec0.data(), 1024, runs, 0, nullptr);
    return runs.GetLCN(mft / 4) * 8 + (mft % 4) * 2;
}

std::int64_t MftOf(const char* path) {
    const std::string out = RunCommand("ifind -n '" + std::string(path) + "' '" + Fixture("ntfs_basic.img") + "'");
    return out.empty() ? -1 : std::stoll(out);
}

}  // namespace

TEST(NTFSFileReaderEx, ClusterReadsThroughRunsAndHoles) {
    // 1 KiB clusters; the volume starts at sector 100 of the device.
    CMemoryStorageDevice dev(512, 400);
    dev.FillPattern();
    const std::int64_t start = 100;
    const std::vector<DataRun> runs = {{10, 1}, {20, 2}, {-1, 1}, {30, 1}};
    const std::int64_t size = 4600;
    auto node = NodeWithRuns(runs, size);
    // What each byte of the file must be: the u64 of its device sector, or 0.
    std::vector<std::uint8_t> expected;
    for (const DataRun& r : runs)
        for (std::int64_t c = 0; c < r.length; ++c)
            for (int s = 0; s < 2; ++s)
                for (int w = 0; w < 64; ++w) {
                    const std::uint64_t v = r.start < 0 ? 0 : static_cast<std::uint64_t>(start + (r.start + c) * 2 + s);
                    for (int b = 0; b < 8; ++b) expected.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
                }
    expected.resize(size);

    CSearchedPartitionInfo partition(512);
    partition.SetCluster0Sector(start);
    partition.SetSectorsPerCluster(2);
    CFileReaderEx reader;
    ASSERT_EQ(reader.Open(&dev, node.get(), &partition), 1);
    struct Case {
        std::int64_t offset;
        int length;
        int result;
        int done;
    };
    const Case cases[] = {
        {0, 4600, 1, 4600},  {1000, 3072, 1, 3072},  // from the middle of the first run on through the second
        {3100, 100, 1, 100},                         // inside the hole (regression: read at sector -2 + start)
        {4500, 500, 1, 100},                         // cut at the end
        {7, 13, 1, 13},                              // into a buffer of exactly 13 bytes
        {4600, 10, 0, 0},    {-1, 10, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> out(static_cast<std::size_t>(c.length), 0xEE);
        int done = -1;
        EXPECT_EQ(reader.Read(c.offset, out.data(), c.length, done), c.result) << c.offset;
        EXPECT_EQ(done, c.done) << c.offset;
        if (c.result == 1) {
            EXPECT_TRUE(std::equal(out.begin(), out.begin() + c.done, expected.begin() + c.offset)) << c.offset;
        }
    }

    // A failed cluster read stops the read; refusals of Open.
    dev.FailSector(start + 20 * 2);
    std::vector<std::uint8_t> out(4600);
    int done = 0;
    EXPECT_EQ(reader.Read(0, out.data(), 4600, done), 0);
    CFileReaderEx refused;
    EXPECT_EQ(refused.Open(nullptr, node.get(), 0, 2), 0);
    EXPECT_EQ(refused.Open(&dev, node.get(), 0, 0), 0);
    auto empty = NodeWithRuns(runs, 0);
    EXPECT_EQ(refused.Open(&dev, empty.get(), 0, 2), 0);
}

TEST(NTFSFileReaderEx, ResidentFilesOfARealVolumeReadAsIcatDoes) {
    const std::string image = Fixture("ntfs_basic.img");
    const auto bytes = ReadFile(image);
    MemoryDevice dev(bytes);
    for (const char* path : {"Docs/small.txt", "文档.txt"}) {
        const std::int64_t mft = MftOf(path);
        ASSERT_GT(mft, 0) << path;
        const std::string tmp = FixtureDir() + "/icat_ex." + std::to_string(getpid());
        RunCommand("icat '" + image + "' " + std::to_string(mft) + " > " + tmp);
        const auto icat = ReadFile(tmp);
        std::remove(tmp.c_str());
        auto node = NodeFromRecord(dev, RecordSector(bytes, mft));
        ASSERT_NE(node, nullptr) << path;
        ASSERT_EQ(node->GetFileSize(), static_cast<std::int64_t>(icat.size())) << path;
        CFileReaderEx reader;
        ASSERT_EQ(reader.Open(&dev, node.get(), 0, 8), 1);
        std::vector<std::uint8_t> out(1024, 0);
        int done = 0;
        EXPECT_EQ(reader.Read(0, out.data(), 1024, done), 1) << path;
        ASSERT_EQ(done, static_cast<int>(icat.size())) << path;
        EXPECT_TRUE(std::equal(icat.begin(), icat.end(), out.begin())) << path;
        // From an offset: the bytes from there, not from the start.
        EXPECT_EQ(reader.Read(60, out.data(), 1024, done), 1);
        ASSERT_EQ(done, static_cast<int>(icat.size()) - 60);
        EXPECT_TRUE(std::equal(icat.begin() + 60, icat.end(), out.begin())) << path;
    }

    // The stream helpers: the 600-byte file needs 600 bytes of room.
    auto cjk = NodeFromRecord(dev, RecordSector(bytes, MftOf("文档.txt")));
    std::vector<std::uint8_t> out(600);
    std::int64_t length = 0;
    EXPECT_TRUE(GetResidentDataRunsStream(*cjk, dev, &length, out.data(), 600));
    EXPECT_EQ(length, 600);
    EXPECT_FALSE(GetResidentDataRunsStream(*cjk, dev, &length, out.data(), 200));
    EXPECT_TRUE(GetResidentDataRunsStream(static_cast<std::uint64_t>(RecordSector(bytes, MftOf("文档.txt"))), dev,
                                          &length, out.data(), 600));
    // A folder is refused before anything is read; a non-resident file is
    // no resident stream.
    CMemoryStorageDevice counting(512, static_cast<std::int64_t>(bytes.size() / 512));
    counting.Write(0, bytes.data(), bytes.size());
    auto folder = NodeFromRecord(counting, RecordSector(bytes, MftOf("Docs")));
    ASSERT_NE(folder, nullptr);
    ASSERT_TRUE(folder->IsDirectory());
    const std::int64_t reads = counting.ReadCalls();
    EXPECT_FALSE(GetResidentDataRunsStream(*folder, counting, &length, out.data(), 600));
    EXPECT_EQ(counting.ReadCalls(), reads);
    auto big = NodeFromRecord(dev, RecordSector(bytes, MftOf("Docs/Sub/big.dat")));
    EXPECT_FALSE(GetResidentDataRunsStream(*big, dev, &length, out.data(), 600));
}

TEST(NTFSVolumeLabel, FromTheVolumeRecord) {
    const auto bytes = ReadFile(Fixture("ntfs_basic.img"));
    std::vector<std::uint8_t> volume(bytes.begin() + RecordSector(bytes, 3) * 512,
                                     bytes.begin() + RecordSector(bytes, 3) * 512 + 1024);
    char label[64];
    ASSERT_TRUE(CVolumeFileAnalyzer::GetLabel(volume.data(), label, 1024, sizeof(label)));
    EXPECT_STREQ(label, "QUILLORY");
    // A CJK label is not cut to its UTF-16 length (15 UTF-8 bytes from 10).
    std::vector<std::uint8_t> name;
    for (char16_t c : std::u16string(u"数据恢复盘")) {
        name.push_back(static_cast<std::uint8_t>(c));
        name.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    auto cjk = MakeRecord({ResidentAttr(0x10, StdInfoContent(0x06)),
                           ResidentAttr(0x30, FileNameContent(u"$Volume", 5, 3)), ResidentAttr(0x60, name)},
                          1, 3);
    ASSERT_TRUE(CVolumeFileAnalyzer::GetLabel(cjk.data(), label, 1024, sizeof(label)));
    EXPECT_STREQ(label, "数据恢复盘");
    // A small label area cuts at a character boundary.
    char small[8];
    ASSERT_TRUE(CVolumeFileAnalyzer::GetLabel(cjk.data(), small, 1024, sizeof(small)));
    EXPECT_STREQ(small, "数据");
    // Not a $Volume record: the area is left as it was.
    std::strcpy(label, "kept");
    auto other = MakeRecord({ResidentAttr(0x10, StdInfoContent(0x06)),
                             ResidentAttr(0x30, FileNameContent(u"$Boot", 5, 3)), ResidentAttr(0x60, name)},
                            1, 7);
    EXPECT_FALSE(CVolumeFileAnalyzer::GetLabel(other.data(), label, 1024, sizeof(label)));
    EXPECT_STREQ(label, "kept");
}

TEST(NTFSFileReaderEx, RecycleBinIndexFileRenamesItsEntry) {
    // A Windows 10 "$I" file (version 2: version, size, deletion time, path
    // length in units, path), resident in its FILE record at sector 64.
    const std::u16string path = u"C:\\Users\\ann\\Documents\\report 2024.docx";
    std::vector<std::uint8_t> content(28 + 2 * (path.size() + 1), 0);
    Put64(content.data(), 2);
    Put64(content.data() + 8, 123456);
    Put32(content.data() + 24, static_cast<std::uint32_t>(path.size() + 1));
    for (std::size_t i = 0; i < path.size(); ++i) Put16(content.data() + 28 + 2 * i, path[i]);
    const auto record =
        MakeRecord({ResidentAttr(0x10, StdInfoContent(0x20)), ResidentAttr(0x30, FileNameContent(u"$IAB12CD.docx", 40)),
                    ResidentAttr(0x80, content)},
                   0, 41);
    CMemoryStorageDevice dev(512, 2048);
    dev.FillPattern();
    dev.Write(64 * 512, record.data(), record.size());
    auto index = NodeFromRecord(dev, 64);
    ASSERT_NE(index, nullptr);
    ASSERT_EQ(index->GetFileSize(), static_cast<std::int64_t>(content.size()));
    auto entry = NodeWithRuns({{100, 1}}, 4096);
    entry->SetFileName("$RAB12CD.docx");

    // The plain run reader takes the record's sector for a cluster: no name.
    CRecyclerFilter::ResetIndexFileReader();
    CRecyclerFilter::RestorFileName(&dev, entry.get(), index.get(), 0, 8, SEARCHER_NTFS);
    EXPECT_STREQ(entry->GetFileName(), "$RAB12CD.docx");
    InstallNTFSIndexFileReader();
    CRecyclerFilter::RestorFileName(&dev, entry.get(), index.get(), 0, 8, SEARCHER_NTFS);
    EXPECT_STREQ(entry->GetFileName(), "report 2024.docx");

    // Setting up a deep search installs the reader as the quick search does.
    CRecyclerFilter::ResetIndexFileReader();
    entry->SetFileName("$RAB12CD.docx");
    delete CreateNTFSSearcher();
    CRecyclerFilter::RestorFileName(&dev, entry.get(), index.get(), 0, 8, SEARCHER_NTFS);
    EXPECT_STREQ(entry->GetFileName(), "report 2024.docx");
    CRecyclerFilter::ResetIndexFileReader();
}
