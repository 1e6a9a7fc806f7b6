#pragma once
// The fuzz targets' in-memory volume: 512-byte sectors over a byte image.
// Reads outside the image fail (no zero fill), so a parser that walks off the
// end of a damaged volume sees the error path it would see on a real disk.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "foundation/StorageDevice.h"

class FuzzDevice : public IStorageDevice {
public:
    explicit FuzzDevice(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        if (first < 0 || count < 0) return 0;
        std::uint64_t at = static_cast<std::uint64_t>(first) * 512, n = static_cast<std::uint64_t>(count) * 512;
        if (at > m_bytes.size() || n > m_bytes.size() - at) return 0;
        std::memcpy(buffer, m_bytes.data() + at, n);
        return 1;
    }
    std::uint32_t GetSectorSize() override { return 512; }
    std::int64_t GetTotalSectors() override { return static_cast<std::int64_t>(m_bytes.size() / 512); }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* d) override { delete d; }
    int GetType() override { return 2; }
    EngineResult GetLastError() override { return 0; }

private:
    std::vector<std::uint8_t> m_bytes;
};
