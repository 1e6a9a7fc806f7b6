// Read-ahead cache of a deep scan: a producer thread reads the next blocks of
// the scanned device while the searchers examine the current one. The cache
// is itself a device (type 3) through which the searchers read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/HugePageBuffer.h"
#include "foundation/StorageDevice.h"

class CStorageDeviceWithCache : public IStorageDevice {
public:
    static constexpr unsigned kDefaultBlockSize = 1000;  // sectors
    static constexpr unsigned kQueueDepth = 10;          // blocks read ahead

    explicit CStorageDeviceWithCache(IStorageDevice* inner);
    ~CStorageDeviceWithCache() override;
    CStorageDeviceWithCache(const CStorageDeviceWithCache&) = delete;
    CStorageDeviceWithCache& operator=(const CStorageDeviceWithCache&) = delete;

    // 1 when an inner device is set; nothing is opened or closed.
    int Open(char*) override { return m_inner != nullptr ? 1 : 0; }
    int Close() override { return m_inner != nullptr ? 1 : 0; }
    // Sectors of the current block come from the cache, all others from the
    // inner device. 1 only when every part was read.
    int ReadSector(void* buffer, int64_t firstSector, int64_t count) override;
    uint32_t GetSectorSize() override;
    int64_t GetTotalSectors() override;
    int IOCtl(uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_privateData; }
    // Kept as given: not owned, never released.
    void SetPrivateData(IStorageDeviceData* data) override { m_privateData = data; }
    int GetType() override { return STORAGE_DEVICE_CACHE; }
    // The wrapped device (not owned).
    IStorageDevice* GetInnerDevice() const { return m_inner; }
    // A read failure (STORAGE_ERROR_IO) once any block of this cache pass
    // could not be read; the searchers were given zeros for those sectors.
    EngineResult GetLastError() override;
    // Sectors of the blocks made current since BeginCache that could not be
    // read, even one at a time, and were handed out as zeros.
    int64_t GetFailedSectorCount() const { return m_failedSectors.load(std::memory_order_relaxed); }

    // Sectors per block; call before BeginCache. Always 1.
    int SetBlockSize(unsigned sectors);
    unsigned GetBlockSize() const { return m_blockSize; }
    // Starts reading ahead from sector 0.
    void BeginCache();
    // Makes block `index` current. Blocks are meant to be taken in order
    // 0, 1, 2, ...; any other index is read directly. 0 for an index past the
    // end (or without an inner device or block size).
    int SetCurCacheBlock(int64_t index);
    // Stops the producer and frees the blocks read ahead. Idempotent.
    void EndCache();
    // 1 when index names a block of the device.
    int IsBlockInValidRange(int64_t index);
    // 1 when no block is waiting in the queue.
    int IsNeedCatchBuffer();
    // The bytes of `count` sectors at `firstSector` as the current block holds
    // them, without a copy: read-only, valid until the next SetCurCacheBlock,
    // SetBlockSize or EndCache. Null when the range is not wholly inside the
    // sectors of the current block (the caller then reads it).
    const uint8_t* ViewSectors(int64_t firstSector, int64_t count) const;

private:
    struct Block {
        int64_t index;
        int64_t sectors;  // valid sectors (the last block may be short)
        CHugePageBuffer data;
        int64_t unreadable;  // sectors that could not be read and are zeros
    };

    void CacheThread();
    uint32_t SectorBytes();
    int64_t BlockCount();
    // A buffer of one block, from the pool when one is free; empty when no
    // memory is left. Blocks are 2 MiB-aligned: a scan reads through a few
    // dozen megabytes of them, and in small pages their first touches cost
    // more than the copies.
    CHugePageBuffer TakeBuffer();
    // Reads `count` sectors at `first` into a block buffer; the rest of the
    // buffer stays zero, so searchers never see stale or uninitialised bytes.
    // Returns how many sectors could not be read (they are zeros).
    int64_t FillBlock(uint8_t* data, int64_t first, int64_t count);

    IStorageDevice* m_inner;
    IStorageDeviceData* m_privateData = nullptr;
    unsigned m_blockSize = 0;
    size_t m_blockBytes = 0;

    // The current block (consumer side only).
    CHugePageBuffer m_current;
    int64_t m_currentIndex = -1;
    int64_t m_currentSectors = 0;

    std::mutex m_lock;
    std::condition_variable m_dataReady;  // producer -> consumer: a block is queued, or the end came
    std::condition_variable m_spaceFree;  // consumer -> producer: a block was taken, or stop
    std::deque<Block> m_queue;
    std::vector<CHugePageBuffer> m_pool;
    bool m_running = false;
    bool m_producerDone = true;
    int64_t m_nextSector = 0;                 // producer: first sector of the next block to read
    int64_t m_nextIndex = 0;                  // producer: index of that block
    int64_t m_expected = 0;                   // consumer: the block it will take next from the queue
    std::atomic<int64_t> m_failedSectors{0};  // consumer: see GetFailedSectorCount
    std::thread m_producer;
};

// The cache's own bytes of those sectors when `device` is a read-ahead cache
// whose current block holds them all (see ViewSectors), else null.
const uint8_t* ViewOfCachedSectors(IStorageDevice* device, int64_t firstSector, int64_t count);

// How a deep searcher gets a block's bytes: the read-ahead cache's own copy
// when the device is a cache holding all of them (no copy at all, which is
// what keeps a deep scan with several searchers near the speed of the disk),
// otherwise a read into this reader's buffer. The pointer is read-only and
// valid until the next Read or the cache's next block; a searcher that keeps
// bytes across blocks copies them itself.
class CachedSectorReader {
public:
    // Null when the device could not read the sectors.
    const uint8_t* Read(IStorageDevice* device, int64_t firstSector, int64_t count);

private:
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_bytes = 0;
};
