#pragma once
// Reading a whole disk's partition table: GPT (entry array at LBA 2), the
// Apple partition map, and MBR with its chain of extended boot records.
//
// The reader is our own rather than libblkid's because its rules are the
// product's: GPT partitions of 8 MiB or less are not offered, logical MBR
// partitions are numbered from 5 in chain order, APM entries keep their map
// index. It runs over any IStorageDevice that carries a disk record, so disk
// images are read the same way as disks.

#include <cstdint>
#include <list>

#include "foundation/EngineResult.h"
#include "foundation/StorageDevice.h"

struct PartitionEntry {
    std::int32_t number = 0;  // GPT index (1-based), MBR 1-4 / 5.., APM map index; -1 whole disk
    std::uint32_t reserved = 0;
    std::int64_t startSector = 0;  // first sector on the disk
    std::int64_t sectorCount = 0;
    std::uint8_t typeGuid[16] = {};  // GPT type GUID as stored on disk, else zero
    std::uint8_t partGuid[16] = {};  // GPT unique partition GUID as stored, else zero
    char typeName[32] = {};          // APM type name, else zero
};

// Error numbers of module 0x10 (ENGINE_MODULE_PARTITION_TABLE).
enum : std::uint32_t {
    PARTITION_TABLE_ERR_NOT_DISK = 3,     // not a disk, foreign record, dynamic disk, bad APM sector size
    PARTITION_TABLE_ERR_NULL = 5,         // null device
    PARTITION_TABLE_ERR_BAD_TABLE = 6,    // signature, status byte, APM signature/count/block size, two EBR links
    PARTITION_TABLE_ERR_NO_RECORD = 7,    // no disk record
    PARTITION_TABLE_ERR_SECTOR_SIZE = 8,  // sector size below 512
};

// Damaged disks can describe extended chains of any length; past these
// bounds the chain is treated as ended.
constexpr int kMaxLogicalPartitions = 256;
constexpr int kMaxExtendedBootRecords = 1024;

class IPartitionTableAnalyze {
public:
    virtual ~IPartitionTableAnalyze() = default;
    // Empties `entries`, then fills it from the device's table. An empty list
    // with result 0 means the disk has no table we read.
    virtual EngineResult AnalyzePartitionTable(IStorageDevice* device, std::list<PartitionEntry>& entries) = 0;
};

class CPartitionTableAnalyze : public IPartitionTableAnalyze {
public:
    EngineResult AnalyzePartitionTable(IStorageDevice* device, std::list<PartitionEntry>& entries) override;
};

// The caller deletes the analyser through its virtual destructor.
IPartitionTableAnalyze* CreatePartitionTableAnalyze();
