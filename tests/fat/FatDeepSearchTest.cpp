// The FAT deep search over MBR disks made by sfdisk, mkfs.fat and mtools,
// intact and with boot sectors, FAT starts or the partition table zeroed:
// the partition found at its true place, its score, and deleted files read
// back byte for byte through the rebuilt run lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <strings.h>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "FatTestSupport.h"
#include "fat/FATDeepSearch.h"
#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryFilter.h"
#include "storage/MemoryDevice.h"
#include "support/Fixture.h"
#include "support/RecordingSink.h"

using namespace fattest;

namespace {

const std::string& DeepDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_fat_deep_images.sh",
                                           std::string(QUILLORY_BINARY_DIR) + "/fixtures/fat-deep");
    }();
    return dir;
}

std::string Deep(const std::string& name) { return DeepDir() + "/" + name; }

std::vector<std::uint8_t> Orig(const std::string& disk, const std::string& path) {
    return ReadFile(DeepDir() + "/orig/" + disk + "/" + path);
}

struct Geometry {
    std::uint32_t reserved = 0, spf = 0;
};
Geometry GeometryOf(const std::string& disk) {
    std::ifstream in(Deep("geometry.txt"));
    std::string name;
    Geometry g;
    while (in >> name >> g.reserved >> g.spf)
        if (name == disk) return g;
    throw std::runtime_error("no geometry for " + disk);
}

// Forwards to another device and counts every read that reaches past the
// device's last sector.
class BoundedDevice : public IStorageDevice {
public:
    explicit BoundedDevice(IStorageDevice* inner) : m_inner(inner) {}
    int Open(char* p) override { return m_inner->Open(p); }
    int Close() override { return 1; }
    int ReadSector(void* b, std::int64_t first, std::int64_t count) override {
        if (first + count > m_inner->GetTotalSectors()) ++pastEnd;
        return m_inner->ReadSector(b, first, count);
    }
    std::uint32_t GetSectorSize() override { return m_inner->GetSectorSize(); }
    std::int64_t GetTotalSectors() override { return m_inner->GetTotalSectors(); }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* d) override { delete d; }
    int GetType() override { return STORAGE_DEVICE_DISK; }
    EngineResult GetLastError() override { return m_inner->GetLastError(); }
    int pastEnd = 0;

private:
    IStorageDevice* m_inner;
};

// One deep search fed in blocks of `block` sectors, then ended with build.
struct DeepRun {
    explicit DeepRun(IStorageDevice* device, int block = 64) : dev(device) { Scan(block); }
    void Scan(int block) {
        searcher.SetDirecotryTreeBuilder(&builder);
        searcher.SetDevice(&dev);
        searcher.SetBlockSize(block);
        searcher.PreparetoSearch();
        const std::int64_t total = dev.GetTotalSectors();
        for (std::int64_t s = 0; s < total; s += block)
            searcher.AnalyzeBlock(s, std::min<std::int64_t>(block, total - s));
        folderSectors = searcher.FolderSectors().size();
        searcher.EndSearch(1);
    }
    const CFATSearchedPartitionInfo* Only() const {
        return searcher.Kept().size() == 1 ? searcher.Kept().front() : nullptr;
    }
    // The first file node of that name.
    IFileNode* File(const std::string& name) const {
        for (IFileNode* n : builder.nodes)
            if (!n->IsDirectory() && strcasecmp(name.c_str(), n->GetFileName()) == 0) return n;
        return nullptr;
    }
    IFileNode* Folder(std::int64_t id) const {
        for (IFileNode* n : builder.nodes)
            if (n->IsDirectory() && n->GetCurrentNodeID() == id) return n;
        return nullptr;
    }
    std::vector<std::uint8_t> Data(const std::string& name) {
        IFileNode* n = File(name);
        const CFATSearchedPartitionInfo* p = Only();
        if (n == nullptr || p == nullptr) return {};
        return ReadRuns(dev, n, p->GetDataStartSector(), p->GetSectorsPerCluster());
    }
    BoundedDevice dev;
    RecordingBuilder builder;
    CFATCompleteFSearcher searcher;
    std::size_t folderSectors = 0;
};

const char* kDeleted[] = {"Summer Holiday Picture.jpg", "Report Final.docx", "Big Archive.bin", "old scan.bin",
                          "second old.txt"};
const char* kDeletedPaths[] = {"Photos/Summer Holiday Picture.jpg", "Report Final.docx", "Docs/Big Archive.bin",
                               "Photos/Old/old scan.bin", "Photos/Old/second old.txt"};

}  // namespace

// Every variant of the FAT32 and FAT16 disks: the volume found at its true
// start and data start with its sectors per cluster, the score its evidence
// earns, and every deleted file read back whole.
TEST(FatDeepSearch, VariantsFoundAtTheirTrueStartWithTheirScore) {
    struct Case {
        const char* image;
        const char* disk;
        std::uint32_t type, spc, flagsSet, flagsClear;
        std::uint64_t score;
        bool folderOnly;
    } cases[] = {
        {"fat32.img", "fat32", 2, 1, 0x3CC, 0, 100, false},
        {"fat32-notable.img", "fat32", 2, 1, 0x3CC, 0, 100, false},
        {"fat32-noboot.img", "fat32", 2, 1, 0x3C8, 0x4, 95, false},
        {"fat32-onefat.img", "fat32", 2, 1, 0xCC, 0x300, 95, false},
        {"fat32-onefat-nobackup.img", "fat32", 2, 1, 0xC4, 0x308, 90, false},
        {"fat32-bare.img", "fat32", 2, 1, 0x10, 0x3CF, 20, true},
        {"fat16.img", "fat16", 1, 4, 0x3C2, 0x0D, 100, false},
        {"fat16-bare.img", "fat16", 1, 4, 0x10, 0x3CF, 20, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        const Geometry g = GeometryOf(c.disk);
        const std::int64_t rootSectors = c.type == 1 ? 32 : 0;
        const std::int64_t dataStart = 2048 + g.reserved + 2 * g.spf + rootSectors;
        ImageDevice image(Deep(c.image), 512, STORAGE_DEVICE_DISK);
        DeepRun run(&image);
        const CFATSearchedPartitionInfo* p = run.Only();
        ASSERT_NE(p, nullptr) << run.searcher.Kept().size();
        EXPECT_EQ(p->GetFileSystemType(), c.type);
        EXPECT_EQ(p->GetDataStartSector(), dataStart);
        EXPECT_EQ(p->GetSectorsPerCluster(), c.spc);
        EXPECT_EQ(p->GetFlag() & c.flagsSet, c.flagsSet);
        EXPECT_EQ(p->GetFlag() & c.flagsClear, 0u);
        EXPECT_EQ(p->GetCount(), c.score);
        EXPECT_EQ(p->GetPartitionIndex(), 0);
        // A volume to the disk's end: the rebuilt size ends there too.
        EXPECT_EQ(p->GetStartSector() + static_cast<std::int64_t>(p->GetTotalSectors()), image.GetTotalSectors());
        if (!c.folderOnly) {
            EXPECT_EQ(p->GetStartSector(), 2048);
            EXPECT_GE(p->GetVotes(), 2);
        } else {
            EXPECT_GE(p->GetVotes(), 1);
        }
        EXPECT_EQ(run.dev.pastEnd, 0);
        ASSERT_EQ(run.builder.searchers.size(), 1u);
        EXPECT_EQ(run.builder.searchers[0], (std::pair<int, std::int64_t>{SEARCHER_FAT, 0}));
        EXPECT_EQ(run.builder.flashed, std::vector<int>{SEARCHER_FAT});
        for (std::size_t i = 0; i < std::size(kDeleted); ++i) {
            IFileNode* n = run.File(kDeleted[i]);
            ASSERT_NE(n, nullptr) << kDeleted[i];
            EXPECT_TRUE(n->IsDeleted()) << kDeleted[i];
            EXPECT_EQ(run.Data(kDeleted[i]), Orig(c.disk, kDeletedPaths[i])) << kDeleted[i];
        }
        // A deep scan shows existing files too (under a made-up folder they
        // count as deleted).
        ASSERT_NE(run.File("keep.txt"), nullptr);
        EXPECT_EQ(run.File("keep.txt")->IsDeleted() != 0, c.folderOnly && c.type == 2);
        EXPECT_EQ(run.Data("stays.txt"), Orig(c.disk, "Docs/stays.txt"));
        if (!c.folderOnly || c.type == 1) {
            // The root is read (from the boot sector, or for FAT16 from the
            // window before the data start): every folder keeps its name.
            EXPECT_NE(run.builder.Find("Photos/Summer Holiday Picture.jpg"), nullptr);
            EXPECT_NE(run.builder.Find("Docs/Big Archive.bin"), nullptr);
            EXPECT_NE(run.builder.Find("Report Final.docx"), nullptr);
        } else {
            // FAT32 without its root: Photos and Docs become made-up folders.
            IFileNode* folder = run.Folder(run.File("Summer Holiday Picture.jpg")->GetParentNodeID());
            ASSERT_NE(folder, nullptr);
            EXPECT_EQ(std::string(folder->GetFileName()).rfind("DIR", 0), 0u) << folder->GetFileName();
            EXPECT_TRUE(folder->IsDeleted());
            auto* props = static_cast<CFATFileNode*>(folder)->GetFileProperties();
            EXPECT_EQ(props->GetState(), 9);
        }
    }
}

// The oracle's deleted files of the intact FAT32 disk are all listed, under
// the same paths, by the deep search.
TEST(FatDeepSearch, DeletedFilesMatchTheOracle) {
    ImageDevice image(Deep("fat32.img"), 512, STORAGE_DEVICE_DISK);
    DeepRun run(&image);
    std::set<std::string> oracle;
    std::istringstream lines(fattest::Run("fls -o 2048 -r -d -p '" + Deep("fat32.img") + "'"));
    for (std::string line; std::getline(lines, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos && line.find("$OrphanFiles") == std::string::npos)
            oracle.insert(line.substr(tab + 1));
    }
    ASSERT_EQ(oracle.size(), 6u);
    const auto ours = run.builder.DeletedPaths();
    for (const auto& path : oracle) EXPECT_TRUE(ours.count(path)) << path;
}

// Blocks of any size give the same evidence; a second search on the same
// searcher starts from nothing; the "DIR%d" numbers go on growing.
TEST(FatDeepSearch, BlockSizeAndRepeatedSearches) {
    ImageDevice image(Deep("fat32-bare.img"), 512, STORAGE_DEVICE_DISK);
    ResetFATMadeUpFolderCounter();
    DeepRun small(&image, 64);
    DeepRun large(&image, 8192);
    DeepRun odd(&image, 7);
    ASSERT_NE(small.Only(), nullptr);
    for (DeepRun* r : {&large, &odd}) {
        ASSERT_NE(r->Only(), nullptr);
        EXPECT_EQ(r->folderSectors, small.folderSectors);
        EXPECT_EQ(r->Only()->GetDataStartSector(), small.Only()->GetDataStartSector());
        EXPECT_EQ(r->Only()->GetVotes(), small.Only()->GetVotes());
        EXPECT_EQ(r->builder.nodes.size(), small.builder.nodes.size());
    }
    auto madeUp = [](const DeepRun& r) {
        std::set<int> numbers;
        for (IFileNode* n : r.builder.nodes) {
            const std::string name = n->GetFileName();
            if (n->IsDirectory() && name.rfind("DIR", 0) == 0) numbers.insert(std::stoi(name.substr(3)));
        }
        return numbers;
    };
    ASSERT_FALSE(madeUp(small).empty());
    EXPECT_EQ(*madeUp(small).begin(), 0);
    EXPECT_GT(*madeUp(large).begin(), *madeUp(small).rbegin());

    // The same searcher again: nothing carried over from the first search.
    for (IFileNode* n : small.builder.nodes) n->Release();
    small.builder.nodes.clear();
    small.builder.searchers.clear();
    small.Scan(64);
    EXPECT_EQ(small.searcher.Kept().size(), 1u);
    EXPECT_EQ(small.Only()->GetPartitionIndex(), 0);
    EXPECT_EQ(small.builder.searchers.size(), 1u);
    small.searcher.PreparetoSearch();
    EXPECT_TRUE(small.searcher.Kept().empty());
    EXPECT_TRUE(small.searcher.Candidates().empty());
    EXPECT_TRUE(small.searcher.FolderSectors().empty());
    EXPECT_EQ(small.searcher.PendingFATPositions(), 0u);
}

// Boot-sector evidence alone: a boot sector with neither a FAT copy nor a
// folder is dropped; one whose FAT is too small for its clusters makes no
// candidate; a too small array gets the count and nothing else.
TEST(FatDeepSearch, BootSectorEvidence) {
    const auto boot32 = ReadBytes(Deep("fat32.img"), 2048 * 512, 512);
    const auto boot16 = ReadBytes(Deep("fat16.img"), 2048 * 512, 512);
    CMemoryStorageDevice disk(512, 81920);
    {
        RecordingBuilder builder;
        CFATCompleteFSearcher s;
        s.SetDirecotryTreeBuilder(&builder);
        s.SetDevice(&disk);
        s.SetBlockSize(64);
        s.PreparetoSearch();
        EXPECT_EQ(s.AnalyzeSector(2048, boot32.data()), 1);
        // The sector as a volume start and as a backup six sectors in.
        ASSERT_EQ(s.Candidates().size(), 2u);
        EXPECT_EQ(s.PendingFATPositions(), 4u);
        s.EndSearch(1);
        EXPECT_TRUE(s.Kept().empty());
        EXPECT_TRUE(builder.searchers.empty());
        EXPECT_EQ(s.GetSearchedPartitionInfo(nullptr, 0), 0);
    }
    {
        CFATCompleteFSearcher s;
        s.SetDevice(&disk);
        s.PreparetoSearch();
        auto small = boot16;
        small[22] = 20;  // sectors per FAT: 20 x 256 entries < 9,700 clusters
        small[23] = 0;
        EXPECT_EQ(s.AnalyzeFATDBRSector(2048, small.data()), 0);
        EXPECT_TRUE(s.Candidates().empty());
        EXPECT_EQ(s.AnalyzeFATDBRSector(2048, boot16.data()), 1);
        EXPECT_EQ(s.Candidates().size(), 1u);
    }
    {
        // Boot sector plus the first sector of each FAT copy: kept, score
        // 50 + 45 (no backup); too little room answers the count.
        RecordingBuilder builder;
        CFATCompleteFSearcher s;
        s.SetDirecotryTreeBuilder(&builder);
        s.SetDevice(&disk);
        s.SetBlockSize(64);
        s.PreparetoSearch();
        const Geometry g = GeometryOf("fat32");
        const auto fat = ReadBytes(Deep("fat32.img"), (2048ull + g.reserved) * 512, 512);
        s.AnalyzeSector(2048, boot32.data());
        s.AnalyzeSector(2048 + g.reserved, fat.data());
        s.AnalyzeSector(2048 + g.reserved + g.spf, fat.data());
        s.EndSearch(1);
        ASSERT_EQ(s.Kept().size(), 1u);
        EXPECT_EQ(s.Kept()[0]->GetCount(), 95u);
        CSearchedPartitionInfo* none[1] = {nullptr};
        EXPECT_EQ(s.GetSearchedPartitionInfo(none, 0), 1);
        CSearchedPartitionInfo* one[1] = {nullptr};
        EXPECT_EQ(s.GetSearchedPartitionInfo(one, 1), 1);
        ASSERT_NE(one[0], nullptr);
        EXPECT_EQ(one[0]->GetStartSector(), 2048);
        EXPECT_EQ(one[0]->GetCluster0Sector(), 2048 + g.reserved + 2 * g.spf);
        delete one[0];
    }
}

// A disk cut short inside its volume: the volume's size stops at the disk's
// end and no read goes past it. Sectors that fail to read are skipped and the
// rest of their block still counts. Sectors above 4,096 bytes are refused.
TEST(FatDeepSearch, ShortDiskFailedSectorsAndLargeSectors) {
    const auto bytes = ReadFile(Deep("fat32.img"));
    const std::int64_t keep = 80000;  // of 81,920
    CMemoryStorageDevice disk(512, keep);
    disk.Write(0, bytes.data(), static_cast<std::size_t>(keep) * 512);
    const Geometry g = GeometryOf("fat32");
    // In the first block with the folders, in free space.
    disk.FailSector(4000);
    ASSERT_LT(2048 + g.reserved + 2 * g.spf + 320, 4000u);
    DeepRun run(&disk, 4096);
    const CFATSearchedPartitionInfo* p = run.Only();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GetStartSector(), 2048);
    EXPECT_EQ(p->GetTotalSectors(), static_cast<std::uint64_t>(keep - 2048));
    EXPECT_EQ(run.dev.pastEnd, 0);
    EXPECT_EQ(run.Data("Summer Holiday Picture.jpg"), Orig("fat32", "Photos/Summer Holiday Picture.jpg"));

    // A folder sector that would be recorded were the sectors not refused.
    const Geometry g16 = GeometryOf("fat16");
    const auto root16 = ReadBytes(Deep("fat16.img"), (2048ull + g16.reserved + 2 * g16.spf) * 512, 8192);
    CMemoryStorageDevice big(8192, 64);
    std::memcpy(big.Sector(1), root16.data(), root16.size());
    CFATCompleteFSearcher s;
    s.SetDevice(&big);
    s.SetBlockSize(64);
    s.PreparetoSearch();
    s.AnalyzeBlock(0, 64);
    EXPECT_TRUE(s.Candidates().empty());
    EXPECT_TRUE(s.FolderSectors().empty());
}

// Two volumes on one disk (the FAT16 disk followed by the FAT32 disk): two
// partitions in place order, numbered 0 and 1, and each file read through
// the partition its node names.
TEST(FatDeepSearch, TwoVolumesOnOneDisk) {
    const auto first = ReadFile(Deep("fat16.img"));
    const auto second = ReadFile(Deep("fat32.img"));
    const std::int64_t firstSectors = static_cast<std::int64_t>(first.size() / 512);
    CMemoryStorageDevice disk(512, static_cast<std::int64_t>((first.size() + second.size()) / 512));
    disk.Write(0, first.data(), first.size());
    disk.Write(first.size(), second.data(), second.size());
    DeepRun run(&disk, 1024);
    const auto& kept = run.searcher.Kept();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0]->GetStartSector(), 2048);
    EXPECT_EQ(kept[0]->GetFileSystemType(), 1u);
    EXPECT_EQ(kept[1]->GetStartSector(), firstSectors + 2048);
    EXPECT_EQ(kept[1]->GetFileSystemType(), 2u);
    EXPECT_EQ(kept[0]->GetCount(), 100u);
    EXPECT_EQ(kept[1]->GetCount(), 100u);
    int checked[2] = {0, 0};
    for (IFileNode* n : run.builder.nodes) {
        auto* f = static_cast<CFATFileNode*>(n);
        if (n->IsDirectory() || strcasecmp(n->GetFileName(), "Big Archive.bin") != 0) continue;
        const std::uint16_t index = f->GetBelongedPartition();
        ASSERT_LT(index, 2);
        const CFATSearchedPartitionInfo* p = kept[index];
        EXPECT_EQ(ReadRuns(disk, n, p->GetDataStartSector(), p->GetSectorsPerCluster()),
                  Orig(index == 0 ? "fat16" : "fat32", "Docs/Big Archive.bin"));
        ++checked[index];
    }
    EXPECT_EQ(checked[0], 1);
    EXPECT_EQ(checked[1], 1);
}

// Through the deep controller: its cache, the file writer it makes for the
// FAT searcher, and the reader of each node. Deleted files come back whole.
TEST(FatDeepSearch, ControllerRecoversDeletedFilesByteIdentical) {
    GetTreeBuilderTiming() = {[] { return std::int64_t{1000}; }, [](unsigned) {}};
    ScanControllerFactories& f = GetScanControllerFactories();
    f.hfsplusDeep = f.exfatDeep = f.rawDeep = f.ntfsDeep =
        f.apfsDeep = [] { return static_cast<ICompleteFileSystemSearchController*>(nullptr); };
    f.fatDeep = CreateFATSearcher;
    f.flush = [](IStorageDevice*) {};
    struct Progress : IProgress {
        void UpdateProgress(_PROGRESS_INFO*) override {}
        int Continued() override { return 1; }
        int shouldBuild() override { return 1; }
    } progress;
    quillory_test::RecordingSink sink;
    CRecoveryFilter filter;
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetScanType(SCAN_TYPE_DEEP);
    ImageDevice image(Deep("fat32-noboot.img"), 512, STORAGE_DEVICE_DISK);
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
    ASSERT_NE(controller, nullptr);
    controller->Initialize(&filter);
    EXPECT_EQ(controller->StartDataRecovery(&image, &progress, &sink), ENGINE_OK);
    IDataRecovery* writer = controller->GetDataRecovery(SEARCHER_FAT);
    ASSERT_NE(writer, nullptr);
    char tmpl[] = "/tmp/fatdeep-XXXXXX";
    const std::string out = mkdtemp(tmpl);
    std::map<std::string, std::vector<std::uint8_t>> want;
    for (std::size_t i = 0; i < std::size(kDeleted); ++i) want[kDeleted[i]] = Orig("fat32", kDeletedPaths[i]);
    std::set<std::string> recovered;
    for (IFileNode* n : sink.shown) {
        if (n->IsDirectory() || !want.count(n->GetFileName())) continue;
        IFileReader* reader = writer->SetRecoverNode(n);
        ASSERT_NE(reader, nullptr) << n->GetFileName();
        reader->Release();
        const std::string dest = out + "/" + n->GetFileName();
        ASSERT_EQ(writer->RecoverTo(dest.c_str(), nullptr, 0), ENGINE_OK) << n->GetFileName();
        EXPECT_TRUE(ReadFile(dest) == want[n->GetFileName()]) << n->GetFileName();
        recovered.insert(n->GetFileName());
    }
    EXPECT_EQ(recovered.size(), want.size());
    writer->Release();
    controller->Release();
    std::system(("rm -rf '" + out + "'").c_str());
    ResetScanControllerFactories();
    ResetTreeBuilderTiming();
}
