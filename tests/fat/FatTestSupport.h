#pragma once
// Helpers of the FAT tests: fixture images made once per build folder, an
// image file opened as a read-only sector source, and entry builders.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/StorageDevice.h"

namespace fattest {

// Folder holding fat12.img, fat16.img, fat32.img and orig/ (made on first use).
const std::string& FixtureDir();
std::string Fixture(const std::string& name);
// Copies a fixture to a scratch file of this test (removed at exit) and
// returns its path, for tests that patch bytes.
std::string ScratchCopy(const std::string& name);
void PatchBytes(const std::string& path, std::uint64_t offset, const void* bytes, std::size_t n);
std::vector<std::uint8_t> ReadBytes(const std::string& path, std::uint64_t offset, std::size_t n);
std::vector<std::uint8_t> ReadFile(const std::string& path);
// Runs a shell command and returns its standard output.
std::string Run(const std::string& command);

// A read-only image file as a sector source; type 2 (a volume) by default.
class ImageDevice : public IStorageDevice {
public:
    explicit ImageDevice(const std::string& path, std::uint32_t sectorSize = 512, int type = 2);
    ~ImageDevice() override;
    int Open(char*) override { return m_fd >= 0; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override;
    std::uint32_t GetSectorSize() override { return m_sectorSize; }
    std::int64_t GetTotalSectors() override { return m_total; }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data; }
    void SetPrivateData(IStorageDeviceData* data) override;
    int GetType() override { return m_type; }
    EngineResult GetLastError() override { return m_error; }
    int reads = 0;

private:
    int m_fd = -1;
    std::uint32_t m_sectorSize;
    std::int64_t m_total = 0;
    int m_type;
    IStorageDeviceData* m_data = nullptr;
    EngineResult m_error = 0;
};

// A 32-byte short entry.
std::vector<std::uint8_t> ShortEntry(const char* name11, std::uint8_t attr, std::uint32_t cluster,
                                     std::uint32_t size, std::uint16_t date = 0x5A21,
                                     std::uint16_t time = 0x6000);
// The long-name pieces of `name` (ASCII), in stored order (last piece first).
std::vector<std::uint8_t> LongEntries(const std::string& name);

}  // namespace fattest
