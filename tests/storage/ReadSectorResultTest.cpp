// A read's own outcome (ReadSectorResult) against the device's last error:
// the read-ahead cache reads a device on its own thread while the scanning
// thread reads the same device outside the cached block, so the cache's
// reads must neither set nor depend on the shared last-error field.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "storage/DiskDevice.h"
#include "storage/DmgDevice.h"
#include "storage/MemoryDevice.h"
#include "storage/PartitionDevice.h"
#include "storage/ReadAsync.h"
#include "storage/VolumeDevice.h"

using namespace storage_test;

namespace {

constexpr std::int64_t kSectors = 64;
constexpr std::int64_t kBadSector = 40;

// Fails every platform read that touches kBadSector of a descriptor device.
ssize_t BadSectorRead(int fd, void* buffer, std::size_t length, off_t offset) {
    const off_t bad = kBadSector * 512;
    if (offset <= bad && bad < offset + static_cast<off_t>(length)) {
        errno = EIO;
        return -1;
    }
    return ::pread(fd, buffer, length, offset);
}

struct DeviceCase {
    const char* name;
    // Makes the device over the pattern image at `path` (or in memory).
    std::function<IStorageDevice*(const std::string& path)> make;
};

class ReadSectorResultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        image = dir.File("pattern.img");
        ASSERT_TRUE(WritePatternFile(image, kSectors * 512));
        QXSetPlatformReadForTesting(&BadSectorRead);
    }
    void TearDown() override { QXSetPlatformReadForTesting(nullptr); }
    TempDir dir;
    std::string image;
};

CDiskDevice* OpenDisk(const std::string& path) {
    CDiskDevice* disk = CreateDiskDevice(path.c_str());
    if (disk == nullptr || disk->Open(nullptr) != 1) {
        delete disk;
        return nullptr;
    }
    auto* record = new CCollectDiskDeviceInfoStruct{};
    record->sectorSize = disk->GetSectorSize();
    record->totalSectors = disk->GetTotalSectors();
    disk->SetPrivateData(CreateDiskDeviceData(record));
    return disk;
}

// A partition window that owns the disk it reads.
class OwningPartition : public CPartitionVirtualVolumeDevice {
public:
    explicit OwningPartition(CDiskDevice* disk) : CPartitionVirtualVolumeDevice(disk, 0, kSectors), m_disk(disk) {}

private:
    std::unique_ptr<CDiskDevice> m_disk;
};

}  // namespace

TEST_F(ReadSectorResultTest, EachReadReportsItsOwnOutcomeAndLeavesTheLastErrorAlone) {
    const DeviceCase cases[] = {
        {"disk", [](const std::string& p) -> IStorageDevice* { return OpenDisk(p); }},
        {"volume",
         [](const std::string& p) -> IStorageDevice* {
             CVolumeDevice* v = CreateVolumeDevice(p.c_str());
             if (v != nullptr && v->Open(nullptr) != 1) {
                 delete v;
                 return nullptr;
             }
             return v;
         }},
        {"image file",
         [](const std::string& p) -> IStorageDevice* {
             CDMGDeviceInfoStruct record;
             InitDmgInfo(record, p.c_str());
             record.totalSectors = kSectors;
             return CreateDmgDevice(p.c_str(), &record);
         }},
        {"partition window",
         [](const std::string& p) -> IStorageDevice* {
             CDiskDevice* disk = OpenDisk(p);
             if (disk == nullptr) return nullptr;
             auto* part = new OwningPartition(disk);
             part->Open(nullptr);
             return part;
         }},
        {"memory",
         [](const std::string&) -> IStorageDevice* {
             auto* memory = new CMemoryStorageDevice(512, kSectors);
             memory->FillPattern();
             memory->FailSector(kBadSector);
             return memory;
         }},
    };
    for (const DeviceCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<IStorageDevice> device(c.make(image));
        ASSERT_NE(device, nullptr);
        std::vector<std::uint8_t> buffer(2 * 512, 0xAA);

        // A failed ReadSector keeps its error; reads through ReadSectorResult
        // then leave it as it was, whatever their own outcome.
        ASSERT_EQ(device->ReadSector(buffer.data(), kBadSector, 1), 0);
        ASSERT_TRUE(IsStorageError(device->GetLastError(), STORAGE_ERROR_IO));
        EXPECT_EQ(device->ReadSectorResult(buffer.data(), 10, 2), ENGINE_OK);
        EXPECT_TRUE(UnitsHoldPattern(buffer.data(), 10, 2));
        EXPECT_TRUE(IsStorageError(device->GetLastError(), STORAGE_ERROR_IO));

        ASSERT_EQ(device->ReadSector(buffer.data(), 0, 0), 0);
        ASSERT_TRUE(IsStorageError(device->GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));
        EXPECT_TRUE(IsStorageError(device->ReadSectorResult(buffer.data(), kBadSector - 1, 2), STORAGE_ERROR_IO));
        EXPECT_TRUE(IsStorageError(device->GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));

        // ReadSector still keeps the outcome of each read.
        ASSERT_EQ(device->ReadSector(buffer.data(), 12, 1), 1);
        EXPECT_EQ(device->GetLastError(), ENGINE_OK);
    }
}
