// Images of found files for the browser. The file may exist only as sectors
// on the scanned device: pictures are read into memory through the previews'
// own file writer, camera-raw files and videos are written out to a private
// temporary folder and thumbnailed from there. Whatever fails ends in the
// icon of the file's type.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/Log.h"
#include "model/OpNodeData.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/qt/QXUIController.h"
#include "model/qt/Thumbnailer.h"
#include "recovery/FileReader.h"

namespace {

// Pictures and camera-raw files above this are never read.
constexpr std::int64_t kLargestPicture = 0x6400000;
// An ".avi" up to this size is written whole (its index sits at the end).
constexpr std::int64_t kLargestWholeAvi = 0x3200000;
// Other videos are cut to their first bytes; enough when the index comes first.
constexpr std::int64_t kVideoLead = 0x200000;

// Camera-raw extensions whose preview stands as it comes, and those whose
// preview is taken only when there is one (".psd" is no raw file, so libraw
// refuses it and the picture road runs).
constexpr std::array<std::string_view, 5> kRawExtensions{"rw2", "sr2", "cr2", "dng", "dcr"};
constexpr std::array<std::string_view, 2> kMaybeRawExtensions{"arw", "psd"};
constexpr std::array<std::string_view, 4> kVideoExtensions{"mov", "m4v", "mp4", "avi"};

template <std::size_t N>
bool OneOf(const std::array<std::string_view, N>& set, const std::string& ext) {
    for (std::string_view e : set)
        if (e == ext) return true;
    return false;
}

// The lower-cased text after the last "." of the node's name; empty without one.
std::string NameExtension(IFileNode* node) { return QXUIScan::GetNodeExt(node); }

QImage IconFor(const std::string& ext) { return CurrentThumbnailer().Icon(QString::fromStdString(ext)); }

bool Usable(const QImage& image) { return !image.isNull() && image.width() > 0 && image.height() > 0; }

// One process-wide buffer for pictures, made on the first preview and kept:
// previews of pictures take turns on it.
std::mutex g_pictureLock;
std::unique_ptr<char[]> g_pictureBuffer;
// Videos are thumbnailed one at a time.
std::mutex g_videoLock;

// Runs `use` with the previews' writer for the node, the listed devices
// pinned meanwhile; false when there is no scan, no writer or no reader.
bool WithReader(IFileNode* node, const std::function<void(IDataRecovery&, IFileReader&)>& use) {
    DevicePin pin;
    QXUIScan& scan = QXUIScan::instance();
    IRecoveryController* controller = scan.GetRecoveryController();
    if (controller == nullptr) return false;
    // A search still under way adds partitions a kept writer would miss.
    const bool keep = scan.GetStatus() == QXOP_IDLE;
    bool read = false;
    scan.GetThumbnailWriters().Use(node, controller, keep, [&](IDataRecovery& writer) {
        IFileReader* reader = writer.SetRecoverNode(node);
        if (reader == nullptr) return;
        read = true;
        use(writer, *reader);
        reader->Release();
    });
    return read;
}

// Writes the node's first `amount` bytes to "thumb.EXT" in a new private
// folder and hands that file to `make`; the folder goes afterwards. `ext` is
// one of the fixed extensions above, never text from the disk.
QImage ThroughTemporaryFile(IFileNode* node, const std::string& ext, std::int64_t amount,
                            const std::function<QImage(const QString&)>& make) {
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/quillory-thumb-XXXXXX"));
    if (!folder.isValid()) return {};
    QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString file = folder.filePath(QStringLiteral("thumb.") + QString::fromStdString(ext));
    const QByteArray name = QFile::encodeName(file);
    EngineResult written = 1;
    WithReader(node, [&](IDataRecovery& writer, IFileReader&) {
        written = writer.RecoverTo(name.constData(), nullptr, static_cast<int>(amount));
    });
    if (written != ENGINE_OK) {
        CatchExeception::WriteLog("----Recovery Failed----\n");
        return {};
    }
    return make(file);
}

QImage CameraRawThumbnail(IFileNode* node, const std::string& ext) {
    const std::int64_t size = node->GetFileSize();
    if (size < 1 || size > kLargestPicture) return {};
    return ThroughTemporaryFile(node, ext, size,
                                [](const QString& file) { return CurrentThumbnailer().CameraRaw(file); });
}

QImage VideoThumbnail(IFileNode* node) {
    std::lock_guard lock(g_videoLock);
    if (QXUIPublic::GetPathByFileNode(node).find('.') == std::string::npos) return {};
    const std::string ext = NameExtension(node);
    if (OneOf(kVideoExtensions, ext)) {
        const std::int64_t size = node->GetFileSize();
        std::int64_t amount = kVideoLead;
        if (ext == "avi") {
            if (size <= kLargestWholeAvi) amount = size;
        } else if (size < kVideoLead) {
            amount = size;
        }
        const QImage image = ThroughTemporaryFile(node, ext, amount,
                                                  [](const QString& file) { return CurrentThumbnailer().Video(file); });
        if (Usable(image)) return image;
    }
    return IconFor(ext);
}

QImage ReadPicture(IFileNode* node) {
    const std::int64_t size = node->GetFileSize();
    std::lock_guard lock(g_pictureLock);
    // The whole size is reserved once; pages are touched only as far as a
    // picture reaches.
    if (!g_pictureBuffer) g_pictureBuffer.reset(new char[kLargestPicture]);
    char* buffer = g_pictureBuffer.get();
    QImage image;
    WithReader(node, [&](IDataRecovery& writer, IFileReader& reader) {
        const unsigned capacity = static_cast<unsigned>(size);
        unsigned got = writer.ReadSmallJPG(buffer, capacity);
        if (got == 0) {
            const int read = reader.ReadData(0, buffer, capacity, nullptr);
            got = read > 0 ? static_cast<unsigned>(read) : 0;
        }
        if (got > capacity) got = capacity;
        if (got > 0) image = CurrentThumbnailer().Picture(buffer, got);
    });
    return image;
}

}  // namespace

QImage QXUIController::GetNSImageByFildNode(IFileNode* node) {
    if (node == nullptr) return {};
    IRecoveryFilter* filter = QXUIFilter::instance().GetFilter();
    if (filter == nullptr) return {};
    const unsigned kind = filter->GetNodeFileType(node);
    if (kind == FILTER_MOVIES) return VideoThumbnail(node);
    // The name decides: a "." in a folder of the path says nothing of the file.
    const std::string ext = NameExtension(node);
    const char* name = node->GetFileName();
    if (name == nullptr || std::string(name).find('.') == std::string::npos) return IconFor("");
    if (OneOf(kRawExtensions, ext)) {
        const QImage image = CameraRawThumbnail(node, ext);
        return Usable(image) ? image : IconFor(ext);
    }
    if (OneOf(kMaybeRawExtensions, ext)) {
        const QImage image = CameraRawThumbnail(node, ext);
        if (Usable(image)) return image;
    }
    const std::int64_t size = node->GetFileSize();
    if (kind == FILTER_PICTURES && size >= 1 && size <= kLargestPicture) {
        const QImage image = ReadPicture(node);
        if (Usable(image)) return image;
    }
    return IconFor(ext);
}

QImage QXUIController::GetNSImageByFildNodeNSNumber(IFileNode* node) { return GetNSImageByFildNode(node); }

QImage QXUIController::GetNSImageByNode(OpNodeData* row) {
    return row != nullptr ? GetNSImageByFildNode(row->fileNode()) : QImage();
}
