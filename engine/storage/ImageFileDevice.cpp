#include "storage/ImageFileDevice.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

#include "storage/ReadAsync.h"

CImageFileDevice::CImageFileDevice(const char* path) : m_path(path != nullptr ? path : "") {}

CImageFileDevice::~CImageFileDevice()
{
    Close();
    delete m_holder;
}

void CImageFileDevice::Fail(std::uint32_t error, int line)
{
    m_lastError = MakeEngineResult(ENGINE_MODULE_STORAGE, static_cast<std::uint16_t>(line), error);
}

int CImageFileDevice::Open(char*)
{
    m_lastError = ENGINE_OK;
    Close();
    m_lastError = ENGINE_OK;
    int fd;
    do {
        fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        if (err != ENOENT)
            std::printf("open failed:%d\n", err);
        Fail(IMAGE_DEVICE_ERR_IO, __LINE__);
        return 0;
    }
    m_fd = fd;
    m_sectorSize = 512;
    return 1;
}

int CImageFileDevice::Close()
{
    m_lastError = ENGINE_OK;
    if (m_fd < 0)
        return 0;
    ::close(m_fd);
    m_fd = -1;
    return 1;
}

int CImageFileDevice::ReadSector(void* buffer, std::int64_t firstSector, std::int64_t count)
{
    m_lastError = ENGINE_OK;
    if (buffer == nullptr || firstSector < 0 || count <= 0) {
        Fail(IMAGE_DEVICE_ERR_ARGUMENT, __LINE__);
        return 0;
    }
    const std::int64_t sectorSize = m_sectorSize;
    const std::int64_t maxBytes = std::numeric_limits<std::int64_t>::max();
    if (sectorSize == 0 || count > maxBytes / sectorSize || firstSector > (maxBytes - m_dataOffset) / sectorSize ||
        firstSector * sectorSize + m_dataOffset > maxBytes - count * sectorSize) {
        Fail(IMAGE_DEVICE_ERR_ARGUMENT, __LINE__);
        return 0;
    }
    if (m_fd < 0) {
        Fail(IMAGE_DEVICE_ERR_IO, __LINE__);
        return 0;
    }
    // Only the sectors the image holds are read from the file.
    std::int64_t inImage = count;
    if (m_totalSectors > 0)
        inImage = firstSector >= m_totalSectors ? 0 : std::min(count, m_totalSectors - firstSector);
    std::uint8_t* out = static_cast<std::uint8_t*>(buffer);
    if (inImage < count)
        std::memset(out + inImage * sectorSize, 0, static_cast<std::size_t>((count - inImage) * sectorSize));
    if (inImage == 0) {
        Fail(IMAGE_DEVICE_ERR_IO, __LINE__);
        return 0;
    }
    const std::int64_t got =
        QXReadAsyncData(out, m_fd, firstSector * sectorSize + m_dataOffset, inImage * sectorSize);
    if (got <= 0) {
        Fail(IMAGE_DEVICE_ERR_IO, __LINE__);
        return 0;
    }
    return 1;
}

int CImageFileDevice::IOCtl(std::uint64_t, void*)
{
    Fail(IMAGE_DEVICE_ERR_IOCTL, __LINE__);
    return 0;
}

void CImageFileDevice::SetPrivateData(IStorageDeviceData* data)
{
    m_lastError = ENGINE_OK;
    if (data != m_holder)
        delete m_holder;
    m_holder = data;
    std::uint64_t sectorSize = 0, totalSectors = 0, dataOffset = 0;
    if (data == nullptr || !GeometryFromHolder(data, sectorSize, totalSectors, dataOffset)) {
        Fail(IMAGE_DEVICE_ERR_NO_RECORD, __LINE__);
        return;
    }
    // A record read back from a file may be damaged: a sector size that is
    // not a non-zero multiple of 512, or sizes past the i64 range, are not
    // taken (the device keeps what it had).
    const std::uint32_t size32 = static_cast<std::uint32_t>(sectorSize);
    if (size32 == 0 || size32 % 512 != 0 ||
        totalSectors > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        dataOffset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        Fail(IMAGE_DEVICE_ERR_NO_RECORD, __LINE__);
        return;
    }
    m_sectorSize = size32;
    m_totalSectors = static_cast<std::int64_t>(totalSectors);
    m_dataOffset = static_cast<std::int64_t>(dataOffset);
}

void CopyFixedText(char* field, std::size_t size, const char* text)
{
    if (size == 0)
        return;
    std::memset(field, 0, size);
    if (text != nullptr)
        std::strncpy(field, text, size - 1);
}
