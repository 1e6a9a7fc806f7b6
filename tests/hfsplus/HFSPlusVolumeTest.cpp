// Hand-built HFS+ volumes in memory: searches, traversal, damaged trees,
// fork reads through overflow records, the byte reader and the recogniser.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "HfsTestUtil.h"
#include "foundation/DataRun.h"
#include "foundation/VolumeAnalyze.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"

using namespace hfstest;

namespace {
using Node = std::vector<std::uint8_t>;

struct Trees {
    std::vector<Node> catalog;     // node 0 is the header node
    std::vector<Node> extents;     // empty: an extents file with no records
    std::vector<Node> attributes;  // empty: no attributes file
};

// Extents file at block 1, then the catalog, then the attributes file; each
// node one 4 KiB block. Blocks from 64 on are free for file data.
SyntheticVolume BuildVolume(Trees trees, std::uint32_t totalBlocks = 256) {
    SyntheticVolume v(totalBlocks);
    if (trees.extents.empty()) trees.extents = {MakeHeaderNode(0, 0, 1, 0)};
    std::uint32_t block = 1;
    auto place = [&](const std::vector<Node>& nodes, std::size_t forkOffset) {
        if (nodes.empty()) return;
        v.SetFork(forkOffset, static_cast<std::uint32_t>(nodes.size()),
                  {{block, static_cast<std::uint32_t>(nodes.size())}});
        for (const auto& n : nodes) v.PutBlock(block++, n);
    };
    place(trees.extents, 192);
    place(trees.catalog, 272);
    place(trees.attributes, 352);
    return v;
}

Node FileEntry(std::uint32_t parent, const std::u16string& name, std::uint32_t id, std::uint64_t size = 0,
               std::uint32_t blocks = 0, std::vector<std::pair<std::uint32_t, std::uint32_t>> ext = {}) {
    return Concat(CatalogKey(parent, name), FileRecord(id, size, blocks, ext));
}

Node IndexEntry(std::uint32_t parent, const std::u16string& name, std::uint32_t child) {
    auto k = CatalogKey(parent, name);
    app32(k, child);
    return k;
}

// Catalog of depth 1: one leaf (node 1) with the given records.
Trees SingleLeafCatalog(std::uint8_t keyCompareType, std::vector<Node> records) {
    Trees t;
    t.catalog = {MakeHeaderNode(1, 1, 2, keyCompareType), MakeNode(-1, 1, records)};
    return t;
}

HFSPlusCatalogKey SearchKey(std::uint32_t parent, const std::u16string& name) {
    HFSPlusCatalogKey k;
    k.parentID = parent;
    k.nodeName.length = static_cast<std::uint16_t>(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) k.nodeName.unicode[i] = name[i];
    return k;
}

bool Found(CHFSPlusVolume& volume, std::uint32_t parent, const std::u16string& name, std::uint32_t* id = nullptr) {
    auto key = SearchKey(parent, name);
    HFSPlusSearchResult result;
    BTRecord* record = nullptr;
    volume.Search(kHFSCatalogFileID, &key, result, &record);
    std::unique_ptr<BTRecord> owner(record);
    if (id && record) *id = static_cast<HFSPlusCatalogRecord*>(record)->CatalogID();
    return result.found != 0;
}
}  // namespace

TEST(HFSPlusVolumeSearch, KeyCompareTypeDecidesCaseFolding) {
    for (std::uint8_t type : {kHFSCaseFolding, kHFSBinaryCompare}) {
        SyntheticVolume v = BuildVolume(SingleLeafCatalog(type, {FileEntry(2, u"A", 30), FileEntry(2, u"b", 31)}));
        MemoryDevice device(v.bytes);
        CHFSPlusVolume volume(&device, false);
        ASSERT_EQ(volume.GetLastError(), 0u);
        EXPECT_EQ(volume.GetKeyCompareType(), type);
        std::uint32_t id = 0;
        EXPECT_TRUE(Found(volume, 2, u"A", &id));
        EXPECT_EQ(id, 30u);
        EXPECT_EQ(Found(volume, 2, u"a"), type == kHFSCaseFolding);
        EXPECT_FALSE(Found(volume, 2, u"c"));
        EXPECT_FALSE(Found(volume, 3, u"A"));
    }
}

TEST(HFSPlusVolumeSearch, IndexedTreeSearchAndTraversal) {
    Trees t;
    t.catalog = {
        MakeHeaderNode(2, 1, 4, kHFSCaseFolding),
        MakeNode(0, 2, {IndexEntry(2, u"a", 2), IndexEntry(2, u"m", 3)}),
        MakeNode(-1, 1,
                 {Concat(CatalogKey(1, u"root"), FolderRecord(2)), FileEntry(2, u"a", 30), FileEntry(2, u"b", 31)}),
        MakeNode(-1, 1,
                 {FileEntry(2, u"m", 32), FileEntry(2, u"n", 33), Concat(CatalogKey(2, u"sub"), FolderRecord(40)),
                  FileEntry(40, u"deep", 41)}),
    };
    // The leaf with the root record sits under the first index key, whose key
    // is larger: a search for a key below every index key finds nothing.
    t.catalog[1] = MakeNode(0, 2, {IndexEntry(1, u"root", 2), IndexEntry(2, u"m", 3)});
    SyntheticVolume v = BuildVolume(t);
    MemoryDevice device(v.bytes);
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);

    std::uint32_t id = 0;
    EXPECT_TRUE(Found(volume, 2, u"B", &id));
    EXPECT_EQ(id, 31u);
    EXPECT_TRUE(Found(volume, 2, u"N", &id));
    EXPECT_EQ(id, 33u);
    EXPECT_TRUE(Found(volume, 40, u"deep", &id));
    EXPECT_EQ(id, 41u);
    EXPECT_FALSE(Found(volume, 2, u"c"));
    EXPECT_FALSE(Found(volume, 0, u"x"));   // below every key
    EXPECT_FALSE(Found(volume, 99, u"z"));  // above every key

    RecordingBuilder builder;
    TestProgress sink;
    {
        CHFSPlusQuickFileSystemSearchProgress progress(&sink, false);
        EXPECT_EQ(volume.Traverse(kHFSCatalogFileID, &builder, &progress), 0u);
    }
    ASSERT_EQ(builder.nodes.size(), 7u);
    EXPECT_EQ(builder.PathOf(builder.FindById(41)), "sub/deep");
    EXPECT_EQ(sink.updates, 7 + 1);  // one per node, then the finished record
    EXPECT_EQ(sink.last.state, PROGRESS_STATE_FINISHED);
    for (auto type : builder.types) EXPECT_EQ(type, SEARCHER_HFSPLUS);

    // Without a progress adapter the traversal lists nothing.
    RecordingBuilder quiet;
    EXPECT_EQ(volume.Traverse(kHFSCatalogFileID, &quiet, nullptr), 0u);
    EXPECT_TRUE(quiet.nodes.empty());
    // Only the catalog can be traversed.
    EXPECT_EQ(HFSErrorNumber(volume.Traverse(kHFSExtentsFileID, &quiet, nullptr)), HFS_ERR_TREE_ID);

    // A user stop before the walk starts is the cancel code; later ones end quietly.
    TestProgress stopNow;
    stopNow.stopAfter = 0;
    CHFSPlusQuickFileSystemSearchProgress cancelled(&stopNow, true);
    EXPECT_EQ(volume.Traverse(kHFSCatalogFileID, &quiet, &cancelled), HFS_TRAVERSE_CANCELLED);
    TestProgress stopLater;
    stopLater.stopAfter = 4;
    CHFSPlusQuickFileSystemSearchProgress partly(&stopLater, true);
    EXPECT_EQ(volume.Traverse(kHFSCatalogFileID, &quiet, &partly), 0u);
    EXPECT_LT(quiet.nodes.size(), 7u);
}

TEST(HFSPlusVolumeSearch, DamagedIndexEndsWithAnError) {
    struct Case {
        const char* what;
        std::vector<Node> catalog;
    };
    auto leaf = MakeNode(-1, 1, {FileEntry(2, u"a", 30)});
    std::vector<Case> cases = {
        {"index points to itself",
         {MakeHeaderNode(2, 1, 3, kHFSCaseFolding), MakeNode(0, 2, {IndexEntry(2, u"a", 1)}), leaf}},
        {"two index nodes point at each other",
         {MakeHeaderNode(3, 1, 3, kHFSCaseFolding), MakeNode(0, 3, {IndexEntry(2, u"a", 2)}),
          MakeNode(0, 2, {IndexEntry(2, u"a", 1)})}},
        {"header depth 0 and a long chain",
         {MakeHeaderNode(0, 1, 3, kHFSCaseFolding), MakeNode(0, 3, {IndexEntry(2, u"a", 2)}),
          MakeNode(0, 2, {IndexEntry(2, u"a", 1)})}},
        {"child pointer 0", {MakeHeaderNode(2, 1, 2, kHFSCaseFolding), MakeNode(0, 2, {IndexEntry(2, u"a", 0)})}},
        {"child pointer past the tree",
         {MakeHeaderNode(2, 1, 2, kHFSCaseFolding), MakeNode(0, 2, {IndexEntry(2, u"a", 999)})}},
        {"root is a map node", {MakeHeaderNode(1, 1, 2, kHFSCaseFolding), MakeNode(2, 0, {})}},
    };
    // The index key claims more bytes than its record has.
    auto longKey = MakeNode(0, 2, {IndexEntry(2, u"a", 2)});
    put16(longKey, 14, 400);
    cases.push_back({"key longer than its record", {MakeHeaderNode(2, 1, 3, kHFSCaseFolding), longKey, leaf}});
    // The child pointer is cut off by the record's end.
    auto noChild = MakeNode(0, 2, {CatalogKey(2, u"a")});
    cases.push_back({"index record without child", {MakeHeaderNode(2, 1, 3, kHFSCaseFolding), noChild, leaf}});

    for (auto& c : cases) {
        Trees t;
        t.catalog = c.catalog;
        SyntheticVolume v = BuildVolume(t);
        MemoryDevice device(v.bytes);
        CHFSPlusVolume volume(&device, false);
        auto key = SearchKey(2, u"a");
        HFSPlusSearchResult result;
        BTRecord* record = nullptr;
        EngineResult r = volume.Search(kHFSCatalogFileID, &key, result, &record);
        delete record;
        EXPECT_TRUE(HFSFailed(r)) << c.what;
        EXPECT_FALSE(result.found) << c.what;

        RecordingBuilder builder;
        TestProgress sink;
        CHFSPlusQuickFileSystemSearchProgress progress(&sink, true);
        EXPECT_TRUE(HFSFailed(volume.Traverse(kHFSCatalogFileID, &builder, &progress))) << c.what;
    }
}

TEST(HFSPlusVolumeSearch, DamagedLeafRecordsAreSkipped) {
    auto bad = Concat(CatalogKey(2, u"b"), std::vector<std::uint8_t>(20, 0x7F));  // unknown record type
    SyntheticVolume v =
        BuildVolume(SingleLeafCatalog(kHFSCaseFolding, {FileEntry(2, u"a", 30), bad, FileEntry(2, u"c", 32)}));
    MemoryDevice device(v.bytes);
    CHFSPlusVolume volume(&device, false);
    RecordingBuilder builder;
    TestProgress sink;
    CHFSPlusQuickFileSystemSearchProgress progress(&sink, true);
    EXPECT_EQ(volume.Traverse(kHFSCatalogFileID, &builder, &progress), 0u);
    ASSERT_EQ(builder.nodes.size(), 2u);
}

namespace {
// A file of ten 1-block extents (blocks 100, 102, ... 118): eight in the
// catalog record, two in an overflow record keyed by startBlock 8.
struct OverflowVolume {
    SyntheticVolume v;
    std::vector<std::uint8_t> content;

    explicit OverflowVolume(int overflowMode = 0) : v(256) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ext;
        for (std::uint32_t i = 0; i < 10; ++i) ext.emplace_back(100 + 2 * i, 1);
        const std::uint64_t size = 9 * 4096 + 123;
        Trees t;
        t.catalog = {MakeHeaderNode(1, 1, 2, kHFSCaseFolding),
                     MakeNode(-1, 1, {Concat(CatalogKey(2, u"frag.bin"), FileRecord(30, size, 10, ext))})};
        std::vector<std::uint8_t> key(12, 0);
        put16(key, 0, 10);
        put32(key, 4, 30);
        put32(key, 8, 8);
        std::vector<std::uint8_t> rec(64, 0);
        if (overflowMode == 0) {  // the right record
            put32(rec, 0, 116);
            put32(rec, 4, 1);
            put32(rec, 8, 118);
            put32(rec, 12, 1);
        } else if (overflowMode == 2) {  // a record placed under another start block
            put32(key, 8, 7);
        }  // mode 1: a record that adds nothing
        t.extents = {MakeHeaderNode(1, 1, 2, 0), MakeNode(-1, 1, {Concat(key, rec)})};
        v = BuildVolume(t);
        for (std::uint32_t i = 0; i < 10; ++i) {
            std::vector<std::uint8_t> block(4096, static_cast<std::uint8_t>('A' + i));
            v.PutBlock(100 + 2 * i, block);
            content.insert(content.end(), block.begin(), block.end());
        }
        content.resize(size);
    }
};

HFSPlusForkData ForkOf(CHFSPlusVolume& volume, const std::u16string& name) {
    auto key = SearchKey(2, name);
    HFSPlusSearchResult result;
    BTRecord* record = nullptr;
    volume.Search(kHFSCatalogFileID, &key, result, &record);
    std::unique_ptr<BTRecord> owner(record);
    return record ? static_cast<HFSPlusCatalogRecord*>(record)->file.dataFork : HFSPlusForkData{};
}
}  // namespace

TEST(HFSPlusFork, ReadAcrossOverflowRecord) {
    OverflowVolume ov;
    MemoryDevice device(ov.v.bytes);
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    HFSPlusForkData fork = ForkOf(volume, u"frag.bin");
    ASSERT_EQ(fork.totalBlocks, 10u);

    CHFSPlusRawfile file(&volume, 30, fork);
    ASSERT_EQ(file.GetLastError(), 0u);
    ASSERT_EQ(file.GetExtents().size(), 10u);
    std::vector<std::uint8_t> got(ov.content.size());
    EXPECT_EQ(file.Read(0, got.data(), got.size()), got.size());
    EXPECT_EQ(got, ov.content);
    // A read starting inside the ninth extent (from the overflow record).
    std::vector<std::uint8_t> tail(5000);
    EXPECT_EQ(file.Read(8 * 4096 + 10, tail.data(), tail.size()), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), ov.content.begin() + 8 * 4096 + 10));
    // Past the last extent: a short read, never past the buffer.
    std::vector<std::uint8_t> past(10);
    EXPECT_EQ(file.Read(10 * 4096, past.data(), past.size()), 0u);

    // The node's runs carry all ten extents in allocation blocks.
    RecordingBuilder builder;
    TestProgress sink;
    CHFSPlusQuickFileSystemSearchProgress progress(&sink, true);
    volume.Traverse(kHFSCatalogFileID, &builder, &progress);
    ASSERT_EQ(builder.nodes.size(), 1u);
    auto* node = static_cast<CHFSPlusFileNode*>(builder.nodes[0]);
    EXPECT_EQ(node->GetFileSize(), static_cast<std::int64_t>(ov.content.size()));
    auto* runs = static_cast<CDataRunList*>(node->GetDataRunList());
    ASSERT_NE(runs, nullptr);
    ASSERT_EQ(runs->GetCount(), 10u);
    EXPECT_EQ(runs->GetRun(9)->start, 118);
    EXPECT_EQ(runs->GetRun(9)->length, 1);
}

TEST(HFSPlusFork, MissingOrEmptyOverflowRecordEndsTheWalk) {
    for (int mode : {1, 2}) {
        OverflowVolume ov(mode);
        MemoryDevice device(ov.v.bytes);
        CHFSPlusVolume volume(&device, false);
        HFSPlusForkData fork = ForkOf(volume, u"frag.bin");
        CHFSPlusRawfile file(&volume, 30, fork);
        EXPECT_EQ(HFSErrorNumber(file.GetLastError()), HFS_ERR_BAD_DATA) << mode;
        EXPECT_EQ(file.GetExtents().size(), 8u);
        // The node keeps the eight runs it could place.
        IDataRunList* runs = CHFSPlusFileNode::BuildFileDataRun(&volume, 30, fork);
        ASSERT_NE(runs, nullptr);
        EXPECT_EQ(static_cast<CDataRunList*>(runs)->GetCount(), 8u);
        runs->Release();
    }
    // Descriptors that overshoot the fork are cut to its total.
    OverflowVolume ov;
    MemoryDevice device(ov.v.bytes);
    CHFSPlusVolume volume(&device, false);
    HFSPlusForkData fork{};
    fork.totalBlocks = 3;
    fork.extents[0] = {100, 2};
    fork.extents[1] = {102, 0xFFFFFFFFu};
    std::vector<HFSPlusExtentDescriptor> extents;
    EXPECT_TRUE(volume.CollectForkExtents(30, 0, fork, false, extents));
    ASSERT_EQ(extents.size(), 2u);
    EXPECT_EQ(extents[1].blockCount, 1u);
}

TEST(HFSPlusVolumeRead, PartialWholeAndTrailingSectors) {
    OverflowVolume ov;
    MemoryDevice device(ov.v.bytes);
    CHFSPlusVolume volume(&device, false);
    device.reads.clear();
    std::vector<std::uint8_t> buf(700);
    EXPECT_EQ(volume.Read(1000, buf.data(), buf.size()), 700u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), ov.v.bytes.begin() + 1000));
    using R = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(device.reads, (std::vector<R>{{1, 1}, {2, 1}, {3, 1}}));

    // A read past the device end fails with the bytes read so far.
    std::uint64_t end = ov.v.bytes.size();
    EXPECT_EQ(volume.Read(end - 100, buf.data(), 700), 100u);
    EXPECT_EQ(HFSErrorNumber(volume.GetLastError()), HFS_ERR_BAD_STRUCT);
    EXPECT_EQ(volume.Read(0, nullptr, 10), 0u);
}

TEST(HFSPlusVolumeRead, CachedCatalogReadStopsAtTheCopy) {
    OverflowVolume ov;
    MemoryDevice device(ov.v.bytes);
    CHFSPlusVolume volume(&device, false);
    HFSPlusForkData catalogFork = volume.GetVolumeHeader()->catalogFile;
    CHFSPlusFileCache cache(&volume, kHFSCatalogFileID, catalogFork);
    ASSERT_EQ(cache.GetCacheSize(), 2u * 4096u);
    std::vector<std::uint8_t> buf(100);
    EXPECT_EQ(cache.Read(cache.GetCacheSize() - 10, buf.data(), buf.size()), 10u);
    EXPECT_TRUE(
        std::equal(buf.begin(), buf.begin() + 10, ov.v.bytes.begin() + 5 * 4096 - 10));  // catalog at blocks 3-4
}

TEST(HFSPlusVolumeOpen, RefusedAndPartialVolumes) {
    OverflowVolume ov;
    {
        // Sector sizes above the 8 KiB bounce buffer are refused.
        MemoryDevice device(ov.v.bytes, 16384);
        CHFSPlusVolume volume(&device, false);
        EXPECT_TRUE(HFSFailed(volume.GetLastError()));
        EXPECT_EQ(volume.GetVolumeHeader(), nullptr);
    }
    for (std::uint32_t blockSize : {0u, 3072u}) {
        auto bytes = ov.v.bytes;
        put32(bytes, 1024 + 40, blockSize);
        MemoryDevice device(bytes);
        CHFSPlusVolume volume(&device, false);
        EXPECT_EQ(HFSErrorNumber(volume.GetLastError()), HFS_ERR_BAD_STRUCT) << blockSize;
    }
    {
        CHFSPlusVolume volume(nullptr, false);
        EXPECT_EQ(HFSErrorNumber(volume.GetLastError()), HFS_ERR_NULL_ARG);
    }
    {
        // Opened without its catalog: status 0x6, extents still searchable.
        MemoryDevice device(ov.v.bytes);
        CHFSPlusVolume volume(&device, true);
        EXPECT_EQ(HFSErrorNumber(volume.GetLastError()), HFS_ERR_BAD_DATA);
        HFSPlusExtentKey key;
        key.keyLength = 10;
        key.fileID = 30;
        key.startBlock = 8;
        HFSPlusSearchResult result;
        BTRecord* record = nullptr;
        EXPECT_EQ(volume.Search(kHFSExtentsFileID, &key, result, &record), 0u);
        std::unique_ptr<BTRecord> owner(record);
        EXPECT_TRUE(result.found);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(static_cast<HFSPlusExtentsRecord*>(record)->extents[1].startBlock, 118u);
        EXPECT_EQ(HFSErrorNumber(volume.Search(5, &key, result, nullptr)), HFS_ERR_TREE_ID);
    }
}

TEST(HFSPlusVolumeAttributes, DeletedCollectionAndRecordKinds) {
    OverflowVolume ov;  // has no attributes file
    MemoryDevice device(ov.v.bytes);
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    std::uint8_t* data = nullptr;
    EXPECT_EQ(volume.getAttribute(30, "com.apple.decmpfs", &data), 0u);
    EXPECT_EQ(data, nullptr);

    auto makeKey = [](std::uint32_t id, const char* name) {
        auto* key = new HFSPlusAttrKey;
        HFSUniStr255 wide;
        ASCIIToUnicode(name, &wide);
        key->fileID = id;
        key->nameLength = wide.length;
        std::copy(wide.unicode, wide.unicode + wide.length, key->name);
        return key;
    };
    auto* inlineRec = new HFSPlusAttrRecord;
    inlineRec->recordType = kHFSPlusAttrInlineData;
    inlineRec->attrData = {'f', 'p', 'm', 'c', 3, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 'x'};
    inlineRec->attrSize = static_cast<std::uint32_t>(inlineRec->attrData.size());
    volume.DeletedAttributes().AddFront(makeKey(30, "com.apple.decmpfs"), inlineRec);
    auto* forkRec = new HFSPlusAttrRecord;
    forkRec->recordType = kHFSPlusAttrForkData;
    volume.DeletedAttributes().AddFront(makeKey(31, "com.apple.decmpfs"), forkRec);

    EXPECT_EQ(volume.getAttribute(30, "com.apple.decmpfs", &data), 17u);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 'f');
    EXPECT_EQ(data[16], 'x');
    delete[] data;
    testing::internal::CaptureStdout();  // the diagnostics' default destination
    EXPECT_EQ(volume.getAttribute(31, "com.apple.decmpfs", &data), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unsupported attribute node format\n");
    EXPECT_EQ(volume.getAttribute(32, "com.apple.decmpfs", &data), 0u);

    // The newest of two deleted copies wins.
    auto* newer = new HFSPlusAttrRecord(*inlineRec);
    newer->attrData[16] = 'y';
    volume.DeletedAttributes().AddFront(makeKey(30, "com.apple.decmpfs"), newer);
    EXPECT_EQ(volume.getAttribute(30, "com.apple.decmpfs", &data), 17u);
    EXPECT_EQ(data[16], 'y');
    delete[] data;
}

TEST(HFSPlusVolumeAttributes, OwnerOfAByteOffset) {
    OverflowVolume ov;
    MemoryDevice device(ov.v.bytes);
    CHFSPlusVolume volume(&device, false);
    // Extents file at blocks 1-2, catalog at 3-4.
    EXPECT_EQ(volume.GetNodeBelongToFile(1 * 4096), 3);
    EXPECT_EQ(volume.GetNodeBelongToFile(4 * 4096 + 100), 4);
    EXPECT_EQ(volume.GetNodeBelongToFile(5 * 4096), 0);
    EXPECT_EQ(volume.GetNodeBelongToFile(0), 0);
}

TEST(HFSPlusFileNodes, RecordsBecomeNodes) {
    auto key = SearchKey(2, u"a/b");
    HFSPlusCatalogRecord file;
    file.recordType = kHFSPlusFileRecord;
    file.file.fileID = 30;
    file.file.createDate = 1;
    file.file.dataFork.totalBlocks = 3;
    file.file.dataFork.extents[0] = {50, 3};
    CHFSPlusFileNode plain(nullptr, &key, &file, 0);
    EXPECT_EQ(plain.GetCurrentNodeID(), 30);
    EXPECT_EQ(plain.GetParentNodeID(), 2);
    EXPECT_STREQ(plain.GetFileName(), "a:b");  // '/' never becomes a folder
    EXPECT_EQ(plain.GetFileSize(), 12288);     // logical size 0: blocks x 4096
    EXPECT_EQ(plain.GetCreationTime(), 95616288010000000LL);
    EXPECT_EQ(plain.GetModificationTime(), 0);
    EXPECT_EQ(plain.GetSearcheType(), SEARCHER_HFSPLUS);
    EXPECT_FALSE(plain.IsDirectory());
    EXPECT_FALSE(plain.IsDeleted());
    EXPECT_EQ(plain.Clone(), &plain);

    file.file.userInfo.fdType = kHFSHardLinkFileType;
    file.file.userInfo.fdCreator = kHFSPlusCreator;
    CHFSPlusFileNode link(nullptr, &key, &file, 1);
    EXPECT_TRUE(link.IsDirectory());
    EXPECT_TRUE(link.IsDeleted());

    HFSPlusCatalogRecord folder;
    folder.recordType = kHFSPlusFolderRecord;
    folder.folder.folderID = 2;
    CHFSPlusFileNode root(nullptr, &key, &folder, 1);
    EXPECT_TRUE(root.IsDirectory());
    EXPECT_FALSE(root.IsDeleted());  // the root is never deleted
    folder.folder.folderID = 77;
    CHFSPlusFileNode gone(nullptr, &key, &folder, 1);
    EXPECT_TRUE(gone.IsDeleted());

    HFSPlusCatalogRecord thread;
    thread.recordType = kHFSPlusFileThreadRecord;
    CHFSPlusFileNode t(nullptr, &key, &thread, 0);
    EXPECT_EQ(t.GetCurrentNodeID(), -1);

    HFSUniStr255 name;
    name.length = 5;
    const std::uint16_t units[] = {0, 0, 'H', 0xD83D, 0xDE00};
    std::copy(units, units + 5, name.unicode);
    EXPECT_EQ(CHFSPlusFileNode::ConvertName(name), "H\xF0\x9F\x98\x80");
}

TEST(HFSPlusRecogniser, SizesAndRefusals) {
    auto header = [](std::uint32_t blockSize, std::uint32_t totalBlocks, std::size_t bytes = 8192) {
        std::vector<std::uint8_t> b(bytes, 0);
        put16(b, 1024, 0x482B);
        put16(b, 1026, 4);
        put32(b, 1024 + 40, blockSize);
        put32(b, 1024 + 44, totalBlocks);
        return b;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::uint32_t sectorSize;
        std::uint64_t start;
        std::uint32_t type;
        std::int64_t total;
    } cases[] = {
        {"4096 x 1000 on 512-byte sectors", header(4096, 1000), 512, 0, 8, 8000},
        {"4096 x 1000 on 4096-byte sectors", header(4096, 1000), 4096, 0, 8, 1000},
        {"block size 0", header(0, 1000), 512, 0, 10, 0},
        {"block size not a power of two", header(3072, 1000), 512, 0, 10, 0},
        {"no signature", std::vector<std::uint8_t>(8192, 0), 512, 0, 10, 0},
        {"sector size above 8192", header(4096, 1000, 65536), 16384, 0, 10, 0},
        {"device too small", std::vector<std::uint8_t>(512, 0), 512, 0, 10, 0},
    };
    // A volume that starts 4 sectors into the device.
    auto shifted = header(4096, 10);
    shifted.insert(shifted.begin(), 2048, 0);
    for (const auto& c : cases) {
        MemoryDevice device(c.bytes, c.sectorSize);
        std::unique_ptr<IVolumeAnalyze> a(CreateHFSPlusVolumeAnalyze(&device, c.start));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->GetFileSystemType(), c.type) << c.what;
        EXPECT_EQ(a->GetTotalSector(), c.total) << c.what;
        char label[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
        a->GetLabel(label, 8);
        EXPECT_EQ(label[0], '\0');
    }
    MemoryDevice device(shifted);
    std::unique_ptr<IVolumeAnalyze> a(CreateHFSPlusVolumeAnalyze(&device, 4));
    EXPECT_EQ(a->GetFileSystemType(), 8u);
    EXPECT_EQ(a->GetTotalSector(), 80);
}

// HFS+ stores names decomposed; a node names its file in composed form, as
// Linux users type it, except for the code points HFS+ itself leaves alone.
TEST(HFSPlusFileNodes, DecomposedNamesComeOutComposed) {
    const struct {
        const char16_t* onDisk;
        const char* shown;
    } cases[] = {
        {u"cafe\u0301.txt", "caf\xC3\xA9.txt"},
        {u"Re\u0301sume\u0301 \u2013 u\u0308n.txt", "R\xC3\xA9sum\xC3\xA9 \xE2\x80\x93 \xC3\xBCn.txt"},
        {u"\u1100\u1161", "\xEA\xB0\x80"},                      // Hangul jamo make one syllable
        {u"A\u030A", "\xC3\x85"},                               // A + ring is one letter
        {u"\u212B\u2126.txt", "\xE2\x84\xAB\xE2\x84\xA6.txt"},  // ANGSTROM and OHM SIGN stay
        {u"\uF900", "\xEF\xA4\x80"},                            // a CJK compatibility ideograph stays
        {u"e\u0301/\u2126e\u0301", "\xC3\xA9:\xE2\x84\xA6\xC3\xA9"},
    };
    for (const auto& c : cases) {
        auto key = SearchKey(2, c.onDisk);
        HFSPlusCatalogRecord file;
        file.recordType = kHFSPlusFileRecord;
        file.file.fileID = 30;
        file.file.createDate = 1;
        CHFSPlusFileNode node(nullptr, &key, &file, 1);
        EXPECT_STREQ(node.GetFileName(), c.shown);
    }
}
