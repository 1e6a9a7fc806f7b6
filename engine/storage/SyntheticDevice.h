#pragma once
// A sector source made of extents, for tests and benchmarks that need large
// or oddly sized devices without the disk or memory they would take:
//
//   CSyntheticStorageDevice dev(4096);
//   dev.AddRandom(1ull << 30, 7);             // 1 GiB of seeded random bytes
//   dev.AddBytes(jpeg.data(), jpeg.size());    // a planted file
//   dev.AddFile("tests/data/sample.bin");      // bytes of a file, read on demand
//   dev.AddZeros(1 << 20);
//   dev.Write(512, "\xFF\xD8\xFF\xE0", 4);     // bytes laid over any extent
//   dev.FailSector(100);                       // reads touching 100 fail
//
// The device's length is the sum of the extents, rounded up to whole sectors
// (the last sector's tail reads as zeros). Random bytes are a pure function
// of the seed and the position, so any sector reads the same every time.
// Reads behave as CMemoryStorageDevice's: bad arguments give error 5; a read
// wholly past the end fails; one straddling the end succeeds with zeros past
// it; a read touching a failing sector returns 0 with error 1, the good
// sectors in place and the failing ones zeroed. Thread-safe once built.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "foundation/StorageDevice.h"
#include "storage/MemoryDevice.h"
#include "storage/StorageError.h"

class CSyntheticStorageDevice : public IStorageDevice {
public:
    explicit CSyntheticStorageDevice(std::uint32_t sectorSize = 512, int type = STORAGE_DEVICE_DISK)
        : m_sectorSize(sectorSize ? sectorSize : 512), m_type(type) {}
    ~CSyntheticStorageDevice() override {
        for (auto& e : m_extents)
            if (e.fd >= 0) ::close(e.fd);
        delete m_privateData;
    }
    CSyntheticStorageDevice(const CSyntheticStorageDevice&) = delete;
    CSyntheticStorageDevice& operator=(const CSyntheticStorageDevice&) = delete;

    // --- building ------------------------------------------------------
    CSyntheticStorageDevice& AddBytes(const void* data, std::size_t length) {
        Extent e(Kind::Bytes, m_length, length);
        e.bytes.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + length);
        return Add(std::move(e));
    }
    CSyntheticStorageDevice& AddBytes(const std::vector<std::uint8_t>& bytes) {
        return AddBytes(bytes.data(), bytes.size());
    }
    CSyntheticStorageDevice& AddZeros(std::uint64_t length) { return Add(Extent(Kind::Zeros, m_length, length)); }
    CSyntheticStorageDevice& AddRandom(std::uint64_t length, std::uint64_t seed) {
        Extent e(Kind::Random, m_length, length);
        e.seed = seed;
        return Add(std::move(e));
    }
    // The whole file, read on demand; an unreadable file adds nothing and
    // returns false.
    bool AddFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        const off_t size = ::lseek(fd, 0, SEEK_END);
        if (size < 0) {
            ::close(fd);
            return false;
        }
        Extent e(Kind::File, m_length, static_cast<std::uint64_t>(size));
        e.fd = fd;
        Add(std::move(e));
        return true;
    }
    // Bytes laid over whatever extent lies at `offset` (past the end: ignored).
    void Write(std::uint64_t offset, const void* data, std::size_t length) {
        std::lock_guard<std::mutex> g(m_lock);
        const auto* p = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < length && offset + i < m_length; ++i) m_overlay[offset + i] = p[i];
    }
    void FailSector(std::int64_t sector) {
        std::lock_guard<std::mutex> g(m_lock);
        m_failing.insert(sector);
    }
    void ClearFailures() {
        std::lock_guard<std::mutex> g(m_lock);
        m_failing.clear();
    }
    std::uint64_t Length() const { return m_length; }
    std::int64_t ReadCalls() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_readCalls;
    }
    // The device's bytes at [offset, offset + length), as a read would give
    // them (failing sectors included); for comparing in tests.
    std::vector<std::uint8_t> Bytes(std::uint64_t offset, std::size_t length) const {
        std::vector<std::uint8_t> out(length, 0);
        std::lock_guard<std::mutex> g(m_lock);
        Fill(out.data(), offset, length);
        return out;
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
        ReadSectorsAsDisk(buffer, first, count, m_sectorSize, TotalSectors(), m_failing, m_readCalls, result,
                          [&](std::uint8_t* dst, std::int64_t s) {
                              Fill(dst, static_cast<std::uint64_t>(s) * m_sectorSize, m_sectorSize);
                          });
        return result;
    }
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override {
        std::lock_guard<std::mutex> g(m_lock);
        return TotalSectors();
    }
    int IOCtl(std::uint64_t, void*) override { return 0; }
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

    // The random byte at a position of a random extent.
    static std::uint8_t RandomByte(std::uint64_t seed, std::uint64_t position) {
        std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + (position >> 3) + 1;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<std::uint8_t>(z >> ((position & 7) * 8));
    }

private:
    enum class Kind { Bytes, Zeros, Random, File };
    struct Extent {
        Extent(Kind k, std::uint64_t s, std::uint64_t n) : kind(k), start(s), length(n) {}
        Kind kind;
        std::uint64_t start;  // byte position on the device
        std::uint64_t length;
        std::vector<std::uint8_t> bytes;
        std::uint64_t seed = 0;
        int fd = -1;
    };

    CSyntheticStorageDevice& Add(Extent e) {
        std::lock_guard<std::mutex> g(m_lock);
        e.start = m_length;
        m_length += e.length;
        if (e.length > 0)
            m_extents.push_back(std::move(e));
        else if (e.fd >= 0)
            ::close(e.fd);
        return *this;
    }
    std::int64_t TotalSectors() const {
        return static_cast<std::int64_t>((m_length + m_sectorSize - 1) / m_sectorSize);
    }
    // Fills dst with the bytes at [offset, offset + length); zeros past the end.
    void Fill(std::uint8_t* dst, std::uint64_t offset, std::size_t length) const {
        std::memset(dst, 0, length);
        auto it = std::upper_bound(m_extents.begin(), m_extents.end(), offset,
                                   [](std::uint64_t o, const Extent& e) { return o < e.start; });
        if (it != m_extents.begin()) --it;
        std::uint64_t pos = offset;
        const std::uint64_t end = offset + length;
        for (; it != m_extents.end() && pos < end; ++it) {
            const Extent& e = *it;
            if (e.start + e.length <= pos) continue;
            const std::uint64_t from = std::max(pos, e.start);
            const std::uint64_t to = std::min(end, e.start + e.length);
            std::uint8_t* out = dst + (from - offset);
            const std::uint64_t rel = from - e.start;
            const std::size_t n = static_cast<std::size_t>(to - from);
            switch (e.kind) {
            case Kind::Bytes:
                std::memcpy(out, e.bytes.data() + rel, n);
                break;
            case Kind::Zeros:
                break;
            case Kind::Random:
                for (std::size_t i = 0; i < n; ++i) out[i] = RandomByte(e.seed, rel + i);
                break;
            case Kind::File: {
                const ssize_t got = ::pread(e.fd, out, n, static_cast<off_t>(rel));
                if (got < 0) std::memset(out, 0, n);
                break;
            }
            }
            pos = to;
        }
        if (!m_overlay.empty())
            for (auto o = m_overlay.lower_bound(offset); o != m_overlay.end() && o->first < end; ++o)
                dst[o->first - offset] = o->second;
    }

    mutable std::mutex m_lock;
    std::uint32_t m_sectorSize;
    int m_type;
    std::uint64_t m_length = 0;
    std::vector<Extent> m_extents;
    std::map<std::uint64_t, std::uint8_t> m_overlay;
    std::set<std::int64_t> m_failing;
    std::int64_t m_readCalls = 0;
    EngineResult m_lastError = 0;
    IStorageDeviceData* m_privateData = nullptr;
};
