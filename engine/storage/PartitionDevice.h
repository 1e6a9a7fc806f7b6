#pragma once
// Windows on a parent disk: a partition-table entry (CPartitionDevice) and a
// partition shown as a volume when it has no volume of its own
// (CPartitionVirtualVolumeDevice). Sector numbers are relative to the start
// of the window; the parent is never owned.

#include <cstdint>

#include "storage/DeviceBase.h"
#include "storage/DeviceData.h"

class CWindowDevice : public CStorageDeviceBase {
public:
    // Clears the error and returns 1: nothing is held open.
    int Close() override;
    // Reads `count` sectors at `first` of the window from the parent. Error 7
    // without a parent; error 5 for a null buffer, a first sector outside the
    // window or a count below 1 or above the window's size. A request running
    // past the end of the window reads what lies inside it and returns zeros
    // for the rest. A failed parent read passes the parent's error on.
    EngineResult ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) override;
    std::int64_t GetStartSector() override { return m_startSector; }
    IStorageDevice* GetParent() const { return m_parent; }
    // 1 when 0 <= first < total and end <= total; else error 5 and 0.
    int IsValidRange(std::int64_t first, std::int64_t end, std::int64_t, std::int64_t total);

protected:
    CWindowDevice(IStorageDevice* parent, std::int64_t startSector, std::int64_t sectorCount);

    IStorageDevice* m_parent;
    std::int64_t m_startSector;
};

class CPartitionDevice : public CWindowDevice {
public:
    // Takes the sector size from the parent's disk record; error 7 (0) when
    // there is no parent, no disk holder or no record. The path is ignored.
    int Open(char* path) override;
    int GetType() override { return STORAGE_DEVICE_PARTITION; }

private:
    friend CPartitionDevice* CreatePartitionDevice(IStorageDevice*, std::int64_t, std::int64_t);
    using CWindowDevice::CWindowDevice;
    // Sector size and count from the partition record.
    bool ApplyPrivateData(IStorageDeviceData* data) override;
};

class CPartitionVirtualVolumeDevice : public CWindowDevice {
public:
    // Sector size: the parent's when there is one, else 512.
    CPartitionVirtualVolumeDevice(IStorageDevice* parent, std::int64_t startSector, std::int64_t sectorCount);
    // As CPartitionDevice's.
    int Open(char* path) override;
    int GetType() override { return STORAGE_DEVICE_VOLUME; }

private:
    // From a volume record: the larger of the two sector sizes, and the
    // record's sector count.
    bool ApplyPrivateData(IStorageDeviceData* data) override;
};

// An unopened window of `sectorCount` sectors at `startSector` of `parent`.
CPartitionDevice* CreatePartitionDevice(IStorageDevice* parent, std::int64_t startSector, std::int64_t sectorCount);
// A partition-as-volume built from a partition device's record (its parent
// disk, start sector and sector count); null when the device has no
// partition record, the record's kind is not 0 or it names no parent. The
// caller attaches a volume record.
CPartitionVirtualVolumeDevice* CreatePartitionVirtualVolumeDevice(IStorageDevice* partition);
