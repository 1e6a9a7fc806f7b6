#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "ApfsTestUtil.h"
#include "apfs/APFSContainerReader.h"
#include "apfs/APFSFormat.h"
#include "foundation/DataRun.h"

using namespace apfstest;

namespace {
// A delegate over an image file that keeps every node it is given.
class ImageDelegate : public APFSDelegate {
public:
    explicit ImageDelegate(IStorageDevice& device) : m_device(device) {}
    bool ShouldContinue() override { return continueCalls-- > 0; }
    void AddFileNode(APFSFileNode* node) override { nodes.push_back(node); }
    int ReadBlocks(APFSContainerReader* reader, std::uint64_t block, int bytes, std::uint8_t* buffer) override {
        const std::uint32_t ss = m_device.GetSectorSize();
        if (bytes <= 0 || bytes % ss != 0 || block > (1ull << 40)) return 0;
        return m_device.ReadSector(buffer, static_cast<std::int64_t>(reader->GetStartSector() + block * (4096 / ss)),
                                   bytes / ss);
    }
    std::vector<APFSFileNode*> nodes;
    long continueCalls = 1L << 40;

private:
    IStorageDevice& m_device;
};

std::string PathOf(APFSFileNode* node) {
    std::string path = node->GetFileName();
    int guard = 0;
    for (APFSFileNode* p = node->ParentFolder(); p && guard < 64; p = p->ParentFolder(), ++guard) {
        if (p->OwnKey() == 2) break;  // the volume's root folder
        path = std::string(p->GetFileName()) + "/" + path;
    }
    return path;
}

std::vector<std::uint8_t> ReadThroughRuns(IStorageDevice& device, APFSFileNode* node) {
    std::vector<std::uint8_t> out;
    IDataRunList* runs = node->GetDataRunList();
    if (!runs) return out;
    const std::uint64_t size = static_cast<std::uint64_t>(node->GetFileSize());
    const std::uint32_t ss = device.GetSectorSize();
    for (DataRun* r = runs->GetFirst(); r && out.size() < size; r = runs->GetNext()) {
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(r->length) * ss);
        if (!device.ReadSector(buf.data(), r->start, r->length)) return {};
        out.insert(out.end(), buf.begin(), buf.end());
    }
    if (out.size() > size) out.resize(size);
    return out;
}

std::string Sha256(const std::vector<std::uint8_t>& data) {
    std::string tmp = ScratchDir() + "/sha-input";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return "";
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return RunCommand("sha256sum '" + tmp + "'").substr(0, 64);
}

// Offers every 4096-byte block of the image that holds data (holes are zeros).
void ScanImage(const std::string& path, IStorageDevice& device, APFSContainerReader& reader) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const off_t end = ::lseek(fd, 0, SEEK_END);
    std::vector<std::uint8_t> block(32768);
    off_t at = 0;
    while (at < end) {
        off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        for (off_t b = data / 4096 * 4096; b < hole; b += 4096) {
            const std::uint64_t blockNo = static_cast<std::uint64_t>(b) / 4096;
            if (!device.ReadSector(block.data(), static_cast<std::int64_t>(blockNo * 8), 8)) continue;
            reader.ScanBlock(blockNo * 8, blockNo, block.data());
        }
        at = hole;
    }
    ::close(fd);
}
}  // namespace

TEST(APFSContainerReader, MkapfsContainerWalk) {
    FileDevice dev(MkapfsImage());
    ASSERT_TRUE(dev.ok());
    ImageDelegate delegate(dev);
    APFSContainerReader reader(&delegate, 0, 0);
    reader.SetSectorSize(512);
    EXPECT_EQ(reader.AnalyzeFromContainerSuperblock(), 0);
    reader.FlushNodes(~0ull);
    EXPECT_EQ(reader.GetContainerName(), "MyVol_0");
    std::set<std::string> names;
    for (auto* n : delegate.nodes) names.insert(n->GetFileName());
    EXPECT_TRUE(names.count("root"));
    EXPECT_TRUE(names.count("private-dir"));
}

TEST(APFSContainerReader, RefusesBadSuperblocks) {
    auto img = ObjectHeader(1, 1, 0);
    put32(img, 32, kAPFSContainerMagic);
    put32(img, 36, 8192);
    img.resize(65536);
    MemoryDevice dev(img);
    ImageDelegate delegate(dev);
    APFSContainerReader reader(&delegate, 0, 0);
    EXPECT_EQ(reader.AnalyzeFromContainerSuperblock(), -2);
    APFSContainerReader far(&delegate, 0, 1 << 20);
    EXPECT_EQ(far.AnalyzeFromContainerSuperblock(), -1);
}

TEST(APFSContainerReader, CancelledWalkStops) {
    FileDevice dev(MkapfsImage());
    ImageDelegate delegate(dev);
    delegate.continueCalls = 0;
    APFSContainerReader reader(&delegate, 0, 0);
    EXPECT_EQ(reader.AnalyzeFromContainerSuperblock(), 0);
    reader.FlushNodes(~0ull);
    EXPECT_TRUE(delegate.nodes.empty());
}

TEST(APFSContainerReader, PrebuiltContainerLiveAndDeletedFiles) {
    const std::string image = PrebuiltImage();
    FileDevice dev(image);
    ASSERT_TRUE(dev.ok());
    ImageDelegate delegate(dev);
    APFSContainerReader reader(&delegate, 0, 0);
    reader.SetSectorSize(512);
    ASSERT_EQ(reader.AnalyzeFromContainerSuperblock(), 0);
    ScanImage(image, dev, reader);
    reader.FlushNodes(~0ull);

    std::multimap<std::string, APFSFileNode*> byPath;
    for (auto* n : delegate.nodes) {
        EXPECT_STRCASENE(n->GetFileName(), ".DS_Store");
        EXPECT_STRCASENE(n->GetFileName(), "DS_Store");
        byPath.emplace(PathOf(n), n);
    }
    for (auto& [p, n] : byPath)
        std::printf("%s%s size %lld id %llx\n", p.c_str(), n->IsDeleted() ? " (deleted)" : "",
                    static_cast<long long>(n->GetFileSize()), static_cast<unsigned long long>(n->GetCurrentNodeID()));
    auto truth = ReadTruth("apfs");
    ASSERT_EQ(truth.size(), 11u);
    for (const auto& t : truth) {
        auto range = byPath.equal_range(t.path);
        bool found = false;
        for (auto it = range.first; it != range.second && !found; ++it) {
            APFSFileNode* n = it->second;
            if (n->IsDirectory()) continue;
            if (static_cast<std::uint64_t>(n->GetFileSize()) != t.size) continue;
            if (Sha256(ReadThroughRuns(dev, n)) != t.sha256) continue;
            EXPECT_EQ(n->IsDeleted() != 0, t.deleted) << t.path;
            found = true;
        }
        EXPECT_TRUE(found) << t.path;
    }
}

namespace {
// A container of 100 blocks whose superblock leads nowhere: only blocks
// offered through ScanBlock give records.
struct HandBuilt {
    HandBuilt() : dev(Image()), delegate(dev), reader(&delegate, 0, 0) {
        reader.SetSectorSize(512);
        EXPECT_EQ(reader.AnalyzeFromContainerSuperblock(), 0);
    }
    static std::vector<std::uint8_t> Image() {
        auto sb = ObjectHeader(1, 1, 0);
        put32(sb, 32, kAPFSContainerMagic);
        put32(sb, 36, 4096);
        put64(sb, 40, 100);
        sb.resize(100 * 4096);
        return sb;
    }
    void Offer(std::uint64_t block, std::vector<std::uint8_t> node) {
        put64(node, 8, 50);  // a virtual object id below the block count
        reader.ScanBlock(block * 8, block, node.data());
    }
    MemoryDevice dev;
    ImageDelegate delegate;
    APFSContainerReader reader;
};

Entry WithTimes(Entry e) {
    put64(e.value, 16, 1600000000000000000ull);
    return e;
}
}  // namespace

TEST(APFSContainerReader, RecordsMergeByKeyAndNearness) {
    HandBuilt h;
    // Extents first; the inode follows a few blocks on and names the file.
    h.Offer(10, FsTreeNode(2, {ExtentEntry(30, 0, 8192, 70)}));
    h.Offer(12, FsTreeNode(2, {WithTimes(InodeEntry(30, 2, 0x81A4, "a.bin", 8000)), DirEntry(2, "a.bin", 30, 8),
                               WithTimes(InodeEntry(30, 2, 0x81A4, "a.bin", 8000))}));
    // The same data stream under another parent: a second node with an id of its own.
    h.Offer(14, FsTreeNode(2, {WithTimes(InodeEntry(30, 7, 0x81A4, "b.bin", 8000))}));
    h.Offer(16,
            FsTreeNode(2, {WithTimes(InodeEntry(31, 2, 0x81A4, ".DS_Store", 10)), DirEntry(2, ".DS_Store", 31, 8)}));
    h.reader.FlushNodes(~0ull);
    std::map<std::string, APFSFileNode*> byName;
    for (auto* n : h.delegate.nodes) {
        EXPECT_EQ(byName.count(n->GetFileName()), 0u) << n->GetFileName();
        byName[n->GetFileName()] = n;
        EXPECT_STRCASENE(n->GetFileName(), "DS_Store");
        EXPECT_STRCASENE(n->GetFileName(), "");
    }
    ASSERT_TRUE(byName.count("a.bin"));
    ASSERT_TRUE(byName.count("b.bin"));
    APFSFileNode* a = byName["a.bin"];
    EXPECT_EQ(a->GetCurrentNodeID(), 30);
    EXPECT_EQ(a->GetParentNodeID(), 2);
    EXPECT_EQ(a->GetFileSize(), 8000);
    ASSERT_TRUE(a->GetDataRunList());
    EXPECT_EQ(a->GetDataRunList()->GetFirst()->start, 70 * 8);
    EXPECT_EQ(a->GetDataRunList()->GetFirst()->length, 16);
    EXPECT_NE(a->GetCreationTime(), APFSFileNode::kUnixEpochAs1601);
    APFSFileNode* b = byName["b.bin"];
    EXPECT_EQ(static_cast<std::uint64_t>(b->GetCurrentNodeID()), APFSContainerReader::kUniqueIdBase);
    EXPECT_EQ(b->GetParentNodeID(), 7);
    EXPECT_EQ(h.delegate.nodes.size(), 2u);
}

TEST(APFSContainerReader, ScanBlockRefusesForeignBlocks) {
    HandBuilt h;
    auto node = FsTreeNode(2, {WithTimes(InodeEntry(30, 2, 0x81A4, "a.bin", 10)), DirEntry(2, "a.bin", 30, 8)});
    auto beyond = node;
    put64(beyond, 8, 100);  // object id not below the block count
    h.reader.ScanBlock(80, 10, beyond.data());
    auto physical = node;
    put64(physical, 8, 11);
    put16(physical, 26, 0x4000);  // a physical object must sit at its own block
    h.reader.ScanBlock(80, 10, physical.data());
    auto omap = node;
    put64(omap, 8, 50);
    put16(omap, 28, 11);
    h.reader.ScanBlock(80, 10, omap.data());
    h.reader.FlushNodes(~0ull);
    EXPECT_TRUE(h.delegate.nodes.empty());
}
