#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "StorageTestUtil.h"
#include "foundation/MessageCenter.h"
#include "storage/DeviceWithCache.h"
#include "storage/DiskDevice.h"
#include "support/SkipOutsideCi.h"
#include "storage/PartitionDevice.h"
#include "storage/ReadAsync.h"
#include "storage/VolumeDevice.h"

using namespace storage_test;
using namespace std::chrono_literals;

namespace {

class CountingCentre : public INotifyCenter {
public:
    int Notify(_MSG_EVENT* event) override {
        if (event->type == EVENT_TYPE_READ_FAILED && event->length == 0)
            ++readFailures;
        else
            ++others;
        return 1;
    }
    std::atomic<int> readFailures{0};
    std::atomic<int> others{0};
};

ssize_t FailingRead(int, void*, std::size_t, off_t) {
    errno = EIO;
    return -1;
}

// Waits until the process-wide centre has delivered everything queued.
void Drain(CMessageCenter* centre) {
    for (int i = 0; i < 400 && centre->QueuedCount() > 0; ++i) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(30ms);
}

class VolumeDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        image = dir.File("volume.img");
        ASSERT_TRUE(WritePatternFile(image, 1 << 20));
        centre = CMessageCenter::Instance();
        centre->SetDeliveryInterval(2ms);
        centre->StartReceiveMessage();
        Drain(centre);  // failures other tests' volumes reported are not this test's
        ASSERT_TRUE(centre->RegisterNotifyCenter(kKey, &counter));
    }
    void TearDown() override {
        QXSetPlatformReadForTesting(nullptr);
        centre->UnregisterNotifyCenter(kKey);
        centre->SetDeliveryInterval(1000ms);
    }
    static constexpr int kKey = 4242;
    TempDir dir;
    std::string image;
    CMessageCenter* centre = nullptr;
    CountingCentre counter;
};

}  // namespace

TEST_F(VolumeDeviceTest, ReadsTheVolumeAndReportsAFailedReadOnce) {
    CVolumeDevice* v = CreateVolumeDevice(image.c_str());
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->Open(nullptr), 1);
    EXPECT_EQ(v->GetType(), STORAGE_DEVICE_VOLUME);
    EXPECT_EQ(v->GetTotalSectors(), 2048);
    EXPECT_EQ(fcntl(v->GetDescriptor(), F_GETFL) & O_ACCMODE, O_RDONLY);
    std::vector<std::uint8_t> buf(4 * 512, 0xAA);
    ASSERT_EQ(v->ReadSector(buf.data(), 2046, 4), 1);  // count not bounded: zero tail
    EXPECT_TRUE(UnitsHoldPattern(buf.data(), 2046, 2));
    EXPECT_TRUE(AllZero(buf.data() + 1024, 1024));

    // Outside the volume: error 5, no event.
    EXPECT_EQ(v->ReadSector(buf.data(), 2048, 1), 0);
    EXPECT_TRUE(IsStorageError(v->GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));
    EXPECT_EQ(v->ReadSector(buf.data(), 0, 0), 0);
    EXPECT_TRUE(IsStorageError(v->GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));
    Drain(centre);
    EXPECT_EQ(counter.readFailures.load(), 0);

    // A platform failure: error 1 and exactly one event 1.
    QXSetPlatformReadForTesting(&FailingRead);
    EXPECT_EQ(v->ReadSector(buf.data(), 0, 1), 0);
    QXSetPlatformReadForTesting(nullptr);
    EXPECT_TRUE(IsStorageError(v->GetLastError(), STORAGE_ERROR_IO));
    Drain(centre);
    EXPECT_EQ(counter.readFailures.load(), 1);
    EXPECT_EQ(counter.others.load(), 0);

    char apfs[] = "loop0p2";
    v->SetApfsDevicePath(apfs);
    EXPECT_STREQ(v->GetApfsDevicePath(), "loop0p2");
    v->SetApfsDevicePath(nullptr);
    EXPECT_STREQ(v->GetApfsDevicePath(), "loop0p2");

    EXPECT_EQ(v->GetVolumeInfo(), nullptr);
    EXPECT_TRUE(IsStorageError(v->GetLastError(), STORAGE_ERROR_NO_DATA));
    auto* rec = new CCollectedVolumeDeviceInfoStruct{};
    rec->sectorSize = 4096;
    rec->totalSectors = 256;
    v->SetPrivateData(CreateVolumeDeviceData(rec));
    EXPECT_EQ(v->GetVolumeInfo(), rec);
    EXPECT_EQ(v->GetSectorSize(), 4096u);
    EXPECT_EQ(v->GetTotalSectors(), 256);
    delete v;
}

TEST_F(VolumeDeviceTest, DestroyingAVolumeUnregistersKeyOne) {
    CountingCentre progress;
    centre->UpdateNotifyCenter(1, &progress);
    delete CreateVolumeDevice(image.c_str());
    EXPECT_EQ(centre->GetNotifyCenter(1), nullptr);
    EXPECT_EQ(CreateVolumeDevice(("/tmp/" + std::string(140, 'v')).c_str()), nullptr);
}

// A real partition table on a loop device: the disk, a partition window on
// it and the partition's own node read the same sectors.
TEST_F(VolumeDeviceTest, LoopPartitionNodeAndWindowAgree) {
    if (!IsRoot()) QUILLORY_SKIP_OUTSIDE_CI("loop devices need root");
    for (unsigned size : {512u, 4096u}) {
        SCOPED_TRACE(size);
        const std::string disk = dir.File("parted-" + std::to_string(size) + ".img");
        ASSERT_TRUE(WritePatternFile(disk, 8 << 20));
        // One partition from 1 MiB to 5 MiB, in units of the loop's sectors;
        // the table is written through the loop so that it uses its sector size.
        const unsigned start = (1 << 20) / size, count = (4 << 20) / size;
        LoopDevice loop(disk, size, true);
        ASSERT_TRUE(loop.Ok());
        ASSERT_EQ(RunCommand("printf 'label: dos\\nstart=" + std::to_string(start) + ", size=" + std::to_string(count) +
                             ", type=83\\n' | sfdisk -q " + loop.Path() + " >/dev/null 2>&1; echo $?"),
                  "0");
        loop.Rescan();
        const std::string node = loop.Partition(1);
        ASSERT_FALSE(node.empty());

        CDiskDevice* d = CreateDiskDevice(loop.Path().c_str());
        ASSERT_EQ(d->Open(nullptr), 1);
        auto* rec = new CCollectDiskDeviceInfoStruct{};
        rec->sectorSize = d->GetSectorSize();
        rec->totalSectors = d->GetTotalSectors();
        d->SetPrivateData(CreateDiskDeviceData(rec));
        CPartitionDevice* part = CreatePartitionDevice(d, start, count);
        ASSERT_EQ(part->Open(nullptr), 1);
        EXPECT_EQ(part->GetSectorSize(), size);
        CVolumeDevice* vol = CreateVolumeDevice(node.c_str());
        ASSERT_EQ(vol->Open(nullptr), 1);
        EXPECT_EQ(vol->GetSectorSize(), size);
        EXPECT_EQ(vol->GetTotalSectors(), count);

        std::vector<std::uint8_t> a(3 * size, 0xAA), b(3 * size, 0xBB);
        const std::int64_t first = count - 2;  // runs one sector past the end
        ASSERT_EQ(part->ReadSector(a.data(), first, 3), 1);
        ASSERT_EQ(vol->ReadSector(b.data(), first, 3), 1);
        EXPECT_TRUE(UnitsHoldPattern(a.data(), (start + first) * (size / 512), 2 * size / 512));
        EXPECT_EQ(a, b);
        EXPECT_TRUE(AllZero(a.data() + 2 * size, size));
        delete vol;
        delete part;
        delete d;
    }
    Drain(centre);
    EXPECT_EQ(counter.readFailures.load(), 0);
}

namespace {

constexpr off_t kBadByte = 5500 * 512;  // in block 5 of a read-ahead cache of 1,000-sector blocks

// Fails every platform read that touches sector 5,500.
ssize_t BadSectorRead(int fd, void* buffer, std::size_t length, off_t offset) {
    if (offset <= kBadByte && kBadByte < offset + static_cast<off_t>(length)) {
        errno = EIO;
        return -1;
    }
    return ::pread(fd, buffer, length, offset);
}

}  // namespace

// A deep scan reads a volume on two threads: the cache's reader fills the
// blocks ahead while the scanning thread reads sectors outside the current
// block straight from the volume (a volume header, a container's objects).
// Each read reports its own failure, once, whichever thread made it; a good
// read is never blamed for the other thread's bad sector.
TEST_F(VolumeDeviceTest, ReadAheadAndDirectReadsEachReportTheirOwnFailure) {
    const std::string big = dir.File("bad-sector.img");
    ASSERT_TRUE(WritePatternFile(big, 8 << 20));  // 16,384 sectors: 17 blocks
    std::unique_ptr<CVolumeDevice> volume(CreateVolumeDevice(big.c_str()));
    ASSERT_EQ(volume->Open(nullptr), 1);
    QXSetPlatformReadForTesting(&BadSectorRead);
    CStorageDeviceWithCache cache(volume.get());
    cache.BeginCache();
    std::vector<std::uint8_t> sector(512);
    int directFailures = 0;
    for (std::int64_t block = 0; cache.IsBlockInValidRange(block); ++block) {
        ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
        // The reader keeps what it could read: only the bad sector is zeros,
        // never another block's bytes.
        const std::uint8_t* bytes = cache.ViewSectors(block * 1000, 1);
        ASSERT_NE(bytes, nullptr);
        EXPECT_TRUE(UnitsHoldPattern(bytes, block * 1000, 1)) << block;
        if (block == 5) {
            const std::uint8_t* bad = cache.ViewSectors(5500, 1);
            ASSERT_NE(bad, nullptr);
            EXPECT_TRUE(AllZero(bad, 512));
        }
        for (int round = 0; round < 20; ++round) {
            ASSERT_EQ(volume->ReadSector(sector.data(), 2 + round, 1), 1) << block;
            EXPECT_EQ(volume->GetLastError(), ENGINE_OK) << block;
            EXPECT_TRUE(UnitsHoldPattern(sector.data(), 2 + round, 1)) << block;
        }
        EXPECT_EQ(volume->ReadSector(sector.data(), 5500, 1), 0) << block;
        EXPECT_TRUE(IsStorageError(volume->GetLastError(), STORAGE_ERROR_IO)) << block;
        ++directFailures;
    }
    cache.EndCache();
    QXSetPlatformReadForTesting(nullptr);
    Drain(centre);
    // One notification per failed read: the scanning thread's, and the
    // reader's three for block 5 (the whole block, its 64 KiB piece, then
    // the one bad sector).
    EXPECT_EQ(counter.readFailures.load(), directFailures + 3);
}
