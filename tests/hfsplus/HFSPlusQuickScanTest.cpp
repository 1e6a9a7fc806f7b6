// Quick scans of HFS+ volumes: journal replay of deleted records, compressed
// files (zlib and LZVN), the quick searcher and its partition record.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "HfsTestUtil.h"
#include "foundation/Bitmap.h"
#include "foundation/DataRun.h"
#include "foundation/SearchedPartitionInfo.h"
#include "hfsplus/HFSPlusCompressFileReader.h"
#include "hfsplus/HFSPlusDirectoryTreeBuilder.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusJournal.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"
#include "hfsplus/LZVN.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryFilter.h"

using namespace hfstest;

namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The whole data of a node: through its decmpfs reader when compressed,
// else through its runs.
std::vector<std::uint8_t> ReadNode(CHFSPlusVolume& volume, IFileNode* node, unsigned piece = 50000) {
    std::vector<std::uint8_t> data;
    if (node->IsCompressed()) {
        std::unique_ptr<IFileReader, void (*)(IFileReader*)> reader(node->CreateCompressFileReader(nullptr),
                                                                    [](IFileReader* r) {
                                                                        if (r) r->Release();
                                                                    });
        if (!reader) return data;
        std::vector<char> buf(piece);
        for (;;) {
            int n = reader->ReadData(static_cast<long long>(data.size()), buf.data(), piece, nullptr);
            if (n <= 0) break;
            data.insert(data.end(), buf.begin(), buf.begin() + n);
        }
        return data;
    }
    auto* runs = static_cast<CDataRunList*>(static_cast<CHFSPlusFileNode*>(node)->GetDataRunList());
    if (!runs) return data;
    const std::uint64_t blockSize = volume.GetBlockSize();
    std::uint64_t left = static_cast<std::uint64_t>(node->GetFileSize());
    for (std::size_t i = 0; i < runs->GetCount() && left > 0; ++i) {
        std::uint64_t bytes =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(runs->GetRun(i)->length) * blockSize, left);
        std::size_t at = data.size();
        data.resize(at + bytes);
        volume.Read(static_cast<std::uint64_t>(runs->GetRun(i)->start) * blockSize, data.data() + at, bytes);
        left -= bytes;
    }
    return data;
}

struct QuickScan {
    FileDevice device;
    RecordingBuilder builder;
    TestProgress sink;
    std::unique_ptr<IQuickFileSystemSearchController> searcher;
    EngineResult result = 0;

    explicit QuickScan(const std::string& image) : device(image), searcher(CreateHFSPlusQuickSearcher()) {
        searcher->SetDirecotryTreeBuilder(&builder);
        result = searcher->QuickSearchFiles(&device, &sink);
    }
    CHFSPlusVolume* Volume() {
        return static_cast<CHFSPlusQuickFileSystemSearchController*>(searcher.get())->GetPrivateData()->GetVolume();
    }
};

}  // namespace

TEST(HFSPlusLZVN, PublishedVectors) {
    std::ifstream in(std::string(QUILLORY_SOURCE_DIR) + "/tests/data/lzvn-vectors.tsv");
    std::string line;
    std::getline(in, line);  // header
    int vectors = 0;
    while (std::getline(in, line)) {
        std::istringstream cols(line);
        std::string name, opcodes, hex, len, sha;
        std::getline(cols, name, '\t');
        std::getline(cols, opcodes, '\t');
        std::getline(cols, hex, '\t');
        std::getline(cols, len, '\t');
        std::getline(cols, sha, '\t');
        auto src = FromHex(hex);
        std::size_t expected = std::stoul(len);
        std::vector<std::uint8_t> out(expected + 64);
        std::size_t n = lzvn_decode(out.data(), out.size(), src.data(), src.size());
        EXPECT_EQ(n, expected) << name;
        out.resize(n);
        EXPECT_EQ(Sha256Of(out), sha) << name;
        // A smaller output stops at its end; a cut source never reads past it.
        std::vector<std::uint8_t> small(expected / 2);
        EXPECT_EQ(lzvn_decode(small.data(), small.size(), src.data(), src.size()), small.size()) << name;
        EXPECT_TRUE(std::equal(small.begin(), small.end(), out.begin())) << name;
        for (std::size_t cut = 0; cut < src.size(); cut += 1 + src.size() / 16) {
            std::vector<std::uint8_t> part(src.begin(), src.begin() + static_cast<long>(cut));
            std::vector<std::uint8_t> o(expected + 64);
            EXPECT_LE(lzvn_decode(o.data(), o.size(), part.data(), part.size()), expected) << name;
        }
        ++vectors;
    }
    EXPECT_GE(vectors, 6);
}

TEST(HFSPlusLZVN, DamagedStreams) {
    std::vector<std::uint8_t> out(64, 0xEE);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> src;
        std::size_t produced;
    } cases[] = {
        {"match before the output start", {0xE2, 'a', 'b', 0x00, 0x05}, 2},  // sml_d D=5 after 2 bytes
        {"previous distance 0", {0xE1, 'a', 0xF3}, 1},                       // sml_m with no distance yet
        {"undefined opcode", {0xE1, 'a', 0x70, 0xE1, 'b'}, 1},
        {"literal run past the source", {0xE5, 'a', 'b'}, 2},
        {"nop then end", {0x0E, 0x16, 0xE1, 'z', 0x06}, 1},
        {"empty source", {}, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lzvn_decode(out.data(), out.size(), c.src.data(), c.src.size()), c.produced) << c.what;
    }
    EXPECT_EQ(lzvn_decode(nullptr, 10, out.data(), 1), 0u);
}

TEST(HFSPlusCompressed, EveryFileOfTheCompressedVolume) {
    std::string image = PrebuiltImage("hfsplus_compressed");
    QuickScan scan(image);
    ASSERT_EQ(scan.result, 0u);
    CHFSPlusVolume& volume = *scan.Volume();
    int checked = 0;
    for (const auto& row : ReadTruth("hfsplus_compressed")) {
        SCOPED_TRACE(row.path);
        IFileNode* node = scan.builder.FindByPath(row.path);
        ASSERT_NE(node, nullptr);
        // The node shows the uncompressed size, and so does its reader.
        EXPECT_EQ(static_cast<std::uint64_t>(node->GetFileSize()), row.size);
        if (node->IsCompressed()) {
            IFileReader* reader = node->CreateCompressFileReader(nullptr);
            ASSERT_NE(reader, nullptr);
            EXPECT_EQ(static_cast<std::uint64_t>(reader->GetDataSize()), row.size);
            EXPECT_TRUE(reader->IsCompressFile());
            IFileReader* clone = reader->Clone();
            ASSERT_NE(clone, nullptr);
            EXPECT_EQ(clone->GetDataSize(), reader->GetDataSize());
            clone->Release();
            reader->Release();
        }
        auto data = ReadNode(volume, node);
        EXPECT_EQ(data.size(), row.size);
        EXPECT_EQ(Sha256Of(data), row.sha256);
        // Pieces that do not line up with the 64 KiB chunks read the same.
        if (row.size > 70000) {
            EXPECT_EQ(ReadNode(volume, node, 4099), data);
        }
        ++checked;
    }
    EXPECT_EQ(checked, 12);

    // Unaligned reads inside and across chunks of both resource-fork types.
    for (const char* path : {"cmp/zlib-rsrc.bin", "cmp/lzvn-rsrc.bin"}) {
        IFileNode* node = scan.builder.FindByPath(path);
        ASSERT_NE(node, nullptr);
        auto whole = ReadNode(volume, node);
        std::unique_ptr<IFileReader, void (*)(IFileReader*)> reader(node->CreateCompressFileReader(nullptr),
                                                                    [](IFileReader* r) { r->Release(); });
        std::vector<char> buf(131072);
        EXPECT_EQ(reader->ReadData(65536, buf.data(), 131072, nullptr), 131072);
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), reinterpret_cast<char*>(whole.data()) + 65536));
        EXPECT_EQ(reader->ReadData(65530, buf.data(), 20, nullptr), 20);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 20, reinterpret_cast<char*>(whole.data()) + 65530));
        EXPECT_EQ(reader->ReadData(static_cast<long long>(whole.size()) - 5, buf.data(), 100, nullptr), 5);
        EXPECT_EQ(reader->ReadData(static_cast<long long>(whole.size()), buf.data(), 100, nullptr), 0);
    }
}

namespace {
// A compressed file in a hand-built volume whose decmpfs attribute lies only
// in the deleted collection; `fork` is placed at block 100 as its resource
// fork.
struct CompressedFixture {
    SyntheticVolume v{256};
    std::unique_ptr<MemoryDevice> device;
    std::unique_ptr<CHFSPlusVolume> volume;
    std::unique_ptr<CHFSPlusFileNode> node;

    CompressedFixture(std::uint32_t type, std::uint64_t size, std::vector<std::uint8_t> inlineData,
                      std::vector<std::uint8_t> fork = {}) {
        SyntheticVolume base(256);
        std::vector<std::uint8_t> catalogHeader = MakeHeaderNode(1, 1, 2, kHFSCaseFolding);
        std::vector<std::uint8_t> rec = FileRecord(30, 0, 0, {});
        rec[41] = 0x20;  // UF_COMPRESSED
        std::uint32_t forkBlocks = static_cast<std::uint32_t>((fork.size() + 4095) / 4096);
        put64(rec, 168, fork.size());
        put32(rec, 168 + 12, forkBlocks);
        if (forkBlocks) {
            put32(rec, 168 + 16, 100);
            put32(rec, 168 + 20, forkBlocks);
        }
        base.SetFork(192, 1, {{1, 1}});
        base.PutBlock(1, MakeHeaderNode(0, 0, 1, 0));
        base.SetFork(272, 2, {{2, 2}});
        base.PutBlock(2, catalogHeader);
        base.PutBlock(3, MakeNode(-1, 1, {Concat(CatalogKey(2, u"c.bin"), rec)}));
        for (std::size_t i = 0; i < fork.size(); i += 4096) {
            base.PutBlock(static_cast<std::uint32_t>(100 + i / 4096),
                          std::vector<std::uint8_t>(fork.begin() + static_cast<long>(i),
                                                    fork.begin() + static_cast<long>(std::min(fork.size(), i + 4096))));
        }
        device = std::make_unique<MemoryDevice>(base.bytes);
        volume = std::make_unique<CHFSPlusVolume>(device.get(), false);
        auto* key = new HFSPlusAttrKey;
        HFSUniStr255 wide;
        ASCIIToUnicode("com.apple.decmpfs", &wide);
        key->fileID = 30;
        key->nameLength = wide.length;
        std::copy(wide.unicode, wide.unicode + wide.length, key->name);
        auto* attr = new HFSPlusAttrRecord;
        attr->recordType = kHFSPlusAttrInlineData;
        std::vector<std::uint8_t> header = {'f', 'p', 'm', 'c', static_cast<std::uint8_t>(type), 0, 0, 0};
        for (int i = 0; i < 8; ++i) header.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
        attr->attrData = Concat(header, inlineData);
        attr->attrSize = static_cast<std::uint32_t>(attr->attrData.size());
        volume->DeletedAttributes().AddFront(key, attr);
        auto catKey = std::make_unique<HFSPlusCatalogKey>();
        catKey->parentID = 2;
        HFSPlusCatalogRecord record;
        record.recordType = kHFSPlusFileRecord;
        record.file.fileID = 30;
        record.file.permissions.ownerFlags = 0x20;
        record.file.resourceFork.logicalSize = fork.size();
        record.file.resourceFork.totalBlocks = forkBlocks;
        record.file.resourceFork.extents[0] = {100, forkBlocks};
        node = std::make_unique<CHFSPlusFileNode>(volume.get(), catKey.get(), &record, 1);
    }
    int Read(long long offset, unsigned length, std::vector<char>* out = nullptr) {
        CHFSPlusCompressFileReader reader(volume.get(), node.get());
        std::vector<char> buf(length + 1);
        int n = reader.ReadData(offset, buf.data(), length, nullptr);
        if (out) out->assign(buf.begin(), buf.begin() + std::max(n, 0));
        return n;
    }
};

std::vector<std::uint8_t> Zlib(const std::vector<std::uint8_t>& data) {
    uLongf size = compressBound(data.size());
    std::vector<std::uint8_t> out(size);
    compress(out.data(), &size, data.data(), data.size());
    out.resize(size);
    return out;
}
}  // namespace

TEST(HFSPlusCompressed, InlineAndResourceForkEdgeCases) {
    std::vector<std::uint8_t> ten = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    {
        // Type 3 of 10 bytes read at 4 for 100 gives 6; its attribute exists
        // only in the deleted collection.
        CompressedFixture f(3, 10, Zlib(ten));
        EXPECT_EQ(f.node->GetFileSize(), 10);  // the node shows the uncompressed size
        std::vector<char> out;
        EXPECT_EQ(f.Read(4, 100, &out), 6);
        EXPECT_EQ(std::string(out.begin(), out.end()), "456789");
        EXPECT_EQ(f.Read(10, 100), 0);
    }
    {
        // Stored payloads: zlib marks them with 0xFF, LZVN with 0x06.
        CompressedFixture z(3, 10, Concat({0xFF}, ten));
        CompressedFixture l(7, 10, Concat({0x06}, ten));
        for (auto* f : {&z, &l}) {
            std::vector<char> out;
            EXPECT_EQ(f->Read(0, 100, &out), 10);
            EXPECT_EQ(std::string(out.begin(), out.end()), "0123456789");
        }
    }
    for (std::uint32_t type : {5u, 6u, 9u}) {
        CompressedFixture f(type, 10, ten);
        EXPECT_EQ(f.Read(0, 100), 0) << type;
    }
    {
        // Type 4 whose block table points past the fork.
        std::vector<std::uint8_t> fork(4096, 0);
        put32(fork, 0, 256);  // dataOffset
        fork[256 + 4] = 1;    // one block (little-endian count)
        fork[256 + 8] = 0x00;
        fork[256 + 9] = 0x10;   // offset 4096
        fork[256 + 12] = 0x10;  // size 16
        CompressedFixture f(4, 10, {}, fork);
        EXPECT_EQ(f.Read(0, 100), 0);
    }
    {
        // Type 8: three 64 KiB chunks, read at 65536 for 131072: chunks 2 and 3.
        std::vector<std::uint8_t> plain(3 * 65536);
        for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i / 65536 + 'A');
        std::vector<std::uint8_t> fork(16, 0);
        std::uint32_t at = 16;
        for (int k = 0; k < 3; ++k) {
            // Each chunk stored raw (0x06 then its bytes).
            byteorder::PutLE32(&fork[4 * k], at);
            fork.push_back(0x06);
            fork.insert(fork.end(), plain.begin() + 65536 * k, plain.begin() + 65536 * (k + 1));
            at += 65537;
        }
        byteorder::PutLE32(&fork[12], at);
        CompressedFixture f(8, plain.size(), {}, fork);
        std::vector<char> out;
        EXPECT_EQ(f.Read(65536, 131072, &out), 131072);
        EXPECT_EQ(out.front(), 'B');
        EXPECT_EQ(out.back(), 'C');
        EXPECT_EQ(f.Read(65536 + 100, 10, &out), 10);  // inside a chunk
        EXPECT_EQ(out.front(), 'B');
    }
    {
        // A resource-fork type without run list logs and reads nothing.
        CompressedFixture f(8, 100, {});
        testing::internal::CaptureStdout();
        EXPECT_EQ(f.Read(0, 100), 0);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("ReadData decompress flag 8,got empty IDataRunList"),
                  std::string::npos);
    }
}

TEST(HFSPlusQuickSearch, JournaledVolumeDeletedFiles) {
    std::string image = PrebuiltImage("hfsplus_journal");
    QuickScan scan(image);
    ASSERT_EQ(scan.result, 0u);
    CHFSPlusVolume& volume = *scan.Volume();
    ASSERT_EQ(scan.builder.searchers.size(), 1u);
    EXPECT_EQ(scan.builder.searchers[0].first, SEARCHER_HFSPLUS);
    EXPECT_EQ(scan.builder.searchers[0].second, 2);
    EXPECT_EQ(scan.builder.flashed, std::vector<int>{SEARCHER_HFSPLUS});

    int deleted = 0;
    for (const auto& row : ReadTruth("hfsplus_journal")) {
        if (!row.deleted) continue;
        SCOPED_TRACE(row.path);
        IFileNode* node = scan.builder.FindByPath(row.path);
        ASSERT_NE(node, nullptr);
        EXPECT_TRUE(node->IsDeleted());
        EXPECT_FALSE(node->IsDirectory());
        EXPECT_EQ(static_cast<std::uint64_t>(node->GetFileSize()), row.size);
        EXPECT_EQ(Sha256Of(ReadNode(volume, node)), row.sha256);
        ++deleted;
    }
    EXPECT_EQ(deleted, 9);
    // The deleted folders, and all 12 extents of gone/frag.bin.
    for (const char* folder : {"gone", "gone/sub"}) {
        IFileNode* node = scan.builder.FindByPath(folder);
        ASSERT_NE(node, nullptr) << folder;
        EXPECT_TRUE(node->IsDirectory());
        EXPECT_TRUE(node->IsDeleted());
    }
    auto* frag = static_cast<CHFSPlusFileNode*>(scan.builder.FindByPath("gone/frag.bin"));
    ASSERT_NE(frag, nullptr);
    EXPECT_EQ(static_cast<CDataRunList*>(frag->GetDataRunList())->GetCount(), 12u);
    // Each deleted file once (deep.bin's newer record wins), no thread records.
    std::map<std::int64_t, int> seen;
    for (auto* n : scan.builder.nodes) {
        if (n->IsDeleted()) ++seen[n->GetCurrentNodeID()];
    }
    for (auto [id, count] : seen) EXPECT_EQ(count, 1) << id;
    EXPECT_EQ(seen.size(), 11u);
    // Live files are listed too, not deleted.
    IFileNode* notes = scan.builder.FindByPath("keep/notes.txt");
    ASSERT_NE(notes, nullptr);
    EXPECT_FALSE(notes->IsDeleted());
    // Progress: every node counted; total = deleted + files + folders + 1.
    const HFSPlusVolumeHeader* vh = volume.GetVolumeHeader();
    EXPECT_EQ(scan.sink.last.state, PROGRESS_STATE_FINISHED);
    EXPECT_EQ(scan.sink.last.total, static_cast<std::int64_t>(vh->fileCount + vh->folderCount + 1 + seen.size()));
    // The deleted catalog records are handed out and the collection emptied;
    // extents and attributes stay for run lists and decompression.
    EXPECT_EQ(volume.DeletedCatalog().Size(), 0u);
    EXPECT_GE(volume.DeletedExtents().Size(), 1u);
    EXPECT_GE(volume.DeletedAttributes().Size(), 1u);

    // The partition record carries the opened volume.
    CSearchedPartitionInfo* none[1] = {nullptr};
    EXPECT_EQ(scan.searcher->GetSearchedPartitionInfo(none, 0), 1);
    EXPECT_EQ(none[0], nullptr);
    CSearchedPartitionInfo* out[4] = {};
    ASSERT_EQ(scan.searcher->GetSearchedPartitionInfo(out, 4), 1);
    std::unique_ptr<CSearchedPartitionInfo> info(out[0]);
    EXPECT_EQ(info->GetFileSystemType(), 8u);
    EXPECT_EQ(info->GetSectorsPerCluster(), 8u);
    EXPECT_EQ(info->GetTotalSectors(), 32768u);
    EXPECT_EQ(info->GetPartitionIndex(), 0);
    auto* holder = reinterpret_cast<CHFSPlusPrivateData*>(static_cast<std::uintptr_t>(info->GetReservedWord()));
    EXPECT_EQ(holder->GetVolume(), &volume);
}

TEST(HFSPlusQuickSearch, JournalHeadersThatWouldNeverEnd) {
    std::string image = PrebuiltImage("hfsplus_journal");
    std::vector<std::uint8_t> pristine(2u << 20);
    FILE* f = std::fopen(image.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fread(pristine.data(), 1, pristine.size(), f), pristine.size());
    std::fclose(f);
    const std::size_t jh = 3 * 4096;  // the journal header (little-endian)
    auto le32put = [](std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    struct Case {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        bool opens;  // the journal header is accepted
    } cases[] = {
        {"block-list headers of 48 bytes", 32, 48, true},
        {"end not on a header boundary", 16, 0xED401, true},
        {"start == end at a misaligned offset", 8, 0x1234, true},
        {"header size 0", 40, 0, false},
        {"header size not a power of two", 40, 1000, false},
        {"block-list size not a multiple of 16", 32, 100, false},
        {"block-list size past the journal", 32, 0x200000, false},
    };
    for (const auto& c : cases) {
        auto bytes = pristine;
        le32put(bytes, jh + c.at, c.value);
        MemoryDevice device(std::move(bytes));
        CHFSPlusVolume volume(&device, false);
        ASSERT_EQ(volume.GetLastError(), 0u) << c.what;
        EXPECT_EQ(volume.GetJournal()->HasHeader(), c.opens) << c.what;
        RecordingBuilder builder;
        TestProgress sink;
        CHFSPlusQuickFileSystemSearchProgress progress(&sink, true);
        volume.QuickSearchFiles(&builder, &progress);  // must return
        EXPECT_NE(builder.FindByPath("keep/notes.txt"), nullptr) << c.what;
    }
    // Block copies scattered with garbage: every walk ends.
    std::uint32_t seed = 99;
    for (int round = 0; round < 30; ++round) {
        auto bytes = pristine;
        for (int k = 0; k < 64; ++k) {
            seed = seed * 1103515245u + 12345u;
            std::size_t at = jh + 512 + (seed >> 4) % ((1u << 20) - 512);
            seed = seed * 1103515245u + 12345u;
            bytes[at] = static_cast<std::uint8_t>(seed >> 16);
        }
        MemoryDevice device(std::move(bytes));
        CHFSPlusVolume volume(&device, false);
        RecordingBuilder builder;
        CHFSPlusQuickFileSystemSearchProgress progress(nullptr, true);
        volume.QuickSearchFiles(&builder, &progress);
    }
}

TEST(HFSPlusQuickSearch, ControllerRefusalsAndNonJournaledVolume) {
    {
        std::unique_ptr<IQuickFileSystemSearchController> s(CreateHFSPlusQuickSearcher());
        TestProgress sink;
        EXPECT_EQ(HFSErrorNumber(s->QuickSearchFiles(nullptr, &sink)), HFS_ERR_NULL_ARG);
        MemoryDevice zeros(std::vector<std::uint8_t>(65536, 0));
        EXPECT_EQ(HFSErrorNumber(s->QuickSearchFiles(&zeros, &sink)), HFS_ERR_MISSING);  // no builder
        RecordingBuilder builder;
        s->SetDirecotryTreeBuilder(&builder);
        EXPECT_TRUE(HFSFailed(s->QuickSearchFiles(&zeros, &sink)));  // not HFS+
        EXPECT_TRUE(builder.searchers.empty());
    }
    // xorriso: no journal, so only live nodes; the total counts them all.
    QuickScan scan(XorrisoVolumeDir() + "/xorriso.hfs");
    ASSERT_EQ(scan.result, 0u);
    const HFSPlusVolumeHeader* vh = scan.Volume()->GetVolumeHeader();
    EXPECT_EQ(scan.sink.last.total, static_cast<std::int64_t>(vh->fileCount + vh->folderCount + 1));
    for (auto* n : scan.builder.nodes) EXPECT_FALSE(n->IsDeleted());
    EXPECT_EQ(scan.sink.updates, static_cast<int>(scan.builder.nodes.size()) + 1);
    // A refused node is released and does not count.
    RecordingBuilder refusing;
    refusing.refuseAll = true;
    TestProgress sink;
    std::unique_ptr<IQuickFileSystemSearchController> s(CreateHFSPlusQuickSearcher());
    s->SetDirecotryTreeBuilder(&refusing);
    FileDevice device(XorrisoVolumeDir() + "/xorriso.hfs");
    EXPECT_EQ(s->QuickSearchFiles(&device, &sink), 0u);
    EXPECT_FALSE(refusing.types.empty());
    EXPECT_EQ(sink.last.current, static_cast<std::int64_t>(refusing.types.size()));
}

TEST(HFSPlusTreeBuilderWrapper, StampsPartitionAndMarksUsedSpace) {
    auto key = std::make_unique<HFSPlusCatalogKey>();
    key->parentID = 2;
    HFSPlusCatalogRecord record;
    record.recordType = kHFSPlusFileRecord;
    record.file.fileID = 30;
    record.file.dataFork.logicalSize = 6 * 4096;
    record.file.dataFork.totalBlocks = 6;
    record.file.dataFork.extents[0] = {100, 4};
    record.file.dataFork.extents[1] = {300, 2};

    struct Case {
        std::uint32_t sectorsPerBlock, unit;
        std::uint64_t start;
        std::vector<std::int64_t> set;
    } cases[] = {
        {8, 8, 0, {100, 101, 102, 103, 300}},    // the last run counts one block less
        {8, 1, 0, {800, 807, 831, 2400, 2407}},  // sector bits
        {8, 8, 16, {102, 105, 302}},             // the partition starts 2 blocks in
    };
    for (const auto& c : cases) {
        RecordingBuilder real;
        TBitmap bitmap;
        ASSERT_EQ(bitmap.CreateBitmap(4096, c.unit), 1);
        CHFSPlusDirectoryTreeBuilder wrapper(&real, c.sectorsPerBlock, 7, c.start);
        wrapper.SetBitmap(&bitmap);
        auto* node = new CHFSPlusFileNode(nullptr, key.get(), &record, 0);
        ASSERT_EQ(wrapper.AddNode(node, SEARCHER_HFSPLUS), 1);
        EXPECT_EQ(node->GetBelongedPartition(), 7);
        for (std::int64_t bit : c.set) EXPECT_TRUE(bitmap.GetBit(bit)) << bit;
        EXPECT_FALSE(bitmap.GetBit(99));
        EXPECT_FALSE(bitmap.GetBit(c.unit == 8 && c.start == 0 ? 301 : 2408));
        // Deleted files mark nothing.
        auto* gone = new CHFSPlusFileNode(nullptr, key.get(), &record, 1);
        bitmap.FillBitmap(1);
        wrapper.AddNode(gone, SEARCHER_HFSPLUS);
        EXPECT_FALSE(bitmap.GetBit(c.set.front()));
        wrapper.Release();  // never frees the real builder
        EXPECT_EQ(real.nodes.size(), 2u);
    }
    CHFSPlusDirectoryTreeBuilder alone(nullptr, 8, 0, 0);
    EXPECT_EQ(alone.AddNode(nullptr, SEARCHER_HFSPLUS), 0);
    EXPECT_EQ(alone.Initialize("x", nullptr, nullptr), 0);
}

TEST(HFSPlusQuickSearch, ThroughTheRealTreeBuilder) {
    struct Sink : IDrirectoryTree {
        void ShowNodes(IFileNode** nodes, unsigned count, int) override {
            for (unsigned i = 0; i < count; ++i) shown.push_back(nodes[i]);
        }
        void ShowFilesystemNode(IFilesystemNode* root) override { roots.push_back(root); }
        std::vector<IFileNode*> shown;
        std::vector<IFilesystemNode*> roots;
    } sink;
    CRecoveryFilter filter;
    filter.SetScanType(SCAN_TYPE_QUICK);
    IDirecotryTreeBuilder* builder = CreateTreeBuilder(false);
    ASSERT_EQ(builder->Initialize("QJOURNAL", &sink, &filter), 1);
    FileDevice device(PrebuiltImage("hfsplus_journal"));
    TestProgress progress;
    std::unique_ptr<IQuickFileSystemSearchController> s(CreateHFSPlusQuickSearcher());
    s->SetDirecotryTreeBuilder(builder);
    ASSERT_EQ(s->QuickSearchFiles(&device, &progress), 0u);
    CHFSPlusVolume& volume =
        *static_cast<CHFSPlusQuickFileSystemSearchController*>(s.get())->GetPrivateData()->GetVolume();
    ASSERT_EQ(sink.roots.size(), 1u);

    std::map<std::string, IFileNode*> files;
    for (IFileNode* n : sink.shown) {
        if (n->IsDirectory()) continue;
        EXPECT_TRUE(n->IsDeleted()) << n->GetFileName();  // a quick scan shows deleted files only
        std::string path = n->GetFileName();
        for (IFileNode* p = n->GetParent(); p && p->GetParent(); p = p->GetParent())
            path = std::string(p->GetFileName()) + "/" + path;
        files[path] = n;
    }
    int recovered = 0;
    for (const auto& row : ReadTruth("hfsplus_journal")) {
        if (!row.deleted) continue;
        auto it = files.find(row.path);
        ASSERT_NE(it, files.end()) << row.path;
        EXPECT_EQ(Sha256Of(ReadNode(volume, it->second)), row.sha256) << row.path;
        ++recovered;
    }
    EXPECT_EQ(recovered, 9);
    builder->Release();
}

TEST(HFSPlusQuickSearch, DeletedCollectionEntriesBecomeNodes) {
    // The xorriso volume has no journal: whatever sits in the deleted
    // collection is what the deleted phase lists.
    FileDevice device(XorrisoVolumeDir() + "/xorriso.hfs");
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    auto add = [&](std::int16_t type, std::uint32_t id, const std::u16string& name) {
        auto* key = new HFSPlusCatalogKey;
        key->parentID = 2;
        key->nodeName.length = static_cast<std::uint16_t>(name.size());
        for (std::size_t i = 0; i < name.size(); ++i) key->nodeName.unicode[i] = name[i];
        auto* record = new HFSPlusCatalogRecord;
        record->recordType = type;
        if (type == kHFSPlusFileRecord) record->file.fileID = id;
        if (type == kHFSPlusFolderRecord) record->folder.folderID = id;
        volume.DeletedCatalog().AddFront(key, record);
    };
    add(kHFSPlusFileThreadRecord, 0, u"thread");
    add(kHFSPlusFileRecord, 500, u"lost.bin");
    add(kHFSPlusFolderRecord, 2, u"root again");
    {
        RecordingBuilder builder;
        TestProgress sink;
        CHFSPlusQuickFileSystemSearchProgress progress(&sink, false);
        EXPECT_EQ(volume.QuickSearchFiles(&builder, &progress), 0u);
        IFileNode* lost = builder.FindById(500);
        ASSERT_NE(lost, nullptr);
        EXPECT_TRUE(lost->IsDeleted());
        int roots = 0;
        for (auto* n : builder.nodes) {
            if (n->GetCurrentNodeID() == 2) {
                ++roots;
                EXPECT_FALSE(n->IsDeleted());  // the root is never deleted
            }
        }
        EXPECT_EQ(roots, 2);  // the journal copy and the live root
        EXPECT_EQ(volume.DeletedCatalog().Size(), 0u);
        // Three collected records counted in the total, the thread made no node.
        const HFSPlusVolumeHeader* vh = volume.GetVolumeHeader();
        EXPECT_EQ(progress.GetInfo()->total, static_cast<std::int64_t>(vh->fileCount + vh->folderCount + 1 + 3));
        EXPECT_EQ(progress.GetInfo()->current, static_cast<std::int64_t>(builder.nodes.size()));
    }
    // Refused deleted nodes are released and not counted.
    add(kHFSPlusFileRecord, 501, u"refused.bin");
    RecordingBuilder refusing;
    refusing.refuseAll = true;
    TestProgress sink;
    CHFSPlusQuickFileSystemSearchProgress progress(&sink, false);
    volume.QuickSearchFiles(&refusing, &progress);
    // The refused deleted node is not counted; the live traversal counts
    // each node before the builder answers.
    ASSERT_GE(refusing.types.size(), 2u);
    EXPECT_EQ(progress.GetInfo()->current, static_cast<std::int64_t>(refusing.types.size() - 1));
}
