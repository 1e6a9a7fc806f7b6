#include "storage/DiskDevice.h"

#include <new>

CDiskDevice* CreateDiskDevice(const char* path) {
    if (!CDescriptorDevice::PathFits(path, CDiskDevice::kPathCapacity)) return nullptr;
    return new (std::nothrow) CDiskDevice(path);
}

int CDiskDevice::Open(char* path) { return OpenWithGeometry(path); }

int CDiskDevice::ReOpen() { return ReOpenWithGeometry(); }

EngineResult CDiskDevice::ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) {
    return ReadSectors(buffer, firstSector, count);
}

bool CDiskDevice::ApplyPrivateData(IStorageDeviceData* data) {
    auto* holder = dynamic_cast<IDiskDeviceData*>(data);
    CCollectDiskDeviceInfoStruct* info = holder ? holder->GetDiskInfo() : nullptr;
    if (info == nullptr) return false;
    TakeGeometry(info->sectorSize, info->totalSectors);
    return true;
}

CCollectDiskDeviceInfoStruct* CDiskDevice::GetDiskInfo() {
    auto* holder = dynamic_cast<IDiskDeviceData*>(m_privateData);
    CCollectDiskDeviceInfoStruct* info = holder ? holder->GetDiskInfo() : nullptr;
    if (info == nullptr) m_lastError = STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
    return info;
}

void CDiskDevice::SetVolumes(const std::vector<CCollectedVolumeDeviceInfoStruct>& volumes) { m_volumes = volumes; }

std::uint32_t CDiskDevice::GetVolumes(std::vector<CCollectedVolumeDeviceInfoStruct>& volumes) {
    volumes = m_volumes;
    return static_cast<std::uint32_t>(volumes.size());
}
