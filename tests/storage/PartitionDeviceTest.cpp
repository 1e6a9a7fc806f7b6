#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "StorageTestUtil.h"
#include "storage/MemoryDevice.h"
#include "storage/PartitionDevice.h"

using namespace storage_test;

namespace {

template <typename T>
struct Owned {
    explicit Owned(T* p) : ptr(p) {}
    ~Owned() { delete ptr; }
    T* operator->() const { return ptr; }
    T* get() const { return ptr; }
    T* ptr;
};

void AttachDiskRecord(CMemoryStorageDevice& disk) {
    auto* r = new CCollectDiskDeviceInfoStruct{};
    r->sectorSize = disk.GetSectorSize();
    r->totalSectors = disk.GetTotalSectors();
    disk.SetPrivateData(CreateDiskDeviceData(r));
}

}  // namespace

TEST(PartitionDevice, ReadsAreRelativeClampedAndZeroFilledAtTheEnd) {
    for (std::uint32_t size : {512u, 4096u}) {
        SCOPED_TRACE(size);
        CMemoryStorageDevice disk(size, 1000);
        disk.FillPattern();
        AttachDiskRecord(disk);
        Owned<CPartitionDevice> part(CreatePartitionDevice(&disk, 200, 100));
        CPartitionVirtualVolumeDevice virt(&disk, 200, 100);
        for (CWindowDevice* w : {static_cast<CWindowDevice*>(part.get()), static_cast<CWindowDevice*>(&virt)}) {
            ASSERT_EQ(w->Open(nullptr), 1);
            EXPECT_EQ(w->GetSectorSize(), size);
            EXPECT_EQ(w->GetTotalSectors(), 100);
            EXPECT_EQ(w->GetStartSector(), 200);
            std::vector<std::uint8_t> buf(10 * size, 0xAA);
            ASSERT_EQ(w->ReadSector(buf.data(), 0, 2), 1);
            EXPECT_EQ(PatternWord(buf.data()), 200u);
            EXPECT_EQ(PatternWord(buf.data() + size), 201u);
            // 10 sectors at 95: 5 from the disk, 5 zeros.
            const std::int64_t before = disk.ReadCalls();
            ASSERT_EQ(w->ReadSector(buf.data(), 95, 10), 1);
            EXPECT_EQ(disk.ReadCalls(), before + 1);
            EXPECT_EQ(PatternWord(buf.data() + 4 * size), 299u);
            EXPECT_TRUE(AllZero(buf.data() + 5 * size, 5 * size));
        }
        EXPECT_EQ(part->GetType(), STORAGE_DEVICE_PARTITION);
        EXPECT_EQ(virt.GetType(), STORAGE_DEVICE_VOLUME);
    }
}

TEST(PartitionDevice, RefusedRequestsTouchNothing) {
    CMemoryStorageDevice disk(512, 1000);
    AttachDiskRecord(disk);
    Owned<CPartitionDevice> part(CreatePartitionDevice(&disk, 200, 100));
    std::vector<std::uint8_t> buf(101 * 512, 0xAA);
    struct Case {
        void* buffer;
        std::int64_t first, count;
    } cases[] = {
        {buf.data(), 0, 101}, {buf.data(), 50, 101}, {buf.data(), 100, 1},       {buf.data(), -1, 1},
        {buf.data(), 0, 0},   {nullptr, 0, 1},       {buf.data(), INT64_MAX, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(part->ReadSector(c.buffer, c.first, c.count), 0);
        EXPECT_TRUE(IsStorageError(part->GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));
    }
    EXPECT_TRUE(AllByte(buf.data(), buf.size(), 0xAA));
    EXPECT_EQ(disk.ReadCalls(), 0);

    EXPECT_EQ(part->IsValidRange(0, 100, 0, 100), 1);
    EXPECT_EQ(part->IsValidRange(100, 100, 0, 100), 0);
    EXPECT_TRUE(IsStorageError(part->GetLastError(), STORAGE_ERROR_BAD_ARGUMENT));
    EXPECT_EQ(part->IOCtl(1, nullptr), 0);
    EXPECT_TRUE(IsStorageError(part->GetLastError(), STORAGE_ERROR_IOCTL));
    EXPECT_EQ(part->Close(), 1);

    Owned<CPartitionDevice> orphan(CreatePartitionDevice(nullptr, 0, 10));
    EXPECT_EQ(orphan->Open(nullptr), 0);
    EXPECT_TRUE(IsStorageError(orphan->GetLastError(), STORAGE_ERROR_NO_DATA));
    EXPECT_EQ(orphan->ReadSector(buf.data(), 0, 1), 0);
    EXPECT_TRUE(IsStorageError(orphan->GetLastError(), STORAGE_ERROR_NO_DATA));
}

TEST(PartitionDevice, ParentFailuresPassThrough) {
    CMemoryStorageDevice disk(512, 1000);
    disk.FillPattern();
    disk.FailSector(250);
    AttachDiskRecord(disk);
    Owned<CPartitionDevice> part(CreatePartitionDevice(&disk, 200, 100));
    std::vector<std::uint8_t> buf(4 * 512);
    EXPECT_EQ(part->ReadSector(buf.data(), 48, 4), 0);
    // The parent's code of that very read; the parent's own last error is
    // left alone (another thread may be reading the parent).
    EXPECT_EQ(part->GetLastError(), disk.ReadSectorResult(buf.data(), 248, 4));
    EXPECT_TRUE(IsStorageError(part->GetLastError(), STORAGE_ERROR_IO));
    EXPECT_EQ(disk.GetLastError(), ENGINE_OK);

    // Open needs the parent's disk record.
    CMemoryStorageDevice bare(512, 10);
    Owned<CPartitionDevice> onBare(CreatePartitionDevice(&bare, 0, 10));
    EXPECT_EQ(onBare->Open(nullptr), 0);
    EXPECT_TRUE(IsStorageError(onBare->GetLastError(), STORAGE_ERROR_NO_DATA));
}

TEST(PartitionDevice, RecordsSetTheGeometry) {
    CMemoryStorageDevice disk(512, 1000);
    Owned<CPartitionDevice> part(CreatePartitionDevice(&disk, 0, 100));
    auto* p = new CCollectedPartitionDeviceInfoStruct{};
    p->sectorSize = 4096;
    p->sectorCount = 50;
    part->SetPrivateData(CreatePartitionDeviceData(p));
    EXPECT_EQ(part->GetLastError(), 0u);
    EXPECT_EQ(part->GetSectorSize(), 4096u);
    EXPECT_EQ(part->GetTotalSectors(), 50);
    part->SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct{}));
    EXPECT_TRUE(IsStorageError(part->GetLastError(), STORAGE_ERROR_NO_DATA));
    EXPECT_EQ(part->GetTotalSectors(), 50);

    // The virtual volume keeps the larger sector size.
    CPartitionVirtualVolumeDevice virt(&disk, 0, 100);
    auto* v = new CCollectedVolumeDeviceInfoStruct{};
    v->sectorSize = 256;  // smaller (and unusable): ignored
    v->totalSectors = 80;
    virt.SetPrivateData(CreateVolumeDeviceData(v));
    EXPECT_EQ(virt.GetSectorSize(), 512u);
    EXPECT_EQ(virt.GetTotalSectors(), 80);
    CPartitionVirtualVolumeDevice noParent(nullptr, 0, 1);
    EXPECT_EQ(noParent.GetSectorSize(), 512u);
}

TEST(PartitionDevice, VirtualVolumeFromAPartitionRecord) {
    CMemoryStorageDevice disk(4096, 1000);
    disk.FillPattern();
    Owned<CPartitionDevice> part(CreatePartitionDevice(&disk, 0, 0));
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(nullptr), nullptr);
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(part.get()), nullptr);  // no record

    auto* rec = new CCollectedPartitionDeviceInfoStruct{};
    rec->startSector = 300;
    rec->sectorCount = 20;
    rec->sectorSize = 4096;
    part->SetPrivateData(CreatePartitionDeviceData(rec));
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(part.get()), nullptr);  // no parent in it
    rec->parent = &disk;
    rec->kind = 1;
    EXPECT_EQ(CreatePartitionVirtualVolumeDevice(part.get()), nullptr);  // wrong kind
    rec->kind = 0;
    Owned<CPartitionVirtualVolumeDevice> virt(CreatePartitionVirtualVolumeDevice(part.get()));
    ASSERT_NE(virt.get(), nullptr);
    EXPECT_EQ(virt->GetParent(), &disk);
    EXPECT_EQ(virt->GetStartSector(), 300);
    EXPECT_EQ(virt->GetTotalSectors(), 20);
    EXPECT_EQ(virt->GetSectorSize(), 4096u);
    EXPECT_EQ(virt->GetPrivateData(), nullptr);
    std::vector<std::uint8_t> buf(4096);
    ASSERT_EQ(virt->ReadSector(buf.data(), 19, 1), 1);
    EXPECT_EQ(PatternWord(buf.data()), 319u);
}
