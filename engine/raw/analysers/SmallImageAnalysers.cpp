#include "raw/analysers/SmallImageAnalysers.h"

#include <cstring>

#include "foundation/ByteOrder.h"

using byteorder::BE16;
using byteorder::BE32;
using byteorder::LE16;
using byteorder::LE32;

namespace {

int Hit(CRawFileInfo& record, std::uint32_t type, std::int64_t size) {
    record.m_type = type;
    record.m_size = size;
    return 1;
}

// ICO / CUR directory limits.
constexpr int kMaxImages = 16;
constexpr std::uint32_t kMaxImageBytes = 0xA00000;
constexpr std::int64_t kMaxIconFile = 0x100000;
constexpr std::uint32_t kMaxIcns = 0xA66666;

}  // namespace

// "BM", reserved words 0; only the 40-byte (BITMAPINFOHEADER) and 124-byte
// (BITMAPV5HEADER) headers are taken. Size: the file-size field.
int FileBMPAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || s[0] != 'B' || s[1] != 'M' || LE16(s + 6) != 0 || LE16(s + 8) != 0) return 0;
    const std::uint32_t header = LE32(s + 14);
    if (header != 40 && header != 124) return 0;
    return Hit(record, RAW_FILE_TYPE_BMP, LE32(s + 2));
}

// Reserved 0, type 1 (icon) or 2 (cursor), 1..16 directory entries of 16
// bytes; the images follow the directory.
int FileICOAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || LE16(s) != 0) return 0;
    const std::uint16_t kind = LE16(s + 2);
    const std::uint16_t count = LE16(s + 4);
    if ((kind != 1 && kind != 2) || count < 1 || count > kMaxImages) return 0;
    std::int64_t size = 6;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t* e = s + 6 + 16 * i;
        const std::uint32_t bytes = LE32(e + 8);
        if (e[3] != 0 || LE16(e + 6) > 256 || bytes > kMaxImageBytes || LE32(e + 12) > kMaxImageBytes) return 0;
        size += static_cast<std::int64_t>(bytes) + 16;
    }
    if (size > kMaxIconFile) return 0;
    return Hit(record, kind == 1 ? RAW_FILE_TYPE_ICO : RAW_FILE_TYPE_CUR, size);
}

// "icns" and the big-endian file length.
int FileICNSAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, "icns", 4) != 0) return 0;
    const std::uint32_t size = BE32(s + 4);
    if (size < 1 || size > kMaxIcns) return 0;
    return Hit(record, RAW_FILE_TYPE_ICNS, size);
}

// The EMF header record: signature " EMF" at 40, reserved word at 58 zero,
// file size in bytes at 48.
int FileEMFAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s + 40, " EMF", 4) != 0 || LE16(s + 58) != 0) return 0;
    const std::uint32_t size = LE32(s + 48);
    if (size == 0) return 0;
    return Hit(record, RAW_FILE_TYPE_EMF, size);
}

// A standard metafile header (type 1, header size 9 words) holds the file
// size in 16-bit words at 6; a placeable one puts a 22-byte header with a
// checksum over its first ten words before it.
int FileWMFAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    if (LE32(s) == 0x00090001) {
        if (LE16(s + 16) != 0) return 0;
        return Hit(record, RAW_FILE_TYPE_WMF, static_cast<std::int64_t>(LE32(s + 6)) * 2);
    }
    if (LE32(s) != 0x9AC6CDD7 || LE16(s + 4) != 0) return 0;
    std::uint16_t sum = 0;
    for (int i = 0; i < 10; ++i) sum ^= LE16(s + 2 * i);
    if (sum != LE16(s + 20) || LE32(s + 16) != 0 || LE32(s + 22) != 0x00090001 || LE16(s + 38) != 0) return 0;
    return Hit(record, RAW_FILE_TYPE_WMF, static_cast<std::int64_t>(LE32(s + 28)) * 2 + 22);
}

// "\0MRM", the big-endian length of the header blocks, then the image:
// height x width x bits per sample / 8, in 32-bit arithmetic as the format's
// writers compute it.
int FileMRWAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, "\0MRM", 4) != 0) return 0;
    const std::uint32_t image = static_cast<std::uint32_t>(s[32]) * BE16(s + 24) * BE16(s + 26) / 8;
    return Hit(record, RAW_FILE_TYPE_MRW, static_cast<std::uint32_t>(BE32(s + 4) + 8 + image));
}
