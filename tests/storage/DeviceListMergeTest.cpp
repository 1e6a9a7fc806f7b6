#include "storage/DeviceListMerge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "foundation/Types.h"
#include "storage/MemoryDevice.h"
#include "storage/PartitionDevice.h"

namespace {

uint32_t ErrorOf(EngineResult r) {
    EXPECT_TRUE(IsEngineFailure(r));
    EXPECT_EQ(EngineResultModule(r), ENGINE_MODULE_ENUM_DEVICE);
    return EngineResultError(r);
}

// A disk with a record, and partitions and volumes made on it the way the
// enumerator makes them.
class DeviceSet {
public:
    explicit DeviceSet(uint32_t sectorSize = 512, int64_t total = 4000000) : disk(sectorSize, 8) {
        auto* rec = new CCollectDiskDeviceInfoStruct{};
        rec->sectorSize = sectorSize;
        rec->totalSectors = total;
        std::strcpy(rec->bsdName, "loop9");
        disk.SetPrivateData(CreateDiskDeviceData(rec));
    }
    ~DeviceSet() {
        for (IStorageDevice* d : owned) delete d;
    }

    IStorageDevice* Partition(int number, int64_t start, int64_t count, IStorageDevice* parent = nullptr) {
        CPartitionDevice* p = CreatePartitionDevice(&disk, start, count);
        owned.push_back(p);
        EXPECT_EQ(p->Open(nullptr), 1);
        auto* rec = new CCollectedPartitionDeviceInfoStruct{};
        rec->sectorSize = disk.GetSectorSize();
        rec->sectorCount = count;
        rec->startSector = start;
        rec->partitionNumber = number;
        rec->fileSystemType = FILE_SYSTEM_UNKNOWN;
        rec->deviceNumber = 0x700;
        std::strcpy(rec->label, "LBL");
        std::strcpy(rec->apmType, "Apple_HFS");
        rec->typeGuid[0] = 0xAB;
        rec->reserved2 = 77;
        rec->parent = parent ? parent : &disk;
        p->SetPrivateData(CreatePartitionDeviceData(rec));
        return p;
    }

    CMemoryStorageDevice disk;
    std::vector<IStorageDevice*> owned;
};

// A volume double whose size is what its record says (CMemoryStorageDevice
// would otherwise need the bytes).
class SizedVolume : public CMemoryStorageDevice {
public:
    SizedVolume(uint32_t sectorSize, int64_t total, int number, int64_t start)
        : CMemoryStorageDevice(sectorSize, 0, STORAGE_DEVICE_VOLUME), m_total(total) {
        auto* rec = new CCollectedVolumeDeviceInfoStruct{};
        rec->sectorSize = sectorSize;
        rec->totalSectors = total;
        rec->startSector = start;
        rec->partitionNumber = number;
        SetPrivateData(CreateVolumeDeviceData(rec));
    }
    int64_t GetTotalSectors() override { return m_total; }

private:
    int64_t m_total;
};

TEST(DeviceListMerge, SameDeviceTolerance) {
    DeviceSet set;
    IStorageDevice* part = set.Partition(1, 2048, 1000000);
    struct Case {
        int64_t volumeTotal;
        uint32_t sectorSize;
        int64_t volumeStart;
        int same;
    } cases[] = {
        {1000000, 512, 0, 1},    {1020000, 512, 0, 1},  // 10,240,000 bytes apart
        {980000, 512, 0, 1},                            // the other way round
        {1020480, 512, 0, 1},                           // 10,485,760 bytes: the last size still taken
        {1020481, 512, 0, 0},                           // 10,486,272 bytes apart
        {1000000, 4096, 0, 0},                          // another sector size is never the same
        {1000000, 512, 2048, 1},                        // same start
        {1000000, 512, 4096, 0},                        // known, different start: another partition
        {0, 512, 0, 0},
    };
    for (const auto& c : cases) {
        SizedVolume vol(c.sectorSize, c.volumeTotal, 1, c.volumeStart);
        int same = -1;
        EXPECT_EQ(CMergeVolumeAndPartition::IsSameDevice(part, &vol, same), ENGINE_OK);
        EXPECT_EQ(same, c.same) << c.volumeTotal << " " << c.sectorSize << " " << c.volumeStart;
    }
    int same = -1;
    EXPECT_EQ(CMergeVolumeAndPartition::IsSameDevice(part, nullptr, same), ENGINE_OK);
    EXPECT_EQ(same, 0);
}

TEST(DeviceListMerge, VolumesInArrayOrderThenConvertedPartitions) {
    DeviceSet set;
    IStorageDevice* p1 = set.Partition(1, 2048, 100000);
    IStorageDevice* p2 = set.Partition(2, 102048, 200000);
    IStorageDevice* p3 = set.Partition(3, 302048, 300000);
    SizedVolume v2(512, 200000, 2, 102048), v1(512, 100000, 1, 0);
    IStorageDevice* volumes[] = {&v2, &v1};
    IStorageDevice* partitions[] = {p1, p2, p3};
    std::list<IStorageDevice*> out;
    ASSERT_EQ(CMergeVolumeAndPartition::MergeAsVolume(out, volumes, 2, partitions, 3), ENGINE_OK);
    ASSERT_EQ(out.size(), 3u);
    auto it = out.begin();
    EXPECT_EQ(*it++, &v2);
    EXPECT_EQ(*it++, &v1);
    std::unique_ptr<IStorageDevice> converted(*it);
    EXPECT_EQ(converted->GetType(), STORAGE_DEVICE_VOLUME);
    EXPECT_EQ(converted->GetTotalSectors(), 300000);
    EXPECT_EQ(converted->GetStartSector(), 302048);
    const CCollectedVolumeDeviceInfoStruct* rec = VolumeInfoOf(converted.get());
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->partitionNumber, 3);
    EXPECT_EQ(rec->startSector, 302048);
    EXPECT_EQ(rec->totalSectors, 300000);
    EXPECT_EQ(rec->sectorSize, 512);
    EXPECT_EQ(rec->parent, &set.disk);
    EXPECT_EQ(rec->deviceNumber, 0x700);
    EXPECT_STREQ(rec->label, "LBL");
    EXPECT_STREQ(rec->apmType, "Apple_HFS");
    EXPECT_EQ(rec->typeGuid[0], 0xAB);
    EXPECT_EQ(rec->reserved1, 0u);
    EXPECT_EQ(rec->reserved2, 77u);
    EXPECT_EQ(rec->volumeName[0], 0);
    EXPECT_EQ(rec->bsdName[0], 0);
    EXPECT_EQ(rec->mounted, 0u);
}

TEST(DeviceListMerge, AFailedConversionLeavesTheListAlone) {
    DeviceSet set;
    IStorageDevice* p1 = set.Partition(1, 2048, 100000);
    IStorageDevice* orphan = set.Partition(2, 200000, 100000);
    PartitionInfoOf(orphan)->parent = nullptr;  // cannot become a volume
    IStorageDevice* partitions[] = {p1, orphan};
    std::list<IStorageDevice*> out{&set.disk};
    EXPECT_EQ(ErrorOf(CMergeVolumeAndPartition::MergeAsVolume(out, nullptr, 0, partitions, 2)),
              ENUM_DEVICE_ERR_NOT_READY);
    EXPECT_EQ(out, (std::list<IStorageDevice*>{&set.disk}));

    // A device that is no partition, or a partition without its record.
    IStorageDevice* result = nullptr;
    EXPECT_EQ(ErrorOf(CVolumePartitionConverter::ConvertPartition2Volume(&result, &set.disk)), ENUM_DEVICE_ERR_UNKNOWN);
    CMemoryStorageDevice bare(512, 8, STORAGE_DEVICE_PARTITION);
    EXPECT_EQ(ErrorOf(CVolumePartitionConverter::ConvertPartition2Volume(&result, &bare)), ENUM_DEVICE_ERR_NULL);
    EXPECT_EQ(result, nullptr);

    // The target record must be fresh.
    CCollectedVolumeDeviceInfoStruct used{};
    used.kind = 1;
    EXPECT_EQ(ErrorOf(CVolumePartitionConverter::PartitionInfo2VolumeInfo(&used, PartitionInfoOf(p1))),
              ENUM_DEVICE_ERR_RECORD_IN_USE);
}

TEST(DeviceListMerge, SortOrder) {
    SizedVolume a(512, 10, 3, 0), b(512, 10, -1, 0), c(512, 10, 2, 0), d(512, 10, 2, 0);
    std::list<IStorageDevice*> volumes{&a, &b, &c, &d};
    volumes.sort(CDevListSortAlgorithm());
    EXPECT_EQ(volumes, (std::list<IStorageDevice*>{&b, &c, &d, &a}));  // ties keep their order

    DeviceSet s1, s2;
    std::strcpy(DiskInfoOf(&s1.disk)->bsdName, "sdb");
    std::strcpy(DiskInfoOf(&s2.disk)->bsdName, "loop0");
    std::list<IStorageDevice*> disks{&s1.disk, &s2.disk};
    disks.sort(CDevListSortAlgorithm());
    EXPECT_EQ(disks.front(), &s2.disk);

    IStorageDevice* p5 = s1.Partition(5, 10, 10);
    IStorageDevice* p1 = s1.Partition(1, 30, 10);
    CDevListSortAlgorithm less;
    EXPECT_TRUE(less(p1, p5));
    EXPECT_FALSE(less(p5, p1));
    EXPECT_FALSE(less(p1, &a));  // different types
    EXPECT_FALSE(less(nullptr, p1));
    CMemoryStorageDevice bare(512, 8, STORAGE_DEVICE_PARTITION);  // no record
    EXPECT_FALSE(less(&bare, p5));
    EXPECT_FALSE(less(p5, &bare));
}

}  // namespace
