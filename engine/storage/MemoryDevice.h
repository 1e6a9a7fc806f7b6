#pragma once
// An in-memory sector source for tests of anything that reads through
// IStorageDevice. Header-only, so any test folder can include it:
//
//   CMemoryStorageDevice disk(512, 2048);      // 1 MiB of zeros
//   disk.FillPattern();                        // every u64 of sector i holds i
//   disk.Write(512 * 63, bootSector, 512);     // place a structure
//   disk.FailSector(100);                      // reads touching 100 fail
//
// Reads behave as a disk's: a null buffer, a negative first sector or a count
// below 1 give error 5 and touch nothing; sectors past the end read as zeros
// (a read wholly past the end fails, one straddling the end succeeds); a read
// touching a failing sector returns 0 with error 1, with the good sectors in
// place and the failing ones zeroed. Thread-safe.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "foundation/StorageDevice.h"
#include "storage/StorageError.h"

// The read rules the test devices share, as a disk's: bad arguments give
// error 5 and touch nothing; sectors past the end read as zeros (a read
// wholly past the end fails); a failing sector is zeroed and fails the read
// with error 1. `fill(dst, sector)` copies one sector that lies inside.
template <class Fill>
inline int ReadSectorsAsDisk(void* buffer, std::int64_t first, std::int64_t count, std::uint32_t sectorSize,
                             std::int64_t totalSectors, const std::set<std::int64_t>& failing, std::int64_t& readCalls,
                             EngineResult& lastError, Fill fill) {
    lastError = 0;
    if (buffer == nullptr || first < 0 || count <= 0 || count > INT64_MAX / static_cast<std::int64_t>(sectorSize)) {
        lastError = STORAGE_ERROR(STORAGE_ERROR_BAD_ARGUMENT);
        return 0;
    }
    ++readCalls;
    auto* out = static_cast<std::uint8_t*>(buffer);
    bool ok = first < totalSectors;
    for (std::int64_t i = 0; i < count; ++i) {
        std::uint8_t* dst = out + static_cast<std::size_t>(i) * sectorSize;
        const bool inside = first < totalSectors && i < totalSectors - first;
        if (!inside || failing.count(first + i) != 0) {
            if (inside) ok = false;
            std::memset(dst, 0, sectorSize);
        } else {
            fill(dst, first + i);
        }
    }
    if (!ok) lastError = STORAGE_ERROR(STORAGE_ERROR_IO);
    return ok ? 1 : 0;
}

class CMemoryStorageDevice : public IStorageDevice {
public:
    CMemoryStorageDevice(std::uint32_t sectorSize, std::int64_t totalSectors, int type = STORAGE_DEVICE_DISK)
        : m_sectorSize(sectorSize),
          m_totalSectors(totalSectors),
          m_type(type),
          m_bytes(static_cast<std::size_t>(sectorSize) * static_cast<std::size_t>(totalSectors)) {}
    ~CMemoryStorageDevice() override { delete m_privateData; }
    CMemoryStorageDevice(const CMemoryStorageDevice&) = delete;
    CMemoryStorageDevice& operator=(const CMemoryStorageDevice&) = delete;

    // --- test set-up ---------------------------------------------------
    std::vector<std::uint8_t>& Bytes() { return m_bytes; }
    std::uint8_t* Sector(std::int64_t index) { return m_bytes.data() + static_cast<std::size_t>(index) * m_sectorSize; }
    // Copies `length` bytes to byte `offset` of the device (clamped to its end).
    void Write(std::uint64_t offset, const void* data, std::size_t length) {
        std::lock_guard<std::mutex> g(m_lock);
        if (offset >= m_bytes.size()) return;
        length = std::min<std::size_t>(length, m_bytes.size() - offset);
        std::memcpy(m_bytes.data() + offset, data, length);
    }
    // Every little-endian u64 of sector i holds i.
    void FillPattern() {
        std::lock_guard<std::mutex> g(m_lock);
        for (std::int64_t s = 0; s < m_totalSectors; ++s)
            for (std::uint32_t w = 0; w + 8 <= m_sectorSize; w += 8) {
                const std::uint64_t v = static_cast<std::uint64_t>(s);
                std::memcpy(m_bytes.data() + static_cast<std::size_t>(s) * m_sectorSize + w, &v, 8);
            }
    }
    void FailSector(std::int64_t sector) {
        std::lock_guard<std::mutex> g(m_lock);
        m_failing.insert(sector);
    }
    void ClearFailures() {
        std::lock_guard<std::mutex> g(m_lock);
        m_failing.clear();
    }
    // Changes the geometry (e.g. to 4,096-byte sectors); the content is
    // resized to match.
    void SetGeometry(std::uint32_t sectorSize, std::int64_t totalSectors) {
        std::lock_guard<std::mutex> g(m_lock);
        m_sectorSize = sectorSize;
        m_totalSectors = totalSectors;
        m_bytes.resize(static_cast<std::size_t>(sectorSize) * static_cast<std::size_t>(totalSectors));
    }
    void SetType(int type) { m_type = type; }
    // Number of ReadSector calls that passed the argument checks.
    std::int64_t ReadCalls() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_readCalls;
    }

    // --- IStorageDevice --------------------------------------------------
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    // Keeps the outcome of ReadSectorResult (the one read a double overrides)
    // as the last error.
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) final {
        const EngineResult result = ReadSectorResult(buffer, first, count);
        std::lock_guard<std::mutex> g(m_lock);
        m_lastError = result;
        return IsEngineFailure(result) ? 0 : 1;
    }
    EngineResult ReadSectorResult(void* buffer, std::int64_t first, std::int64_t count) override {
        EngineResult result = 0;
        std::lock_guard<std::mutex> g(m_lock);
        ReadSectorsAsDisk(buffer, first, count, m_sectorSize, m_totalSectors, m_failing, m_readCalls, result,
                          [&](std::uint8_t* dst, std::int64_t s) {
                              std::memcpy(dst, m_bytes.data() + static_cast<std::size_t>(s) * m_sectorSize,
                                          m_sectorSize);
                          });
        return result;
    }
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override { return m_totalSectors; }
    int IOCtl(std::uint64_t, void*) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_lastError = STORAGE_ERROR(STORAGE_ERROR_IOCTL);
        return 0;
    }
    IStorageDeviceData* GetPrivateData() override { return m_privateData; }
    void SetPrivateData(IStorageDeviceData* data) override {
        if (data != m_privateData) delete m_privateData;
        m_privateData = data;
    }
    int GetType() override { return m_type; }
    EngineResult GetLastError() override {
        std::lock_guard<std::mutex> g(m_lock);
        return m_lastError;
    }

private:
    mutable std::mutex m_lock;
    std::uint32_t m_sectorSize;
    std::int64_t m_totalSectors;
    int m_type;
    std::vector<std::uint8_t> m_bytes;
    std::set<std::int64_t> m_failing;
    std::int64_t m_readCalls = 0;
    EngineResult m_lastError = 0;
    IStorageDeviceData* m_privateData = nullptr;
};
