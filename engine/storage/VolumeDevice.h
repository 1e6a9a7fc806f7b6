#pragma once
// A volume's own device node (/dev/sdb1, /dev/nvme0n1p1, /dev/loop0p1).

#include <cstdint>

#include "storage/DeviceBase.h"
#include "storage/DeviceData.h"

class CMessageCenter;

class CVolumeDevice : public CDescriptorDevice {
public:
    static constexpr std::size_t kPathCapacity = 128;
    static constexpr std::size_t kApfsPathCapacity = 1024;

    // The destructor also unregisters receiver key 1 from the process-wide
    // message centre, which stops the bad-sector notices of a running scan:
    // the device list is only rebuilt (and its volumes destroyed) after the
    // scan has been stopped.
    ~CVolumeDevice() override;

    // As CDiskDevice's: read-only, geometry from the device or the file.
    int Open(char* path) override;
    int ReOpen();
    // Error 5 for a null buffer, a negative first sector, a count below 1 or
    // a first sector at or past the end (no event). A failed read keeps error
    // 1 and pushes event 1 (no payload) to the message centre. The count is
    // not bounded by the end: sectors past it read as zeros.
    EngineResult ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) override;
    int GetType() override { return STORAGE_DEVICE_VOLUME; }
    // Keeps the BSD name of the APFS volume found on this one.
    void SetApfsDevicePath(char* path) override;
    const char* GetApfsDevicePath() const { return m_apfsPath; }

    // The volume record, or null with error 7.
    CCollectedVolumeDeviceInfoStruct* GetVolumeInfo();

private:
    friend CVolumeDevice* CreateVolumeDevice(const char* path);
    explicit CVolumeDevice(const char* path);
    bool ApplyPrivateData(IStorageDeviceData* data) override;

    CMessageCenter* m_messageCenter;
    char m_apfsPath[kApfsPathCapacity] = {};
};

// A new, unopened volume device; null for an empty path or one longer than
// 127 characters. Destroy it with delete.
CVolumeDevice* CreateVolumeDevice(const char* path);
