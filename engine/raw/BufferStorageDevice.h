#pragma once
// The raw search's ring of its most recent blocks, seen as a device, so that
// an analyser sizing a file from its start reads mostly from memory. A range
// the ring does not hold whole is read from the real device.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "foundation/StorageDevice.h"

class CBufferStorageDevice : public IStorageDevice {
public:
    CBufferStorageDevice() = default;
    ~CBufferStorageDevice() override = default;
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
    int InitBufferDevice(IStorageDevice* device, std::uint64_t startSector, std::uint32_t sectorSize,
                         std::uint32_t sectorsPerBlock, std::uint32_t blocks);
    bool IsFullBuffer() const { return m_initialised && m_held == m_capacity; }
    // Copies one block (sectorsPerBlock sectors) in; once full, the oldest
    // block makes room. Nothing happens before initialisation.
    void AddBlockToBuffer(const char* block);
    std::uint64_t GetDeviceStartSector() const { return m_ringStart; }
    IStorageDevice* GetRealDevice() const { return m_device; }

private:
    // Left uninitialised: only sectors already added are ever read, and a
    // zero fill would touch the whole ring before the first block arrives.
    struct FreeRing {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t[], FreeRing> m_ring;
    std::uint64_t m_ringStart = 0;
    std::uint64_t m_held = 0;
    std::uint32_t m_writePos = 0;  // in sectors
    std::uint32_t m_sectorsPerBlock = 0;
    std::uint32_t m_blocks = 0;
    std::uint32_t m_capacity = 0;  // in sectors
    bool m_initialised = false;
    IStorageDevice* m_device = nullptr;
    std::uint32_t m_sectorSize = 512;
};
