#include "storage/PartitionDevice.h"

#include <climits>
#include <cstring>
#include <new>

CWindowDevice::CWindowDevice(IStorageDevice* parent, std::int64_t startSector, std::int64_t sectorCount)
    : m_parent(parent), m_startSector(startSector) {
    m_totalSectors = sectorCount;
}

int CWindowDevice::Close() {
    m_lastError = 0;
    return 1;
}

EngineResult CWindowDevice::ReadSectorResult(void* buffer, std::int64_t first, std::int64_t count) {
    if (m_parent == nullptr) return STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
    if (buffer == nullptr || first < 0 || first >= m_totalSectors || count <= 0 || count > m_totalSectors ||
        m_startSector < 0 || first > INT64_MAX - m_startSector)
        return STORAGE_ERROR(STORAGE_ERROR_BAD_ARGUMENT);
    const std::int64_t n = count <= m_totalSectors - first ? count : m_totalSectors - first;
    // The parent's outcome of this very read: its last error may already be
    // another thread's.
    const EngineResult result = m_parent->ReadSectorResult(buffer, first + m_startSector, n);
    if (IsEngineFailure(result)) return result;
    // The sectors past the window's end are zeros, never the caller's stale
    // bytes: a searcher would take them for data of this partition. The
    // parent's sector size is the unit its read filled.
    if (n < count) {
        const std::size_t unit = m_parent->GetSectorSize();
        std::memset(static_cast<unsigned char*>(buffer) + static_cast<std::size_t>(n) * unit, 0,
                    static_cast<std::size_t>(count - n) * unit);
    }
    return ENGINE_OK;
}

int CWindowDevice::IsValidRange(std::int64_t first, std::int64_t end, std::int64_t, std::int64_t total) {
    m_lastError = 0;
    if (first >= 0 && first < total && end <= total) return 1;
    m_lastError = STORAGE_ERROR(STORAGE_ERROR_BAD_ARGUMENT);
    return 0;
}

// ---------------------------------------------------------------------------

CPartitionDevice* CreatePartitionDevice(IStorageDevice* parent, std::int64_t startSector, std::int64_t sectorCount) {
    return new (std::nothrow) CPartitionDevice(parent, startSector, sectorCount);
}

namespace {

// Open of both window kinds: the sector size of the parent's disk record.
bool TakeParentDiskSectorSize(IStorageDevice* parent, std::uint32_t& sectorSize) {
    CCollectDiskDeviceInfoStruct* disk = DiskInfoOf(parent);
    if (disk == nullptr) return false;
    const std::int64_t size = static_cast<std::uint32_t>(disk->sectorSize);
    if (IsUsableSectorSize(size)) sectorSize = static_cast<std::uint32_t>(size);
    return true;
}

}  // namespace

int CPartitionDevice::Open(char*) {
    m_lastError = 0;
    if (!TakeParentDiskSectorSize(m_parent, m_sectorSize)) {
        m_lastError = STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
        return 0;
    }
    return 1;
}

bool CPartitionDevice::ApplyPrivateData(IStorageDeviceData* data) {
    auto* holder = dynamic_cast<IPartitionDeviceData*>(data);
    CCollectedPartitionDeviceInfoStruct* info = holder ? holder->GetPartitionInfo() : nullptr;
    if (info == nullptr) return false;
    TakeGeometry(info->sectorSize, info->sectorCount);
    return true;
}

// ---------------------------------------------------------------------------

CPartitionVirtualVolumeDevice::CPartitionVirtualVolumeDevice(IStorageDevice* parent, std::int64_t startSector,
                                                             std::int64_t sectorCount)
    : CWindowDevice(parent, startSector, sectorCount) {
    if (parent != nullptr && IsUsableSectorSize(parent->GetSectorSize())) m_sectorSize = parent->GetSectorSize();
}

int CPartitionVirtualVolumeDevice::Open(char*) {
    m_lastError = 0;
    if (!TakeParentDiskSectorSize(m_parent, m_sectorSize)) {
        m_lastError = STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
        return 0;
    }
    return 1;
}

bool CPartitionVirtualVolumeDevice::ApplyPrivateData(IStorageDeviceData* data) {
    auto* holder = dynamic_cast<IVolumeDeviceData*>(data);
    CCollectedVolumeDeviceInfoStruct* info = holder ? holder->GetVolumeInfo() : nullptr;
    if (info == nullptr) return false;
    const std::int64_t size = static_cast<std::uint32_t>(info->sectorSize);
    TakeGeometry(size > m_sectorSize ? size : m_sectorSize, info->totalSectors);
    return true;
}

CPartitionVirtualVolumeDevice* CreatePartitionVirtualVolumeDevice(IStorageDevice* partition) {
    CCollectedPartitionDeviceInfoStruct* info = PartitionInfoOf(partition);
    if (info == nullptr || info->kind != 0 || info->parent == nullptr) return nullptr;
    return new (std::nothrow) CPartitionVirtualVolumeDevice(info->parent, info->startSector, info->sectorCount);
}
