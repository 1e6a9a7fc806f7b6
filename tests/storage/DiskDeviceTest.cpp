#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "StorageTestUtil.h"
#include "storage/DiskDevice.h"
#include "support/SkipOutsideCi.h"

using namespace storage_test;

namespace {

constexpr std::uint64_t kImageBytes = 4 << 20;  // 8,192 sectors of 512 bytes

struct DeviceDeleter {
    void operator()(IStorageDevice* d) const { delete d; }
};
using DevicePtr = std::unique_ptr<CDiskDevice, DeviceDeleter>;

class DiskDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        image = dir.File("disk.img");
        ASSERT_TRUE(WritePatternFile(image, kImageBytes));
    }
    DevicePtr OpenImage(const std::string& path) {
        DevicePtr d(CreateDiskDevice(path.c_str()));
        EXPECT_NE(d, nullptr);
        if (d) {
            EXPECT_EQ(d->Open(nullptr), 1);
        }
        return d;
    }
    TempDir dir;
    std::string image;
};

CCollectDiskDeviceInfoStruct* NewDiskRecord(std::int64_t sectorSize, std::int64_t total) {
    auto* r = new CCollectDiskDeviceInfoStruct{};
    r->sectorSize = sectorSize;
    r->totalSectors = total;
    return r;
}

}  // namespace

TEST_F(DiskDeviceTest, ImageFileOpensReadOnlyWithItsSizeIn512ByteSectors) {
    DevicePtr d = OpenImage(image);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetType(), STORAGE_DEVICE_DISK);
    EXPECT_EQ(d->GetSectorSize(), 512u);
    EXPECT_EQ(d->GetTotalSectors(), 8192);
    EXPECT_EQ(d->GetLastError(), 0u);
    EXPECT_EQ(d->IsPermitted(), 1);
    EXPECT_EQ(fcntl(d->GetDescriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);

    std::vector<std::uint8_t> buf(8 * 512);
    ASSERT_EQ(d->ReadSector(buf.data(), 1000, 8), 1);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 1000, 8));

    EXPECT_EQ(d->Close(), 1);
    EXPECT_EQ(d->Close(), 0);
    EXPECT_EQ(d->ReadSector(buf.data(), 0, 1), 0);
    EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_IO));
    EXPECT_EQ(d->ReOpen(), 1);
    ASSERT_EQ(d->ReadSector(buf.data(), 8191, 1), 1);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 8191, 1));
}

TEST_F(DiskDeviceTest, PartialLastSectorCountsAndReadsWithAZeroTail) {
    const std::string odd = dir.File("odd.img");
    ASSERT_TRUE(WritePatternFile(odd, 1000));
    DevicePtr d = OpenImage(odd);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetTotalSectors(), 2);
    std::vector<std::uint8_t> buf(1024, 0xAA);
    ASSERT_EQ(d->ReadSector(buf.data(), 0, 2), 1);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 0, 1));
    EXPECT_EQ(PatternWord(buf.data() + 512), 1u);
    EXPECT_TRUE(AllZero(buf.data() + 1000, 24));
}

TEST_F(DiskDeviceTest, BadArgumentsAndReadsPastTheEnd) {
    DevicePtr d = OpenImage(image);
    ASSERT_NE(d, nullptr);
    std::vector<std::uint8_t> buf(4 * 512, 0xAA);
    struct Case {
        void* buffer;
        std::int64_t first, count;
    } refused[] = {
        {buf.data(), 0, 0},
        {buf.data(), 0, -1},
        {buf.data(), -1, 1},
        {nullptr, 0, 1},
        {buf.data(), INT64_MAX / 256, 1},
        {buf.data(), 0, INT64_MAX / 256},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(d->ReadSector(c.buffer, c.first, c.count), 0);
        EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));
        EXPECT_TRUE(AllByte(buf.data(), buf.size(), 0xAA));
    }
    // Straddling the end: the sectors that exist, zeros after them.
    ASSERT_EQ(d->ReadSector(buf.data(), 8190, 4), 1);
    EXPECT_EQ(d->GetLastError(), 0u);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 8190, 2));
    EXPECT_TRUE(AllZero(buf.data() + 1024, 1024));
    // Wholly past the end: a failed read of zeros.
    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_EQ(d->ReadSector(buf.data(), 8192, 4), 0);
    EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_IO));
    EXPECT_TRUE(AllZero(buf.data(), buf.size()));

    EXPECT_EQ(d->IOCtl(0x40046418, nullptr), 0);
    EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_IOCTL));
}

TEST_F(DiskDeviceTest, OpenFailures) {
    // Too long for the 128-byte path field: refused, never cut.
    const std::string longPath = "/tmp/" + std::string(130, 'x');
    EXPECT_EQ(CreateDiskDevice(longPath.c_str()), nullptr);
    EXPECT_EQ(CreateDiskDevice(""), nullptr);
    EXPECT_EQ(CreateDiskDevice(nullptr), nullptr);

    DevicePtr d(CreateDiskDevice(dir.File("missing.img").c_str()));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Open(nullptr), 0);
    EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_IO));
    EXPECT_EQ(d->IsPermitted(), 1);
    EXPECT_EQ(d->GetDescriptor(), -1);
    EXPECT_EQ(d->Open(const_cast<char*>(longPath.c_str())), 0);
    EXPECT_STREQ(d->GetPath(), dir.File("missing.img").c_str());
    // Open with a path replaces the stored one.
    EXPECT_EQ(d->Open(const_cast<char*>(image.c_str())), 1);
    EXPECT_EQ(d->GetTotalSectors(), 8192);
}

TEST_F(DiskDeviceTest, PermissionFailureClearsThePermittedFlag) {
    if (!IsRoot()) QUILLORY_SKIP_OUTSIDE_CI("needs root to drop to another user");
    const std::string secret = dir.File("secret.img");
    ASSERT_TRUE(WritePatternFile(secret, 4096));
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
        CDiskDevice* d = CreateDiskDevice(secret.c_str());
        if (!d) _exit(11);
        const int opened = d->Open(nullptr);
        const int permitted = d->IsPermitted();
        const bool ioError = IsStorageError(d->GetLastError(), STORAGE_ERROR_IO);
        delete d;
        _exit(opened == 0 && permitted == 0 && ioError ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(DiskDeviceTest, PrivateDataSetsGeometryOnlyFromAUsableDiskRecord) {
    DevicePtr d = OpenImage(image);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetDiskInfo(), nullptr);
    EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_NO_DATA));

    d->SetPrivateData(CreateDiskDeviceData(NewDiskRecord(4096, 1024)));
    EXPECT_EQ(d->GetLastError(), 0u);
    EXPECT_EQ(d->GetSectorSize(), 4096u);
    EXPECT_EQ(d->GetTotalSectors(), 1024);
    ASSERT_NE(d->GetDiskInfo(), nullptr);
    EXPECT_EQ(d->GetDiskInfo()->sectorSize, 4096);
    // Sector 3 of 4,096 bytes is 512-byte units 24..31.
    std::vector<std::uint8_t> buf(4096);
    ASSERT_EQ(d->ReadSector(buf.data(), 3, 1), 1);
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 24, 8));

    // A record saying 0 bytes per sector keeps the old size.
    d->SetPrivateData(CreateDiskDeviceData(NewDiskRecord(0, 77)));
    EXPECT_EQ(d->GetSectorSize(), 4096u);
    EXPECT_EQ(d->GetTotalSectors(), 77);
    // A holder of another kind is kept, error 7, geometry unchanged.
    IStorageDeviceData* volume = CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct{});
    d->SetPrivateData(volume);
    EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_NO_DATA));
    EXPECT_EQ(d->GetPrivateData(), volume);
    EXPECT_EQ(d->GetSectorSize(), 4096u);
    EXPECT_EQ(d->GetTotalSectors(), 77);
    // A disk holder without a record: error 7 too.
    d->SetPrivateData(CreateDiskDeviceData(nullptr));
    EXPECT_TRUE(IsStorageError(d->GetLastError(), STORAGE_ERROR_NO_DATA));
    // Reopening takes the device's own geometry again.
    EXPECT_EQ(d->Open(nullptr), 1);
    EXPECT_EQ(d->GetSectorSize(), 512u);
    EXPECT_EQ(d->GetTotalSectors(), 8192);
}

TEST(DeviceData, SetterReplacesTheRecordWithoutDeletingTheOldOne) {
    auto* first = new CCollectedPartitionDeviceInfoStruct{};
    auto* second = new CCollectedPartitionDeviceInfoStruct{};
    IPartitionDeviceData* h = CreatePartitionDeviceData(first);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->GetPartitionInfo(), first);
    h->SetPartitionInfo(second);
    EXPECT_EQ(h->GetPartitionInfo(), second);
    delete h;      // deletes `second`
    delete first;  // still ours
}

TEST_F(DiskDeviceTest, VolumeRecordsAreCopies) {
    DevicePtr d = OpenImage(image);
    ASSERT_NE(d, nullptr);
    std::vector<CCollectedVolumeDeviceInfoStruct> in(2);
    std::strcpy(in[0].bsdName, "loop0p1");
    in[1].startSector = 2048;
    d->SetVolumes(in);
    in[0].bsdName[0] = 'X';
    std::vector<CCollectedVolumeDeviceInfoStruct> out(5);
    EXPECT_EQ(d->GetVolumes(out), 2u);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_STREQ(out[0].bsdName, "loop0p1");
    EXPECT_EQ(out[1].startSector, 2048);
}

TEST_F(DiskDeviceTest, LoopDevicesReportTheirLogicalSectorSize) {
    if (!IsRoot()) QUILLORY_SKIP_OUTSIDE_CI("loop devices need root");
    for (unsigned sectorSize : {512u, 4096u}) {
        SCOPED_TRACE(sectorSize);
        LoopDevice loop(image, sectorSize, false);
        ASSERT_TRUE(loop.Ok());
        DevicePtr d = OpenImage(loop.Path());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->GetSectorSize(), sectorSize);
        EXPECT_EQ(d->GetTotalSectors(), static_cast<std::int64_t>(kImageBytes / sectorSize));
        std::vector<std::uint8_t> buf(2 * sectorSize);
        const std::int64_t last = d->GetTotalSectors() - 1;
        ASSERT_EQ(d->ReadSector(buf.data(), last - 1, 2), 1);
        EXPECT_TRUE(UnitsHoldPattern(buf.data(), (last - 1) * (sectorSize / 512), 2 * sectorSize / 512));
        std::fill(buf.begin(), buf.end(), 0xAA);
        EXPECT_EQ(d->ReadSector(buf.data(), last + 1, 1), 0);
        EXPECT_TRUE(AllZero(buf.data(), sectorSize));
    }
}
