#include "storage/QvxDevice.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/Log.h"
#include "foundation/ByteOrder.h"
#include "foundation/StdFile.h"

namespace {

bool WriteFully(int fd, const void* data, std::size_t length) {
    const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        const ssize_t put = ::write(fd, in, length);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;
        in += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

bool PwriteFully(int fd, const void* data, std::size_t length, off_t offset) {
    const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        const ssize_t put = ::pwrite(fd, in, length, offset);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;
        in += put;
        offset += put;
        length -= static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace

void SerialiseQvxInfo(const CQVXDeviceInfoStruct& record, std::uint8_t (&out)[kQvxInfoSize]) {
    std::memset(out, 0, sizeof out);
    byteorder::PutLE64(out + 0, record.sectorSize);
    byteorder::PutLE64(out + 8, record.totalSectors);
    byteorder::PutLE64(out + 16, record.dataOffset);
    byteorder::PutLE64(out + 24, record.fileSize);
    std::memcpy(out + 32, record.name, sizeof record.name);
    std::memcpy(out + 160, record.path, sizeof record.path);
    out[159] = 0;
    out[1183] = 0;
    byteorder::PutLE64(out + 1184, record.createTime);
}

void ParseQvxInfo(const std::uint8_t (&in)[kQvxInfoSize], CQVXDeviceInfoStruct& record) {
    std::memset(&record, 0, sizeof record);
    record.sectorSize = byteorder::LE64(in + 0);
    record.totalSectors = byteorder::LE64(in + 8);
    record.dataOffset = byteorder::LE64(in + 16);
    record.fileSize = byteorder::LE64(in + 24);
    std::memcpy(record.name, in + 32, sizeof record.name);
    std::memcpy(record.path, in + 160, sizeof record.path);
    record.name[sizeof record.name - 1] = '\0';
    record.path[sizeof record.path - 1] = '\0';
    record.createTime = byteorder::LE64(in + 1184);
}

std::uint64_t QvxDataOffset(std::uint32_t sectorSize) {
    if (sectorSize == 0) return 0;
    return (kQvxHeaderEnd / sectorSize + 1) * std::uint64_t(sectorSize);
}

int QxFillQvxFileInfo(CQVXDeviceInfoStruct* record, const char* path) {
    if (record == nullptr || path == nullptr) return -1;
    CStdFile file;
    if (!file.Open(path, CStdFile::OpenReadOnly)) return -1;
    std::uint8_t head[8];
    if (file.ReadAt(0, head, sizeof head) != static_cast<std::int64_t>(sizeof head) || std::memcmp(head, "qvx", 3) != 0)
        return -1;
    // Exactly the record this format has: a longer one announced by a
    // damaged header must not be read into it.
    if (byteorder::LE32(head + 4) != kQvxInfoSize) {
        CatchExeception::WriteLog("qvx: %s: record length %u is not %zu\n", path, byteorder::LE32(head + 4),
                                  kQvxInfoSize);
        return -1;
    }
    std::uint8_t raw[kQvxInfoSize];
    if (file.ReadAt(8, raw, sizeof raw) != static_cast<std::int64_t>(sizeof raw)) return -1;
    CQVXDeviceInfoStruct read;
    ParseQvxInfo(raw, read);
    std::uint64_t size = 0;
    if (!file.GetFileLength(&size) || size != read.fileSize) {
        CatchExeception::WriteLog(
            "qvx: %s: the file holds %llu bytes, its record says %llu: the image is "
            "incomplete\n",
            path, static_cast<unsigned long long>(size), static_cast<unsigned long long>(read.fileSize));
        return -1;
    }
    const std::uint32_t sectorSize = static_cast<std::uint32_t>(read.sectorSize);
    const bool offsetOk = read.dataOffset == 0 || (read.dataOffset >= kQvxHeaderEnd && read.dataOffset <= size);
    const bool sectorsOk = sectorSize != 0 && sectorSize % 512 == 0 && read.dataOffset <= size &&
                           read.totalSectors <= (size - read.dataOffset) / sectorSize;
    if (!offsetOk || !sectorsOk) {
        CatchExeception::WriteLog("qvx: %s: the record's geometry does not fit the file\n", path);
        return -1;
    }
    CopyFixedText(read.path, sizeof read.path, path);
    *record = read;
    return 0;
}

CQVXDeviceInfoStruct* CQvxDevice::GetQVXInfo() {
    IQVXDeviceData* holder = dynamic_cast<IQVXDeviceData*>(m_privateData);
    CQVXDeviceInfoStruct* record = holder != nullptr ? holder->GetQVXInfo() : nullptr;
    if (record == nullptr) m_lastError = STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
    return record;
}

bool CQvxDevice::GeometryFromHolder(IStorageDeviceData* data, std::uint64_t& sectorSize, std::uint64_t& totalSectors,
                                    std::uint64_t& dataOffset) {
    IQVXDeviceData* holder = dynamic_cast<IQVXDeviceData*>(data);
    const CQVXDeviceInfoStruct* record = holder != nullptr ? holder->GetQVXInfo() : nullptr;
    if (record == nullptr) return false;
    sectorSize = record->sectorSize;
    totalSectors = record->totalSectors;
    dataOffset = record->dataOffset;
    return true;
}

CQvxDevice* CreateQvxDeviceImp(const char* path) { return new CQvxDevice(path); }

IStorageDevice* CreateQvxDevice(const char* path) {
    if (path == nullptr) return nullptr;
    std::unique_ptr<CQvxDevice> device(CreateQvxDeviceImp(path));
    if (device->Open(nullptr) != 1) return nullptr;
    std::unique_ptr<CQVXDeviceInfoStruct> record(new CQVXDeviceInfoStruct{});
    if (QxFillQvxFileInfo(record.get(), path) != 0) return nullptr;
    device->SetPrivateData(CreateQVXDeviceData(record.release()));
    if (IsEngineFailure(device->GetLastError())) return nullptr;
    return device.release();
}

IStorageDevice* CreateQvxDeviceByQvxInfo(const void* record, int length, const char* path) {
    if (record == nullptr || length != static_cast<int>(kQvxInfoSize)) return nullptr;
    std::uint8_t raw[kQvxInfoSize];
    std::memcpy(raw, record, sizeof raw);
    CQVXDeviceInfoStruct wanted;
    ParseQvxInfo(raw, wanted);
    std::unique_ptr<IStorageDevice> device(CreateQvxDevice(path != nullptr ? path : wanted.path));
    if (!device) return nullptr;
    const CQVXDeviceInfoStruct* fresh = static_cast<CQvxDevice*>(device.get())->GetQVXInfo();
    if (fresh == nullptr || fresh->sectorSize != wanted.sectorSize || fresh->totalSectors != wanted.totalSectors ||
        fresh->dataOffset != wanted.dataOffset || fresh->fileSize != wanted.fileSize ||
        fresh->createTime != wanted.createTime || std::strcmp(fresh->name, wanted.name) != 0)
        return nullptr;
    return device.release();
}

// ---------------------------------------------------------------------------
// Writer

QXMakeDMG& QXMakeDMG::QXShareInstance() {
    static QXMakeDMG instance;
    return instance;
}

QXMakeDMG::~QXMakeDMG() {
    QXSetState(QVX_STATE_STOP);
    Wait();
}

void QXMakeDMG::setQXDelegate(QvxProgressFn delegate) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delegate = std::move(delegate);
}

void QXMakeDMG::QXSetState(int state) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state.store(state);
    }
    m_stateChanged.notify_all();
}

void QXMakeDMG::Wait() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

int QXMakeDMG::QXGetQvxInfo(IStorageDevice* source) {
    std::memset(&m_record, 0, sizeof m_record);
    if (source == nullptr) return -1;
    if (const CCollectDiskDeviceInfoStruct* disk = DiskInfoOf(source)) {
        CopyFixedText(m_record.name, sizeof m_record.name, disk->mediaName);
    } else if (const CCollectedVolumeDeviceInfoStruct* volume = VolumeInfoOf(source)) {
        CopyFixedText(m_record.name, sizeof m_record.name, volume->volumeName);
    } else {
        return -1;
    }
    // The geometry is the device's own: it is what ReadSector reads by.
    m_record.sectorSize = source->GetSectorSize();
    m_record.totalSectors = source->GetTotalSectors() > 0 ? static_cast<std::uint64_t>(source->GetTotalSectors()) : 0;
    m_record.createTime = static_cast<std::uint64_t>(std::time(nullptr));
    return 0;
}

int QXMakeDMG::QXWriteDMGHeader(int fd) {
    if (fd < 0) return QVX_ERR_ARGUMENT;
    std::uint8_t header[kQvxHeaderEnd];
    std::memcpy(header, "qvx", 4);  // the tag and its zero byte
    byteorder::PutLE32(header + 4, kQvxInfoSize);
    std::uint8_t record[kQvxInfoSize];
    SerialiseQvxInfo(m_record, record);
    std::memcpy(header + 8, record, sizeof record);
    if (!WriteFully(fd, header, sizeof header)) return QVX_ERR_WRITE_IMAGE;
    if (m_record.dataOffset > kQvxHeaderEnd) {
        const std::size_t padding = static_cast<std::size_t>(m_record.dataOffset - kQvxHeaderEnd);
        std::unique_ptr<std::uint8_t[]> zeros(new std::uint8_t[padding]());
        if (!WriteFully(fd, zeros.get(), padding)) return QVX_ERR_WRITE_IMAGE;
    }
    return 0;
}

int QXMakeDMG::QXStart(IStorageDevice* source, const char* imagePath, bool raw) {
    if (m_running.load()) return QVX_ERR_BUSY;
    Wait();  // a finished copy's thread
    if (source == nullptr || imagePath == nullptr || *imagePath == '\0') return QVX_ERR_ARGUMENT;
    if (QXGetQvxInfo(source) != 0) return QVX_ERR_NO_DESCRIPTION;
    const std::uint32_t sectorSize = static_cast<std::uint32_t>(m_record.sectorSize);
    if (sectorSize == 0 || sectorSize % 512 != 0) return QVX_ERR_NO_DESCRIPTION;
    CopyFixedText(m_record.path, sizeof m_record.path, imagePath);
    m_record.dataOffset = raw ? 0 : QvxDataOffset(sectorSize);
    // An image is never written onto a block device: that could be the very
    // disk being recovered.
    struct stat st;
    if (::stat(imagePath, &st) == 0 && S_ISBLK(st.st_mode)) return QVX_ERR_CREATE_IMAGE;
    const int fd = ::open(imagePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return QVX_ERR_CREATE_IMAGE;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return QVX_ERR_CREATE_IMAGE;
    }
    m_imageIsRegular = S_ISREG(st.st_mode);
    m_imageDev = st.st_dev;
    m_imageIno = st.st_ino;
    m_source = source;
    m_imagePath = imagePath;
    m_state.store(QVX_STATE_RUN);
    m_running.store(true);
    try {
        m_thread = std::thread(&QXMakeDMG::Copy, this, fd, raw);
    } catch (...) {
        m_running.store(false);
        ::close(fd);
        if (m_imageIsRegular) ::unlink(imagePath);
        return QVX_ERR_NO_BUFFER;
    }
    return 0;
}

bool QXMakeDMG::WaitWhilePaused() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_state.load() == QVX_STATE_PAUSE) m_stateChanged.wait_for(lock, std::chrono::seconds(1));
    return m_state.load() != QVX_STATE_STOP;
}

void QXMakeDMG::QXUpdatePrgoress(std::int64_t current, int error, bool finished) {
    QvxProgressFn delegate;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        delegate = m_delegate;
    }
    if (delegate) delegate(QvxProgress{static_cast<std::int64_t>(m_record.totalSectors), current, error, finished});
}

void QXMakeDMG::Copy(int fd, bool raw) {
    const std::uint32_t sectorSize = static_cast<std::uint32_t>(m_record.sectorSize);
    const std::int64_t total = static_cast<std::int64_t>(m_record.totalSectors);
    const std::size_t chunkBytes = std::size_t(sectorSize) * kQvxChunkSectors;
    int error = 0;
    std::int64_t p = 0;
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[chunkBytes]);
    if (!buffer) error = QVX_ERR_NO_BUFFER;
    if (error == 0 && !raw) error = QXWriteDMGHeader(fd);
    for (; error == 0 && p < total; p += kQvxChunkSectors) {
        if (!WaitWhilePaused()) {
            error = QVX_ERR_STOPPED;
            break;
        }
        const std::int64_t n = std::min(kQvxChunkSectors, total - p);
        if (m_source->ReadSector(buffer.get(), p, n) != 1) {
            error = QVX_ERR_READ_SOURCE;
            break;
        }
        // The last chunk is written whole, zeros past the source's end.
        if (n < kQvxChunkSectors)
            std::memset(buffer.get() + n * sectorSize, 0, chunkBytes - std::size_t(n) * sectorSize);
        if (!WriteFully(fd, buffer.get(), chunkBytes)) {
            error = QVX_ERR_WRITE_IMAGE;
            break;
        }
        QXUpdatePrgoress(p, 0, false);
    }
    buffer.reset();
    if (error == 0 && !raw) {
        struct stat st;
        std::uint8_t record[kQvxInfoSize];
        if (::fstat(fd, &st) != 0) {
            error = QVX_ERR_WRITE_IMAGE;
        } else {
            m_record.fileSize = static_cast<std::uint64_t>(st.st_size);
            SerialiseQvxInfo(m_record, record);
            if (!PwriteFully(fd, record, sizeof record, 8)) error = QVX_ERR_WRITE_IMAGE;
        }
    }
    // The image is complete only once it is on the disk.
    if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = QVX_ERR_WRITE_IMAGE;
    if (::close(fd) != 0 && error == 0) error = QVX_ERR_WRITE_IMAGE;
    if (error != 0) {
        // Only the file this copy created goes: never a device node such as
        // /dev/full, nor a file that replaced ours meanwhile.
        struct stat now;
        if (m_imageIsRegular && ::stat(m_imagePath.c_str(), &now) == 0 && now.st_dev == m_imageDev &&
            now.st_ino == m_imageIno)
            ::unlink(m_imagePath.c_str());
        CatchExeception::WriteLog("qvx: imaging to %s ended with %d at sector %lld\n", m_imagePath.c_str(), error,
                                  static_cast<long long>(p));
    }
    QXUpdatePrgoress(error != 0 ? p : total, error, true);
    m_running.store(false);
}
