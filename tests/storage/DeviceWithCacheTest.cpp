#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/DeviceWithCache.h"
#include "storage/MemoryDevice.h"
#include "storage/StorageError.h"

namespace {

// Records every read it passes on to a memory device (first, count, thread).
class RecordingDevice : public CMemoryStorageDevice {
public:
    using CMemoryStorageDevice::CMemoryStorageDevice;
    struct Read {
        int64_t first, count;
        std::thread::id thread;
    };
    EngineResult ReadSectorResult(void* buffer, int64_t first, int64_t count) override {
        {
            std::lock_guard<std::mutex> g(m_readsLock);
            reads.push_back({first, count, std::this_thread::get_id()});
        }
        return CMemoryStorageDevice::ReadSectorResult(buffer, first, count);
    }
    std::vector<Read> Reads() {
        std::lock_guard<std::mutex> g(m_readsLock);
        return reads;
    }
    void Forget() {
        std::lock_guard<std::mutex> g(m_readsLock);
        reads.clear();
    }

private:
    std::mutex m_readsLock;
    std::vector<Read> reads;
};

uint64_t Word(const std::vector<uint8_t>& buf, size_t sector, uint32_t sectorSize) {
    uint64_t v;
    std::memcpy(&v, buf.data() + sector * sectorSize, 8);
    return v;
}

TEST(DeviceWithCacheTest, BlocksCoverTheDeviceAndTheLastIsShort) {
    RecordingDevice inner(512, 2500);
    inner.FillPattern();
    CStorageDeviceWithCache cache(&inner);
    EXPECT_EQ(cache.GetType(), STORAGE_DEVICE_CACHE);
    EXPECT_EQ(cache.GetBlockSize(), 1000u);
    EXPECT_EQ(cache.IsBlockInValidRange(2), 1);
    EXPECT_EQ(cache.IsBlockInValidRange(3), 0);
    cache.BeginCache();
    std::vector<uint8_t> buf(1000 * 512);
    for (int64_t b = 0; b < 3; ++b) {
        ASSERT_EQ(cache.SetCurCacheBlock(b), 1);
        const int64_t n = b == 2 ? 500 : 1000;
        inner.Forget();
        ASSERT_EQ(cache.ReadSector(buf.data(), b * 1000, n), 1);
        for (const auto& r : inner.Reads())  // the producer may be reading ahead meanwhile
            EXPECT_NE(r.thread, std::this_thread::get_id()) << "block " << b << " is served from the cache";
        for (int64_t s = 0; s < n; ++s) EXPECT_EQ(Word(buf, s, 512), static_cast<uint64_t>(b * 1000 + s));
    }
    EXPECT_EQ(cache.SetCurCacheBlock(3), 0);
    cache.EndCache();
    cache.EndCache();  // a second end is harmless
}

TEST(DeviceWithCacheTest, EachBlockIsReadOnceAndNeverPastTheEnd) {
    for (int64_t total : {int64_t{100}, int64_t{2500}, int64_t{25000}}) {
        RecordingDevice inner(512, total);
        inner.FillPattern();
        CStorageDeviceWithCache cache(&inner);
        cache.SetBlockSize(1000);
        cache.BeginCache();
        const int64_t blocks = (total + 999) / 1000;
        for (int64_t b = 0; b < blocks; ++b) ASSERT_EQ(cache.SetCurCacheBlock(b), 1);
        cache.EndCache();
        std::vector<int> readsPerBlock(static_cast<size_t>(blocks), 0);
        for (const auto& r : inner.Reads()) {
            EXPECT_LE(r.first + r.count, total);
            EXPECT_NE(r.thread, std::this_thread::get_id());  // read ahead, off the scanning thread
            ASSERT_EQ(r.first % 1000, 0);
            ++readsPerBlock[static_cast<size_t>(r.first / 1000)];
        }
        for (int n : readsPerBlock) EXPECT_EQ(n, 1) << total;
    }
}

TEST(DeviceWithCacheTest, RequestsAroundTheCurrentBlock) {
    RecordingDevice inner(512, 3000);
    inner.FillPattern();
    CStorageDeviceWithCache cache(&inner);
    std::vector<uint8_t> buf(600 * 512);
    // Before any block is current, everything passes through.
    ASSERT_EQ(cache.ReadSector(buf.data(), 10, 2), 1);
    EXPECT_EQ(inner.Reads().size(), 1u);
    EXPECT_EQ(Word(buf, 1, 512), 11u);
    cache.BeginCache();
    ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
    ASSERT_EQ(cache.SetCurCacheBlock(1), 1);
    inner.Forget();
    // Straddling the end of the block: 200 sectors from the cache, 300 from the device.
    ASSERT_EQ(cache.ReadSector(buf.data(), 1800, 500), 1);
    for (int s = 0; s < 500; ++s) ASSERT_EQ(Word(buf, s, 512), static_cast<uint64_t>(1800 + s));
    auto reads = inner.Reads();
    bool foundTail = false;
    for (auto& r : reads)
        if (r.thread == std::this_thread::get_id()) {
            EXPECT_EQ(r.first, 2000);
            EXPECT_EQ(r.count, 300);
            foundTail = true;
        }
    EXPECT_TRUE(foundTail);
    // Before the block: straight from the device, never from the block buffer.
    inner.Forget();
    ASSERT_EQ(cache.ReadSector(buf.data(), 900, 200), 1);
    for (int s = 0; s < 200; ++s) ASSERT_EQ(Word(buf, s, 512), static_cast<uint64_t>(900 + s));
    int mine = 0;
    for (auto& r : inner.Reads()) mine += r.thread == std::this_thread::get_id();
    EXPECT_EQ(mine, 2);
    cache.EndCache();
}

TEST(DeviceWithCacheTest, SmallOrFailingDevicesNeverShowStaleBytes) {
    // A device smaller than one block, whose reads fail: the searchers see zeros.
    RecordingDevice inner(512, 100);
    inner.FillPattern();
    for (int s = 0; s < 100; ++s) inner.FailSector(s);
    CStorageDeviceWithCache cache(&inner);
    cache.SetBlockSize(8192);
    cache.BeginCache();
    ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
    std::vector<uint8_t> buf(100 * 512, 0xAA);
    cache.ReadSector(buf.data(), 0, 100);
    for (uint8_t b : buf) ASSERT_EQ(b, 0);
    cache.EndCache();

    // The short last block after a full one: its tail is not the previous block.
    RecordingDevice inner2(512, 1500);
    inner2.FillPattern();
    CStorageDeviceWithCache cache2(&inner2);
    cache2.BeginCache();
    ASSERT_EQ(cache2.SetCurCacheBlock(0), 1);
    ASSERT_EQ(cache2.SetCurCacheBlock(1), 1);
    std::vector<uint8_t> one(512);
    ASSERT_EQ(cache2.ReadSector(one.data(), 1499, 1), 1);
    EXPECT_EQ(Word(one, 0, 512), 1499u);
    cache2.ReadSector(one.data(), 1500, 1);  // past the end: the device's answer, not stale cache bytes
    EXPECT_EQ(Word(one, 0, 512), 0u);
}

// Sectors that cannot be read are handed out as zeros; the cache counts them
// once, when their block is made current, and says so in GetLastError.
TEST(DeviceWithCacheTest, FailedBlocksAreCountedAndReported) {
    struct Case {
        const char* what;
        int64_t total;
        std::vector<int64_t> failing;
        std::vector<int64_t> blocks;  // in the order made current
        int64_t expected;
    } const cases[] = {
        {"all read", 100, {}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0},
        {"two bad sectors in order", 100, {15, 47}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 2},
        {"the short last block", 95, {93}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 1},
        // Block 3 is read ahead, dropped when 5 is taken, then read again
        // directly: its bad sector counts once. Block 9 is never made current.
        {"out of order", 100, {35, 55, 95}, {0, 5, 3, 6}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CMemoryStorageDevice inner(512, c.total);
        inner.FillPattern();
        for (int64_t s : c.failing) inner.FailSector(s);
        CStorageDeviceWithCache cache(&inner);
        cache.SetBlockSize(10);
        cache.BeginCache();
        EXPECT_EQ(cache.GetLastError(), ENGINE_OK);
        for (int64_t b : c.blocks) ASSERT_EQ(cache.SetCurCacheBlock(b), 1);
        EXPECT_EQ(cache.GetFailedSectorCount(), c.expected);
        if (c.expected > 0)
            EXPECT_TRUE(IsStorageError(cache.GetLastError(), STORAGE_ERROR_IO));
        else
            EXPECT_EQ(cache.GetLastError(), ENGINE_OK);
        // A new pass starts from nothing.
        cache.BeginCache();
        EXPECT_EQ(cache.GetFailedSectorCount(), 0);
        EXPECT_EQ(cache.GetLastError(), ENGINE_OK);
    }
}

TEST(DeviceWithCacheTest, AnUnreadableSectorCostsOnlyItself) {
    // Two bad sectors in one block, one of them the block's last: every other
    // sector keeps its bytes; only the bad ones read as zeros.
    for (uint32_t sectorSize : {512u, 4096u}) {
        RecordingDevice inner(sectorSize, 3000);
        inner.FillPattern();
        inner.FailSector(1234);
        inner.FailSector(1999);
        CStorageDeviceWithCache cache(&inner);
        cache.SetBlockSize(1000);
        cache.BeginCache();
        ASSERT_EQ(cache.SetCurCacheBlock(1), 1);
        std::vector<uint8_t> buf(1000 * sectorSize);
        // One sector at a time: whole-range reads would go to the failing device.
        for (int s = 0; s < 1000; ++s) {
            ASSERT_EQ(cache.ReadSector(buf.data() + s * sectorSize, 1000 + s, 1), 1);
            const uint64_t want = (s == 234 || s == 999) ? 0u : static_cast<uint64_t>(1000 + s);
            ASSERT_EQ(Word(buf, s, sectorSize), want) << sectorSize << " " << s;
        }
        cache.EndCache();
    }
}

TEST(DeviceWithCacheTest, EndWhileTheProducerWaitsAndOutOfOrderBlocks) {
    RecordingDevice inner(4096, 3000);
    inner.FillPattern();
    {
        CStorageDeviceWithCache cache(&inner);
        cache.SetBlockSize(10);
        cache.BeginCache();
        // The queue fills and the producer waits for room.
        for (int i = 0; i < 2000 && cache.IsNeedCatchBuffer(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(cache.IsNeedCatchBuffer(), 0);
        cache.EndCache();
        EXPECT_EQ(cache.IsNeedCatchBuffer(), 1);
    }
    {
        CStorageDeviceWithCache cache(&inner);
        cache.SetBlockSize(10);
        cache.BeginCache();
        std::vector<uint8_t> buf(4096);
        // Skipping ahead and going back still gives the right sectors.
        for (int64_t b : {0, 5, 3, 6, 299}) {
            ASSERT_EQ(cache.SetCurCacheBlock(b), 1);
            ASSERT_EQ(cache.ReadSector(buf.data(), b * 10 + 7, 1), 1);
            EXPECT_EQ(Word(buf, 0, 4096), static_cast<uint64_t>(b * 10 + 7));
        }
    }  // destroyed while running
}

}  // namespace
