#pragma once
// A whole disk (or an image file read as one): /dev/sdb, /dev/nvme0n1,
// /dev/loop0, or a plain file.

#include <cstdint>
#include <vector>

#include "storage/DeviceBase.h"
#include "storage/DeviceData.h"

class CDiskDevice : public CDescriptorDevice {
public:
    static constexpr std::size_t kPathCapacity = 128;

    // Clears the error; when `path` is not null it replaces the stored path;
    // opens read-only and asks the device for its sector size and count
    // (block devices) or takes the file's size in 512-byte sectors. These
    // values replace whatever the holder had set. 1 on success; 0 with error
    // 1 on failure ("open failed:%d,%s\n" is logged).
    int Open(char* path) override;
    // Closes, then tries to open the stored path up to 3 times, one second
    // apart; 1 when an attempt succeeded.
    int ReOpen();
    // 1 when every byte is in the buffer; error 5 for a null buffer, a
    // negative first sector or a count below 1 (nothing is touched), error 1
    // when the read failed. A read past the end gives zeros there.
    EngineResult ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) override;
    int GetType() override { return STORAGE_DEVICE_DISK; }

    // The disk record, or null with error 7.
    CCollectDiskDeviceInfoStruct* GetDiskInfo();
    // The records of this disk's volumes (stored by volume enumeration).
    void SetVolumes(const std::vector<CCollectedVolumeDeviceInfoStruct>& volumes);
    std::uint32_t GetVolumes(std::vector<CCollectedVolumeDeviceInfoStruct>& volumes);

private:
    friend CDiskDevice* CreateDiskDevice(const char* path);
    explicit CDiskDevice(const char* path) : CDescriptorDevice(path, kPathCapacity) {}
    bool ApplyPrivateData(IStorageDeviceData* data) override;

    std::vector<CCollectedVolumeDeviceInfoStruct> m_volumes;
};

// A new, unopened disk device for `path`; null when the path is empty or
// longer than 127 characters. Destroy it with delete (virtual destructor).
CDiskDevice* CreateDiskDevice(const char* path);
