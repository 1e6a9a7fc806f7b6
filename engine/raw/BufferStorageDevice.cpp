#include "raw/BufferStorageDevice.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>

#include <sys/mman.h>

int CBufferStorageDevice::Close() {
    m_ring.reset();
    m_initialised = false;
    m_held = 0;
    m_writePos = 0;
    return 1;
}

int CBufferStorageDevice::InitBufferDevice(IStorageDevice* device, std::uint64_t startSector, std::uint32_t sectorSize,
                                           std::uint32_t sectorsPerBlock, std::uint32_t blocks) {
    Close();
    m_device = device;
    m_sectorSize = sectorSize ? sectorSize : 512;
    m_sectorsPerBlock = sectorsPerBlock;
    m_blocks = blocks;
    m_ringStart = startSector;
    if (sectorsPerBlock == 0 || blocks == 0 || sectorsPerBlock > UINT32_MAX / blocks) return 0;
    m_capacity = sectorsPerBlock * blocks;
    const std::uint64_t bytes = static_cast<std::uint64_t>(m_capacity) * m_sectorSize;
    // Huge pages where the kernel gives them: the ring is 80 MiB, and on
    // some virtual machines a first touch of each 4 KiB page costs as much
    // as copying it several times.
    constexpr std::size_t kHugePage = 2u << 20;
    const std::size_t rounded = (static_cast<std::size_t>(bytes) + kHugePage - 1) / kHugePage * kHugePage;
    m_ring.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kHugePage, rounded)));
    if (!m_ring) return 0;
    madvise(m_ring.get(), rounded, MADV_HUGEPAGE);
    m_initialised = true;
    return 1;
}

void CBufferStorageDevice::AddBlockToBuffer(const char* block) {
    if (!m_initialised || block == nullptr) return;
    std::memcpy(m_ring.get() + static_cast<std::size_t>(m_writePos) * m_sectorSize, block,
                static_cast<std::size_t>(m_sectorsPerBlock) * m_sectorSize);
    m_writePos = (m_writePos + m_sectorsPerBlock) % m_capacity;
    if (m_held < m_capacity)
        m_held += m_sectorsPerBlock;
    else
        m_ringStart += m_sectorsPerBlock;
}

int CBufferStorageDevice::ReadSector(void* buffer, std::int64_t first, std::int64_t count) {
    if (!m_initialised || buffer == nullptr || first < 0 || count <= 0) return 0;
    const std::uint64_t f = static_cast<std::uint64_t>(first);
    const std::uint64_t c = static_cast<std::uint64_t>(count);
    const bool inside = f >= m_ringStart && f - m_ringStart < m_held && c <= m_held - (f - m_ringStart);
    if (!inside) return m_device ? m_device->ReadSector(buffer, first, count) : 0;
    // The oldest sector held sits at the write position once the ring is
    // full, and at the ring's start before that.
    const std::uint64_t oldest = m_held == m_capacity ? m_writePos : 0;
    std::uint64_t pos = (f - m_ringStart + oldest) % m_capacity;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t left = c;
    while (left > 0) {
        const std::uint64_t n = std::min<std::uint64_t>(left, m_capacity - pos);
        std::memcpy(out, m_ring.get() + pos * m_sectorSize, static_cast<std::size_t>(n * m_sectorSize));
        out += n * m_sectorSize;
        left -= n;
        pos = 0;
    }
    return 1;
}
