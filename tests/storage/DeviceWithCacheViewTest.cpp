// The read-ahead cache's view of its current block: the bytes a searcher
// examines in place instead of copying them, checked against pread of the
// image file for 512- and 4,096-byte sectors, the short last block and the
// ranges the view must refuse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/DeviceWithCache.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An image file read with pread in sectors of any size (the disk devices of
// the engine take their sector size from the kernel).
class PreadDevice : public IStorageDevice {
public:
    PreadDevice(const std::string& path, uint32_t sectorSize, int64_t sectors)
        : m_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)), m_sectorSize(sectorSize), m_sectors(sectors) {}
    ~PreadDevice() override {
        if (m_fd >= 0) close(m_fd);
    }
    int Open(char*) override { return m_fd >= 0 ? 1 : 0; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, int64_t first, int64_t count) override {
        const size_t bytes = static_cast<size_t>(count) * m_sectorSize;
        return pread(m_fd, buffer, bytes, static_cast<off_t>(first) * m_sectorSize) == static_cast<ssize_t>(bytes) ? 1
                                                                                                                   : 0;
    }
    uint32_t GetSectorSize() override { return m_sectorSize; }
    int64_t GetTotalSectors() override { return m_sectors; }
    int IOCtl(uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData*) override {}
    int GetType() override { return STORAGE_DEVICE_DISK; }
    EngineResult GetLastError() override { return 0; }

private:
    int m_fd;
    uint32_t m_sectorSize;
    int64_t m_sectors;
};

class CacheViewTest : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        Bytes image(static_cast<size_t>(kSectors) * GetParam());
        std::mt19937_64 random(GetParam());
        for (size_t i = 0; i + 8 <= image.size(); i += 8) {
            const uint64_t v = random();
            std::memcpy(image.data() + i, &v, 8);
        }
        m_path = m_dir.File("image.bin");
        quillory_test::WriteAll(m_path, image);
        m_fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
    }
    void TearDown() override {
        if (m_fd >= 0) close(m_fd);
    }
    // The oracle: the sectors as pread gives them.
    Bytes Pread(int64_t first, int64_t count) const {
        Bytes out(static_cast<size_t>(count) * GetParam());
        EXPECT_EQ(pread(m_fd, out.data(), out.size(), static_cast<off_t>(first) * GetParam()),
                  static_cast<ssize_t>(out.size()));
        return out;
    }
    bool Same(const uint8_t* view, int64_t first, int64_t count) const {
        const Bytes expected = Pread(first, count);
        return view != nullptr && std::memcmp(view, expected.data(), expected.size()) == 0;
    }

    // 2.5 blocks: the last block is half as long as the others.
    static constexpr int64_t kBlock = 100;
    static constexpr int64_t kSectors = 250;
    quillory_test::TempDir m_dir{"quillory-cacheview"};
    std::string m_path;
    int m_fd = -1;
};

TEST_P(CacheViewTest, ViewHoldsTheBlocksBytesUntilTheNextBlock) {
    PreadDevice inner(m_path, GetParam(), kSectors);
    CStorageDeviceWithCache cache(&inner);
    ASSERT_EQ(cache.SetBlockSize(kBlock), 1);
    EXPECT_EQ(cache.ViewSectors(0, 1), nullptr) << "no block is current before the first";
    cache.BeginCache();
    for (int64_t block = 0; block < 3; ++block) {
        ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
        const int64_t first = block * kBlock;
        const int64_t count = std::min(kBlock, kSectors - first);
        const uint8_t* whole = cache.ViewSectors(first, count);
        EXPECT_TRUE(Same(whole, first, count)) << "block " << block;
        EXPECT_TRUE(Same(cache.ViewSectors(first + 7, 3), first + 7, 3));
        EXPECT_EQ(cache.ViewSectors(first + count - 1, 1), whole + (count - 1) * GetParam());
        // Ranges the block does not hold wholly are refused, never served in part.
        EXPECT_EQ(cache.ViewSectors(first, count + 1), nullptr);
        EXPECT_EQ(cache.ViewSectors(first + count - 1, 2), nullptr);
        EXPECT_EQ(cache.ViewSectors(first - 1, 2), nullptr);
        EXPECT_EQ(cache.ViewSectors(first, 0), nullptr);
        if (block > 0) {
            EXPECT_EQ(cache.ViewSectors(first - kBlock, 1), nullptr) << "the previous block is gone";
        }
    }
    EXPECT_EQ(cache.SetCurCacheBlock(3), 0);
    cache.EndCache();
}

TEST_P(CacheViewTest, ReaderUsesTheViewAndReadsWhatTheBlockDoesNotHold) {
    PreadDevice inner(m_path, GetParam(), kSectors);
    CStorageDeviceWithCache cache(&inner);
    ASSERT_EQ(cache.SetBlockSize(kBlock), 1);
    cache.BeginCache();
    ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
    ASSERT_EQ(cache.SetCurCacheBlock(1), 1);
    CachedSectorReader reader;
    // Inside the current block: the cache's own bytes, no copy.
    EXPECT_EQ(reader.Read(&cache, 100, 100), cache.ViewSectors(100, 100));
    // Across its end, and straight from the device: a copy, the same bytes.
    const uint8_t* across = reader.Read(&cache, 190, 20);
    EXPECT_NE(across, cache.ViewSectors(190, 10));
    EXPECT_TRUE(Same(across, 190, 20));
    EXPECT_TRUE(Same(reader.Read(&inner, 240, 10), 240, 10));
    EXPECT_EQ(reader.Read(&inner, 240, 11), nullptr) << "a read past the device's end fails";
    EXPECT_EQ(reader.Read(nullptr, 0, 1), nullptr);
    cache.EndCache();
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CacheViewTest, ::testing::Values(512u, 4096u));

}  // namespace
