// The scan-result file format: the golden file both ways, the layout's edge
// cases, and damaged files, each ending with its code and no crash.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Crc.h"
#include "foundation/SearchedPartitionInfo.h"
#include "model/ScanResultFile.h"
#include "recovery/FilesystemNode.h"
#include "storage/DmgDevice.h"
#include "support/BuilderDouble.h"
#include "support/TempDir.h"

using namespace scanresult;
using quillory_test::BuilderDouble;
using quillory_test::TempDir;

namespace {

const std::string kGolden = std::string(QUILLORY_SOURCE_DIR) + "/tests/data/scan-result-golden.Quillory";

// A found file with every field settable.
class TestNode : public CFileNode {
public:
    TestNode(std::int64_t id, std::int64_t parent, std::string name, bool directory)
        : m_name(std::move(name)), m_directory(directory) {
        m_nodeId = id;
        m_parentNodeId = parent;
    }
    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return size; }
    std::uint32_t GetAttribute() override { return attribute; }
    std::int64_t GetCreationTime() override { return times[0]; }
    std::int64_t GetModificationTime() override { return times[1]; }
    std::int64_t GetLastAccessTime() override { return times[2]; }
    int IsDirectory() override { return m_directory; }
    int IsDeleted() override { return deleted; }
    IFileNode* Clone() override { return nullptr; }
    void MarkDeleted() override { deleted = 1; }
    void FilterFileNameByDot() override {}
    void SetRuns(std::initializer_list<DataRun> runs) {
        IDataRunList* list = CreateDataRunList();
        for (const DataRun& r : runs) list->AddDataRun(&r);
        m_dataRunList = list;
    }

    std::int64_t size = 0;
    std::uint32_t attribute = 0;
    std::int64_t times[3] = {};
    int deleted = 0;

private:
    std::string m_name;
    bool m_directory;
};

using quillory_test::ReadAll;
using quillory_test::WriteAll;

// The result the golden file holds, built in memory.
struct GoldenResult {
    GoldenResult() : root("golden.dmg(FAT/FAT32)", "golden.dmg", SEARCHER_FAT, 2) {
        file = new TestNode(5, 2, "hello.txt", false);
        file->size = 1234;
        file->attribute = 0x20;
        file->times[0] = 132537600000000000;
        file->times[1] = 132537600010000000;
        file->times[2] = 132537600020000000;
        file->deleted = 1;
        file->SetRuns({{10, 1}, {20, 2}});
        file->SetBelongedPartition(0);
        file->SetMetaDataSector(77);
        folder = new TestNode(6, 2, "", true);
        folder->attribute = 0x10;
        folder->times[0] = 132537600030000000;
        folder->SetBelongedPartition(0);
        folder->SetMetaDataSector(78);
        // Children are linked first: this gives the file, then the folder.
        root.AddChild(folder);
        root.AddChild(file);

        partition.SetPartitionIndex(0);
        partition.SetFileSystemType(FILE_SYSTEM_FAT32);
        partition.SetSectorsPerCluster(8);
        partition.SetStartSector(0);
        partition.SetCluster0Sector(100);
        partition.SetSecondPosition(7);
        partition.SetThirdPosition(9);
        partition.SetReservedWord2(3);
        partition.SetTotalSectors(2048);
        partition.SetCount(1);
        partition.SetScore(1.0);
        partition.SetLastWord(5);
        partition.SetLastWord2(6);
        // Some searchers keep a pointer here: it must never reach the file.
        partition.SetReservedWord(0x1122334455667788ull);

        head.controllerType = RECOVERY_CONTROLLER_QUICK;
        head.deep = 0;
        head.device.size = 1048576;
        head.device.diskIndex = 2;
        head.device.name = "golden.dmg";
        CDMGDeviceInfoStruct dmg{};
        dmg.sectorSize = 512;
        dmg.totalSectors = 2048;
        dmg.fileSize = 1048576;
        std::strcpy(dmg.fileName, "golden.dmg");
        std::strcpy(dmg.filePath, "/images/golden.dmg");
        std::uint8_t raw[kDmgInfoSize];
        SerialiseDmgInfo(dmg, raw);
        head.device.dmg = true;
        head.device.dmgRecord.assign(raw, raw + sizeof raw);
    }
    ~GoldenResult() {
        delete file;
        delete folder;
    }
    std::vector<VolumeToSave> Volumes() {
        VolumeToSave v;
        v.root = &root;
        v.searcherType = SEARCHER_FAT;
        v.volumeName = "golden.dmg";
        v.partitions = {&partition};
        return {v};
    }

    CFilesystemNode root;
    TestNode* file;
    TestNode* folder;
    CSearchedPartitionInfo partition;
    StoredHead head;
};

// Restores a file as far as the format goes: its head, then the replay of
// its node frame into a recording builder. The restore's end code.
int RestoreInto(const std::string& path, BuilderDouble& builder, StoredHead* headOut = nullptr,
                std::vector<CSearchedPartitionInfo>* partitions = nullptr) {
    CRSData rs(RSMODE_READ);
    StoredHead head;
    if (const int code = OpenScanResult(path.c_str(), rs, head); code != kResultOk) return code;
    if (headOut) *headOut = head;
    ScanResultReplay replay(&rs, nullptr);
    replay.SetDirecotryTreeBuilder(&builder, nullptr, nullptr);
    if (partitions)
        for (int type = SEARCHER_HFSPLUS; type <= SEARCHER_APFS; ++type)
            for (CSearchedPartitionInfo* p : replay.GetSearchedPartition(type)) partitions->push_back(*p);
    return replay.Damaged() ? kResultNodesDamaged : kResultOk;
}

// Offsets in the golden file, from the layout.
constexpr std::size_t kControllerFrame = 132;
constexpr std::size_t kDeviceFrame = kControllerFrame + 36 + 12;
constexpr std::size_t kDeviceData = kDeviceFrame + 36;
constexpr std::size_t kDeviceNameLength = kDeviceData + 20;
constexpr std::size_t kDmgLength = kDeviceNameLength + 4 + 10 + 4;
constexpr std::size_t kNodeFrame = kDmgLength + 4 + 2088 + 8;
constexpr std::size_t kNodeData = kNodeFrame + 36;
constexpr std::size_t kEntryMarkAt = kNodeData + 8;
constexpr std::size_t kRoot = kEntryMarkAt + 4;
constexpr std::size_t kPartitionCount = kRoot + kNodeHeadSize + 4 + 21 + kNodeTailSize + 4 + 4 + 10;
constexpr std::size_t kPartitionKind = kPartitionCount + 4;
constexpr std::size_t kFirstNodeMark = kPartitionKind + kPartitionEntrySize;
constexpr std::size_t kFirstNode = kFirstNodeMark + 4;

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { byteorder::PutLE32(b.data() + at, v); }

void FixCrc(std::vector<std::uint8_t>& b) {
    Put32(b, 20, 0);
    Put32(b, 20, CCRC::RunCRC16(b.data(), 132, kRSCrcPolynomial));
}

}  // namespace

TEST(ScanResultFile, WriterReproducesTheGoldenFileByteForByte) {
    TempDir dir("scan-result");
    GoldenResult result;
    const std::string out = dir.File("written.Quillory");
    ASSERT_EQ(WriteScanResult(out.c_str(), result.head, result.Volumes(), {}), kResultOk);
    const std::vector<std::uint8_t> golden = ReadAll(kGolden);
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(ReadAll(out), golden);
    // Sanity of the offsets the damage table relies on.
    EXPECT_EQ(byteorder::LE32(golden.data() + kDmgLength), kDmgRecordSize);
    EXPECT_EQ(byteorder::LE32(golden.data() + kPartitionCount), 1u);
    EXPECT_EQ(byteorder::LE32(golden.data() + kFirstNode + 58), 2u);  // run count
}

TEST(ScanResultFile, ReaderRestoresEveryFieldOfTheGoldenFile) {
    BuilderDouble builder;
    StoredHead head;
    std::vector<CSearchedPartitionInfo> partitions;
    ASSERT_EQ(RestoreInto(kGolden, builder, &head, &partitions), kResultOk);

    GoldenResult expected;
    EXPECT_EQ(head.controllerType, 0u);
    EXPECT_EQ(head.deep, 0u);
    EXPECT_EQ(head.device, expected.head.device);
    CDMGDeviceInfoStruct dmg{};
    ParseDmgInfo(head.device.dmgRecord.data(), head.device.dmgRecord.size(), dmg);
    EXPECT_STREQ(dmg.filePath, "/images/golden.dmg");
    EXPECT_EQ(dmg.totalSectors, 2048u);

    ASSERT_EQ(builder.searchers.size(), 1u);
    EXPECT_EQ(builder.searchers[0], std::make_pair(int(SEARCHER_FAT), std::int64_t{2}));
    EXPECT_EQ(builder.flashed, std::vector<int>{SEARCHER_FAT});

    ASSERT_EQ(partitions.size(), 1u);
    SearchedPartitionFields want = expected.partition.Fields();
    want.reservedWord = 0;  // never stored
    const SearchedPartitionFields& got = partitions[0].Fields();
    EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0);
    EXPECT_EQ(partitions[0].GetType(), CSearchedPartitionInfo::kBaseType);

    ASSERT_EQ(builder.nodes.size(), 2u);
    TestNode* originals[] = {expected.file, expected.folder};
    for (int i = 0; i < 2; ++i) {
        IFileNode* n = builder.nodes[i];
        TestNode* o = originals[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(n->GetCurrentNodeID(), o->GetCurrentNodeID());
        EXPECT_EQ(n->GetParentNodeID(), 2);
        EXPECT_STREQ(n->GetFileName(), o->GetFileName());
        EXPECT_EQ(n->GetFileSize(), o->GetFileSize());
        EXPECT_EQ(n->GetAttribute(), o->GetAttribute());
        EXPECT_EQ(n->GetCreationTime(), o->GetCreationTime());
        EXPECT_EQ(n->GetModificationTime(), o->GetModificationTime());
        EXPECT_EQ(n->GetLastAccessTime(), o->GetLastAccessTime());
        EXPECT_EQ(n->IsDirectory(), o->IsDirectory());
        EXPECT_EQ(n->IsDeleted(), o->IsDeleted());
        EXPECT_EQ(n->IsNodeShow(), 1);
        EXPECT_EQ(n->IsCompressed(), 0);
        auto* c = dynamic_cast<CFileNode*>(n);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->GetBelongedPartition(), 0);
        EXPECT_EQ(c->GetMetadataStartPosition(), o->GetMetadataStartPosition());
    }
    auto* runs = dynamic_cast<CFileNode*>(builder.nodes[0])->GetDataRunList();
    ASSERT_NE(runs, nullptr);
    std::vector<std::pair<std::int64_t, std::int64_t>> got_runs;
    CDataRunWalker walk(runs);
    for (const DataRun* r = walk.First(); r; r = walk.Next()) got_runs.emplace_back(r->start, r->length);
    EXPECT_EQ(got_runs, (std::vector<std::pair<std::int64_t, std::int64_t>>{{10, 1}, {20, 2}}));
    EXPECT_EQ(dynamic_cast<CFileNode*>(builder.nodes[1])->GetDataRunList(), nullptr);
}

// A restored node keeps its name and runs in its own allocation: a clone
// must carry copies of both and outlive the node it was made from, for
// names of every length up to the format's limit.
TEST(ScanResultFile, ClonesOfRestoredNodesOutliveTheirOriginals) {
    TempDir dir("scan-result");
    GoldenResult result;
    TestNode longName(7, 2, std::string(kMaxNameLength, 'n'), false);
    longName.SetRuns({{30, 3}, {40, 4}, {50, 5}});
    result.root.AddChild(&longName);
    const std::string path = dir.File("clones.Quillory");
    ASSERT_EQ(WriteScanResult(path.c_str(), result.head, result.Volumes(), {}), kResultOk);
    result.root.RemoveChild(&longName);

    BuilderDouble builder;
    ASSERT_EQ(RestoreInto(path, builder), kResultOk);
    ASSERT_EQ(builder.nodes.size(), 3u);
    const struct {
        std::string name;
        std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    } want[] = {{std::string(kMaxNameLength, 'n'), {{30, 3}, {40, 4}, {50, 5}}}, {"hello.txt", {{10, 1}, {20, 2}}}, {"", {}}};
    for (std::size_t i = 0; i < builder.nodes.size(); ++i) {
        SCOPED_TRACE(i);
        IFileNode* original = builder.nodes[i];
        IFileNode* clone = original->Clone();
        ASSERT_NE(clone, nullptr);
        original->Release();
        builder.nodes[i] = clone;
        EXPECT_EQ(clone->GetFileName(), want[i].name);
        EXPECT_EQ(clone->GetCurrentNodeID(), i == 0 ? 7 : i == 1 ? 5 : 6);
        EXPECT_EQ(clone->IsNodeShow(), 1);
        std::vector<std::pair<std::int64_t, std::int64_t>> runs;
        if (IDataRunList* list = dynamic_cast<CFileNode*>(clone)->GetDataRunList()) {
            CDataRunWalker walk(list);
            for (const DataRun* r = walk.First(); r; r = walk.Next()) runs.emplace_back(r->start, r->length);
        }
        EXPECT_EQ(runs, want[i].runs);
    }
}

// The layout's edge cases: no volume roots; a volume without partitions
// (saved without its nodes); a device without image records.
TEST(ScanResultFile, EdgeCasesOfTheLayout) {
    TempDir dir("scan-result");
    GoldenResult result;
    result.head.device.dmg = false;
    result.head.device.dmgRecord.clear();

    const std::string empty = dir.File("empty.Quillory");
    ASSERT_EQ(WriteScanResult(empty.c_str(), result.head, {}, {}), kResultOk);
    std::vector<std::uint8_t> bytes = ReadAll(empty);
    const std::size_t nodeFrame = kDeviceData + 20 + 4 + 10 + 16;
    ASSERT_EQ(bytes.size(), nodeFrame + 36 + 8);
    EXPECT_EQ(byteorder::LE32(bytes.data() + nodeFrame + 32), 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 8, bytes.end()), std::vector<std::uint8_t>(8, 0));
    // Both image flags 0, both lengths "none", no record bytes.
    const std::uint8_t* images = bytes.data() + kDeviceData + 20 + 4 + 10;
    EXPECT_EQ(byteorder::LE32(images), 0u);
    EXPECT_EQ(byteorder::LE32(images + 4), kNone);
    EXPECT_EQ(byteorder::LE32(images + 8), 0u);
    EXPECT_EQ(byteorder::LE32(images + 12), kNone);

    std::vector<VolumeToSave> volumes = result.Volumes();
    volumes[0].partitions.clear();
    const std::string bare = dir.File("bare.Quillory");
    ASSERT_EQ(WriteScanResult(bare.c_str(), result.head, volumes, {}), kResultOk);
    bytes = ReadAll(bare);
    const std::size_t volumeRecord = kNodeData - 2088 + 8 + 4;
    const std::size_t afterRecord = volumeRecord + kNodeHeadSize + 4 + 21 + kNodeTailSize + 4 + 4 + 10;
    ASSERT_EQ(bytes.size(), afterRecord + 8);
    EXPECT_EQ(byteorder::LE32(bytes.data() + afterRecord), 0u);
    EXPECT_EQ(byteorder::LE32(bytes.data() + afterRecord + 4), kNone);

    BuilderDouble builder;
    EXPECT_EQ(RestoreInto(bare, builder), kResultOk);
    EXPECT_EQ(builder.searchers.size(), 1u);
    EXPECT_TRUE(builder.nodes.empty());
}

// Damaged, truncated and hostile files: each ends with its code, never with
// a crash or a "restored" for a file that was not wholly read.
TEST(ScanResultFile, DamagedFilesEndWithTheirCode) {
    const std::vector<std::uint8_t> golden = ReadAll(kGolden);
    ASSERT_FALSE(golden.empty());
    using Bytes = std::vector<std::uint8_t>;
    auto cut = [](std::size_t at) { return [at](Bytes& b) { b.resize(at); }; };
    auto set32 = [](std::size_t at, std::uint32_t v) { return [at, v](Bytes& b) { Put32(b, at, v); }; };
    struct Row {
        const char* what;
        std::function<void(Bytes&)> damage;
        int code;
    };
    const Row rows[] = {
        {"untouched", [](Bytes&) {}, kResultOk},
        {"cut at 0", cut(0), kResultBadHeader},
        {"cut at 100", cut(100), kResultBadHeader},
        {"cut at 131", cut(131), kResultBadHeader},
        {"cut at 150", cut(150), kResultNoControllerFrame},
        {"cut in the device frame", cut(kDeviceData + 300), kResultBadDeviceFrame},
        {"cut inside a node", cut(kFirstNode + 40), kResultNodesDamaged},
        {"cut before the end mark", cut(golden.size() - 4), kResultNodesDamaged},
        {"bad CRC", [](Bytes& b) { b[20] ^= 0x01; }, kResultBadHeader},
        {"version 5801", [](Bytes& b) { Put32(b, 16, 5801), FixCrc(b); }, kResultBadHeader},
        {"status 0", [](Bytes& b) { Put32(b, 24, 0), FixCrc(b); }, kResultBadHeader},
        {"status 5", [](Bytes& b) { Put32(b, 24, 5), FixCrc(b); }, kResultBadHeader},
        {"controller frame missing", [](Bytes& b) { b[kControllerFrame + 16] ^= 0xFF; }, kResultNoControllerFrame},
        {"controller length 9", set32(kControllerFrame + 36, 9), kResultNoControllerFrame},
        {"device frame missing", [](Bytes& b) { b[kDeviceFrame + 16] ^= 0xFF; }, kResultBadDeviceFrame},
        {"node frame missing", [](Bytes& b) { b[kNodeFrame + 16] ^= 0xFF; }, kResultNodesDamaged},
        {"device name length 4096", set32(kDeviceNameLength, 4096), kResultBadDeviceFrame},
        {"DMG record length 0xFFFFFFFE", set32(kDmgLength, 0xFFFFFFFEu), kResultBadDeviceFrame},
        {"DMG record length 1192", set32(kDmgLength, 1192), kResultBadDeviceFrame},
        {"entry mark 2", set32(kEntryMarkAt, 2), kResultNodesDamaged},
        {"volume count 2", set32(kNodeData, 2), kResultNodesDamaged},
        {"root name length 70000", set32(kRoot + kNodeHeadSize, 70000), kResultNodesDamaged},
        {"partition count 513", set32(kPartitionCount, 513), kResultNodesDamaged},
        {"partition kind 5", set32(kPartitionKind, 5), kResultNodesDamaged},
        {"node mark 7", set32(kFirstNodeMark, 7), kResultNodesDamaged},
        {"run count 70000", set32(kFirstNode + 58, 70000), kResultNodesDamaged},
        {"run count past the frame", set32(kFirstNode + 58, 1000), kResultNodesDamaged},
        {"node name length 65536", set32(kFirstNode + kNodeHeadSize + 32, 65536), kResultNodesDamaged},
        {"node frame longer than the file", set32(kNodeFrame + 32, 0x7FFFFFF0u), kResultNodesDamaged},
        {"not a scan result", [](Bytes& b) { std::memset(b.data(), 'x', b.size()); }, kResultBadHeader},
    };
    TempDir dir("scan-result-damage");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes bytes = golden;
        row.damage(bytes);
        const std::string path = dir.File("damaged.Quillory");
        WriteAll(path, bytes);
        BuilderDouble builder;
        EXPECT_EQ(RestoreInto(path, builder), row.code);
    }
    BuilderDouble builder;
    EXPECT_EQ(RestoreInto(dir.Path(), builder), kResultNotOpened) << "a folder";
    EXPECT_EQ(RestoreInto(dir.File("missing"), builder), kResultNotOpened);
}
