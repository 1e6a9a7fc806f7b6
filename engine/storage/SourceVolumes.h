#pragma once
// A scan source opened by its path, and the volumes on it: what the scan
// driver and the front end both do before they scan.
//
// A DMG or QVX image (known by its content) is a device of its own with no
// volumes; anything else (a block device or a plain image file) is opened
// as a disk, whose volumes come from its partition table, or the whole disk
// is one volume when it has no table we read. Which file system a volume
// holds is asked of a recogniser the caller passes: the recognisers live
// with the file systems, above this library.

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "foundation/VolumeAnalyze.h"
#include "foundation/EngineResult.h"
#include "foundation/StorageDevice.h"
#include "foundation/Types.h"
#include "storage/PartitionTable.h"

struct SourceDevice {
    std::unique_ptr<IStorageDevice> device;  // open; null after an error
    int type = 0;                            // STORAGE_DEVICE_DISK, _DMG or _QVX
    std::string error;                       // in words, naming the path; empty when opened
};

// Opens `path` for reading (never for writing): a DMG or QVX image as its own
// device, anything else as a disk.
SourceDevice OpenSource(const std::string& path);

struct SourceVolume {
    std::int32_t index = -1;       // GPT index, MBR 1-4 / 5.., APM map index; -1: the whole disk
    std::int64_t startSector = 0;  // on the disk
    std::int64_t sectorCount = 0;
    std::int64_t sectorSize = 512;  // bytes
    std::uint32_t fileSystemType = FILE_SYSTEM_UNKNOWN;
    std::unique_ptr<IStorageDevice> device;  // the open volume; null when it could not be opened
    std::string error;                       // why not, in words; empty when opened
};

// The volumes of a disk opened by OpenSource, in partition-table order, each
// with the file-system type `recognise` finds on its partition. A partition whose device
// cannot be made or opened stays in the list with FILE_SYSTEM_UNKNOWN, no
// device and its error; the recogniser is not asked about it. The volume
// devices read through `disk`, which must outlive them.
std::vector<SourceVolume> OpenSourceVolumes(IStorageDevice* disk, const VolumeRecogniser& recognise);

// Fills `entries` from the table of `disk` (which carries a disk record), or
// with one whole-disk entry (number -1) when no entry was read; returns the
// table reader's result.
EngineResult PartitionEntriesOrWholeDisk(IStorageDevice* disk, std::list<PartitionEntry>& entries);
