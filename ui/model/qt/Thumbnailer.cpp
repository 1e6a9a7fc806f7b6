#include "model/qt/Thumbnailer.h"

#include <libffmpegthumbnailer/videothumbnailerc.h>
#include <libraw/libraw.h>

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QMutex>
#include <QMutexLocker>
#include <atomic>
#include <chrono>
#include <memory>

#include "model/qt/FileIcons.h"

namespace {

// A raw file's preview larger than this many pixels is no preview we want:
// libraw would allocate three bytes a pixel for it.
constexpr qint64 kRawPreviewPixels = 64LL * 1024 * 1024;
// What libraw may allocate for raw data while it looks for the preview.
constexpr unsigned kRawMemoryMiB = 256;

QImage FitToSide(QImage image) {
    if (image.isNull()) return image;
    if (image.width() > Thumbnailer::kSide || image.height() > Thumbnailer::kSide)
        image = image.scaled(Thumbnailer::kSide, Thumbnailer::kSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

// An RGB (3 bytes a pixel) or grey (1 byte) bitmap, copied out of `data`.
QImage FromPixels(const unsigned char* data, qint64 bytes, int width, int height, int channels) {
    if (data == nullptr || width <= 0 || height <= 0 || (channels != 3 && channels != 1)) return {};
    const qint64 stride = static_cast<qint64>(width) * channels;
    if (bytes < stride * height) return {};
    const QImage view(data, width, height, static_cast<qsizetype>(stride),
                      channels == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    return view.copy();
}

struct RawCloser {
    void operator()(libraw_data_t* raw) const { libraw_close(raw); }
};
using RawHandle = std::unique_ptr<libraw_data_t, RawCloser>;

// libraw calls this between the steps of its work (identifying the file,
// loading the preview); a non-zero answer makes it stop with an error.
int PastDeadline(void* data, enum LibRaw_progress, int, int) {
    const auto* deadline = static_cast<const std::chrono::steady_clock::time_point*>(data);
    return std::chrono::steady_clock::now() >= *deadline ? 1 : 0;
}

// `deadline` must outlive the handle.
RawHandle OpenRaw(const std::chrono::steady_clock::time_point* deadline) {
    RawHandle raw(libraw_init(0));
    if (!raw) return raw;
    raw->params.max_raw_memory_mb = kRawMemoryMiB;
    libraw_set_progress_handler(raw.get(), &PastDeadline, const_cast<std::chrono::steady_clock::time_point*>(deadline));
    return raw;
}

// The preview of an opened raw file of `inputSize` bytes.
QImage RawPreview(libraw_data_t* raw, qint64 inputSize) {
    const libraw_thumbnail_t& thumb = raw->thumbnail;
    // A preview cannot be longer than its file; and a bitmap's pixels are
    // capped before libraw allocates them.
    if (thumb.tlength == 0 || static_cast<qint64>(thumb.tlength) > inputSize) return {};
    if (static_cast<qint64>(thumb.twidth) * thumb.theight > kRawPreviewPixels) return {};
    if (libraw_unpack_thumb(raw) != LIBRAW_SUCCESS) return {};
    int error = 0;
    libraw_processed_image_t* made = libraw_dcraw_make_mem_thumb(raw, &error);
    if (made == nullptr) return {};
    QImage image;
    if (made->type == LIBRAW_IMAGE_JPEG)
        image = DecodePictureBytes(reinterpret_cast<const char*>(made->data), made->data_size);
    else if (made->type == LIBRAW_IMAGE_BITMAP && made->bits == 8)
        image = FromPixels(made->data, made->data_size, made->width, made->height, made->colors);
    libraw_dcraw_clear_mem(made);
    return FitToSide(image);
}

void QuietVideoLog(ThumbnailerLogLevel, const char*) {}

class SystemThumbnailerImpl : public Thumbnailer {
public:
    QImage Picture(const char* data, std::size_t size) override { return DecodePictureBytes(data, size); }
    QImage CameraRaw(const QString& path) override { return CameraRawPreviewFromFile(path); }
    QImage Video(const QString& path) override { return VideoFrameFromFile(path); }
    QImage Icon(const QString& extension) override {
        // The grid asks for the same few extensions over and over.
        const QString key = extension.toLower();
        QMutexLocker hold(&m_lock);
        auto it = m_icons.constFind(key);
        if (it != m_icons.constEnd()) return *it;
        QImage image = FileIconImage(key, kSide);
        m_icons.insert(key, image);
        return image;
    }

private:
    QMutex m_lock;
    QHash<QString, QImage> m_icons;
};

std::atomic<Thumbnailer*> g_installed{nullptr};

}  // namespace

QImage DecodePictureBytes(const char* data, std::size_t size) {
    if (data == nullptr || size == 0 || size > static_cast<std::size_t>(INT32_MAX)) return {};
    QByteArray bytes = QByteArray::fromRawData(data, static_cast<qsizetype>(size));
    QBuffer device(&bytes);
    if (!device.open(QIODevice::ReadOnly)) return {};
    QImageReader reader(&device);
    // Qt's readers cannot be interrupted; what bounds their time is the
    // pixels they may decode, which this limit caps before decoding starts
    // (Qt counts four bytes a pixel against the header's size), and the
    // bytes, at most the picture buffer.
    reader.setAllocationLimit(Thumbnailer::kAllocationLimitMiB);
    reader.setAutoTransform(true);
    QImage image;
    if (!reader.read(&image) || image.width() <= 0 || image.height() <= 0) return {};
    return image;
}

QImage CameraRawPreviewFromMemory(const void* data, std::size_t size, std::chrono::milliseconds budget) {
    if (data == nullptr || size == 0) return {};
    const auto deadline = std::chrono::steady_clock::now() + budget;
    RawHandle raw = OpenRaw(&deadline);
    if (!raw) return {};
    // libraw reads the buffer only; its signature is older than const.
    if (libraw_open_buffer(raw.get(), const_cast<void*>(data), size) != LIBRAW_SUCCESS) return {};
    return RawPreview(raw.get(), static_cast<qint64>(size));
}

QImage CameraRawPreviewFromFile(const QString& path, std::chrono::milliseconds budget) {
    const QFileInfo info(path);
    if (!info.isFile() || info.size() <= 0) return {};
    const auto deadline = std::chrono::steady_clock::now() + budget;
    RawHandle raw = OpenRaw(&deadline);
    if (!raw) return {};
    if (libraw_open_file(raw.get(), QFile::encodeName(path).constData()) != LIBRAW_SUCCESS) return {};
    return RawPreview(raw.get(), info.size());
}

QImage VideoFrameFromFile(const QString& path) {
    if (!QFileInfo(path).isFile()) return {};
    video_thumbnailer* maker = video_thumbnailer_create();
    if (maker == nullptr) return {};
    image_data* frame = video_thumbnailer_create_image_data();
    if (frame == nullptr) {
        video_thumbnailer_destroy(maker);
        return {};
    }
    video_thumbnailer_set_log_callback(maker, &QuietVideoLog);
    video_thumbnailer_set_size(maker, Thumbnailer::kSide, 0);
    maker->thumbnail_image_type = Rgb;
    maker->maintain_aspect_ratio = 1;
    QImage image;
    if (video_thumbnailer_generate_thumbnail_to_buffer(maker, QFile::encodeName(path).constData(), frame) == 0)
        image = FromPixels(frame->image_data_ptr, frame->image_data_size, frame->image_data_width,
                           frame->image_data_height, 3);
    video_thumbnailer_destroy_image_data(frame);
    video_thumbnailer_destroy(maker);
    return FitToSide(image);
}

Thumbnailer& SystemThumbnailer() {
    static SystemThumbnailerImpl* real = new SystemThumbnailerImpl;
    return *real;
}

Thumbnailer& CurrentThumbnailer() {
    Thumbnailer* installed = g_installed.load();
    return installed != nullptr ? *installed : SystemThumbnailer();
}

void SetThumbnailer(Thumbnailer* thumbnailer) { g_installed = thumbnailer; }
