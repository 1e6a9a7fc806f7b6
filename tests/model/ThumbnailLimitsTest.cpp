// What bounds the previews' decoders on hostile files: a picture whose
// header claims more pixels than the allocation limit allows is not decoded,
// however few bytes it takes (a decompression bomb), and a camera-raw file
// whose time is up is given up by libraw.
#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <fstream>
#include <iterator>

#include "model/qt/Thumbnailer.h"
#include "support/DeviceListTestSupport.h"

using namespace devlist_test;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A valid 8-bit grey PNG of side x side black pixels, compressed row by row:
// a few hundred KiB whatever the side.
bool MakeGreyPng(const std::string& path, int side) {
    const std::string script = path + ".py";
    std::ofstream(script) << R"(import struct, sys, zlib
path, side = sys.argv[1], int(sys.argv[2])
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
z = zlib.compressobj(9)
row = bytes(side + 1)  # filter byte 0, then the pixels
idat = b"".join(z.compress(row) for _ in range(side)) + z.flush()
with open(path, "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n")
    f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0, 0, 0)))
    f.write(chunk(b"IDAT", idat))
    f.write(chunk(b"IEND", b""))
)";
    return Shell("python3 '" + script + "' '" + path + "' " + std::to_string(side));
}

// Both pictures are a few hundred KiB; the larger would need 1 GiB at four
// bytes a pixel (244 MiB even at its own one byte a pixel).
TEST(ThumbnailLimits, DecompressionBombsAreNotDecoded) {
    ScratchDir dir;
    struct Case {
        int side;
        bool decoded;
    } cases[] = {{2000, true}, {16000, false}};
    static_assert(16000LL * 16000 * 4 > Thumbnailer::kAllocationLimitMiB * 1024LL * 1024);
    for (const Case& c : cases) {
        const std::string path = dir / ("grey" + std::to_string(c.side) + ".png");
        ASSERT_TRUE(MakeGreyPng(path, c.side));
        const std::string bytes = ReadAll(path);
        ASSERT_LT(bytes.size(), 1u << 20) << c.side;
        const QImage image = DecodePictureBytes(bytes.data(), bytes.size());
        EXPECT_EQ(!image.isNull(), c.decoded) << c.side;
        if (c.decoded) EXPECT_EQ(image.size(), QSize(c.side, c.side));
    }
}

// libraw asks between its steps whether to go on; with no time left it
// stops, from a file and from memory alike.
TEST(ThumbnailLimits, CameraRawGivesUpWhenItsTimeIsUp) {
    ScratchDir dir;
    ASSERT_TRUE(Shell("python3 '" + kFixtures + "make_dng.py' '" + (dir / "camera.dng") + "'"));
    const QString file = QString::fromStdString(dir / "camera.dng");
    const std::string bytes = ReadAll(dir / "camera.dng");
    EXPECT_EQ(CameraRawPreviewFromFile(file).size(), QSize(16, 16));
    EXPECT_EQ(CameraRawPreviewFromMemory(bytes.data(), bytes.size()).size(), QSize(16, 16));
    EXPECT_TRUE(CameraRawPreviewFromFile(file, std::chrono::milliseconds(0)).isNull());
    EXPECT_TRUE(CameraRawPreviewFromMemory(bytes.data(), bytes.size(), std::chrono::milliseconds(0)).isNull());
}

}  // namespace
