#pragma once
// Description records of disks, partitions, volumes and images, and the
// information holders that attach them to a device.

#include <cstdint>

#include "foundation/StorageDevice.h"

// Bus the disk hangs on.
enum : std::uint32_t {
    DISK_BUS_UNKNOWN = 0,
    DISK_BUS_ATA = 1,
    DISK_BUS_SATA = 2,
    DISK_BUS_SCSI = 3,
    DISK_BUS_USB = 4,
    DISK_BUS_VIRTUAL = 5,
};

// Partition scheme of a disk.
enum : std::uint32_t {
    PARTITION_SCHEME_NONE = 0,
    PARTITION_SCHEME_MBR = 1,
    PARTITION_SCHEME_GPT = 2,
    PARTITION_SCHEME_APM = 3,
};

// Device numbers in these records are the value stat() reports as st_dev for
// files on the volume, i.e. makedev(major, minor); comparing them is how the
// front end refuses to recover onto the scanned device.

// A whole disk. Zero-filled before it is filled.
struct CCollectDiskDeviceInfoStruct {
    std::uint32_t kind;  // always 0
    std::uint32_t reserved;
    std::uint32_t busType;          // DISK_BUS_*
    std::uint32_t partitionScheme;  // PARTITION_SCHEME_*
    std::uint32_t writable;
    char mediaName[128];
    char bsdName[128];  // e.g. "sdb", "nvme0n1", "loop0"
    std::int64_t sectorSize;
    std::int64_t totalSectors;
    std::int64_t cylinders;        // totalSectors / 16065
    std::int64_t heads;            // 255
    std::int64_t sectorsPerTrack;  // 63
    std::int32_t deviceNumber;     // makedev(major, minor)
};

// A partition-table entry of a disk.
struct CCollectedPartitionDeviceInfoStruct {
    std::uint32_t kind;  // copied from the disk record (0)
    std::uint32_t reserved1;
    std::uint32_t reserved2;
    std::uint32_t fileSystemType;  // enumFILE_SYSTEM_TYPE
    char label[100];
    std::int64_t sectorSize;
    std::int64_t sectorCount;
    std::int32_t deviceNumber;       // of the disk
    IStorageDevice* parent;          // the disk (not owned)
    std::int32_t partitionNumber;    // -1 for the whole-disk pseudo entry
    std::uint8_t typeGuid[16];       // GPT type GUID, in-memory (mixed-endian) layout
    std::uint8_t partitionGuid[16];  // GPT unique GUID, same layout
    char apmType[32];
    std::int64_t startSector;  // first sector on the disk
};

// A volume, listed by the system or converted from a partition record.
struct CCollectedVolumeDeviceInfoStruct {
    std::uint32_t kind;  // 0
    std::uint32_t reserved1;
    std::uint32_t reserved2;
    std::uint32_t fileSystemType;  // enumFILE_SYSTEM_TYPE
    char label[100];
    char volumeName[1024];  // shown to the user
    char bsdName[128];      // e.g. "sdb1"; empty for a converted partition
    std::int64_t sectorSize;
    std::int64_t totalSectors;
    std::int32_t deviceNumber;     // makedev(major, minor) of the volume
    IStorageDevice* parent;        // the disk (not owned)
    std::int32_t partitionNumber;  // -1 for whole-disk media
    std::uint8_t typeGuid[16];
    std::uint8_t partitionGuid[16];
    char apmType[32];          // also the partition's content text
    std::int64_t startSector;  // 0 when not known
    std::uint32_t mounted;
};

// A DMG image (2,088 bytes, kept whole in saved scan results).
struct CDMGDeviceInfoStruct {
    std::uint64_t sectorSize;  // 512
    std::uint64_t totalSectors;
    std::uint64_t dataOffset;  // file offset of sector 0
    std::uint64_t fileSize;
    char fileName[1024];  // last path component; byte 1023 always 0
    char filePath[1024];
    std::uint8_t zero[8];
};
static_assert(sizeof(CDMGDeviceInfoStruct) == 2088);

// A QVX image's description record (1,192 bytes, as stored in the image).
struct CQVXDeviceInfoStruct {
    std::uint64_t sectorSize;
    std::uint64_t totalSectors;
    std::uint64_t dataOffset;
    std::uint64_t fileSize;
    char name[128];  // byte 127 always 0
    char path[1024];
    std::uint64_t createTime;  // seconds since 1970
};
static_assert(sizeof(CQVXDeviceInfoStruct) == 1192);

// Information holders. Each owns its record and deletes it when destroyed;
// the setter replaces the pointer WITHOUT deleting the previous record (the
// caller keeps that one).
class IDiskDeviceData : public IStorageDeviceData {
public:
    virtual CCollectDiskDeviceInfoStruct* GetDiskInfo() = 0;
    virtual void SetDiskInfo(CCollectDiskDeviceInfoStruct* info) = 0;
};

class IPartitionDeviceData : public IStorageDeviceData {
public:
    virtual CCollectedPartitionDeviceInfoStruct* GetPartitionInfo() = 0;
    virtual void SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) = 0;
};

class IVolumeDeviceData : public IStorageDeviceData {
public:
    virtual CCollectedVolumeDeviceInfoStruct* GetVolumeInfo() = 0;
    virtual void SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) = 0;
};

class IDmgDeviceData : public IStorageDeviceData {
public:
    virtual CDMGDeviceInfoStruct* GetDMGInfo() = 0;
    virtual void SetDMGInfo(CDMGDeviceInfoStruct* info) = 0;
};

class IQVXDeviceData : public IStorageDeviceData {
public:
    virtual CQVXDeviceInfoStruct* GetQVXInfo() = 0;
    virtual void SetQVXInfo(CQVXDeviceInfoStruct* info) = 0;
};

// Factories: the new holder owns `info` (allocated with new; may be null).
IDiskDeviceData* CreateDiskDeviceData(CCollectDiskDeviceInfoStruct* info);
IPartitionDeviceData* CreatePartitionDeviceData(CCollectedPartitionDeviceInfoStruct* info);
IVolumeDeviceData* CreateVolumeDeviceData(CCollectedVolumeDeviceInfoStruct* info);
IDmgDeviceData* CreateDMGDeviceData(CDMGDeviceInfoStruct* info);
IQVXDeviceData* CreateQVXDeviceData(CQVXDeviceInfoStruct* info);

// The record of a device's holder, or null when the device has no holder, a
// holder of another kind, or a holder without a record.
CCollectDiskDeviceInfoStruct* DiskInfoOf(IStorageDevice* device);
CCollectedPartitionDeviceInfoStruct* PartitionInfoOf(IStorageDevice* device);
CCollectedVolumeDeviceInfoStruct* VolumeInfoOf(IStorageDevice* device);
