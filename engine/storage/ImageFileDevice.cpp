#include "storage/ImageFileDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "foundation/Log.h"

int CImageFileDevice::Open(char*) {
    const int err = OpenDescriptor(nullptr);
    if (err != 0) {
        if (err != ENOENT) CatchExeception::WriteLog("open failed:%d,%s\n", err, std::strerror(err));
        errno = err;
        return 0;
    }
    m_sectorSize = 512;
    return 1;
}

EngineResult CImageFileDevice::ReadSectorResult(void* buffer, std::int64_t firstSector, std::int64_t count) {
    if (buffer == nullptr || firstSector < 0 || count <= 0 ||
        count > std::numeric_limits<std::int64_t>::max() / GetSectorSize())
        return STORAGE_ERROR(STORAGE_ERROR_BAD_ARGUMENT);
    std::int64_t inImage = count;
    if (m_totalSectors > 0) inImage = firstSector >= m_totalSectors ? 0 : std::min(count, m_totalSectors - firstSector);
    const std::int64_t size = GetSectorSize();
    std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
    if (inImage < count) std::memset(out + inImage * size, 0, static_cast<std::size_t>((count - inImage) * size));
    if (inImage == 0) return STORAGE_ERROR(STORAGE_ERROR_IO);
    return ReadSectors(out, firstSector, inImage);
}

bool CImageFileDevice::ApplyPrivateData(IStorageDeviceData* data) {
    std::uint64_t sectorSize = 0, totalSectors = 0, dataOffset = 0;
    if (data == nullptr || !GeometryFromHolder(data, sectorSize, totalSectors, dataOffset)) return false;
    const std::int64_t low = static_cast<std::int64_t>(static_cast<std::uint32_t>(sectorSize));
    if (!IsUsableSectorSize(low) ||
        totalSectors > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        dataOffset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return false;
    m_sectorSize = static_cast<std::uint32_t>(low);
    m_totalSectors = static_cast<std::int64_t>(totalSectors);
    m_dataOffset = static_cast<std::int64_t>(dataOffset);
    return true;
}

void CopyFixedText(char* field, std::size_t size, const char* text) {
    if (size == 0) return;
    std::memset(field, 0, size);
    if (text != nullptr) std::strncpy(field, text, size - 1);
}
