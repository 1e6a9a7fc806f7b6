#include "raw/analysers/JpegAnalyser.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"

namespace {

const std::uint8_t g_szsignFile[2] = {0xFF, 0xD9};

// Bytes per component of the TIFF field types 0..12.
constexpr int BytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

constexpr std::uint8_t kSOI = 0xD8;
constexpr std::uint8_t kSOS = 0xDA;
constexpr std::uint8_t kAPP1 = 0xE1;
constexpr std::uint8_t kCOM = 0xFE;
constexpr std::uint8_t kSOF0 = 0xC0;
constexpr std::uint8_t kSOF2 = 0xC2;
// A header of this many segments is no photo; it bounds the walks.
constexpr int kMaxMarkers = 20480;

// Bytes 6..9 against a lower-case word, upper-case letters folded.
bool FoldedEquals(const std::uint8_t* p, const char* lower) {
    for (int i = 0; i < 4; ++i)
        if (std::tolower(p[i]) != lower[i]) return false;
    return true;
}

// The frame headers that carry precision, size and components.
bool IsFrameHeader(std::uint8_t m) {
    return (m >= 0xC0 && m <= 0xC3) || (m >= 0xC5 && m <= 0xC7) || (m >= 0xC9 && m <= 0xCB) || (m >= 0xCD && m <= 0xCF);
}

bool IsPlainStart(const std::uint8_t* s) {
    return s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF && (s[3] == 0xDB || s[3] == 0xEE);
}

// A plain JPEG (no JFIF or EXIF to vouch for it) is taken only when its
// segments lead, within the bytes in memory, to a 3-component scan of an
// 8-bit frame.
bool PlainStructureValid(const SectorView& view, std::uint64_t start, std::uint64_t limit) {
    const std::uint8_t* head = view.at(start, 4);
    if (head == nullptr || head[2] != 0xFF) return false;
    std::uint64_t off = 2;
    bool frame = false;
    for (int i = 0; i < kMaxMarkers; ++i) {
        if (start + off + 6 > limit) return false;
        const std::uint8_t* m = view.at(start + off, 6);
        if (m == nullptr) return false;
        const std::uint8_t marker = m[1];
        if (marker == 0xFF) {
            off += 2;
            continue;
        }
        if (IsFrameHeader(marker)) {
            const std::uint8_t* f = view.at(start + off, 10);
            if (f == nullptr || f[4] != 8 || f[9] != 3) return false;
            frame = true;
        } else if (marker == kSOS) {
            return frame && m[4] == 3;
        }
        off += static_cast<std::uint64_t>(byteorder::BE16(m + 2)) + 2;
    }
    return false;
}

int Recognise(const std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    if (FoldedEquals(sector + 6, "jfif") || FoldedEquals(sector + 6, "exif")) {
        record.m_type = RAW_FILE_TYPE_JPG;
        return 1;
    }
    return IsPlainStart(sector) ? 2 : 0;
}

std::int64_t ExifValue(const std::uint8_t* v, int type, bool little) {
    using BruteForce::RawUtility;
    switch (type) {
    case 1:
    case 6:
        return v[0];
    case 3:
    case 8:
        return RawUtility::EXIF_Get16s(v, little);
    case 4:
    case 9:
        return RawUtility::EXIF_Get32s(v, little);
    case 5:
    case 10: {
        const std::uint32_t den = RawUtility::EXIF_Get32s(v + 4, little);
        return den ? RawUtility::EXIF_Get32s(v, little) / den : 0;
    }
    case 11: {
        float f;
        const std::uint32_t bits = RawUtility::EXIF_Get32s(v, little);
        std::memcpy(&f, &bits, sizeof f);
        return f > 0 && f < 9e18f ? static_cast<std::int64_t>(f) : 0;
    }
    case 12: {
        double d;
        const std::uint64_t bits = little ? byteorder::LE64(v) : byteorder::BE64(v);
        std::memcpy(&d, &bits, sizeof d);
        return d > 0 && d < 9e18 ? static_cast<std::int64_t>(d) : 0;
    }
    default:
        return 0;
    }
}

std::string TextOf(const std::uint8_t* v, std::uint64_t bytes, std::size_t max) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, max));
    const void* nul = std::memchr(v, 0, n);
    return std::string(reinterpret_cast<const char*>(v), nul ? static_cast<const std::uint8_t*>(nul) - v : n);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Device side

int FileJPGAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (Recognise(sector, record) == 0) return 0;
    record.m_type = RAW_FILE_TYPE_JPG;
    return 1;
}

int FileJPGAnalyser::GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) {
    tag = static_cast<RAW_FILE_TAG>(m_tag);
    value = m_tagValue;
    return m_tag;
}

std::int64_t FileJPGAnalyser::AddFileSizeByPerSecSize(WindowReader& reader, std::int64_t p, std::int64_t cap) const {
    const std::int64_t ss = m_sectorSize;
    while (p < cap) {
        const std::int64_t sectorStart = p / ss * ss;
        const std::uint8_t* s = reader.At(static_cast<std::uint64_t>(sectorStart));
        if (s == nullptr) break;
        bool zeroTail = true;
        for (std::int64_t i = ss - 6; i < ss; ++i) zeroTail = zeroTail && s[i] == 0;
        const bool endsWithEoi = s[ss - 2] == 0xFF && s[ss - 1] == 0xD9;
        if (endsWithEoi) return sectorStart + ss;
        if (zeroTail) {
            const std::int64_t from = p - sectorStart;
            const std::uint8_t* hit = Apimemstr(s + from, static_cast<int>(ss - from), g_szsignFile, 2);
            if (hit) return sectorStart + (hit - s) + 2;
            // The FF closed the previous sector.
            if (from + 4 <= ss && s[from] == 0xD9 && s[from + 1] == 0 && s[from + 2] == 0 && s[from + 3] == 0)
                return p + 2;
        }
        // On to the next sector's start: searching it from p's offset in
        // the sector would skip an end marker in its first bytes.
        p = sectorStart + ss;
    }
    return std::min(p, cap);
}

int FileJPGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    m_tag = RAW_FILE_TAG_NONE;
    m_cameraName.clear();
    m_cameraTime.clear();
    m_tagValue.clear();
    if (device == nullptr || record.m_startSector < 0) return 0;
    m_sectorSize = device->GetSectorSize() ? device->GetSectorSize() : 512;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[32];
    if (!reader.Read(0, sizeof head, head)) return 0;
    enum class Walk { Jfif, Exif, Plain } walk = Walk::Plain;
    std::uint64_t exifAt = 0;
    std::uint32_t exifLength = 0;
    if (FoldedEquals(head + 6, "jfif")) {
        if (std::memcmp(head + 6, "JFIF", 4) != 0 || head[2] != 0xFF) return 0;
        walk = Walk::Jfif;
        exifAt = 24;
        exifLength = byteorder::BE16(head + 22);
    } else if (FoldedEquals(head + 6, "exif")) {
        if (head[2] != 0xFF) return 0;
        walk = Walk::Exif;
        exifAt = 6;
        exifLength = byteorder::BE16(head + 4);
    }
    if (walk != Walk::Plain && exifLength > 2) {
        std::vector<std::uint8_t> block(exifLength - 2);
        tag_ExifInfo info;
        m_exif.SetExitInfo(&info);
        if (reader.Read(exifAt, block.size(), block.data()) &&
            m_exif.EXIF_process_EXIF(block.data(), static_cast<unsigned>(block.size()), block.data(),
                                     static_cast<unsigned>(block.size()))) {
            m_cameraName = info.CameraModel.find('<') != std::string::npos ? info.CameraMake : info.CameraModel;
            m_cameraName = ApiStrFilterBadFileName(m_cameraName);
            m_cameraTime = info.DateTime;
            m_tagValue = m_cameraName;
            record.SetRawFileName(m_cameraName);
            record.m_rawFileTime = m_cameraTime;
            if (!m_cameraName.empty()) {
                m_tag = RAW_FILE_TAG_CAMERA;
                record.SetRawFileTagAndValue(RAW_FILE_TAG_CAMERA, m_tagValue);
            }
        }
        m_exif.SetExitInfo(nullptr);
    }
    const std::int64_t cap = walk == Walk::Jfif ? kJfifCap : kOtherCap;
    std::int64_t off = 2, width = 0, height = 0, scanEnd = -1;
    bool frame = false;
    for (int markers = 0; scanEnd < 0; ++markers) {
        if (off > cap - 1) {
            if (off != cap) return 0;
            record.m_size = cap;
            record.m_type = RAW_FILE_TYPE_JPG;
            return 1;
        }
        if (markers >= kMaxMarkers) return 0;
        std::uint8_t m[10];
        if (!reader.Read(static_cast<std::uint64_t>(off), sizeof m, m)) return 0;
        // Not a marker: the header is damaged; the end search may still
        // find where the photo stops.
        if (m[0] != 0xFF) break;
        const std::uint8_t marker = m[1];
        const std::int64_t length = byteorder::BE16(m + 2);
        if (marker == 0xFF) {
            off += 2;
            continue;
        }
        if (marker == kSOS) {
            if (!frame) break;
            if (walk == Walk::Plain && m[4] != 3) return 0;
            scanEnd = off + length + 2;
            break;
        }
        bool read = false;
        if (walk == Walk::Jfif)
            read = marker == kSOF0 || (marker == kSOF2 && (width == 0 || height == 0));
        else if (walk == Walk::Exif)
            read = marker == kSOF0;
        else
            read = IsFrameHeader(marker);
        if (read) {
            if (walk != Walk::Jfif && m[4] != 8) return 0;
            if (walk == Walk::Plain && m[9] != 3) return 0;
            height = byteorder::BE16(m + 5);
            width = byteorder::BE16(m + 7);
            frame = true;
        }
        (void)kCOM;  // comments skip by their length like every other segment
        off += length + 2;
    }
    std::int64_t from = off, endCap = cap;
    if (scanEnd >= 0) {
        from = scanEnd;
        if (width > 0 && height > 0) endCap = width * height * 3;
    }
    record.m_size = AddFileSizeByPerSecSize(reader, from, endCap);
    record.m_type = RAW_FILE_TYPE_JPG;
    return 1;
}

// ---------------------------------------------------------------------------
// Streaming side

namespace BruteForce {

int JpegAnalyzer::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (Recognise(sector, record) == 0) return 0;
    record.m_type = RAW_FILE_TYPE_JPG;
    return 1;
}

int JpegAnalyzer::AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize,
                                  std::int64_t sectorNumber, std::int64_t, std::int64_t blockEndSector,
                                  const SectorView& view) {
    const int kind = Recognise(sector, record);
    if (kind != 2) return kind;
    if (sectorSize <= 0 || sectorNumber < 0) return 0;
    const std::uint64_t start = static_cast<std::uint64_t>(sectorNumber) * static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t limit = static_cast<std::uint64_t>(blockEndSector) * static_cast<std::uint64_t>(sectorSize);
    if (!PlainStructureValid(view, start, limit)) return 0;
    record.m_type = RAW_FILE_TYPE_JPG;
    return 1;
}

CRawFileInfo* JpegAnalyzer::CreateRawFileInfo() { return new JpegRawFileInfo(this); }

void JpegRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

void JpegRawFileInfo::FindExifCameraInfo(const SectorView& view, std::uint64_t exif) {
    if (exif < 2) return;
    const std::uint8_t* h = view.at(exif - 2, 16);
    if (h == nullptr || std::memcmp(h + 2, "Exif", 4) != 0) return;
    const std::uint8_t* tiff = h + 8;
    bool little;
    if (tiff[0] == 'I' && tiff[1] == 'I')
        little = true;
    else if (tiff[0] == 'M' && tiff[1] == 'M')
        little = false;
    else
        return;
    if (RawUtility::EXIF_Get16s(tiff + 2, little) != 42) return;
    const std::uint32_t first = RawUtility::EXIF_Get32s(tiff + 4, little);
    if (first < 8 || first > 16) return;
    bool makeSeen = false;
    AnalyzeExifTag(view, exif + 6, 8, byteorder::BE16(h), little, makeSeen);
}

void JpegRawFileInfo::AnalyzeExifTag(const SectorView& view, std::uint64_t tiff, std::uint64_t dir,
                                     std::uint32_t segment, bool little, bool& makeSeen) {
    // Seven directories name a photo; more only cost time.
    if (++m_exifWalks > kMaxExifWalks) return;
    const std::uint8_t* d = view.at(tiff + dir, 2);
    if (d == nullptr) return;
    const std::uint32_t n = RawUtility::EXIF_Get16s(d, little);
    if (n < 1 || n > 512 || n * 12 > segment) return;
    makeSeen = false;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t* entry = view.at(tiff + dir + 2 + 12ull * i, 12);
        if (entry == nullptr) return;
        const std::uint16_t tag = RawUtility::EXIF_Get16s(entry, little);
        const int type = RawUtility::EXIF_Get16s(entry + 2, little);
        const std::uint64_t count = RawUtility::EXIF_Get32s(entry + 4, little);
        if (type > 12 || count < 1 || count > segment) return;
        const std::uint64_t bytes = count * static_cast<std::uint64_t>(BytesPerFormat[type]);
        const std::uint8_t* value = entry + 8;
        if (bytes > 4) {
            const std::uint64_t off = RawUtility::EXIF_Get32s(entry + 8, little);
            if (off + bytes > segment) return;
            value = view.at(tiff + off, static_cast<std::size_t>(bytes));
            if (value == nullptr) return;
        }
        const std::int64_t v = (bytes >= static_cast<std::uint64_t>(BytesPerFormat[type]) && type != 2 && type != 7)
                                   ? ExifValue(value, type, little)
                                   : 0;
        switch (tag) {
        case 271: {
            std::string make = Upper(TextOf(value, bytes, 39));
            if (ApiIsInvalidCharInFileName(make)) SetRawFileTagAndValue(RAW_FILE_TAG_CAMERA, make);
        }
            [[fallthrough]];
        case 272: {
            const std::string model = TextOf(value, bytes, 39);
            SetRawFileName(model);
            if (!makeSeen) {
                std::string upper = Upper(model);
                if (ApiIsInvalidCharInFileName(upper)) SetRawFileTagAndValue(RAW_FILE_TAG_CAMERA, upper);
            }
            if (tag == 271) makeSeen = true;
            break;
        }
        case 36867:
            m_rawFileTime = TextOf(value, bytes, 19);
            break;
        case 34665:
        case 40965:
            if (v > 0) {
                m_minSize += v + 40960;
                if (view.at(tiff + static_cast<std::uint64_t>(v), 2)) {
                    bool subMake = false;
                    AnalyzeExifTag(view, tiff, static_cast<std::uint64_t>(v), segment, little, subMake);
                }
            }
            break;
        case 1:
        case 256:
        case 40962:
            m_exifWidth = v;
            break;
        case 257:
        case 40963:
            if (m_exifWidth > 0 && v >= 400) {
                m_pixelCount = std::min<std::int64_t>(m_exifWidth, 0xFFFFFFFF) * std::min<std::int64_t>(v, 0xFFFFFFFF);
                m_minSize = m_pixelCount / 8;
                return;
            }
            break;
        case 513:
        case 514:
            m_minSize += std::max<std::int64_t>(v, 0);
            break;
        default:
            break;
        }
    }
    const std::uint8_t* link = view.at(tiff + dir + 2 + 12ull * n, 4);
    if (link == nullptr) return;
    const std::uint64_t next = RawUtility::EXIF_Get32s(link, little);
    if (next != 0 && view.at(tiff + next, 2)) {
        bool nextMake = false;
        AnalyzeExifTag(view, tiff, next, segment, little, nextMake);
    }
}

void JpegRawFileInfo::MarkerScan(const SectorView& view, std::uint64_t base, std::int64_t pos, int sectorSize) {
    while (m_markerScan != 0 && m_markerScan / sectorSize == pos / sectorSize) {
        const std::uint64_t at = base + static_cast<std::uint64_t>(m_markerScan);
        const std::uint8_t* m = view.at(at, 4);
        if (m == nullptr || m[0] != 0xFF || m[1] < 0xC0 || m[1] == 0xFF) {
            m_markerScan = 0;
            return;
        }
        if (m[1] == kSOI) {
            m_markerScan += 2;
            continue;
        }
        if (m[1] == kSOF0 && m_pixelCount == 0) {
            const std::uint8_t* f = view.at(at, 9);
            if (f && f[4] == 8) {
                const std::int64_t height = byteorder::BE16(f + 5);
                const std::int64_t width = byteorder::BE16(f + 7);
                if (height >= 401) {
                    m_pixelCount += width * height;
                    m_minSize += m_pixelCount / 8;
                }
            }
        } else if (m[1] == kAPP1) {
            const std::uint8_t* id = view.at(at + 4, 4);
            if (id && std::memcmp(id, "Exif", 4) == 0) FindExifCameraInfo(view, at + 4);
        }
        m_markerScan += static_cast<std::int64_t>(byteorder::BE16(m + 2)) + 2;
    }
}

int JpegRawFileInfo::Finish(std::int64_t size, std::int64_t endSector) {
    std::string name = m_rawFileName;
    std::string value = m_tagValue;
    if (!ApiIsInvalidCharInFileName(name))
        name.clear();
    else if (!ApiIsInvalidCharInFileName(value))
        value.clear();
    char text[160];
    if (!value.empty() && !name.empty())
        std::snprintf(text, sizeof text, "%s_%s_%" PRId64 "-%" PRId64, value.c_str(), name.c_str(), m_startSector,
                      endSector);
    else if (!value.empty() || !name.empty())
        std::snprintf(text, sizeof text, "%s_%" PRId64 "-%" PRId64, value.empty() ? name.c_str() : value.c_str(),
                      m_startSector, endSector);
    else
        std::snprintf(text, sizeof text, "%" PRId64 "-%" PRId64, m_startSector, endSector);
    SetRawFileName(text);
    m_size = size;
    m_type = RAW_FILE_TYPE_JPG;
    return 1;
}

int JpegRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize < 16 || sectorNumber < m_startSector) return 2;
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(sectorSize);
    if (m_endAtSectorEnd) {
        m_endAtSectorEnd = false;
        // Cheap tests first: most sectors after a photo are not empty.
        bool empty = ctx.newFile == nullptr && ctx.leadingZero && ctx.trailingZeroBytes == 32;
        for (int i = 0; empty && i < sectorSize; ++i) empty = sector[i] == 0;
        if (ctx.newFile != nullptr || empty) return Finish(pos, sectorNumber - 1);
    }
    if (sectorNumber == m_startSector) {
        if (std::memcmp(sector + 6, "JFIF", 4) == 0) {
            FindExifCameraInfo(ctx.view, base + 24);
        } else if (std::memcmp(sector + 6, "Exif", 4) == 0) {
            m_hasExif = 1;
            FindExifCameraInfo(ctx.view, base + 6);
        }
        if (m_minSize <= 1024) m_markerScan = 2;
    }
    if (m_markerScan != 0 && pos / sectorSize == m_markerScan / sectorSize) MarkerScan(ctx.view, base, pos, sectorSize);

    const int z = static_cast<int>(ctx.trailingZeroBytes);
    bool ended = false;
    std::int64_t e = -1;
    if (m_hasExif ? (z > 8 && pos > m_minSize) : (z >= 8)) {
        const int found = RawUtility::FindMagicInBuffer(sector, sectorSize - z, 0, g_szsignFile, 2);
        if (found > 0) {
            if (found + 4 <= sectorSize && byteorder::LE32(sector + found) == 0) {
                e = found;
                ended = true;
            }
        } else if (m_havePrev && m_prevSector >= ctx.bufferStartSector && m_prevSector == sectorNumber - 1) {
            const std::uint8_t* last =
                ctx.view.at(static_cast<std::uint64_t>(m_prevSector) * sectorSize + sectorSize - 1, 1);
            if (last && *last == 0xFF && sector[0] == 0xD9 && byteorder::LE32(sector + 1) == 0) {
                e = 2;
                ended = true;
            }
        }
    }
    m_prevSector = sectorNumber;
    m_havePrev = true;
    if (!ended && z == 0 && sector[sectorSize - 2] == 0xFF && sector[sectorSize - 1] == 0xD9 &&
        (!m_hasExif || pos > m_minSize))
        m_endAtSectorEnd = true;
    if (m_pixelCount != 0 && pos > m_pixelCount && !ended) {
        ended = true;
        e = sectorSize - z;
    }
    if (!m_hasExif) m_sizeCap = kPlainCap;
    if (pos > m_sizeCap) return Finish(m_sizeCap, sectorNumber);
    if (ended) return Finish(pos + e, sectorNumber);
    return 2;
}

}  // namespace BruteForce
