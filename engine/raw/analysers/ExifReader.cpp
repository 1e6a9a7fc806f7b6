#include "raw/analysers/ExifReader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "foundation/ByteOrder.h"

namespace BruteForce {

bool ApiIsInvalidCharInFileName(const std::string& text) {
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == ' ' || c == ',' || c == '-' || c == '.' || c == '@' || c == '_') continue;
        return false;
    }
    return true;
}

}  // namespace BruteForce

namespace {

enum : int {
    FMT_BYTE = 1,
    FMT_STRING = 2,
    FMT_USHORT = 3,
    FMT_ULONG = 4,
    FMT_URATIONAL = 5,
    FMT_SBYTE = 6,
    FMT_UNDEFINED = 7,
    FMT_SSHORT = 8,
    FMT_SLONG = 9,
    FMT_SRATIONAL = 10,
    FMT_SINGLE = 11,
    FMT_DOUBLE = 12,
};

enum : std::uint16_t {
    TAG_MAKE = 271,
    TAG_MODEL = 272,
    TAG_ORIENTATION = 274,
    TAG_X_RESOLUTION = 282,
    TAG_Y_RESOLUTION = 283,
    TAG_RESOLUTION_UNIT = 296,
    TAG_THUMBNAIL_OFFSET = 513,
    TAG_THUMBNAIL_LENGTH = 514,
    TAG_EXPOSURETIME = 33434,
    TAG_FNUMBER = 33437,
    TAG_EXIF_OFFSET = 34665,
    TAG_EXPOSURE_PROGRAM = 34850,
    TAG_ISO_EQUIVALENT = 34855,
    TAG_EXIF_VERSION = 36864,
    TAG_DATETIME_ORIGINAL = 36867,
    TAG_DATETIME_DIGITIZED = 36868,
    TAG_COMPRESSION_LEVEL = 37122,
    TAG_BRIGHTNESS = 37379,
    TAG_EXPOSURE_BIAS = 37380,
    TAG_SUBJECT_DISTANCE = 37382,
    TAG_METERING_MODE = 37383,
    TAG_LIGHT_SOURCE = 37384,
    TAG_FLASH = 37385,
    TAG_FOCALLENGTH = 37386,
    TAG_MAKER_NOTE = 37500,
    TAG_USERCOMMENT = 37510,
    TAG_EXIF_IMAGEWIDTH = 40962,
    TAG_EXIF_IMAGELENGTH = 40963,
    TAG_INTEROP_OFFSET = 40965,
    TAG_FOCALPLANEXRES = 41486,
    TAG_FOCALPLANEYRES = 41487,
    TAG_FOCALPLANEUNITS = 41488,
};

// Units of the resolution-unit codes, in inches.
float UnitInInches(int code) {
    switch (code) {
    case 1:
    case 2:
        return 1.0f;
    case 3:
        return 0.3937f;
    case 4:
        return 0.03937f;
    case 5:
        return 0.00003937f;
    default:
        return 0.0f;
    }
}

std::string Text(const std::uint8_t* p, std::uint64_t size, std::size_t max) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, max));
    const void* nul = std::memchr(p, 0, n);
    return std::string(reinterpret_cast<const char*>(p), nul ? static_cast<const std::uint8_t*>(nul) - p : n);
}

}  // namespace

std::uint16_t CExifReader::EXIF_Get16u(const std::uint8_t* p) const {
    return m_MotorolaOrder ? byteorder::BE16(p) : byteorder::LE16(p);
}

std::int32_t CExifReader::EXIF_Get32s(const std::uint8_t* p) const {
    return static_cast<std::int32_t>(m_MotorolaOrder ? byteorder::BE32(p) : byteorder::LE32(p));
}

double CExifReader::EXIF_ConvertAnyFormat(const std::uint8_t* value, int format) const {
    switch (format) {
    case FMT_SBYTE:
        return static_cast<std::int8_t>(*value);
    case FMT_BYTE:
        return *value;
    case FMT_USHORT:
        return EXIF_Get16u(value);
    case FMT_ULONG:
        return EXIF_Get32u(value);
    case FMT_URATIONAL:
    case FMT_SRATIONAL: {
        const std::int32_t num = EXIF_Get32s(value);
        const std::int32_t den = EXIF_Get32s(value + 4);
        if (den == 0) return 0;
        if (format == FMT_URATIONAL)
            return static_cast<double>(static_cast<std::uint32_t>(num)) / static_cast<std::uint32_t>(den);
        return static_cast<double>(num) / den;
    }
    case FMT_SSHORT:
        return static_cast<std::int16_t>(EXIF_Get16u(value));
    case FMT_SLONG:
        return EXIF_Get32s(value);
    case FMT_SINGLE: {
        float f;
        const std::uint32_t bits = EXIF_Get32u(value);
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    case FMT_DOUBLE: {
        double d;
        const std::uint64_t bits = m_MotorolaOrder ? byteorder::BE64(value) : byteorder::LE64(value);
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    default:
        return 0;
    }
}

int CExifReader::EXIF_process_EXIF(const std::uint8_t* /*fileBase*/, unsigned /*fileLength*/,
                                   const std::uint8_t* section, unsigned sectionLength) {
    tag_ExifInfo& info = *m_info;
    info.CommentSize = info.MakerNoteSize = info.ThumbnailSize = 0;
    info.ThumbnailOffset = info.UserCommentOffset = info.MakerNoteOffset = 0;
    info.Thumbnail.clear();
    info.UserComment.clear();
    info.MakerNote.clear();
    m_ExifImageWidth = 0;
    m_szLastError = "";
    s_DirStartList.clear();
    if (section == nullptr || sectionLength < 14 || std::memcmp(section, "Exif\0\0", 6) != 0) {
        Fail("Incorrect Exif header");
        return 0;
    }
    if (std::memcmp(section + 6, "II", 2) == 0) {
        m_MotorolaOrder = false;
    } else if (std::memcmp(section + 6, "MM", 2) == 0) {
        m_MotorolaOrder = true;
    } else {
        Fail("Invalid Exif alignment marker.");
        return 0;
    }
    if (EXIF_Get16u(section + 8) != 0x2A) {
        Fail("Invalid Exif start (1)");
        return 0;
    }
    const std::uint32_t first = EXIF_Get32u(section + 10);
    if (first < 8 || first > 16) {
        Fail("Suspicious offset of first IFD value");
        return 0;
    }
    const std::uint8_t* base = section + 6;
    const std::uint64_t length = sectionLength - 6;
    if (!EXIF_ProcessExifDir(base, length, 8)) return 0;
    if (info.FocalplaneXRes != 0)
        info.CCDWidth = static_cast<float>(m_ExifImageWidth * info.FocalplaneUnits / info.FocalplaneXRes);
    // Offset and length are file data: their sum is taken in 64 bits so a
    // wrap can never pass for a thumbnail inside the block.
    if (info.ThumbnailOffset && info.ThumbnailSize &&
        static_cast<std::uint64_t>(info.ThumbnailOffset) + info.ThumbnailSize <= length) {
        if (info.options & tag_ExifInfo::kCopyThumbnail)
            info.Thumbnail.assign(base + info.ThumbnailOffset, base + info.ThumbnailOffset + info.ThumbnailSize);
    } else {
        info.ThumbnailSize = 0;
    }
    return 1;
}

int CExifReader::EXIF_ProcessExifDir(const std::uint8_t* base, std::uint64_t length, std::uint64_t dirOffset) {
    tag_ExifInfo& info = *m_info;
    // Linked or nested directories that point back are read once.
    if (std::find(s_DirStartList.begin(), s_DirStartList.end(), dirOffset) != s_DirStartList.end()) return 0;
    if (static_cast<int>(s_DirStartList.size()) >= kMaxDirectories) return 0;
    s_DirStartList.push_back(dirOffset);
    if (dirOffset + 2 > length) {
        Fail("Illegally sized directory");
        return 0;
    }
    const std::uint8_t* dir = base + dirOffset;
    const std::uint64_t entries = EXIF_Get16u(dir);
    if (dirOffset + 2 + 12 * entries > length) {
        Fail("Illegally sized directory");
        return 0;
    }
    for (std::uint64_t de = 0; de < entries; ++de) {
        const std::uint8_t* entry = dir + 2 + 12 * de;
        const std::uint16_t tag = EXIF_Get16u(entry);
        const int format = EXIF_Get16u(entry + 2);
        const std::uint64_t components = EXIF_Get32u(entry + 4);
        if (format < 1 || format > 12) {
            Fail("Illegal format code in EXIF dir");
            return 0;
        }
        const std::uint64_t byteCount = components * static_cast<std::uint64_t>(m_BytesPerFormat[format]);
        const std::uint8_t* value = entry + 8;
        std::uint64_t valueOffset = static_cast<std::uint64_t>(value - base);
        if (byteCount > 4) {
            valueOffset = EXIF_Get32u(entry + 8);
            if (valueOffset + byteCount > length) {
                Fail("Illegal pointer offset value in EXIF.");
                return 0;
            }
            value = base + valueOffset;
        }
        // An empty 8-byte value would read past its 12-byte entry.
        const double number = components ? EXIF_ConvertAnyFormat(value, format) : 0;
        switch (tag) {
        case TAG_MAKE:
            info.CameraMake = Text(value, byteCount, 31);
            break;
        case TAG_MODEL:
            info.CameraModel = Text(value, byteCount, 39);
            break;
        case TAG_ORIENTATION:
            info.Orientation = static_cast<std::uint32_t>(number);
            if (info.Orientation < 1 || info.Orientation > 8) {
                Fail("Undefined rotation value");
                info.Orientation = 0;
            }
            break;
        case TAG_X_RESOLUTION:
            info.Xresolution = static_cast<float>(number);
            break;
        case TAG_Y_RESOLUTION:
            info.Yresolution = static_cast<float>(number);
            break;
        case TAG_RESOLUTION_UNIT:
            info.ResolutionUnit = UnitInInches(static_cast<int>(number));
            break;
        case TAG_THUMBNAIL_OFFSET:
            info.ThumbnailOffset = static_cast<std::uint32_t>(number);
            break;
        case TAG_THUMBNAIL_LENGTH:
            info.ThumbnailSize = static_cast<std::uint32_t>(number);
            break;
        case TAG_EXPOSURETIME:
            info.ExposureTime = static_cast<float>(number);
            break;
        case TAG_FNUMBER:
            info.ApertureFNumber = static_cast<float>(number);
            break;
        case TAG_EXPOSURE_PROGRAM:
            info.ExposureProgram = static_cast<std::uint32_t>(number);
            break;
        case TAG_ISO_EQUIVALENT:
            info.ISOequivalent = static_cast<std::uint32_t>(number);
            // Some cameras store the ISO as a fraction of 200.
            if (info.ISOequivalent < 50) info.ISOequivalent *= 200;
            break;
        case TAG_EXIF_VERSION:
            info.Version = Text(value, byteCount, 4);
            break;
        case TAG_DATETIME_ORIGINAL:
            info.DateTime = Text(value, byteCount, 19);
            break;
        case TAG_DATETIME_DIGITIZED:
            info.DigitizedTime = Text(value, byteCount, 19);
            break;
        case TAG_COMPRESSION_LEVEL:
            info.CompressionLevel = static_cast<std::uint32_t>(number);
            break;
        case TAG_BRIGHTNESS:
            info.Brightness = static_cast<float>(number);
            break;
        case TAG_EXPOSURE_BIAS:
            info.ExposureBias = static_cast<float>(number);
            break;
        case TAG_SUBJECT_DISTANCE:
            info.Distance = static_cast<float>(number);
            break;
        case TAG_METERING_MODE:
            info.MeteringMode = static_cast<std::uint32_t>(number);
            break;
        case TAG_LIGHT_SOURCE:
            info.LightSource = static_cast<std::uint32_t>(number);
            break;
        case TAG_FLASH:
            info.FlashUsed = (static_cast<std::uint32_t>(number) & 7) ? 1 : 0;
            break;
        case TAG_FOCALLENGTH:
            info.FocalLength = static_cast<float>(number);
            break;
        case TAG_MAKER_NOTE:
            info.MakerNoteOffset = static_cast<std::uint32_t>(valueOffset);
            info.MakerNoteSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(byteCount, UINT32_MAX));
            if (info.options & tag_ExifInfo::kCopyMakerNote) info.MakerNote.assign(value, value + byteCount);
            break;
        case TAG_USERCOMMENT:
            info.UserCommentOffset = static_cast<std::uint32_t>(valueOffset);
            info.CommentSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(byteCount, UINT32_MAX));
            if (info.options & tag_ExifInfo::kCopyComment) info.UserComment.assign(value, value + byteCount);
            break;
        case TAG_EXIF_IMAGEWIDTH:
        case TAG_EXIF_IMAGELENGTH:
            m_ExifImageWidth = std::max(m_ExifImageWidth, static_cast<std::uint32_t>(number));
            break;
        case TAG_FOCALPLANEXRES:
            info.FocalplaneXRes = static_cast<float>(number);
            break;
        case TAG_FOCALPLANEYRES:
            info.FocalplaneYRes = static_cast<float>(number);
            break;
        case TAG_FOCALPLANEUNITS:
            info.FocalplaneUnits = UnitInInches(static_cast<int>(number));
            break;
        case TAG_EXIF_OFFSET:
        case TAG_INTEROP_OFFSET: {
            const std::uint64_t sub = EXIF_Get32u(value);
            if (sub >= length) {
                Fail("Illegal subdirectory link");
                return 0;
            }
            EXIF_ProcessExifDir(base, length, sub);
            break;
        }
        default:
            break;
        }
    }
    const std::uint64_t link = dirOffset + 2 + 12 * entries;
    if (link + 4 <= length) {
        const std::uint64_t next = EXIF_Get32u(base + link);
        if (next) {
            if (next >= length) {
                Fail("Illegal subdirectory link");
                return 0;
            }
            EXIF_ProcessExifDir(base, length, next);
        }
    }
    return 1;
}
