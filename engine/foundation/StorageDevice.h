#pragma once
// The sector source every scanner, recogniser and file reader reads through.
// Devices are opened read-only: the engine never writes to a device.

#include <cstdint>

#include "foundation/EngineResult.h"

// The storage module's error number of a failed open or read (the others are
// in storage/StorageError.h).
constexpr std::uint32_t STORAGE_ERROR_IO = 1;

// Description record holder attached to a device (disk, partition, volume,
// DMG or QVX record); the sub-interfaces live with the devices.
class IStorageDeviceData {
public:
    virtual ~IStorageDeviceData() = default;
};

// Device types answered by GetType.
enum : int {
    STORAGE_DEVICE_DISK = 0,
    STORAGE_DEVICE_PARTITION = 1,
    STORAGE_DEVICE_VOLUME = 2,
    STORAGE_DEVICE_CACHE = 3,
    STORAGE_DEVICE_QVX = 4,
    STORAGE_DEVICE_DMG = 5,
};

class IStorageDevice {
public:
    virtual ~IStorageDevice() = default;
    // 1 = opened, 0 = failed.
    virtual int Open(char* path) = 0;
    // 1 when something was closed.
    virtual int Close() = 0;
    // 1 when every requested byte is in the buffer, 0 on failure (see
    // GetLastError).
    virtual int ReadSector(void* buffer, std::int64_t firstSector, std::int64_t count) = 0;
    // Reads as ReadSector does and returns that read's own outcome: ENGINE_OK
    // or why it failed, leaving GetLastError alone. A device read by two
    // threads at once (the read-ahead cache's reader and the scanning thread
    // reading outside the cached block) must not share a last-error field: a
    // bad-sector error would be lost or pinned on the other thread's read.
    // The devices that keep a last error override this; the fallback suits a
    // device read by one thread at a time.
    virtual EngineResult ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) {
        if (ReadSector(buffer, firstSector, count) == 1) return ENGINE_OK;
        const EngineResult error = GetLastError();
        return IsEngineFailure(error) ? error : ENGINE_ERROR(ENGINE_MODULE_STORAGE, STORAGE_ERROR_IO);
    }
    virtual std::uint32_t GetSectorSize() = 0;
    virtual std::int64_t GetTotalSectors() = 0;
    virtual int IOCtl(std::uint64_t code, void* data) = 0;
    // The holder stays owned by the device.
    virtual IStorageDeviceData* GetPrivateData() = 0;
    // The device takes ownership of the holder.
    virtual void SetPrivateData(IStorageDeviceData* data) = 0;
    virtual int GetType() = 0;
    virtual EngineResult GetLastError() = 0;
    virtual int IsPermitted() { return 1; }
    virtual void SetApfsDevicePath(char*) {}
    // First sector on the parent disk; only window devices (partitions and
    // partitions seen as volumes) have one.
    virtual std::int64_t GetStartSector() { return 0; }
};
