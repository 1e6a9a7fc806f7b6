#pragma once
// Images of files for the browser's preview, grid and cover flow: pictures
// decoded by Qt's image readers, the preview a camera-raw file carries
// (libraw), a frame of a video (ffmpegthumbnailer), or the icon of the file's
// type. Everything here reads bytes that came off a damaged or hostile disk:
// a decoder's allocations are capped, and bad data gives a null image.

#include <QImage>
#include <QString>
#include <chrono>
#include <cstddef>

class Thumbnailer {
public:
    // The longest side of raw and video thumbnails, and of icons.
    static constexpr int kSide = 192;
    // Largest image a picture decoder may allocate, in MiB.
    static constexpr int kAllocationLimitMiB = 256;
    // How long a camera-raw file may take; libraw is asked to give up at
    // its next step past it.
    static constexpr std::chrono::milliseconds kRawBudget{5000};

    virtual ~Thumbnailer() = default;
    // The picture in `data`, at its own size; null when it is none.
    virtual QImage Picture(const char* data, std::size_t size) = 0;
    // The preview embedded in the camera-raw file at `path`, at most kSide
    // a side; null when the file has none or is no raw file.
    virtual QImage CameraRaw(const QString& path) = 0;
    // A frame of the video at `path`, at most kSide a side; null when none
    // can be decoded.
    virtual QImage Video(const QString& path) = 0;
    // The icon of an extension (no dot, any case; empty for none), at most
    // kSide a side; never null.
    virtual QImage Icon(const QString& extension) = 0;
};

// The real one: Qt, libraw, ffmpegthumbnailer and the file-type icons.
Thumbnailer& SystemThumbnailer();
// The one the controller uses; a test installs a fake (not owned), null
// restores the real one.
Thumbnailer& CurrentThumbnailer();
void SetThumbnailer(Thumbnailer* thumbnailer);

// The roads of the real thumbnailer, also for the fuzz target.
QImage DecodePictureBytes(const char* data, std::size_t size);
// The embedded preview of a camera-raw file held in memory.
QImage CameraRawPreviewFromMemory(const void* data, std::size_t size,
                                  std::chrono::milliseconds budget = Thumbnailer::kRawBudget);
QImage CameraRawPreviewFromFile(const QString& path, std::chrono::milliseconds budget = Thumbnailer::kRawBudget);
QImage VideoFrameFromFile(const QString& path);
