#include "storage/DeviceListMerge.h"

#include <cstring>
#include <memory>

#include "storage/PartitionDevice.h"

namespace {

constexpr std::uint8_t kModule = ENGINE_MODULE_ENUM_DEVICE;

}  // namespace

bool CDevListSortAlgorithm::operator()(IStorageDevice* a, IStorageDevice* b) const {
    if (!a || !b) return false;
    const int type = a->GetType();
    if (type != b->GetType()) return false;
    switch (type) {
    case STORAGE_DEVICE_DISK: {
        const CCollectDiskDeviceInfoStruct* ra = DiskInfoOf(a);
        const CCollectDiskDeviceInfoStruct* rb = DiskInfoOf(b);
        if (!ra || !rb) return false;
        return std::strncmp(ra->bsdName, rb->bsdName, sizeof(ra->bsdName)) < 0;
    }
    case STORAGE_DEVICE_PARTITION: {
        const CCollectedPartitionDeviceInfoStruct* ra = PartitionInfoOf(a);
        const CCollectedPartitionDeviceInfoStruct* rb = PartitionInfoOf(b);
        if (!ra || !rb) return false;
        return ra->partitionNumber < rb->partitionNumber;
    }
    case STORAGE_DEVICE_VOLUME: {
        const CCollectedVolumeDeviceInfoStruct* ra = VolumeInfoOf(a);
        const CCollectedVolumeDeviceInfoStruct* rb = VolumeInfoOf(b);
        if (!ra || !rb) return false;
        return ra->partitionNumber < rb->partitionNumber;
    }
    default:
        return false;
    }
}

EngineResult CMergeVolumeAndPartition::IsSameDevice(IStorageDevice* partition, IStorageDevice* volume, int& same) {
    same = 0;
    if (!partition || !volume) return ENGINE_OK;
    const std::uint32_t sectorSize = partition->GetSectorSize();
    if (sectorSize != volume->GetSectorSize()) return ENGINE_OK;
    const std::int64_t a = partition->GetTotalSectors();
    const std::int64_t b = volume->GetTotalSectors();
    if (a != b) {
        if (sectorSize == 0) return ENGINE_OK;
        const std::uint64_t diff = a > b ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)
                                         : static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
        // diff * sectorSize < tolerance, without overflowing the product.
        if (diff >= static_cast<std::uint64_t>(kSameDeviceToleranceBytes) / sectorSize + 1 ||
            diff * sectorSize >= static_cast<std::uint64_t>(kSameDeviceToleranceBytes))
            return ENGINE_OK;
    }
    // Sizes alone would pair two equal-sized partitions with one volume and
    // hide the other from the user; the system tells every volume's start.
    const CCollectedPartitionDeviceInfoStruct* p = PartitionInfoOf(partition);
    const CCollectedVolumeDeviceInfoStruct* v = VolumeInfoOf(volume);
    if (p && v && v->startSector != 0 && p->startSector != v->startSector) return ENGINE_OK;
    same = 1;
    return ENGINE_OK;
}

EngineResult CMergeVolumeAndPartition::MergeAsVolume(std::list<IStorageDevice*>& out, IStorageDevice** volumes,
                                                     int volumeCount, IStorageDevice** partitions, int partitionCount) {
    if (volumeCount < 0 || partitionCount < 0 || (volumeCount > 0 && !volumes) || (partitionCount > 0 && !partitions))
        return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    std::list<IStorageDevice*> unmatched;
    for (int i = 0; i < partitionCount; ++i) {
        bool matched = false;
        for (int j = 0; j < volumeCount && !matched; ++j) {
            int same = 0;
            IsSameDevice(partitions[i], volumes[j], same);
            matched = same != 0;
        }
        if (!matched) unmatched.push_back(partitions[i]);
    }
    std::list<IStorageDevice*> converted;
    EngineResult r = CVolumePartitionConverter::ConvertPartitions2Volumes(converted, unmatched);
    if (IsEngineFailure(r)) return r;
    for (int j = 0; j < volumeCount; ++j) out.push_back(volumes[j]);
    out.splice(out.end(), converted);
    return r;
}

EngineResult CVolumePartitionConverter::ConvertPartitions2Volumes(std::list<IStorageDevice*>& out,
                                                                  std::list<IStorageDevice*>& partitions) {
    std::list<IStorageDevice*> made;
    for (IStorageDevice* partition : partitions) {
        IStorageDevice* volume = nullptr;
        EngineResult r = ConvertPartition2Volume(&volume, partition);
        if (IsEngineFailure(r)) {
            for (IStorageDevice* d : made) delete d;
            return r;
        }
        made.push_back(volume);
    }
    out.splice(out.end(), made);
    return ENGINE_OK;
}

EngineResult CVolumePartitionConverter::ConvertPartition2Volume(IStorageDevice** out, IStorageDevice* partition) {
    if (!out || !partition) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    if (partition->GetType() != STORAGE_DEVICE_PARTITION) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_UNKNOWN);
    CCollectedPartitionDeviceInfoStruct* partInfo = PartitionInfoOf(partition);
    if (!partInfo) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);

    std::unique_ptr<IStorageDevice> device(CreatePartitionVirtualVolumeDevice(partition));
    if (!device) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
    if (device->Open(nullptr) != 1) {
        EngineResult r = device->GetLastError();
        return IsEngineFailure(r) ? r : ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
    }
    auto record = std::make_unique<CCollectedVolumeDeviceInfoStruct>();
    std::memset(record.get(), 0, sizeof(*record));
    EngineResult r = PartitionInfo2VolumeInfo(record.get(), partInfo);
    if (IsEngineFailure(r)) return r;
    IVolumeDeviceData* holder = CreateVolumeDeviceData(record.get());
    if (!holder) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NOT_READY);
    record.release();  // the holder owns it now
    device->SetPrivateData(holder);
    *out = device.release();
    return ENGINE_OK;
}

EngineResult CVolumePartitionConverter::PartitionInfo2VolumeInfo(CCollectedVolumeDeviceInfoStruct* volume,
                                                                 CCollectedPartitionDeviceInfoStruct* partition) {
    if (!volume || !partition) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_NULL);
    if (volume->kind != 0) return ENGINE_ERROR(kModule, ENUM_DEVICE_ERR_RECORD_IN_USE);
    volume->kind = partition->kind;
    volume->reserved1 = 0;
    volume->reserved2 = partition->reserved2;
    volume->fileSystemType = partition->fileSystemType;
    std::memcpy(volume->label, partition->label, sizeof(volume->label));
    std::memset(volume->volumeName, 0, sizeof(volume->volumeName));
    std::memset(volume->bsdName, 0, sizeof(volume->bsdName));
    volume->sectorSize = partition->sectorSize;
    volume->totalSectors = partition->sectorCount;
    volume->deviceNumber = partition->deviceNumber;
    volume->parent = partition->parent;
    volume->partitionNumber = partition->partitionNumber;
    std::memcpy(volume->typeGuid, partition->typeGuid, sizeof(volume->typeGuid));
    std::memcpy(volume->partitionGuid, partition->partitionGuid, sizeof(volume->partitionGuid));
    std::memcpy(volume->apmType, partition->apmType, sizeof(volume->apmType));
    volume->startSector = partition->startSector;
    volume->mounted = 0;
    return ENGINE_OK;
}
