#pragma once
// Ordering device lists, and merging a disk's volumes with its partitions so
// that every partition without a volume of its own (a deleted, damaged or
// unrecognised file system) can still be picked and scanned.

#include <cstdint>
#include <list>

#include "foundation/EngineResult.h"
#include "foundation/StorageDevice.h"
#include "storage/DeviceData.h"

// Error numbers of module 0x03 (ENGINE_MODULE_ENUM_DEVICE), shared with the
// device enumerator.
enum : std::uint32_t {
    ENUM_DEVICE_ERR_NO_DISK = 1,        // Init found no disk
    ENUM_DEVICE_ERR_NOT_READY = 2,      // not initialised, or an object could not be made
    ENUM_DEVICE_ERR_RECORD_IN_USE = 3,  // the target volume record is not empty
    ENUM_DEVICE_ERR_UNKNOWN = 5,        // unknown disk, or a device of the wrong type
    ENUM_DEVICE_ERR_NULL = 7,           // null disk, missing holder or record
    ENUM_DEVICE_ERR_ARRAY_SMALL = 9,    // the caller's array is too small
};

// Two partitions whose sizes differ by at most this many bytes are taken for
// the same space (file systems often end a little before their partition).
constexpr std::int64_t kSameDeviceToleranceBytes = 0xA00001;

// Less-than for a stable list sort: disks by kernel name, partitions and
// volumes by partition number (whole-disk entries, -1, first). Devices of
// different types, or without the expected record, are never "less".
struct CDevListSortAlgorithm {
    bool operator()(IStorageDevice* a, IStorageDevice* b) const;
};

class CMergeVolumeAndPartition {
public:
    // `out` receives the volumes in array order, then partition-as-volume
    // devices for the partitions that match no volume, in array order. When a
    // conversion fails its error is returned and `out` is not touched. The
    // caller owns the new devices.
    static EngineResult MergeAsVolume(std::list<IStorageDevice*>& out, IStorageDevice** volumes, int volumeCount,
                                      IStorageDevice** partitions, int partitionCount);

    // Always 0; `same` is 1 when the partition and the volume are taken for
    // the same space: equal sector sizes, sizes within the tolerance, and
    // (where the volume's start is known) equal start sectors.
    static EngineResult IsSameDevice(IStorageDevice* partition, IStorageDevice* volume, int& same);
};

class CVolumePartitionConverter {
public:
    // Converts every partition in order; the first failure releases what was
    // made, leaves `out` as it was and returns its error.
    static EngineResult ConvertPartitions2Volumes(std::list<IStorageDevice*>& out,
                                                  std::list<IStorageDevice*>& partitions);
    // A new, opened partition-as-volume device with a volume record made from
    // the partition's record.
    static EngineResult ConvertPartition2Volume(IStorageDevice** out, IStorageDevice* partition);
    // Fills a fresh (zeroed) volume record from a partition record.
    static EngineResult PartitionInfo2VolumeInfo(CCollectedVolumeDeviceInfoStruct* volume,
                                                 CCollectedPartitionDeviceInfoStruct* partition);
};
