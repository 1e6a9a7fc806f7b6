#include "raw/BufferStorageDevice.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <system_error>

#include <sys/mman.h>

int CBufferStorageDevice::Close() {
    StopPrefault();
    ++m_generation;
    m_memory.Reset();
    m_ring = nullptr;
    m_initialised = false;
    m_held = 0;
    m_oldestSlot = 0;
    return 1;
}

int CBufferStorageDevice::InitBufferDevice(IStorageDevice* device, std::uint64_t startSector, std::uint32_t sectorSize,
                                           std::uint32_t sectorsPerBlock, std::uint32_t blocks, std::uint32_t spareSlots,
                                           std::size_t tailBytes) {
    ++m_generation;
    m_initialised = false;
    m_held = 0;
    m_oldestSlot = 0;
    m_device = device;
    m_ringStart = startSector;
    sectorSize = sectorSize ? sectorSize : 512;
    if (spareSlots == 1) spareSlots = 2;  // one free slot would be overwritten by the spare bytes
    if (sectorsPerBlock == 0 || blocks == 0 || spareSlots > UINT32_MAX - blocks ||
        sectorsPerBlock > UINT32_MAX / (blocks + spareSlots)) {
        StopPrefault();
        m_memory.Reset();
        return 0;
    }
    const std::uint32_t slots = blocks + spareSlots;
    const bool before = spareSlots > 0;
    const std::uint64_t slotBytes = static_cast<std::uint64_t>(sectorsPerBlock) * sectorSize;
    const std::uint64_t bytes = slotBytes * (slots + (before ? 1 : 0)) + tailBytes;
    const bool same = !m_memory.empty() && m_memory.size() == bytes && m_sectorSize == sectorSize &&
                      m_sectorsPerBlock == sectorsPerBlock && m_slots == slots && m_tailBytes == tailBytes;
    m_sectorSize = sectorSize;
    m_sectorsPerBlock = sectorsPerBlock;
    m_blocks = blocks;
    m_slots = slots;
    m_tailBytes = tailBytes;
    m_capacity = sectorsPerBlock * blocks;
    if (!same) {
        // Huge pages where the kernel gives them: the ring is 80 MiB, and on
        // some virtual machines a first touch of each 4 KiB page costs as
        // much as copying it several times.
        StopPrefault();
        m_memory.Assign(static_cast<std::size_t>(bytes), false);
        if (m_memory.empty()) return 0;
    }
    m_ring = m_memory.data() + (before ? slotBytes : 0);
    if (!same) {
        // Only the slots a device of this size fills: a small one never
        // reaches the far end of the ring.
        std::uint64_t used = slots;
        const std::int64_t total = device ? device->GetTotalSectors() : 0;
        if (total > 0) {
            const std::uint64_t left =
                static_cast<std::uint64_t>(total) > startSector ? static_cast<std::uint64_t>(total) - startSector : 0;
            // One more slot than blocks: the spare bytes go to the slot after the last.
            used = std::min<std::uint64_t>(slots, (left + sectorsPerBlock - 1) / sectorsPerBlock + 1);
        }
        StartPrefault(m_ring, static_cast<std::size_t>(used * slotBytes));
    }
    m_initialised = true;
    return 1;
}

std::uint8_t* CBufferStorageDevice::NextSlot() const {
    if (!m_initialised) return nullptr;
    return m_ring + static_cast<std::size_t>(NextSlotIndex()) * SlotBytes();
}

void CBufferStorageDevice::CopyNewestBeforeFirstSlot() {
    if (!m_initialised || m_held == 0 || m_slots == m_blocks) return;
    const std::uint32_t newest = (m_oldestSlot + m_held / m_sectorsPerBlock + m_slots - 1) % m_slots;
    std::memcpy(m_ring - SlotBytes(), m_ring + static_cast<std::size_t>(newest) * SlotBytes(), SlotBytes());
}

void CBufferStorageDevice::AddBlockToBuffer(const char* block) {
    if (!m_initialised || block == nullptr) return;
    ++m_generation;
    std::uint8_t* slot = NextSlot();
    if (reinterpret_cast<const std::uint8_t*>(block) != slot) std::memcpy(slot, block, SlotBytes());
    if (m_held < m_capacity) {
        m_held += m_sectorsPerBlock;
    } else {
        m_oldestSlot = (m_oldestSlot + 1) % m_slots;
        m_ringStart += m_sectorsPerBlock;
    }
}

std::uint8_t* CBufferStorageDevice::At(std::uint64_t sector) const {
    const std::uint64_t rel = sector - m_ringStart;
    const std::uint64_t slot = (m_oldestSlot + rel / m_sectorsPerBlock) % m_slots;
    return m_ring + static_cast<std::size_t>(slot) * SlotBytes() +
           static_cast<std::size_t>(rel % m_sectorsPerBlock) * m_sectorSize;
}

const std::uint8_t* CBufferStorageDevice::HeldSectors(std::int64_t first, std::int64_t count) const {
    if (!m_initialised || first < 0 || count <= 0) return nullptr;
    const std::uint64_t f = static_cast<std::uint64_t>(first);
    const std::uint64_t c = static_cast<std::uint64_t>(count);
    const bool inside = f >= m_ringStart && f - m_ringStart < m_held && c <= m_held - (f - m_ringStart);
    if (!inside) return nullptr;
    // In one piece unless the range runs past the last slot.
    const std::uint64_t rel = f - m_ringStart;
    const std::uint64_t firstSlot = (m_oldestSlot + rel / m_sectorsPerBlock) % m_slots;
    const std::uint64_t lastBlock = (rel + c - 1) / m_sectorsPerBlock;
    if (firstSlot + (lastBlock - rel / m_sectorsPerBlock) >= m_slots) return nullptr;
    return At(f);
}

int CBufferStorageDevice::ReadSector(void* buffer, std::int64_t first, std::int64_t count) {
    if (!m_initialised || buffer == nullptr || first < 0 || count <= 0) return 0;
    if (const std::uint8_t* held = HeldSectors(first, count)) {
        std::memcpy(buffer, held, static_cast<std::size_t>(count) * m_sectorSize);
        return 1;
    }
    const std::uint64_t f = static_cast<std::uint64_t>(first);
    const std::uint64_t c = static_cast<std::uint64_t>(count);
    const bool inside = f >= m_ringStart && f - m_ringStart < m_held && c <= m_held - (f - m_ringStart);
    if (!inside) return m_device ? m_device->ReadSector(buffer, first, count) : 0;
    // Held, but across the ring's wrap: block by block.
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t s = f;
    std::uint64_t left = c;
    while (left > 0) {
        const std::uint64_t n = std::min<std::uint64_t>(left, m_sectorsPerBlock - (s - m_ringStart) % m_sectorsPerBlock);
        std::memcpy(out, At(s), static_cast<std::size_t>(n * m_sectorSize));
        out += n * m_sectorSize;
        s += n;
        left -= n;
    }
    return 1;
}

void CBufferStorageDevice::StartPrefault(std::uint8_t* begin, std::size_t bytes) {
    constexpr std::size_t kPage = 4096;
    constexpr std::size_t kStep = 2u << 20;  // one huge page per call, so a stop is quick
    // Small rings are not worth a thread.
    if (begin == nullptr || bytes < 2 * kStep) return;
    // Whole pages: the memory is 2 MiB-aligned and rounded up to 2 MiB, so
    // the pages around the range are the ring's own.
    const auto first = reinterpret_cast<std::uintptr_t>(begin) / kPage * kPage;
    const auto end = (reinterpret_cast<std::uintptr_t>(begin) + bytes + kPage - 1) / kPage * kPage;
    m_stopPrefault.store(false, std::memory_order_relaxed);
    try {
        m_prefault = std::thread([this, first, end] {
            for (std::uintptr_t top = end; top > first;) {
                if (m_stopPrefault.load(std::memory_order_relaxed)) return;
                const std::uintptr_t from = top - first > kStep ? (top - kStep) / kStep * kStep : first;
                const std::uintptr_t at = std::max(from, first);
                // Pages already mapped (the search got there first) are left as they are.
                if (madvise(reinterpret_cast<void*>(at), top - at, MADV_POPULATE_WRITE) != 0) return;
                top = at;
            }
        });
    } catch (const std::system_error&) {
        // No thread: the search maps the pages itself, as it always could.
    }
}

void CBufferStorageDevice::StopPrefault() {
    if (!m_prefault.joinable()) return;
    m_stopPrefault.store(true, std::memory_order_relaxed);
    m_prefault.join();
}
