#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ApfsTestUtil.h"
#include "apfs/APFSDeepScan.h"
#include "apfs/APFSFormat.h"
#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "foundation/SearchedPartitionInfo.h"
#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DataRecovery.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryFilter.h"
#include "support/Fixture.h"
#include "support/RecordingSink.h"

using namespace apfstest;

namespace {

// The deep-scan images, made once per test binary.
struct DeepImages {
    std::string two, prebuilt, wiped;  // wiped: the prebuilt container's block 0 zeroed
    std::uint64_t prebuiltOffset = 0;
};
const DeepImages& Images() {
    static const DeepImages images = [] {
        DeepImages d;
        const std::string dir =
            quillory_test::MakeFixtures("make_apfs_deep_images.sh", ScratchDir() + "/deep", {QUILLORY_SOURCE_DIR});
        d.two = dir + "/apfs_two.img";
        d.prebuilt = dir + "/apfs_prebuilt.img";
        d.wiped = dir + "/apfs_prebuilt_wiped.img";
        d.prebuiltOffset = std::strtoull(RunCommand("cat '" + dir + "/apfs_prebuilt.offset'").c_str(), nullptr, 10);
        return d;
    }();
    return images;
}

// Records what a searcher asks of the tree builder.
class SpyBuilder : public IDirecotryTreeBuilder {
public:
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override {
        EXPECT_EQ(type, SEARCHER_APFS);
        EXPECT_EQ(std::count(nodes.begin(), nodes.end(), node), 0) << "a node handed over twice";
        nodes.push_back(node);
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType type, int64_t root) override {
        calls.push_back("info " + std::to_string(type) + " " + std::to_string(root));
        return 1;
    }
    void FlashBuild(_tagSearcherType type) override { calls.push_back("build " + std::to_string(type)); }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override {
        calls.push_back(std::string("device ") + (partition ? "partition" : "null") + (device ? " device" : " null"));
    }
    std::vector<IFileNode*> nodes;
    std::vector<std::string> calls;
};

struct Progress : IProgress {
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return continueCalls-- > 0 ? 1 : 0; }
    int shouldBuild() override { return 1; }
    long continueCalls = 1L << 40;
};

// Feeds the whole device in 4 MiB blocks, as the deep controller does.
void FeedAll(APFSDeepScan& scan, IStorageDevice& device) {
    const std::int64_t block = DeepScanBlockSectors(device.GetSectorSize());
    const std::int64_t total = device.GetTotalSectors();
    for (std::int64_t first = 0; first < total; first += block)
        scan.AnalyzeBlock(first, std::min(block, total - first));
}

std::vector<std::unique_ptr<CSearchedPartitionInfo>> Partitions(APFSDeepScan& scan, int capacity = 16) {
    std::vector<CSearchedPartitionInfo*> raw(static_cast<std::size_t>(capacity > 0 ? capacity : 1), nullptr);
    const int n = scan.GetSearchedPartitionInfo(raw.data(), capacity);
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> out;
    for (int i = 0; i < n; ++i) out.emplace_back(raw[static_cast<std::size_t>(i)]);
    return out;
}

std::vector<std::uint8_t> ContainerSuperblock(std::uint8_t uuidByte, std::uint64_t blocks = 64) {
    auto b = ObjectHeader(1, 1, 0);
    put32(b, 32, kAPFSContainerMagic);
    put32(b, 36, 4096);
    put64(b, 40, blocks);
    for (int i = 0; i < 16; ++i) b[72 + i] = uuidByte;
    return b;
}

// A device whose reads fail when they reach past its end, as a disk's do.
class StrictDevice : public MemoryDevice {
public:
    using MemoryDevice::MemoryDevice;
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        if (first < 0 || count < 0 || first + count > GetTotalSectors()) return 0;
        return MemoryDevice::ReadSector(buffer, first, count);
    }
};

void PutBlock(std::vector<std::uint8_t>& image, std::uint64_t block, const std::vector<std::uint8_t>& data) {
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(block * 4096));
}

}  // namespace

TEST(APFSDeepScan, NoAPFSStructuresGiveNothing) {
    // Text, zeros and plausible-looking blocks that are neither superblock nor node.
    std::vector<std::uint8_t> image(2 * 1024 * 1024, 0);
    for (std::size_t i = 0; i < image.size() / 2; ++i) image[i] = static_cast<std::uint8_t>("lorem ipsum "[i % 12]);
    PutBlock(image, 300, ObjectHeader(77, 3, 14));
    auto notMagic = ContainerSuperblock(1);
    put32(notMagic, 32, kAPFSVolumeMagic + 1);
    PutBlock(image, 301, notMagic);
    MemoryDevice device(image);
    SpyBuilder builder;
    Progress progress;
    APFSDeepScan scan;
    scan.SetDirecotryTreeBuilder(&builder);
    scan.SetIProgressSink(&progress);
    scan.SetDevice(&device);
    scan.PreparetoSearch();
    FeedAll(scan, device);
    scan.EndSearch(1);
    EXPECT_EQ(scan.ReaderCount(), 0u);
    EXPECT_TRUE(builder.calls.empty());
    EXPECT_TRUE(builder.nodes.empty());
    EXPECT_TRUE(Partitions(scan).empty());
    EXPECT_EQ(scan.GetBitmap(), nullptr);
    EXPECT_EQ(CreateAPFSQuickSearcher(), nullptr);
    // Every 64 KiB group is read once, in one read.
    EXPECT_EQ(device.reads.size(), image.size() / 65536);
}

TEST(APFSDeepScan, TwoMkapfsContainersGiveTwoReadersAndTwoRecords) {
    for (std::uint32_t sectorSize : {512u, 4096u}) {
        SCOPED_TRACE(sectorSize);
        FileDevice device(Images().two, sectorSize);
        ASSERT_TRUE(device.ok());
        SpyBuilder builder;
        std::unique_ptr<ICompleteFileSystemSearchController> searcher(CreateAPFSDeepSearcher());
        auto* scan = dynamic_cast<APFSDeepScan*>(searcher.get());
        ASSERT_NE(scan, nullptr);
        scan->SetDirecotryTreeBuilder(&builder);
        scan->SetDevice(&device);
        scan->SetBlockSize(DeepScanBlockSectors(sectorSize));
        FeedAll(*scan, device);
        scan->EndSearch(1);

        const std::uint64_t mib = 1024 * 1024, container = 128 * mib;
        const std::uint64_t starts[] = {mib / sectorSize, (mib + container + 65536) / sectorSize};
        // Block 2 of each holds a checkpoint copy of its superblock: no third reader.
        ASSERT_EQ(scan->ReaderCount(), 2u);
        EXPECT_EQ(scan->ReaderAt(0)->GetStartSector(), starts[0]);
        EXPECT_EQ(scan->ReaderAt(1)->GetStartSector(), starts[1]);
        EXPECT_EQ(scan->ReaderAt(0)->GetContainerName(), "DeepOne_0");
        EXPECT_EQ(scan->ReaderAt(1)->GetContainerName(), "DeepTwo_1");
        EXPECT_EQ(builder.calls, (std::vector<std::string>{"info 37 2", "device null device", "build 37"}));

        auto parts = Partitions(*scan);
        ASSERT_EQ(parts.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(parts[i]->GetPartitionIndex(), i);
            EXPECT_EQ(parts[i]->GetFileSystemType(), static_cast<std::uint32_t>(FILE_SYSTEM_APFS));
            EXPECT_EQ(parts[i]->GetSectorsPerCluster(), 1u);
            EXPECT_EQ(parts[i]->GetStartSector(), static_cast<std::int64_t>(starts[i]));
            EXPECT_EQ(parts[i]->GetCluster0Sector(), static_cast<std::int64_t>(starts[i]));
            EXPECT_EQ(parts[i]->GetSectorSize(), sectorSize);
            EXPECT_EQ(parts[i]->GetTotalSectors(), container / sectorSize);
        }
        EXPECT_EQ(Partitions(*scan, 1).size(), 1u);
        EXPECT_EQ(scan->GetSearchedPartitionInfo(nullptr, 4), 0);
        CSearchedPartitionInfo* none[1] = {nullptr};
        EXPECT_EQ(scan->GetSearchedPartitionInfo(none, 0), 0);

        // Each container's root folder, with node ids of their own.
        std::set<std::string> seen;
        std::set<std::int64_t> ids;
        for (IFileNode* n : builder.nodes) {
            auto* node = static_cast<APFSFileNode*>(n);
            seen.insert(std::string(node->GetFileName()) + "@" + std::to_string(node->GetBelongedPartition()));
            EXPECT_TRUE(ids.insert(node->GetCurrentNodeID()).second) << node->GetFileName();
        }
        // The root folder of a later container takes the container's name.
        for (const char* want : {"root@0", "private-dir@0", "DeepTwo_1@1", "private-dir@1"})
            EXPECT_TRUE(seen.count(want)) << want;
    }
}

TEST(APFSDeepScan, SuperblocksAtTheEdgesOfRangesAndCopies) {
    // 300 blocks and 3 sectors: the device does not end on a 64 KiB boundary.
    struct Case {
        const char* what;
        std::vector<std::pair<std::uint64_t, std::uint8_t>> superblocks;  // block, UUID byte
        std::int64_t first, count;                                        // the range, in sectors
        std::vector<std::uint64_t> starts;                                // readers' start sectors
    } cases[] = {
        {"in the tail past the range", {{20, 1}}, 0, 17 * 8, {160}},
        {"in the last group, past the device's last 64 KiB", {{299, 1}}, 288 * 8, 12 * 8 + 3, {299 * 8}},
        {"a copy inside the container is not a new one", {{16, 1}, {18, 1}, {70, 1}}, 0, 300 * 8, {128}},
        {"a superblock read twice, at the end of one range and the start of the next, counts once",
         {{20, 1}},
         0,
         17 * 8,
         {160}},
        {"another UUID inside, and the same UUID outside, are",
         {{16, 1}, {30, 2}, {100, 1}},
         0,
         300 * 8,
         {128, 240, 800}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> image(300 * 4096 + 3 * 512, 0);
        for (auto [block, uuid] : c.superblocks) PutBlock(image, block, ContainerSuperblock(uuid));
        StrictDevice device(image);
        SpyBuilder builder;
        APFSDeepScan scan;
        scan.SetDirecotryTreeBuilder(&builder);
        scan.SetDevice(&device);
        scan.AnalyzeBlock(c.first, c.count);
        if (std::string(c.what).find("twice") != std::string::npos) scan.AnalyzeBlock(c.first + c.count, 40 * 8);
        ASSERT_EQ(scan.ReaderCount(), c.starts.size());
        for (std::size_t i = 0; i < c.starts.size(); ++i) EXPECT_EQ(scan.ReaderAt(i)->GetStartSector(), c.starts[i]);
        EXPECT_EQ(std::count(builder.calls.begin(), builder.calls.end(), "info 37 2"), 1);
    }
}

// A container at block 40 whose checkpoint area starts at its block 1: two
// checkpoints (map + superblock at blocks 1-2, transaction 5, and 3-4,
// transaction 6). Hostile area fields never move the start; they leave the
// superblock met first taken as block 0, as before.
TEST(APFSDeepScan, LostBlockZeroIsFoundFromACheckpointCopy) {
    struct Fields {
        std::uint32_t descBlocks = 8;
        std::uint64_t descBase = 1;
        std::uint32_t lengthOverride = 0;  // 0: each checkpoint's own length, 2
    };
    struct Case {
        const char* what;
        Fields fields;
        bool blockZero, maps;
        std::uint64_t start;  // the reader's start sector
    } cases[] = {
        {"block 0 lost", {}, false, true, 40 * 8},
        {"block 0 present", {}, true, true, 40 * 8},
        {"no checkpoint maps: the copy is taken as block 0", {}, false, false, 42 * 8},
        {"descriptor area of 0 blocks", {0, 1, 0}, false, true, 42 * 8},
        {"descriptor area in a B-tree", {0x80000008u, 1, 0}, false, true, 42 * 8},
        {"descriptor area far beyond the container", {8, 1ull << 60, 0}, false, true, 42 * 8},
        {"checkpoint longer than the area", {8, 1, 9}, false, true, 42 * 8},
        {"copy would lie before the device start", {8, 50, 0}, false, true, 42 * 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> image(200 * 4096, 0);
        auto superblock = [&](std::uint64_t xid, std::uint32_t index) {
            auto b = ContainerSuperblock(7);
            put64(b, 16, xid);
            put32(b, 104, c.fields.descBlocks);
            put64(b, 112, c.fields.descBase);
            put32(b, 136, index);
            put32(b, 140, c.fields.lengthOverride ? c.fields.lengthOverride : 2);
            return b;
        };
        for (std::uint32_t k = 0; k < 2; ++k) {
            if (c.maps) {
                auto map = ObjectHeader(1 + 2 * k, kAPFSTypeCheckpointMap, 0, kAPFSTypeFlagPhysical);
                put64(map, 16, 5 + k);
                PutBlock(image, 40 + 1 + 2 * k, map);
            }
            PutBlock(image, 40 + 2 + 2 * k, superblock(5 + k, 2 * k));
        }
        if (c.blockZero) PutBlock(image, 40, superblock(6, 2));
        StrictDevice device(image);
        APFSDeepScan scan;
        scan.SetDevice(&device);
        FeedAll(scan, device);
        ASSERT_EQ(scan.ReaderCount(), 1u);
        EXPECT_EQ(scan.ReaderAt(0)->GetStartSector(), c.start);
    }
}

TEST(APFSDeepScan, ContainersAreCapped) {
    const std::uint64_t blocks = APFSDeepScan::kMaxContainers + 16;
    std::vector<std::uint8_t> image(blocks * 4096, 0);
    for (std::uint64_t b = 0; b < blocks; ++b) {
        auto sb = ContainerSuperblock(0, 1);
        put64(sb, 72, b + 1);  // a UUID of its own
        PutBlock(image, b, sb);
    }
    MemoryDevice device(image);
    APFSDeepScan scan;
    scan.SetDevice(&device);
    FeedAll(scan, device);
    EXPECT_EQ(scan.ReaderCount(), APFSDeepScan::kMaxContainers);
    EXPECT_EQ(Partitions(scan, 2000).size(), APFSDeepScan::kMaxContainers);
}

TEST(APFSDeepScan, LoneVolumeSuperblockOnlyWhileNoContainerIsKnown) {
    std::vector<std::uint8_t> image(400 * 4096, 0);
    auto volume = ObjectHeader(0x402, 13, 0);
    put32(volume, 32, kAPFSVolumeMagic);
    const char name[] = "Lone";
    std::copy(name, name + 4, volume.begin() + 704);
    PutBlock(image, 40, volume);
    PutBlock(image, 50, volume);  // a second one is not taken
    PutBlock(image, 100, ContainerSuperblock(3, 200));
    MemoryDevice device(image);
    SpyBuilder builder;
    APFSDeepScan scan;
    scan.SetDirecotryTreeBuilder(&builder);
    scan.SetDevice(&device);
    FeedAll(scan, device);
    ASSERT_EQ(scan.ReaderCount(), 2u);
    EXPECT_EQ(scan.ReaderAt(0)->GetStartSector(), 0u);
    EXPECT_EQ(scan.ReaderAt(0)->GetContainerName(), "Lone_0");
    EXPECT_EQ(scan.ReaderAt(1)->GetStartSector(), 800u);
    auto parts = Partitions(scan);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0]->GetStartSector(), 0);
    EXPECT_EQ(parts[0]->GetTotalSectors(), 400u * 8);
    EXPECT_EQ(parts[1]->GetPartitionIndex(), 1);
    EXPECT_EQ(parts[1]->GetTotalSectors(), 200u * 8);
    EXPECT_EQ(builder.calls, (std::vector<std::string>{"info 37 2"}));
}

TEST(APFSDeepScan, StoppedScanReadsNothingMoreAndBuildZeroHandsNothing) {
    FileDevice device(Images().two);
    SpyBuilder builder;
    Progress progress;
    APFSDeepScan scan;
    scan.SetDirecotryTreeBuilder(&builder);
    scan.SetIProgressSink(&progress);
    scan.SetDevice(&device);
    scan.AnalyzeBlock(0, 2048 + 64);  // the first container's superblock and checkpoint
    ASSERT_EQ(scan.ReaderCount(), 1u);
    const std::size_t handed = builder.nodes.size();
    progress.continueCalls = 0;
    device.reads.clear();
    FeedAll(scan, device);
    EXPECT_TRUE(device.reads.empty());
    EXPECT_EQ(scan.ReaderCount(), 1u);
    scan.EndSearch(0);
    EXPECT_EQ(builder.nodes.size(), handed);
    EXPECT_EQ(builder.calls, (std::vector<std::string>{"info 37 2"}));
}

namespace {
using Sink = quillory_test::RecordingSink;

std::string PathInTree(IFileNode* n) {
    std::string path;
    int guard = 0;
    for (IFileNode* p = n; p && guard < 256; p = p->GetParent(), ++guard)
        path = "/" + std::string(p->GetFileName() ? p->GetFileName() : "?") + path;
    return path;
}
}  // namespace

TEST(APFSDeepScan, PrebuiltContainerAtAnOffsetRecoveredThroughTheDeepController) {
    const DeepImages& images = Images();
    // With its main superblock lost, the container is found from a checkpoint
    // copy at its true start and read from its newest checkpoint.
    for (const std::string& image : {images.prebuilt, images.wiped}) {
        SCOPED_TRACE(image);
        FileDevice device(image);
        ASSERT_TRUE(device.ok());
        struct ResetFactories {
            ~ResetFactories() { ResetScanControllerFactories(); }
        } reset;
        ScanControllerFactories& f = GetScanControllerFactories();
        f.hfsplusDeep = f.exfatDeep = f.fatDeep = f.rawDeep = f.ntfsDeep = [] { return nullptr; };
        f.flush = [](IStorageDevice*) {};
        CRecoveryFilter filter;
        filter.SetFilterTypes(FILTER_ALL);
        filter.SetScanType(SCAN_TYPE_DEEP);
        Sink sink;
        Progress progress;
        IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
        ASSERT_EQ(controller->Initialize(&filter), 1);
        ASSERT_EQ(controller->StartDataRecovery(&device, &progress, &sink), ENGINE_OK);

        IDataRecovery* writer = controller->GetDataRecovery(SEARCHER_APFS);
        ASSERT_NE(writer, nullptr);
        auto* plain = dynamic_cast<CDataRecovery*>(writer);
        ASSERT_NE(plain, nullptr);
        ASSERT_EQ(plain->GetPartitionCount(), 2u);
        EXPECT_EQ(plain->GetSearchedPartition()[0]->GetStartSector(), 2048);
        EXPECT_EQ(plain->GetSearchedPartition()[1]->GetStartSector(),
                  static_cast<std::int64_t>(images.prebuiltOffset / 512));
        EXPECT_EQ(plain->GetSearchedPartition()[1]->GetTotalSectors(), 2048u * 1024 * 2);

        // The prebuilt container's files belong to the second container only.
        std::multimap<std::string, IFileNode*> files;
        for (IFileNode* n : sink.shown) {
            if (n->IsDirectory()) continue;
            auto* node = dynamic_cast<CFileNode*>(n);
            ASSERT_NE(node, nullptr);
            const std::string path = PathInTree(n);
            if (node->GetBelongedPartition() == 0) {
                EXPECT_EQ(path.find("/gone/"), std::string::npos) << path;
                EXPECT_EQ(path.find("/keep/"), std::string::npos) << path;
                continue;
            }
            files.emplace(path, n);
        }
        const auto truth = ReadTruth("apfs");
        ASSERT_EQ(truth.size(), 11u);
        const std::string out = ScratchDir() + (image == images.wiped ? "/recovered-wiped" : "/recovered");
        std::filesystem::create_directories(out);
        int recovered = 0;
        for (const TruthRow& t : truth) {
            SCOPED_TRACE(t.path);
            bool found = false;
            for (const auto& [path, n] : files) {
                if (found || path.size() < t.path.size() + 1 ||
                    path.compare(path.size() - t.path.size() - 1, std::string::npos, "/" + t.path) != 0)
                    continue;
                if (static_cast<std::uint64_t>(n->GetFileSize()) != t.size) continue;
                IFileReader* clone = writer->SetRecoverNode(n);
                ASSERT_NE(clone, nullptr);
                clone->Release();
                const std::string dest = out + "/" + std::to_string(recovered++);
                ASSERT_EQ(writer->RecoverTo(dest.c_str(), nullptr, 0), ENGINE_OK);
                if (RunCommand("sha256sum '" + dest + "'").substr(0, 64) != t.sha256) continue;
                // Every node of a container after the first is shown deleted, the
                // live ones too: only the deleted ones are sure of their mark.
                if (t.deleted) {
                    EXPECT_NE(n->IsDeleted(), 0);
                }
                found = true;
            }
            EXPECT_TRUE(found) << "no node of this path recovers byte-identical";
        }
        // The writers go before the controller, whose searcher owns the nodes.
        writer->Release();
        controller->Release();
    }
}
