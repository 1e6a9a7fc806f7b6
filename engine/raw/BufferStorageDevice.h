#pragma once
// The raw search's ring of its most recent blocks, seen as a device, so that
// an analyser sizing a file from its start reads mostly from memory. A range
// the ring does not hold whole is read from the real device.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/HugePageBuffer.h"
#include "foundation/StorageDevice.h"

class CBufferStorageDevice : public IStorageDevice {
public:
    CBufferStorageDevice() = default;
    ~CBufferStorageDevice() override { StopPrefault(); }
    CBufferStorageDevice(const CBufferStorageDevice&) = delete;
    CBufferStorageDevice& operator=(const CBufferStorageDevice&) = delete;

    int Open(char*) override { return 1; }
    // Frees the ring.
    int Close() override;
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override;
    std::uint32_t GetSectorSize() override { return m_sectorSize ? m_sectorSize : 512; }
    // The sectors HELD, not the real device's size (see RealTotalSectors).
    std::int64_t GetTotalSectors() override { return static_cast<std::int64_t>(m_held); }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* data) override { delete data; }
    int GetType() override { return STORAGE_DEVICE_CACHE; }
    EngineResult GetLastError() override { return 0; }

    // Allocates the ring once: sectorsPerBlock x blocks sectors. 0 when an
    // argument is 0 or the ring would not fit in memory.
    //
    // With `spareSlots` (at least 2) the ring has that many block slots more
    // than it holds, one slot before them and `tailBytes` after them, so a
    // caller can read each block straight into NextSlot(), search it there
    // with the block before it in front and the first bytes of the next
    // block after it (the slot after the next one is never held), and add
    // it without a copy. Memory of the same geometry is kept from a
    // previous call.
    int InitBufferDevice(IStorageDevice* device, std::uint64_t startSector, std::uint32_t sectorSize,
                         std::uint32_t sectorsPerBlock, std::uint32_t blocks, std::uint32_t spareSlots = 0,
                         std::size_t tailBytes = 0);
    bool IsFullBuffer() const { return m_initialised && m_held == m_capacity; }
    // Copies one block (sectorsPerBlock sectors) in; once full, the oldest
    // block makes room. Nothing happens before initialisation. A block
    // already in NextSlot() is added where it is.
    void AddBlockToBuffer(const char* block);
    // Where the next block goes: sectorsPerBlock sectors, followed by the
    // slot after it or by the tail bytes. Null before initialisation.
    std::uint8_t* NextSlot() const;
    // True when NextSlot() is the first slot: the block before it is then
    // not in front of it (see CopyNewestBeforeFirstSlot).
    bool NextSlotIsFirst() const { return m_initialised && NextSlotIndex() == 0; }
    // Copies the newest block held into the slot before the first one, so
    // that it lies in front of NextSlot() when that is the first slot.
    void CopyNewestBeforeFirstSlot();
    std::uint64_t GetDeviceStartSector() const { return m_ringStart; }
    // The ring's own bytes of sectors [first, first + count) when it holds
    // them all in one piece of memory (not across its wrap); null otherwise,
    // and ReadSector then copies them. Read-only, and valid while
    // Generation() stays the same.
    const std::uint8_t* HeldSectors(std::int64_t first, std::int64_t count) const;
    // Changes whenever the ring's bytes or their place do.
    std::uint64_t Generation() const { return m_generation; }
    IStorageDevice* GetRealDevice() const { return m_device; }

private:
    std::size_t SlotBytes() const { return static_cast<std::size_t>(m_sectorsPerBlock) * m_sectorSize; }
    std::uint32_t NextSlotIndex() const { return (m_oldestSlot + m_held / m_sectorsPerBlock) % m_slots; }
    // The byte of a held sector.
    std::uint8_t* At(std::uint64_t sector) const;
    // Fresh memory costs a page fault and a cleared page at its first touch,
    // and on some virtual machines that costs more than the copy that fills
    // it; a helper thread has the kernel map the slots the search will use
    // ahead of it, last slot first, so the two meet in the middle at worst.
    // The mapping never changes a byte: the search may write beside it.
    void StartPrefault(std::uint8_t* begin, std::size_t bytes);
    // Returns once the helper has stopped; before the memory goes.
    void StopPrefault();

    // Left uninitialised: only sectors already added are ever read, and a
    // zero fill would touch the whole ring before the first block arrives.
    CHugePageBuffer m_memory;  // the slot before, the slots, the tail
    std::uint8_t* m_ring = nullptr;  // the first slot
    std::uint64_t m_ringStart = 0;
    std::uint64_t m_held = 0;       // in sectors
    std::uint32_t m_oldestSlot = 0;
    std::uint32_t m_sectorsPerBlock = 0;
    std::uint32_t m_blocks = 0;
    std::uint32_t m_slots = 0;
    std::uint32_t m_capacity = 0;  // in sectors
    std::size_t m_tailBytes = 0;
    bool m_initialised = false;
    std::uint64_t m_generation = 0;
    IStorageDevice* m_device = nullptr;
    std::uint32_t m_sectorSize = 512;
    std::thread m_prefault;
    std::atomic<bool> m_stopPrefault{false};
};
