#include "storage/VolumeDevice.h"

#include <cstring>
#include <new>

#include "foundation/MessageCenter.h"

CVolumeDevice* CreateVolumeDevice(const char* path) {
    if (!CDescriptorDevice::PathFits(path, CVolumeDevice::kPathCapacity)) return nullptr;
    return new (std::nothrow) CVolumeDevice(path);
}

CVolumeDevice::CVolumeDevice(const char* path)
    : CDescriptorDevice(path, kPathCapacity), m_messageCenter(CMessageCenter::Instance()) {}

CVolumeDevice::~CVolumeDevice() { m_messageCenter->UnregisterNotifyCenter(1); }

int CVolumeDevice::Open(char* path) { return OpenWithGeometry(path); }

int CVolumeDevice::ReOpen() { return ReOpenWithGeometry(); }

EngineResult CVolumeDevice::ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) {
    if (buffer != nullptr && firstSector >= m_totalSectors) return STORAGE_ERROR(STORAGE_ERROR_BAD_ARGUMENT);
    const EngineResult result = ReadSectors(buffer, firstSector, count);
    // The notification follows this read's own outcome, whichever thread read.
    if (IsStorageError(result, STORAGE_ERROR_IO)) m_messageCenter->PushEvent(EVENT_TYPE_READ_FAILED, 0, nullptr);
    return result;
}

void CVolumeDevice::SetApfsDevicePath(char* path) {
    if (path == nullptr) return;
    // A name too long for the field is not kept cut: it would name another volume.
    if (std::strlen(path) >= sizeof(m_apfsPath)) return;
    std::strcpy(m_apfsPath, path);
}

bool CVolumeDevice::ApplyPrivateData(IStorageDeviceData* data) {
    auto* holder = dynamic_cast<IVolumeDeviceData*>(data);
    CCollectedVolumeDeviceInfoStruct* info = holder ? holder->GetVolumeInfo() : nullptr;
    if (info == nullptr) return false;
    TakeGeometry(info->sectorSize, info->totalSectors);
    return true;
}

CCollectedVolumeDeviceInfoStruct* CVolumeDevice::GetVolumeInfo() {
    auto* holder = dynamic_cast<IVolumeDeviceData*>(m_privateData);
    CCollectedVolumeDeviceInfoStruct* info = holder ? holder->GetVolumeInfo() : nullptr;
    if (info == nullptr) m_lastError = STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
    return info;
}
