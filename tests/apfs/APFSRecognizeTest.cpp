#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "ApfsTestUtil.h"
#include "apfs/APFSFormat.h"
#include "foundation/Types.h"
#include "foundation/VolumeAnalyze.h"

using namespace apfstest;

namespace {
// A minimal container: superblock at block 0 (walk link to block 1), object
// map at block 2, its root leaf at block 3, the volume superblock at block 4.
std::vector<std::uint8_t> TinyContainer(const std::string& name, std::uint32_t sectorSize = 512) {
    std::vector<std::uint8_t> img(4096 * 8, 0);
    auto place = [&](std::size_t block, const std::vector<std::uint8_t>& b) {
        std::memcpy(img.data() + block * 4096, b.data(), 4096);
    };
    auto sb = ObjectHeader(1, 1, 0, 0x8000);
    put32(sb, 32, kAPFSContainerMagic);
    put32(sb, 36, 4096);
    put64(sb, 40, 8);
    put32(sb, 136, 1);
    put64(sb, 160, 2);
    place(0, sb);
    auto om = ObjectHeader(2, 11, 0, 0x4000);
    put64(om, 48, 3);
    place(2, om);
    auto root = ObjectHeader(3, 3, 11, 0x4000);
    put16(root, 32, 7);
    put32(root, 36, 1);
    put16(root, 58, 16);
    put64(root, 4096 - 40 - 16 + 8, 4);
    place(3, root);
    auto vol = ObjectHeader(1026, 13, 0);
    put32(vol, 32, kAPFSVolumeMagic);
    std::memcpy(vol.data() + 704, name.data(), std::min<std::size_t>(name.size(), 256));
    place(4, vol);
    (void)sectorSize;
    return img;
}

struct Recognised {
    std::unique_ptr<IVolumeAnalyze> analyze;
    std::string label;
};

Recognised Recognise(IStorageDevice& device, std::uint64_t start = 0) {
    Recognised r;
    r.analyze.reset(CreateAPFSVolumeAnalyze(&device, start));
    if (r.analyze) {
        char label[100] = {};
        r.analyze->GetLabel(label, sizeof label);
        r.label = label;
    }
    return r;
}
}  // namespace

TEST(APFSRecognize, HandBuiltContainer) {
    MemoryDevice dev(TinyContainer("Data"));
    auto r = Recognise(dev);
    ASSERT_TRUE(r.analyze);
    EXPECT_EQ(r.analyze->GetFileSystemType(), static_cast<std::uint32_t>(FILE_SYSTEM_APFS));
    EXPECT_EQ(r.analyze->GetTotalSector(), 64);
    EXPECT_EQ(r.label, "Data");
}

TEST(APFSRecognize, RefusedSuperblocks) {
    struct Case {
        const char* what;
        std::size_t at;
        int width;
        std::uint32_t value;
    } cases[] = {
        {"block size 8192", 36, 4, 8192}, {"block size 2048", 36, 4, 2048}, {"type 0", 24, 2, 0},
        {"type 32", 24, 2, 32},           {"subtype 32", 28, 2, 32},        {"bad magic", 32, 4, 0x4253584F},
    };
    for (const auto& c : cases) {
        auto img = TinyContainer("Data");
        if (c.width == 2)
            put16(img, c.at, static_cast<std::uint16_t>(c.value));
        else
            put32(img, c.at, c.value);
        MemoryDevice dev(img);
        EXPECT_FALSE(Recognise(dev).analyze) << c.what;
    }
}

TEST(APFSRecognize, LongNameKeepsThirtyTwoBytes) {
    MemoryDevice dev(TinyContainer(std::string(40, 'n')));
    auto r = Recognise(dev);
    ASSERT_TRUE(r.analyze);
    EXPECT_EQ(r.label, std::string(32, 'n'));
    // A short label buffer is never overrun.
    char small[8];
    std::memset(small, 0, sizeof small);
    r.analyze->GetLabel(small, 4);
    EXPECT_EQ(std::string(small, 4), "nnnn");
    EXPECT_EQ(small[4], 0);
}

TEST(APFSRecognize, SectorSizes) {
    // 4096-byte sectors read 32 KiB per step, at sector = block.
    MemoryDevice big(TinyContainer("Big"), 4096);
    auto r = Recognise(big);
    ASSERT_TRUE(r.analyze);
    EXPECT_EQ(r.label, "Big");
    bool sawBlock3 = false;
    for (auto& [first, count] : big.reads)
        if (count == 8 && first == 3) sawBlock3 = true;
    EXPECT_TRUE(sawBlock3);
    // Sectors above 4096 bytes cannot be read into the work buffer: refused.
    MemoryDevice huge(TinyContainer("Huge"), 8192);
    EXPECT_FALSE(Recognise(huge).analyze);
}

TEST(APFSRecognize, DamagedWalkLeavesLabelAlone) {
    auto img = TinyContainer("Data");
    put16(img, 3 * 4096 + 28, 14);  // object-map root with the wrong subtype
    put64(img, 160, 0xFFFFFFFFFFFFFFF0ull);
    MemoryDevice dev(img);
    auto r = Recognise(dev);
    ASSERT_TRUE(r.analyze);
    EXPECT_EQ(r.label, "");
    // A value offset that would put the address before the block is refused.
    img = TinyContainer("Data");
    put16(img, 3 * 4096 + 58, 4090);
    MemoryDevice dev2(img);
    EXPECT_EQ(Recognise(dev2).label, "");
}

TEST(APFSRecognize, MkapfsContainer) {
    FileDevice dev(MkapfsImage());
    ASSERT_TRUE(dev.ok());
    auto r = Recognise(dev);
    ASSERT_TRUE(r.analyze);
    EXPECT_EQ(r.analyze->GetFileSystemType(), static_cast<std::uint32_t>(FILE_SYSTEM_APFS));
    EXPECT_EQ(r.analyze->GetTotalSector(), 600 * 2048);
    EXPECT_EQ(r.label, "MyVol");
    // The same container seen through 4096-byte sectors.
    FileDevice dev4k(MkapfsImage(), 4096);
    auto r4 = Recognise(dev4k);
    ASSERT_TRUE(r4.analyze);
    EXPECT_EQ(r4.label, "MyVol");
}

TEST(APFSRecognize, PrebuiltContainerThroughTheController) {
    FileDevice dev(PrebuiltImage());
    ASSERT_TRUE(dev.ok());
    std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(&dev, 0));
    ASSERT_TRUE(controller);
    IVolumeAnalyze* analyze = controller->GetVolumeAnzlyzer();
    ASSERT_TRUE(analyze);
    EXPECT_EQ(analyze->GetFileSystemType(), static_cast<std::uint32_t>(FILE_SYSTEM_APFS));
    char label[100] = {};
    analyze->GetLabel(label, sizeof label);
    EXPECT_GT(std::strlen(label), 0u);
    std::printf("prebuilt label: %s\n", label);
}
