#include "storage/DeviceWithCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "foundation/SalvageRead.h"
#include "storage/DeviceBase.h"
#include "storage/StorageError.h"

CStorageDeviceWithCache::CStorageDeviceWithCache(IStorageDevice* inner) : m_inner(inner) {
    Open(nullptr);
    SetBlockSize(kDefaultBlockSize);
}

CStorageDeviceWithCache::~CStorageDeviceWithCache() {
    EndCache();
    Close();
}

uint32_t CStorageDeviceWithCache::GetSectorSize() { return m_inner != nullptr ? m_inner->GetSectorSize() : 512; }

int64_t CStorageDeviceWithCache::GetTotalSectors() { return m_inner != nullptr ? m_inner->GetTotalSectors() : 0; }

// A device that reports no sector size is handled in 512-byte sectors.
uint32_t CStorageDeviceWithCache::SectorBytes() {
    const uint32_t size = GetSectorSize();
    return size != 0 ? size : 512;
}

int64_t CStorageDeviceWithCache::BlockCount() {
    const int64_t total = GetTotalSectors();
    if (m_blockSize == 0 || total <= 0) return 0;
    return (total + m_blockSize - 1) / m_blockSize;
}

int CStorageDeviceWithCache::SetBlockSize(unsigned sectors) {
    EndCache();
    m_blockSize = sectors;
    m_blockBytes = static_cast<size_t>(sectors) * SectorBytes();
    m_pool.clear();
    m_current.Reset();
    if (m_blockBytes) m_current.Assign(m_blockBytes);  // zeroed
    m_currentIndex = -1;
    m_currentSectors = 0;
    return 1;
}

EngineResult CStorageDeviceWithCache::GetLastError() {
    return GetFailedSectorCount() > 0 ? STORAGE_ERROR(STORAGE_ERROR_IO) : ENGINE_OK;
}

int CStorageDeviceWithCache::IsBlockInValidRange(int64_t index) {
    return m_blockSize != 0 && index >= 0 && index < BlockCount() ? 1 : 0;
}

int CStorageDeviceWithCache::IsNeedCatchBuffer() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_queue.empty() ? 1 : 0;
}

CHugePageBuffer CStorageDeviceWithCache::TakeBuffer() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_pool.empty()) {
            auto buffer = std::move(m_pool.back());
            m_pool.pop_back();
            return buffer;
        }
    }
    // FillBlock writes every byte of a block (data, or zeros), so a new buffer
    // need not be cleared first.
    CHugePageBuffer buffer;
    buffer.Assign(m_blockBytes, false);
    return buffer;
}

int64_t CStorageDeviceWithCache::FillBlock(uint8_t* data, int64_t first, int64_t count) {
    const uint32_t sectorBytes = SectorBytes();
    const size_t valid = static_cast<size_t>(count) * sectorBytes;
    // One bad sector must cost only itself, not the whole block: what can
    // be read is kept, and only the sectors that still fail read as zeros.
    // The scanning thread may read the same device meanwhile, so only each
    // read's own result is looked at, never the device's last error.
    const int64_t unreadable = count > 0 ? ReadSectorsSalvaging(m_inner, data, first, count, sectorBytes) : 0;
    if (valid < m_blockBytes) std::memset(data + valid, 0, m_blockBytes - valid);
    return unreadable;
}

void CStorageDeviceWithCache::BeginCache() {
    EndCache();
    if (m_inner == nullptr || m_blockSize == 0) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_running = true;
    m_producerDone = false;
    m_nextSector = 0;
    m_nextIndex = 0;
    m_expected = 0;
    m_failedSectors.store(0, std::memory_order_relaxed);
    m_producer = std::thread(&CStorageDeviceWithCache::CacheThread, this);
}

void CStorageDeviceWithCache::CacheThread() {
    const int64_t total = GetTotalSectors();
    // A deep scan reads each sector once: tell the kernel so. On a device
    // larger than half the memory, also let it drop what was read, so a scan
    // of terabytes does not push everything else out of the page cache (a
    // smaller one may as well stay cached for the next scan).
    auto* descriptor = dynamic_cast<CDescriptorDevice*>(m_inner);
    const int fd = descriptor ? descriptor->GetDescriptor() : -1;
    const uint32_t sectorBytes = SectorBytes();
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    const bool dropRead = fd >= 0 && pages > 0 && pageSize > 0 &&
                          static_cast<double>(total) * sectorBytes > static_cast<double>(pages) * pageSize / 2;
    if (fd >= 0) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (;;) {
        int64_t first, index;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_spaceFree.wait(lock, [this] { return !m_running || m_queue.size() < kQueueDepth; });
            if (!m_running || m_nextSector >= total) break;
            first = m_nextSector;
            index = m_nextIndex;
        }
        const int64_t count = std::min<int64_t>(m_blockSize, total - first);
        auto data = TakeBuffer();
        // Out of memory: no more reading ahead; the scanning thread reads
        // the blocks it wants itself.
        if (data.empty()) break;
        // Read outside the lock, so the scanning thread can take queued blocks meanwhile.
        const int64_t unreadable = FillBlock(data.data(), first, count);
        if (dropRead)
            posix_fadvise(fd, static_cast<off_t>(first) * sectorBytes, static_cast<off_t>(count) * sectorBytes,
                          POSIX_FADV_DONTNEED);
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(Block{index, count, std::move(data), unreadable});
        m_nextSector = first + count;
        m_nextIndex = index + 1;
        m_dataReady.notify_one();
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_producerDone = true;
    m_dataReady.notify_all();
}

int CStorageDeviceWithCache::SetCurCacheBlock(int64_t index) {
    if (m_inner == nullptr || m_blockSize == 0 || !IsBlockInValidRange(index)) return 0;
    const int64_t total = GetTotalSectors();
    const int64_t first = index * m_blockSize;
    const int64_t count = std::min<int64_t>(m_blockSize, total - first);
    if (!m_current) return 1;
    CHugePageBuffer taken;
    int64_t unreadable = 0;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (index >= m_expected && m_producer.joinable()) {
            // Blocks come off the queue in order; ones the caller skipped are recycled.
            for (;;) {
                m_dataReady.wait(lock, [this] { return !m_queue.empty() || m_producerDone; });
                if (m_queue.empty()) break;
                Block& front = m_queue.front();
                if (front.index < index) {
                    m_pool.push_back(std::move(front.data));
                    m_queue.pop_front();
                    m_spaceFree.notify_one();
                    continue;
                }
                if (front.index == index) {
                    taken = std::move(front.data);
                    unreadable = front.unreadable;
                    m_queue.pop_front();
                    m_expected = index + 1;
                    // The old current block goes back to the pool; the producer may read the next one.
                    m_pool.push_back(std::move(m_current));
                    m_spaceFree.notify_one();
                }
                break;
            }
        }
    }
    if (taken) {
        m_current = std::move(taken);
    } else {
        // Not the block read ahead: read it here.
        unreadable = FillBlock(m_current.data(), first, count);
    }
    if (unreadable > 0) m_failedSectors.fetch_add(unreadable, std::memory_order_relaxed);
    m_currentIndex = index;
    m_currentSectors = count;
    return 1;
}

void CStorageDeviceWithCache::EndCache() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_running = false;
        m_spaceFree.notify_all();
        m_dataReady.notify_all();
    }
    if (m_producer.joinable()) m_producer.join();
    std::lock_guard<std::mutex> lock(m_lock);
    m_queue.clear();
    m_pool.clear();
    m_producerDone = true;
}

const uint8_t* CStorageDeviceWithCache::ViewSectors(int64_t firstSector, int64_t count) const {
    if (m_currentIndex < 0 || !m_current || firstSector < 0 || count <= 0) return nullptr;
    const int64_t start = m_currentIndex * m_blockSize;
    // Only the sectors the block really holds: the last block may be short.
    if (firstSector < start || count > m_currentSectors || firstSector - start > m_currentSectors - count)
        return nullptr;
    return m_current.data() + static_cast<size_t>(firstSector - start) * (m_blockBytes / m_blockSize);
}

int CStorageDeviceWithCache::ReadSector(void* buffer, int64_t firstSector, int64_t count) {
    if (m_inner == nullptr) return 0;
    if (m_currentIndex < 0 || !m_current) return m_inner->ReadSector(buffer, firstSector, count);
    if (buffer == nullptr || firstSector < 0 || count <= 0) return m_inner->ReadSector(buffer, firstSector, count);
    const uint32_t sectorBytes = SectorBytes();
    const int64_t start = m_currentIndex * m_blockSize;
    // Only the sectors the block really holds are served from it.
    const int64_t end = start + m_currentSectors;
    auto* out = static_cast<uint8_t*>(buffer);
    if (firstSector >= start) {
        int64_t copied = 0;
        if (firstSector < end) {
            copied = std::min(count, end - firstSector);
            std::memcpy(out, m_current.data() + static_cast<size_t>(firstSector - start) * sectorBytes,
                        static_cast<size_t>(copied) * sectorBytes);
            if (copied == count) return 1;
        }
        return m_inner->ReadSector(out + static_cast<size_t>(copied) * sectorBytes, firstSector + copied,
                                   count - copied);
    }
    const int64_t before = std::min(start - firstSector, count);
    int ok = m_inner->ReadSector(out, firstSector, before);
    if (before == count) return ok;
    const int rest =
        m_inner->ReadSector(out + static_cast<size_t>(before) * sectorBytes, firstSector + before, count - before);
    return ok && rest ? 1 : 0;
}

const uint8_t* ViewOfCachedSectors(IStorageDevice* device, int64_t firstSector, int64_t count) {
    auto* cache = dynamic_cast<CStorageDeviceWithCache*>(device);
    return cache != nullptr ? cache->ViewSectors(firstSector, count) : nullptr;
}

const uint8_t* CachedSectorReader::Read(IStorageDevice* device, int64_t firstSector, int64_t count) {
    if (device == nullptr || firstSector < 0 || count <= 0) return nullptr;
    if (const uint8_t* view = ViewOfCachedSectors(device, firstSector, count)) return view;
    const uint32_t sectorSize = device->GetSectorSize() != 0 ? device->GetSectorSize() : 512;
    if (static_cast<uint64_t>(count) > SIZE_MAX / sectorSize) return nullptr;
    const size_t bytes = static_cast<size_t>(count) * sectorSize;
    if (bytes > m_bytes) {
        // Filled by the read before anyone looks: no need to clear it.
        m_buffer.reset(new (std::nothrow) uint8_t[bytes]);
        m_bytes = m_buffer ? bytes : 0;
        if (!m_buffer) return nullptr;
    }
    return device->ReadSector(m_buffer.get(), firstSector, count) == 1 ? m_buffer.get() : nullptr;
}
