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
std::vector<std::uint8_t> ShortEntry(const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size,
                                     std::uint16_t date = 0x5A21, std::uint16_t time = 0x6000);
// The long-name pieces of `name` (ASCII), in stored order (last piece first).
std::vector<std::uint8_t> LongEntries(const std::string& name);

}  // namespace fattest

#include <map>
#include <set>

#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "foundation/Progress.h"
#include "support/BuilderDouble.h"

class CSearchedPartitionInfo;

namespace fattest {

// Keeps every FAT node it is given and names it by path.
class RecordingBuilder : public quillory_test::BuilderDouble {
public:
    RecordingBuilder() : BuilderDouble(SEARCHER_FAT) {}
    // "folder/sub/name" of a node, from the folder nodes received.
    std::string PathOf(IFileNode* node) const;
    // Paths of the deleted nodes received.
    std::set<std::string> DeletedPaths() const;
    IFileNode* Find(const std::string& path) const;
    // The node whose path matches by ComparableName.
    IFileNode* FindLike(const std::string& path) const;
};

class RecordingProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override { records.push_back({info->state, info->total, info->current}); }
    int Continued() override { return ++asked <= allowed ? 1 : 0; }
    int shouldBuild() override { return 1; }
    struct Rec {
        std::uint32_t state;
        std::int64_t total, current;
    };
    std::vector<Rec> records;
    int asked = 0;
    int allowed = 1 << 30;
};

// The deleted files and folders `fls -r -d -p` lists, as paths.
std::set<std::string> FlsDeleted(const std::string& image);
// Reads a node's runs through the device: cluster c lies at
// dataStart + (c - 2) x sectors per cluster. Cut to the node's size.
std::vector<std::uint8_t> ReadRuns(IStorageDevice& dev, IFileNode* node, std::int64_t dataStart,
                                   std::uint32_t sectorsPerCluster);
// A name as compared with the oracle: lower case, an erased short name's
// first character left out.
std::string ComparableName(const std::string& path);
// The original of a written file, by ComparableName of its path under
// orig/<image>/; empty when there is none.
std::vector<std::uint8_t> Original(const std::string& image, const std::string& path);

}  // namespace fattest
