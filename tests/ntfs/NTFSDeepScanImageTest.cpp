// The NTFS deep search over disk images with mkntfs volumes placed by dd:
// candidates, scores and survivors against the geometry the images were
// made with (fsstat and the boot sector as the oracle).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NTFSTestSupport.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSSearchController.h"
#include "support/Fixture.h"

using namespace ntfstest;

namespace {

const std::string& DeepFixtureDir() {
    static const std::string dir = [] {
        return quillory_test::MakeFixtures("make_ntfs_deep_images.sh",
                                           std::string(QUILLORY_BINARY_DIR) + "/fixtures/ntfsdeep");
    }();
    return dir;
}
std::string DeepFixture(const char* name) { return DeepFixtureDir() + "/" + name; }

struct Survivor {
    std::int64_t start;
    std::uint64_t total;
    std::uint32_t spc;
    std::uint32_t flags;
    std::uint64_t score;
    std::uint16_t index;
    std::int64_t mftSector;
};

// The whole device through the searcher in 4 MiB blocks, as the deep
// controller feeds it.
std::vector<Survivor> DeepSearch(IStorageDevice& device, int blockSectors = 8192) {
    CNTFSSearchController searcher;
    searcher.SetDevice(&device);
    searcher.SetBlockSize(blockSectors);
    searcher.PreparetoSearch();
    const std::int64_t total = device.GetTotalSectors();
    for (std::int64_t s = 0; s < total; s += blockSectors)
        searcher.AnalyzeBlock(s, std::min<std::int64_t>(blockSectors, total - s));
    searcher.EndSearch(1);
    // The cluster-size guesses share one process-wide sector size, which
    // the search set from this device.
    GetSectorsPerCluster::g_nSectorSize = 512;
    std::vector<Survivor> out;
    const int n = searcher.GetSearchedPartitionInfo(nullptr, 0);
    std::vector<CSearchedPartitionInfo*> copies(static_cast<std::size_t>(n), nullptr);
    EXPECT_EQ(searcher.GetSearchedPartitionInfo(copies.data(), n), n);
    for (CSearchedPartitionInfo* p : copies) {
        auto* c = dynamic_cast<CSearchedNTFSPartitionInfo*>(p);
        EXPECT_NE(c, nullptr);
        if (c != nullptr)
            out.push_back({c->GetStartSector(), c->GetTotalSectors(), c->GetSectorsPerCluster(),
                           c->GetPartitionBuildFromFlags(), c->GetCount(), c->GetPartitionIndex(), c->GetMFTSector()});
        delete p;
    }
    return out;
}

std::vector<Survivor> DeepSearchImage(const char* name) {
    MemoryDevice device(ReadFile(DeepFixture(name)));
    return DeepSearch(device);
}

}  // namespace

// Total sectors the boot sector at `start` declares, rounded down to whole
// clusters, and its sectors per cluster.
void BootGeometry(const std::vector<std::uint8_t>& disk, std::int64_t start, std::uint64_t* total, std::uint32_t* spc) {
    const std::uint8_t* b = disk.data() + start * 512;
    const std::uint64_t sectors = byteorder::LE64(b + 40);
    *spc = b[13];
    *total = sectors / *spc * *spc;
}

TEST(NTFSDeepScanImageTest, OneVolumeAt2048WithOrWithoutItsPartitionTable) {
    const std::vector<std::uint8_t> disk = ReadFile(DeepFixture("deep_one.img"));
    ASSERT_FALSE(disk.empty());
    std::uint64_t total = 0;
    std::uint32_t spc = 0;
    BootGeometry(disk, 2048, &total, &spc);
    for (const char* name : {"deep_one.img", "deep_notable.img"}) {
        SCOPED_TRACE(name);
        const std::vector<Survivor> found = DeepSearchImage(name);
        ASSERT_EQ(found.size(), 1u);
        const Survivor& s = found[0];
        EXPECT_EQ(s.start, 2048);
        EXPECT_EQ(s.total, total);
        EXPECT_EQ(s.spc, spc);
        EXPECT_EQ(s.flags & 3u, 3u);  // boot sector and its backup
        EXPECT_GE(s.score, 40u);
        EXPECT_EQ(s.index, 0);
        EXPECT_EQ(s.mftSector, 2048 + 4 * 8);  // fsstat: first cluster of MFT 4
    }
}

TEST(NTFSDeepScanImageTest, BothBootSectorsWipedFoundFromTheMFTPairAndAttrDef) {
    const std::vector<Survivor> found = DeepSearchImage("deep_wiped.img");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].start, 2048);
    EXPECT_EQ(found[0].spc, 8u);
    EXPECT_EQ(found[0].flags & 3u, 0u);
    EXPECT_NE(found[0].flags & NTFS_BUILD_FROM_MFT_PAIR, 0u);
    EXPECT_GE(found[0].score, 40u);
    EXPECT_EQ(found[0].mftSector, 2048 + 4 * 8);
    // Without a boot sector the size comes from $Bitmap (whole bytes of it):
    // at least the volume, at most 64 clusters more.
    EXPECT_GE(found[0].total, 65528u);
    EXPECT_LE(found[0].total, 65528u + 64 * 8);
}

TEST(NTFSDeepScanImageTest, ThreeVolumesWithDifferentClusterSizesInPlaceOrder) {
    const std::vector<std::uint8_t> disk = ReadFile(DeepFixture("deep_three.img"));
    ASSERT_FALSE(disk.empty());
    MemoryDevice device(disk);
    const std::vector<Survivor> found = DeepSearch(device);
    ASSERT_EQ(found.size(), 3u);
    const std::int64_t starts[] = {2048, 26624, 51200};
    const std::uint32_t clusters[] = {1, 4, 8};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        std::uint64_t total = 0;
        std::uint32_t spc = 0;
        BootGeometry(disk, starts[i], &total, &spc);
        EXPECT_EQ(found[i].start, starts[i]);
        EXPECT_EQ(found[i].spc, clusters[i]);
        EXPECT_EQ(found[i].spc, spc);
        EXPECT_EQ(found[i].total, total);
        EXPECT_EQ(found[i].flags & 7u, 7u);  // boot, backup, MFT pair
        EXPECT_EQ(found[i].index, i);        // the writer finds each by its place
    }
}

// Volumes of 4,096-byte sectors: FILE records are a sector each, so the
// record walk does not rebuild them, but nothing may crash.
TEST(NTFSDeepScanImageTest, FourKibibyteSectorsDoNotCrash) {
    std::vector<std::uint8_t> bytes = ReadFile(Fixture("ntfs_4k.img"));
    ASSERT_FALSE(bytes.empty());
    MemoryDevice device(std::move(bytes), 4096);
    const std::vector<Survivor> found = DeepSearch(device, 1024);
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].start, 0);
}
