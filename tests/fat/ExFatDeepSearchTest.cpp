// exFAT deep search on raw disk images holding an exFAT volume made by
// mkfs.exfat and filled through exfat-fuse (tests/fixtures/
// make_exfat_deep_images.sh), at an odd sector offset, with its boot
// sectors and root folder wiped in turn; and on hand-built sectors.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ExFatTestSupport.h"
#include "fat/ExFatDeepSearch.h"
#include "fat/ExFatPartitionBuilder.h"
#include "fat/ExFatStructures.h"
#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/SearchedPartitionInfo.h"
#include "storage/MemoryDevice.h"
#include "support/Fixture.h"
#include "support/TempDir.h"

using namespace exfatdeep;

namespace {

using exfattest::ReadRuns;
using exfattest::RecordingBuilder;

const std::string& FixtureDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_exfat_deep_images.sh",
                                           std::string(QUILLORY_BINARY_DIR) + "/fixtures/exfat-deep");
    }();
    return dir;
}

std::vector<std::uint8_t> ReadFile(const std::string& path) { return quillory_test::ReadAll(path); }

// The volume image, read once.
const std::vector<std::uint8_t>& Volume() {
    static const std::vector<std::uint8_t> bytes = ReadFile(FixtureDir() + "/volume.img");
    return bytes;
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

std::int64_t Offset() { return std::stoll(Lines(FixtureDir() + "/offset").at(0)); }

constexpr std::int64_t kDiskSectors = 12 * 2048;

// Volume geometry as mkfs.exfat laid it out (read from the volume image).
struct Geometry {
    std::int64_t heap, fatOffset, volumeSectors;
    std::uint32_t spc, root;
    Geometry() {
        const auto& v = Volume();
        heap = byteorder::LE32(v.data() + 88);
        fatOffset = byteorder::LE32(v.data() + 80);
        volumeSectors = static_cast<std::int64_t>(byteorder::LE64(v.data() + 72));
        root = byteorder::LE32(v.data() + 96);
        spc = 1u << v[109];
    }
    std::int64_t RootSector() const { return heap + static_cast<std::int64_t>(root - 2) * spc; }
};

enum class Wipe { None, Main, Both, BothAndRoot };

// The volume at the fixture's odd offset on a blank disk, wiped as asked.
std::unique_ptr<CMemoryStorageDevice> MakeDisk(Wipe wipe) {
    const auto& volume = Volume();
    auto dev = std::make_unique<CMemoryStorageDevice>(512, kDiskSectors, STORAGE_DEVICE_DISK);
    const std::int64_t at = Offset();
    dev->Write(static_cast<std::uint64_t>(at) * 512, volume.data(), volume.size());
    Geometry g;
    auto zero = [&](std::int64_t sector, std::int64_t count) {
        std::memset(dev->Bytes().data() + (at + sector) * 512, 0, static_cast<std::size_t>(count) * 512);
    };
    if (wipe != Wipe::None) zero(0, 1);
    if (wipe == Wipe::Both || wipe == Wipe::BothAndRoot) zero(12, 1);
    if (wipe == Wipe::BothAndRoot) zero(g.RootSector(), g.spc);
    return dev;
}

struct DeepScan {
    RecordingBuilder builder;
    std::unique_ptr<ICompleteFileSystemSearchController> searcher{CreateEXFatSearcher()};
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;

    void Run(IStorageDevice* dev, int blockSectors) {
        ASSERT_NE(searcher, nullptr);
        searcher->SetDevice(dev);
        searcher->SetBlockSize(blockSectors);
        searcher->SetDirecotryTreeBuilder(&builder);
        searcher->PreparetoSearch();
        const std::int64_t total = dev->GetTotalSectors();
        for (std::int64_t s = 0; s < total; s += blockSectors)
            searcher->AnalyzeBlock(s, std::min<std::int64_t>(blockSectors, total - s));
        searcher->EndSearch(1);
        const int n = searcher->GetSearchedPartitionInfo(nullptr, 0);
        std::vector<CSearchedPartitionInfo*> raw(static_cast<std::size_t>(n));
        if (n > 0) {
            ASSERT_EQ(searcher->GetSearchedPartitionInfo(raw.data(), n), n);
        }
        for (auto* r : raw) records.emplace_back(r);
    }
    const CSearchedPartitionInfo* RecordOf(IFileNode* node) const {
        auto* f = dynamic_cast<CFileNode*>(node);
        for (auto& r : records)
            if (f && r->GetPartitionIndex() == f->GetBelongedPartition()) return r.get();
        return nullptr;
    }
};

// Every deleted file of the fixture whose path starts with `prefix` is found
// under its path (after `strip` leading characters) and reads back
// byte-identical.
void ExpectDeletedRecovered(DeepScan& scan, IStorageDevice& dev, const std::string& prefix, const char* what) {
    int checked = 0;
    for (const std::string& path : Lines(FixtureDir() + "/deleted.txt")) {
        if (path.rfind(prefix, 0) != 0) continue;
        IFileNode* node = scan.builder.Find(path);
        ASSERT_NE(node, nullptr) << what << ": " << path;
        EXPECT_TRUE(node->IsDeleted()) << what << ": " << path;
        const CSearchedPartitionInfo* record = scan.RecordOf(node);
        ASSERT_NE(record, nullptr) << what << ": " << path;
        EXPECT_EQ(ReadRuns(dev, node, *record), ReadFile(FixtureDir() + "/orig/" + path)) << what << ": " << path;
        ++checked;
    }
    EXPECT_GE(checked, 2) << what;
}

TEST(ExFatDeepSearch, FindsTheVolumeFromBootSectorsOrItsRootSet) {
    Geometry g;
    const std::int64_t at = Offset();
    struct Case {
        const char* what;
        Wipe wipe;
        std::uint32_t flag;
        bool knowsStart;
    } cases[] = {
        {"intact", Wipe::None, EXFAT_EVIDENCE_MAIN_BOOT | EXFAT_EVIDENCE_BACKUP_BOOT, true},
        {"main boot sector wiped", Wipe::Main, EXFAT_EVIDENCE_BACKUP_BOOT, true},
        {"both boot sectors wiped", Wipe::Both, EXFAT_EVIDENCE_ROOT, false},
    };
    for (const Case& c : cases) {
        auto dev = MakeDisk(c.wipe);
        DeepScan scan;
        scan.Run(dev.get(), 8192);
        ASSERT_EQ(scan.records.size(), 1u) << c.what;
        const CSearchedPartitionInfo& r = *scan.records[0];
        EXPECT_EQ(r.GetFileSystemType(), FILE_SYSTEM_EXFAT) << c.what;
        EXPECT_EQ(r.GetCluster0Sector(), at + g.heap) << c.what;
        EXPECT_EQ(r.GetSectorsPerCluster(), g.spc) << c.what;
        EXPECT_EQ(r.GetPartitionIndex(), 0) << c.what;
        if (c.knowsStart) {
            EXPECT_EQ(r.GetStartSector(), at) << c.what;
            EXPECT_EQ(static_cast<std::int64_t>(r.GetTotalSectors()), g.volumeSectors) << c.what;
        }
        auto* searcher = dynamic_cast<CExFatCompleteSearch*>(scan.searcher.get());
        ASSERT_NE(searcher, nullptr);
        ASSERT_EQ(searcher->Partitions().size(), 1u);
        EXPECT_EQ(searcher->Partitions()[0]->m_flags & c.flag, c.flag) << c.what;

        EXPECT_EQ(scan.builder.searchers, (std::vector<std::pair<int, std::int64_t>>{{SEARCHER_EXFAT, -1}}));
        EXPECT_EQ(scan.builder.flashed, std::vector<int>{SEARCHER_EXFAT});
        // Existing and deleted files under their folders, root entries under
        // the searcher's root.
        const auto paths = scan.builder.Paths();
        for (const char* p : {"top.txt", "Photos été/img-1.jpg", "projects/alpha/sub/data.bin",
                              "projects/delta/notes.txt", "many/empty-40.txt"})
            EXPECT_TRUE(paths.count(p)) << c.what << ": " << p;
        ExpectDeletedRecovered(scan, *dev, "", c.what);
        IFileNode* live = scan.builder.Find("projects/gamma/sub/data.bin");
        ASSERT_NE(live, nullptr) << c.what;
        EXPECT_FALSE(live->IsDeleted());
        EXPECT_EQ(ReadRuns(*dev, live, *scan.RecordOf(live)),
                  ReadFile(FixtureDir() + "/orig/projects/gamma/sub/data.bin"));
        EXPECT_GT(live->GetModificationTime(), 0);
    }
}

TEST(ExFatDeepSearch, FindsTheVolumeFromFolderTreesWithoutBootSectorsOrRoot) {
    Geometry g;
    auto dev = MakeDisk(Wipe::BothAndRoot);
    DeepScan scan;
    scan.Run(dev.get(), 8192);
    ASSERT_EQ(scan.records.size(), 1u);
    EXPECT_EQ(scan.records[0]->GetCluster0Sector(), Offset() + g.heap);
    EXPECT_EQ(scan.records[0]->GetSectorsPerCluster(), g.spc);
    auto* searcher = dynamic_cast<CExFatCompleteSearch*>(scan.searcher.get());
    ASSERT_EQ(searcher->Partitions().size(), 1u);
    EXPECT_EQ(searcher->Partitions()[0]->m_flags & 0xFF000000u, EXFAT_EVIDENCE_TREE);
    // The root's entries are gone: the folders hang from lost parents, but
    // below them the paths hold.
    IFileNode* deep = nullptr;
    for (auto* n : scan.builder.nodes)
        if (scan.builder.PathOf(n).find("alpha/sub/data.bin") != std::string::npos) deep = n;
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(ReadRuns(*dev, deep, *scan.RecordOf(deep)), ReadFile(FixtureDir() + "/orig/projects/alpha/sub/data.bin"));
    for (auto* n : scan.builder.nodes) {
        const std::string path = scan.builder.PathOf(n);
        if (path.find("gone-data.bin") == std::string::npos) continue;
        EXPECT_TRUE(n->IsDeleted());
        EXPECT_EQ(ReadRuns(*dev, n, *scan.RecordOf(n)),
                  ReadFile(FixtureDir() + "/orig/projects/beta/sub/gone-data.bin"));
    }
}

// The disk image the fixture script wrote (both boot sectors wiped with dd)
// gives the same as the in-memory copy; a tiny block size, so that sets and
// the carried sectors straddle block edges, changes nothing.
TEST(ExFatDeepSearch, BlockSizeDoesNotChangeTheResult) {
    const auto bytes = ReadFile(FixtureDir() + "/disk.img");
    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(kDiskSectors) * 512);
    CMemoryStorageDevice disk(512, kDiskSectors, STORAGE_DEVICE_DISK);
    disk.Write(0, bytes.data(), bytes.size());
    DeepScan big, tiny, odd;
    big.Run(&disk, 8192);
    tiny.Run(&disk, 3);
    odd.Run(&disk, 1000);
    ASSERT_EQ(big.records.size(), 1u);
    EXPECT_FALSE(big.builder.Paths().empty());
    EXPECT_EQ(tiny.builder.Paths(), big.builder.Paths());
    EXPECT_EQ(odd.builder.Paths(), big.builder.Paths());
    ASSERT_EQ(tiny.records.size(), 1u);
    EXPECT_EQ(tiny.records[0]->GetCluster0Sector(), big.records[0]->GetCluster0Sector());
}

TEST(ExFatDeepSearch, NothingFoundAndStoppedScans) {
    CMemoryStorageDevice blank(512, 4096, STORAGE_DEVICE_DISK);
    DeepScan scan;
    scan.Run(&blank, 8192);
    EXPECT_TRUE(scan.records.empty());
    EXPECT_TRUE(scan.builder.searchers.empty());
    EXPECT_TRUE(scan.builder.nodes.empty());

    // A stopped scan builds nothing.
    auto dev = MakeDisk(Wipe::None);
    RecordingBuilder builder;
    std::unique_ptr<ICompleteFileSystemSearchController> s(CreateEXFatSearcher());
    s->SetDevice(dev.get());
    s->SetBlockSize(8192);
    s->SetDirecotryTreeBuilder(&builder);
    s->PreparetoSearch();
    s->AnalyzeBlock(0, 8192);
    s->EndSearch(0);
    EXPECT_TRUE(builder.nodes.empty());
    EXPECT_TRUE(builder.flashed.empty());
    EXPECT_EQ(s->GetSearchedPartitionInfo(nullptr, 0), 0);

    // Without a tree builder or a block size nothing is read.
    std::unique_ptr<ICompleteFileSystemSearchController> bare(CreateEXFatSearcher());
    bare->SetDevice(dev.get());
    bare->PreparetoSearch();
    const auto reads = dev->ReadCalls();
    bare->AnalyzeBlock(0, 8192);
    EXPECT_EQ(dev->ReadCalls(), reads);
}

// A second search with the same searcher starts afresh.
TEST(ExFatDeepSearch, RecordsAreResetBetweenSearches) {
    auto dev = MakeDisk(Wipe::None);
    DeepScan scan;
    scan.Run(dev.get(), 8192);
    const auto first = scan.builder.Paths();
    for (auto* n : scan.builder.nodes) n->Release();
    scan.builder.nodes.clear();
    scan.records.clear();
    scan.Run(dev.get(), 8192);
    EXPECT_EQ(scan.builder.Paths(), first);
    EXPECT_EQ(scan.records.size(), 1u);
}

}  // namespace
