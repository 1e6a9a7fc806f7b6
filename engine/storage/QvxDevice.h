#pragma once
// QVX images, the system's own image format: the tag "qvx" and a zero byte,
// the u32 length 1,192, the 1,192-byte description record, zeros up to the
// data offset, then the raw sectors of the source.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

#include "storage/DeviceData.h"
#include "storage/ImageFileDevice.h"

constexpr std::size_t kQvxInfoSize = 1192;
constexpr std::size_t kQvxHeaderEnd = 8 + kQvxInfoSize;  // 1,200
constexpr std::int64_t kQvxChunkSectors = 8192;

void SerialiseQvxInfo(const CQVXDeviceInfoStruct& record, std::uint8_t (&out)[kQvxInfoSize]);
// Both texts come back terminated.
void ParseQvxInfo(const std::uint8_t (&in)[kQvxInfoSize], CQVXDeviceInfoStruct& record);

// File offset of sector 0 for a sector size: (1200 / size + 1) * size.
std::uint64_t QvxDataOffset(std::uint32_t sectorSize);

// 0 when `path` is a complete QVX image (the record is filled, its path
// replaced by `path`), else -1: not a QVX file, a record length other than
// 1,192, a damaged geometry, or a file whose size differs from the record's
// (an image that was never finished, or was cut).
int QxFillQvxFileInfo(CQVXDeviceInfoStruct* record, const char* path);

class CQvxDevice : public CImageFileDevice {
public:
    explicit CQvxDevice(const char* path) : CImageFileDevice(path) {}
    int GetType() override { return STORAGE_DEVICE_QVX; }
    CQVXDeviceInfoStruct* GetQVXInfo();

protected:
    bool GeometryFromHolder(IStorageDeviceData* data, std::uint64_t& sectorSize, std::uint64_t& totalSectors,
                            std::uint64_t& dataOffset) override;
};

CQvxDevice* CreateQvxDeviceImp(const char* path);
// Opens and checks the image; null when it is not a complete QVX image.
IStorageDevice* CreateQvxDevice(const char* path);
// From a record stored in a scan-result file (exactly 1,192 bytes): opens
// `path`, or the record's own path when `path` is null, and keeps the device
// only when the image still has the same sector size, total sectors, data
// offset, file size, creation time and name.
IStorageDevice* CreateQvxDeviceByQvxInfo(const void* record, int length, const char* path);

// Writer errors.
constexpr int QVX_ERR_ARGUMENT = -2;   // missing argument or source
constexpr int QVX_ERR_NO_BUFFER = -3;  // the read buffer cannot be allocated
constexpr int QVX_ERR_STOPPED = -4;    // stopped by the user
constexpr int QVX_ERR_BUSY = -5;       // another image is being made
constexpr int QVX_ERR_OPEN_SOURCE = -100;
constexpr int QVX_ERR_READ_SOURCE = -101;
constexpr int QVX_ERR_CREATE_IMAGE = -102;
constexpr int QVX_ERR_WRITE_IMAGE = -103;
constexpr int QVX_ERR_NO_DESCRIPTION = -104;

// Writer states.
constexpr int QVX_STATE_RUN = 0;
constexpr int QVX_STATE_PAUSE = 1;
constexpr int QVX_STATE_STOP = 2;

// What the writer reports: after each chunk (finished false) and once at
// the end (finished true, with the total on success or the sector reached
// on error, and the error code, 0 on success). Called on the writer's thread.
struct QvxProgress {
    std::int64_t total;
    std::int64_t current;
    int error;
    bool finished;
};
using QvxProgressFn = std::function<void(const QvxProgress&)>;

// Images a disk or volume into a QVX file (or, in raw mode, a plain copy of
// its sectors with no header) on a thread of its own, 8,192 sectors at a
// time, with pause and stop. One image is made at a time.
class QXMakeDMG {
public:
    static QXMakeDMG& QXShareInstance();

    // Starts imaging `source` (not owned; it must stay open until the end is
    // reported) into `imagePath`. 0 when the copy has started, else an error.
    int QXStart(IStorageDevice* source, const char* imagePath, bool raw);
    void QXSetState(int state);
    int QXGetState() const { return m_state.load(); }
    void setQXDelegate(QvxProgressFn delegate);
    // Waits for a running copy to end (the end has been reported then).
    void Wait();
    bool IsRunning() const { return m_running.load(); }

    // Fills the process-wide record from the source's disk or volume record;
    // -1 when it has neither.
    int QXGetQvxInfo(IStorageDevice* source);
    // Writes the tag, the record length, the record and the zero padding.
    int QXWriteDMGHeader(int fd);
    const CQVXDeviceInfoStruct& GetRecord() const { return m_record; }

    QXMakeDMG() = default;
    ~QXMakeDMG();
    QXMakeDMG(const QXMakeDMG&) = delete;
    QXMakeDMG& operator=(const QXMakeDMG&) = delete;

private:
    void Copy(int fd, bool raw);
    void QXUpdatePrgoress(std::int64_t current, int error, bool finished);
    // Blocks while paused; false when a stop was asked for.
    bool WaitWhilePaused();

    IStorageDevice* m_source = nullptr;
    std::string m_imagePath;
    bool m_imageIsRegular = false;
    dev_t m_imageDev = 0;
    ino_t m_imageIno = 0;
    CQVXDeviceInfoStruct m_record{};
    std::atomic<int> m_state{QVX_STATE_RUN};
    std::atomic<bool> m_running{false};
    std::mutex m_mutex;
    std::condition_variable m_stateChanged;
    QvxProgressFn m_delegate;
    std::thread m_thread;
};
