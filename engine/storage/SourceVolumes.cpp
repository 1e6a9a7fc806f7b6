#include "storage/DeviceEnum.h"
#include "storage/SourceVolumes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "storage/DeviceData.h"
#include "storage/DiskDevice.h"
#include "storage/DmgDevice.h"
#include "storage/PartitionDevice.h"

namespace {

std::string CannotOpen(const std::string& path) { return "cannot open " + path + ": " + std::strerror(errno); }

// A window on a disk opens only when the disk carries a disk record (its
// sector size comes from there); nothing else can fail.
const char kNoDiskRecord[] = "the source has no disk record";

// The partition's window on the disk, with the record the volume device is
// made from; null with `error` set when it cannot be made or opened.
std::unique_ptr<CPartitionDevice> OpenPartition(IStorageDevice* disk, const PartitionEntry& e, std::int64_t sectorSize,
                                                std::string& error) {
    std::unique_ptr<CPartitionDevice> part(CreatePartitionDevice(disk, e.startSector, e.sectorCount));
    if (!part) {
        error = "cannot make a partition device";
        return nullptr;
    }
    auto* record = new CCollectedPartitionDeviceInfoStruct{};
    record->sectorSize = sectorSize;
    record->sectorCount = e.sectorCount;
    record->parent = disk;
    record->partitionNumber = e.number;
    record->startSector = e.startSector;
    part->SetPrivateData(CreatePartitionDeviceData(record));
    if (part->Open(nullptr) != 1) {
        error = kNoDiskRecord;
        return nullptr;
    }
    return part;
}

}  // namespace

EngineResult PartitionEntriesOrWholeDisk(IStorageDevice* disk, std::list<PartitionEntry>& entries) {
    std::unique_ptr<IPartitionTableAnalyze> reader(CreatePartitionTableAnalyze());
    const EngineResult result = reader->AnalyzePartitionTable(disk, entries);
    if (entries.empty()) {
        PartitionEntry whole;
        whole.number = -1;
        whole.startSector = 0;
        whole.sectorCount = disk->GetTotalSectors();
        entries.push_back(whole);
    }
    return result;
}

SourceDevice OpenSource(const std::string& path) {
    SourceDevice source;
    std::unique_ptr<IStorageDevice> image(OpenImageFileDevice(path.c_str(), source.error));
    if (!source.error.empty()) return source;
    if (image) {
        if (image->Open(nullptr) != 1) {
            source.error = CannotOpen(path);
            return source;
        }
        source.type = image->GetType();
        source.device = std::move(image);
        return source;
    }
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice(path.c_str()));
    if (!disk) {
        source.error = "cannot use the path " + path;
        return source;
    }
    // An image file has no disk record of its own; the partition-table reader
    // and the partition devices need one.
    auto* record = new CCollectDiskDeviceInfoStruct{};
    record->sectorSize = 512;
    std::snprintf(record->bsdName, sizeof record->bsdName, "%s", "image");
    disk->SetPrivateData(CreateDiskDeviceData(record));
    if (disk->Open(nullptr) != 1) {
        source.error = CannotOpen(path);
        return source;
    }
    source.type = STORAGE_DEVICE_DISK;
    source.device = std::move(disk);
    return source;
}

std::vector<SourceVolume> OpenSourceVolumes(IStorageDevice* disk, const VolumeRecogniser& recognise) {
    std::vector<SourceVolume> volumes;
    if (disk == nullptr) return volumes;
    const std::int64_t sectorSize = disk->GetSectorSize() ? disk->GetSectorSize() : 512;
    std::list<PartitionEntry> entries;
    // A table that cannot be read leaves the whole disk as the one volume.
    PartitionEntriesOrWholeDisk(disk, entries);
    for (const PartitionEntry& e : entries) {
        SourceVolume& v = volumes.emplace_back();
        v.index = e.number;
        v.startSector = e.startSector;
        v.sectorCount = e.sectorCount;
        v.sectorSize = sectorSize;
        std::unique_ptr<CPartitionDevice> part = OpenPartition(disk, e, sectorSize, v.error);
        if (!part) continue;
        // The volume reads the disk directly; the partition device is only
        // asked what it holds.
        std::unique_ptr<CPartitionVirtualVolumeDevice> vol(CreatePartitionVirtualVolumeDevice(part.get()));
        if (!vol) {
            v.error = "cannot make a volume device";
            continue;
        }
        RecogniseVolume(recognise, part.get(), v.fileSystemType, nullptr, 0);
        auto* record = new CCollectedVolumeDeviceInfoStruct{};
        record->fileSystemType = v.fileSystemType;
        record->sectorSize = sectorSize;
        record->totalSectors = e.sectorCount;
        record->parent = disk;
        record->partitionNumber = e.number;
        record->startSector = e.startSector;
        vol->SetPrivateData(CreateVolumeDeviceData(record));
        if (vol->Open(nullptr) != 1) {
            v.error = kNoDiskRecord;
            continue;
        }
        v.device = std::move(vol);
    }
    return volumes;
}
