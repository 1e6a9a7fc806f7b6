#include "storage/DeviceBase.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "foundation/Log.h"
#include "storage/DeviceAccess.h"
#include "storage/ReadAsync.h"

CStorageDeviceBase::~CStorageDeviceBase() { delete m_privateData; }

int CStorageDeviceBase::IOCtl(std::uint64_t, void*) {
    m_lastError = STORAGE_ERROR(STORAGE_ERROR_IOCTL);
    return 0;
}

int CStorageDeviceBase::ReadSector(void* buffer, std::int64_t firstSector, std::int64_t count) {
    m_lastError = ReadSectorResult(buffer, firstSector, count);
    return IsEngineFailure(m_lastError) ? 0 : 1;
}

void CStorageDeviceBase::SetPrivateData(IStorageDeviceData* data) {
    m_lastError = 0;
    if (data != m_privateData) {
        delete m_privateData;
        m_privateData = data;
    }
    if (!ApplyPrivateData(data)) m_lastError = STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
}

void CStorageDeviceBase::TakeGeometry(std::int64_t sectorSize, std::int64_t totalSectors) {
    // Only the low 32 bits of a record's sector size are meant; a size that
    // is not a usable sector size (0 above all) would break every caller
    // that divides by it, so the old one stays.
    const std::int64_t low = static_cast<std::int64_t>(static_cast<std::uint32_t>(sectorSize));
    if (IsUsableSectorSize(low)) m_sectorSize = static_cast<std::uint32_t>(low);
    if (totalSectors >= 0) m_totalSectors = totalSectors;
}

CDescriptorDevice::CDescriptorDevice(const char* path, std::size_t capacity)
    : m_path(PathFits(path, capacity) ? path : ""), m_pathCapacity(capacity) {}

CDescriptorDevice::~CDescriptorDevice() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

int CDescriptorDevice::Close() {
    m_lastError = 0;
    if (m_fd < 0) return 0;
    ::close(m_fd);
    m_fd = -1;
    return 1;
}

int CDescriptorDevice::OpenDescriptor(const char* path) {
    m_lastError = 0;
    if (path != nullptr) {
        if (!PathFits(path, m_pathCapacity)) {
            m_lastError = STORAGE_ERROR(STORAGE_ERROR_IO);
            return ENAMETOOLONG;
        }
        m_path = path;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_path.empty()) {
        m_lastError = STORAGE_ERROR(STORAGE_ERROR_IO);
        return ENOENT;
    }
    // Never O_EXCL (it fails on mounted devices) and never for writing: the
    // engine does not write to a source.
    int fd = -1;
    int openError = EACCES;
    m_openedThroughFallback = false;
    if (!PlainOpenRefusedForTest(m_path)) {
        do {
            fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        openError = fd < 0 ? errno : 0;
    }
    if (fd < 0 && (openError == EPERM || openError == EACCES)) {
        // A device the user may not open: the front end may obtain it.
        fd = OpenThroughFallback(m_path);
        m_openedThroughFallback = fd >= 0;
    }
    if (fd < 0) {
        const int err = openError;
        m_lastError = STORAGE_ERROR(STORAGE_ERROR_IO);
        // A user without rights gets EACCES on Linux, EPERM in some setups.
        if (err == EPERM || err == EACCES) m_permitted = 0;
        return err;
    }
    m_fd = fd;
    m_permitted = 1;
    return 0;
}

void CDescriptorDevice::ReadGeometry() {
    struct stat st;
    if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        m_sectorSize = 512;
        m_totalSectors = st.st_size / 512 + (st.st_size % 512 != 0 ? 1 : 0);
        return;
    }
    int logical = 0;
    if (::ioctl(m_fd, BLKSSZGET, &logical) == 0 && IsUsableSectorSize(logical))
        m_sectorSize = static_cast<std::uint32_t>(logical);
    else
        m_sectorSize = 512;
    std::uint64_t bytes = 0;
    if (::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0 && bytes <= static_cast<std::uint64_t>(INT64_MAX))
        m_totalSectors = static_cast<std::int64_t>(bytes / m_sectorSize);
    else
        m_totalSectors = 0;
}

int CDescriptorDevice::OpenWithGeometry(const char* path) {
    const int err = OpenDescriptor(path);
    if (err != 0) {
        // A device the user may not read is a diagnostic for the log, not a
        // line among a tool's results; errno keeps the reason for the caller.
        CatchExeception::WriteLog("open failed:%d,%s\n", err, std::strerror(err));
        errno = err;
        return 0;
    }
    ReadGeometry();
    return 1;
}

int CDescriptorDevice::ReOpenWithGeometry() {
    Close();
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (OpenWithGeometry(nullptr)) return 1;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return 0;
}

EngineResult CDescriptorDevice::ReadSectors(void* buffer, std::int64_t first, std::int64_t count) const {
    if (buffer == nullptr || first < 0 || count <= 0) return STORAGE_ERROR(STORAGE_ERROR_BAD_ARGUMENT);
    const std::int64_t size = m_sectorSize;
    // Offsets that do not fit a file offset cannot name a sector anywhere.
    if (m_dataOffset < 0 || first > (INT64_MAX - m_dataOffset) / size || count > INT64_MAX / size ||
        first * size + m_dataOffset > INT64_MAX - count * size)
        return STORAGE_ERROR(STORAGE_ERROR_BAD_ARGUMENT);
    if (QXReadAsyncData(buffer, m_fd, first * size + m_dataOffset, count * size) <= 0)
        return STORAGE_ERROR(STORAGE_ERROR_IO);
    return ENGINE_OK;
}
