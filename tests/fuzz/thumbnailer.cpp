// The previews' decoders on any bytes: the first byte picks the road (a
// picture through Qt's image readers, a camera-raw file through libraw, a
// video through ffmpegthumbnailer), the rest is the file. Damaged or hostile
// files must give a null image or a thumbnail of at most 192 pixels a side,
// never a crash or an allocation past the limits.
#include <dlfcn.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

#include "model/qt/Thumbnailer.h"

namespace {

void Quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

QTemporaryDir* g_folder = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler(&Quiet);
    // ffmpeg's own log would flood the run; the library is already loaded
    // through ffmpegthumbnailer.
    using SetLevel = void (*)(int);
    if (auto set = reinterpret_cast<SetLevel>(dlsym(RTLD_DEFAULT, "av_log_set_level"))) set(-8);
    g_folder = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;
    QImage image;
    bool scaled = true;
    switch (data[0] % 3) {
    case 0:
        image = DecodePictureBytes(bytes, length);
        scaled = false;
        break;
    case 1:
        image = CameraRawPreviewFromMemory(bytes, length);
        break;
    default: {
        const QString path = g_folder->filePath(QStringLiteral("thumb.mp4"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
        file.write(bytes, static_cast<qint64>(length));
        file.close();
        image = VideoFrameFromFile(path);
        break;
    }
    }
    if (!image.isNull() && (image.width() <= 0 || image.height() <= 0)) __builtin_trap();
    if (scaled && (image.width() > Thumbnailer::kSide || image.height() > Thumbnailer::kSide)) __builtin_trap();
    return 0;
}
