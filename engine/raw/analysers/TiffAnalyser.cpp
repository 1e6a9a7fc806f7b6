#include "raw/analysers/TiffAnalyser.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"

namespace {

const char kRafMagic[] = "FUJIFILMCCD-RAW ";
constexpr std::int64_t kRafTiff = 160;
constexpr std::int64_t kSmallExtent = 10240;
constexpr std::int64_t kHugeExtent = 1308622849;
constexpr std::int64_t kTailSearchLimit = 43620761;
constexpr std::uint32_t kMaxEntries = 512;

// Bytes per component of the TIFF field types 1..12.
std::uint32_t TypeSize(std::uint32_t type) {
    static const std::uint32_t sizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type <= 12 ? sizes[type] : 0;
}

enum : std::uint16_t {
    kWidth = 256,
    kHeight = 257,
    kMake = 271,
    kModel = 272,
    kStripOffsets = 273,
    kStripByteCounts = 279,
    kDateTime = 306,
    kTileOffsets = 324,
    kTileByteCounts = 325,
    kSubIFDs = 330,
    kThumbOffset = 513,
    kThumbLength = 514,
    kIptc = 33723,
    kExifIFD = 34665,
    kMakerNote = 37500,
    kPanasonicPreview = 46,
    kPhotoshop = 37724,
    kDNGVersion = 50706,
    kDNGPrivateData = 50740,
};

bool IsJpegSignature(const std::uint8_t* p) {
    return p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF && (p[3] == 0xE0 || p[3] == 0xE1 || p[3] == 0xDB);
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A make or model fit for a name: cleaned, plain characters, at most 30.
std::string CleanCameraText(const std::uint8_t* p, std::size_t n) {
    const void* nul = std::memchr(p, 0, n);
    std::string s(reinterpret_cast<const char*>(p), nul ? static_cast<const std::uint8_t*>(nul) - p : n);
    s = ApiStrFilterBadFileName(s);
    if (s.size() > 30 || !BruteForce::ApiIsInvalidCharInFileName(s)) s.clear();
    return s;
}

}  // namespace

namespace BruteForce {

std::uint32_t SetFileExt(const std::string& make, const std::string& model, bool dng, bool iiu, std::uint32_t current) {
    auto has = [&](const char* word) { return make.find(word) != std::string::npos; };
    auto modelHas = [&](const char* word) { return model.find(word) != std::string::npos; };
    if (dng) return RAW_FILE_TYPE_DNG;
    if (has("NIKON")) return RAW_FILE_TYPE_NEF;
    if (has("CANON")) return RAW_FILE_TYPE_CR2;
    if (has("SONY")) return modelHas("DSC-R1") ? RAW_FILE_TYPE_SR2 : RAW_FILE_TYPE_ARW;
    if (has("PANASONIC")) return (!iiu || modelHas("DMC-")) ? RAW_FILE_TYPE_RW2 : RAW_FILE_TYPE_RAW;
    if (has("LEICA") && iiu) return RAW_FILE_TYPE_RAW;
    if (has("KODAK")) return modelHas("DCS Pro SLR") ? RAW_FILE_TYPE_DCR : RAW_FILE_TYPE_KDC;
    if (has("EPSON")) return RAW_FILE_TYPE_ERF;
    if (has("HASSELBLAD")) return RAW_FILE_TYPE_3FR;
    if (has("MAMIYA")) return RAW_FILE_TYPE_MEF;
    if (has("PENTAX")) return RAW_FILE_TYPE_PEF;
    if (has("SAMSUNG")) return RAW_FILE_TYPE_SRW;
    if (has("OLYMPUS")) return RAW_FILE_TYPE_ORF;
    return current;
}

}  // namespace BruteForce

// ---------------------------------------------------------------------------
// Device side

struct FileTIFAnalyser::Walk {
    bool little = true;
    std::uint64_t shift = 0;  // where the TIFF header lies in the file
    std::int64_t extent = 0;
    std::string make, model;
    bool dng = false, iiu = false, kodakPro = false;
    std::set<std::uint64_t> visited;
    std::uint16_t U16(const std::uint8_t* p) const { return little ? byteorder::LE16(p) : byteorder::BE16(p); }
    std::uint32_t U32(const std::uint8_t* p) const { return little ? byteorder::LE32(p) : byteorder::BE32(p); }
    void Grow(std::uint64_t end) {
        const std::int64_t e = static_cast<std::int64_t>(std::min<std::uint64_t>(end, INT64_MAX / 2));
        if (e > extent) extent = e;
    }
};

int FileTIFAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    if (std::memcmp(sector, "FUJI", 4) == 0 && std::memcmp(sector + 4, "FILMCCD-RAW ", 12) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_TIF;
    return 1;
}

int FileTIFAnalyser::GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) {
    tag = static_cast<RAW_FILE_TAG>(m_tag);
    value = m_tagValue;
    return m_tag;
}

bool FileTIFAnalyser::LastElement(WindowReader& reader, const Walk& w, std::uint32_t count, std::uint32_t typeSize,
                                  std::uint32_t value, std::uint64_t& out) {
    if (count == 0 || (typeSize != 2 && typeSize != 4)) return false;
    if (static_cast<std::uint64_t>(count) * typeSize <= 4) {
        std::uint8_t raw[4];
        w.little ? byteorder::PutLE32(raw, value) : byteorder::PutBE32(raw, value);
        const std::uint8_t* last = raw + (count - 1) * typeSize;
        out = typeSize == 2 ? w.U16(last) : w.U32(last);
        return true;
    }
    const std::uint64_t at = w.shift + value + static_cast<std::uint64_t>(count - 1) * typeSize;
    std::uint8_t raw[4];
    if (at > kOffsetLimit || !reader.Read(at, typeSize, raw)) return false;
    out = typeSize == 2 ? w.U16(raw) : w.U32(raw);
    return true;
}

void FileTIFAnalyser::GetSubIFDSize(WindowReader& reader, Walk& w, std::uint64_t ifd) {
    // Sub-directories and their chains; few real files hold more than a
    // handful, and the bound keeps a hostile file from walking forever.
    while (ifd != 0 && m_subDirectories <= kMaxSubDirectories) {
        ++m_subDirectories;
        std::uint8_t link[4];
        if (!GetTiffSize(reader, w, ifd, true)) return;
        std::uint8_t count[2];
        if (!reader.Read(w.shift + ifd, 2, count)) return;
        if (!reader.Read(w.shift + ifd + 2 + 12ull * w.U16(count), 4, link)) return;
        ifd = w.U32(link);
    }
}

// One directory: grows the extent by everything it points at. False when
// the directory cannot be read or is no directory.
bool FileTIFAnalyser::GetTiffSize(WindowReader& reader, Walk& w, std::uint64_t ifd, bool sub) {
    if (ifd > kOffsetLimit || w.visited.count(ifd) || w.visited.size() > 4096) return false;
    w.visited.insert(ifd);
    std::uint8_t head[2];
    if (!reader.Read(w.shift + ifd, 2, head)) return false;
    const std::uint32_t n = w.U16(head);
    if (n < 1 || n > kMaxEntries) return false;
    std::vector<std::uint8_t> entries(12 * n + 4);
    if (!reader.Read(w.shift + ifd + 2, entries.size(), entries.data())) return false;
    w.Grow(w.shift + ifd + 2 + entries.size());
    std::uint64_t stripOffset = 0, stripLength = 0, thumbOffset = 0, thumbLength = 0;
    std::uint64_t tileOffset = 0, tileBytes = 0;
    std::uint32_t tileCount = 0;
    std::vector<std::uint64_t> subs;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t* e = entries.data() + 12 * i;
        const std::uint16_t tag = w.U16(e);
        const std::uint32_t typeSize = TypeSize(w.U16(e + 2));
        const std::uint32_t count = w.U32(e + 4);
        const std::uint32_t value = w.U32(e + 8);
        const std::uint64_t bytes = static_cast<std::uint64_t>(count) * typeSize;
        if (bytes > 4) w.Grow(w.shift + value + bytes);
        std::uint64_t last = 0;
        switch (tag) {
        case kMake:
        case kModel: {
            if (sub) break;
            std::uint8_t text[64] = {};
            const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, 63));
            if (bytes <= 4)
                std::memcpy(text, e + 8, len);
            else if (!reader.Read(w.shift + value, len, text))
                return false;
            std::string s(reinterpret_cast<const char*>(text));
            if (tag == kMake && w.make.empty())
                w.make = Upper(s);
            else if (tag == kModel && w.model.empty())
                w.model = s;
            break;
        }
        case kDateTime: {
            if (sub || !m_time.empty() || bytes <= 4) break;
            char text[64] = {};
            if (reader.Read(w.shift + value, std::min<std::uint64_t>(bytes, 63), text)) m_time = text;
            break;
        }
        case kStripOffsets:
        case kThumbOffset:
            if (LastElement(reader, w, count, typeSize, value, last)) {
                (tag == kStripOffsets ? stripOffset : thumbOffset) = last;
                if (count == 1) {
                    std::uint8_t sig[4];
                    if (reader.Read(w.shift + last, 4, sig) && IsJpegSignature(sig)) thumbOffset = last;
                }
            }
            break;
        case kStripByteCounts:
        case kThumbLength:
            if (LastElement(reader, w, count, typeSize, value, last))
                (tag == kStripByteCounts ? stripLength : thumbLength) = last;
            break;
        case kTileOffsets:
            LastElement(reader, w, count, typeSize, value, tileOffset);
            tileCount = count;
            break;
        case kTileByteCounts:
            LastElement(reader, w, count, typeSize, value, tileBytes);
            break;
        case kSubIFDs:
            for (std::uint32_t k = 0; k < std::min<std::uint32_t>(count, kMaxEntries); ++k) {
                std::uint64_t off = 0;
                if (count == 1)
                    off = value;
                else if (!LastElement(reader, w, k + 1, typeSize == 0 ? 4 : typeSize, value, off))
                    break;
                subs.push_back(off);
            }
            break;
        case kExifIFD:
            subs.push_back(value);
            break;
        case kIptc:
            if (w.kodakPro && bytes == 0) {
                std::uint8_t raw[4];
                if (reader.Read(w.shift + value, 4, raw)) w.Grow(w.shift + value + w.U32(raw));
            } else {
                w.Grow(w.shift + value + bytes);
            }
            break;
        case kPhotoshop:
            w.Grow(w.shift + value + bytes);
            break;
        case kDNGVersion:
            w.dng = true;
            break;
        case kDNGPrivateData:
            // This camera keeps part of its raw data behind the private
            // block, whose length is stored at its start.
            if (w.model.rfind("DSLR-A100", 0) == 0 && value <= kOffsetLimit) {
                std::uint8_t raw[4];
                if (reader.Read(w.shift + value, 4, raw)) w.Grow(w.shift + value + w.U32(raw));
            }
            break;
        default:
            break;
        }
    }
    w.kodakPro = w.make.find("KODAK") != std::string::npos && w.model.find("DCS Pro SLR") != std::string::npos;
    if (stripOffset && stripLength) w.Grow(w.shift + stripOffset + stripLength);
    if (thumbOffset && thumbLength) {
        w.Grow(w.shift + thumbOffset + thumbLength);
        if (m_thumbSize == 0) {
            m_thumbStart = static_cast<std::int64_t>(thumbOffset);
            m_thumbSize = static_cast<std::int64_t>(thumbLength);
        }
    }
    if (tileCount && tileOffset && tileBytes) w.Grow(w.shift + tileOffset + tileBytes);
    for (std::uint64_t s : subs) GetSubIFDSize(reader, w, s);
    return true;
}

int FileTIFAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    m_name.clear();
    m_time.clear();
    m_tag = RAW_FILE_TAG_NONE;
    m_tagValue.clear();
    m_thumbStart = m_thumbSize = 0;
    m_subDirectories = 1;
    if (device == nullptr || record.m_startSector < 0) return 0;
    const std::int64_t ss = device->GetSectorSize() ? device->GetSectorSize() : 512;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[16];
    if (!reader.Read(0, sizeof head, head)) return 0;
    Walk w;
    std::uint32_t type = record.m_type ? record.m_type : RAW_FILE_TYPE_TIF;
    bool raf = false;
    if (std::memcmp(head, kRafMagic, 16) == 0) {
        raf = true;
        type = RAW_FILE_TYPE_RAF;
        std::uint8_t raf_head[kRafTiff];
        if (!reader.Read(0, sizeof raf_head, raf_head)) return 0;
        const std::uint64_t jpeg = byteorder::BE32(raf_head + 84);
        // The preview JPEG carries the EXIF block that names the camera.
        std::uint8_t app[10];
        if (jpeg <= kOffsetLimit && reader.Read(jpeg, sizeof app, app) && app[0] == 0xFF && app[1] == 0xD8 &&
            app[2] == 0xFF && app[3] == 0xE1 && byteorder::BE16(app + 4) > 2) {
            std::vector<std::uint8_t> block(byteorder::BE16(app + 4) - 2);
            tag_ExifInfo info;
            m_exif.SetExitInfo(&info);
            if (reader.Read(jpeg + 6, block.size(), block.data()) &&
                m_exif.EXIF_process_EXIF(block.data(), static_cast<unsigned>(block.size()), block.data(),
                                         static_cast<unsigned>(block.size()))) {
                w.make = Upper(info.CameraMake);
                w.model = info.CameraModel;
                m_time = info.DateTime;
            }
            m_exif.SetExitInfo(nullptr);
        }
        for (int at : {84, 92, 100}) {
            const std::uint64_t off = byteorder::BE32(raf_head + at), len = byteorder::BE32(raf_head + at + 4);
            w.Grow(off + len);
        }
        if (byteorder::BE32(raf_head + 132)) w.Grow(byteorder::BE32(raf_head + 132));
        w.shift = kRafTiff;
        if (!reader.Read(w.shift, sizeof head, head)) head[0] = 0;
    }
    if (head[0] == 'M' && head[1] == 'M') w.little = false;
    if (head[0] == 'I' && head[1] == 'I' && head[2] == 0x55 && head[3] == 0) {
        type = RAW_FILE_TYPE_RAW;
        w.iiu = true;
    }
    if (head[0] == 'I' || head[0] == 'M') {
        std::uint64_t ifd = w.U32(head + 4);
        if (ifd > kOffsetLimit) {
            if (!raf) return 0;
        } else {
            w.Grow(w.shift + 8);
            for (int walked = 0; ifd != 0 && walked < 1024; ++walked) {
                if (ifd > kOffsetLimit || w.extent > static_cast<std::int64_t>(kOffsetLimit)) break;
                std::uint8_t count[2];
                if (!reader.Read(w.shift + ifd, 2, count)) return 0;
                const std::uint32_t n = w.U16(count);
                if (n < 1 || n > kMaxEntries || w.visited.count(ifd)) {
                    // Not even a first directory: four bytes that only look
                    // like a TIFF start, not a file to give the fixed size.
                    if (walked == 0 && !raf) return 0;
                    break;
                }
                if (!GetTiffSize(reader, w, ifd, false)) return 0;
                std::uint8_t link[4];
                if (!reader.Read(w.shift + ifd + 2 + 12ull * n, 4, link)) return 0;
                ifd = w.U32(link);
            }
        }
    }
    type = BruteForce::SetFileExt(w.make, w.model, w.dng, w.iiu, raf ? RAW_FILE_TYPE_RAF : type);
    if (raf) type = RAW_FILE_TYPE_RAF;
    const std::string make = CleanCameraText(reinterpret_cast<const std::uint8_t*>(w.make.data()), w.make.size());
    const std::string model = CleanCameraText(reinterpret_cast<const std::uint8_t*>(w.model.data()), w.model.size());
    if (!make.empty()) {
        m_name = make + "_" + model;
        m_tagValue = m_name;
    } else if (!model.empty()) {
        m_name = m_tagValue = model;
    }
    if (!m_tagValue.empty()) {
        m_tag = RAW_FILE_TAG_CAMERA;
        record.SetRawFileName(m_name);
        record.SetRawFileTagAndValue(RAW_FILE_TAG_CAMERA, m_tagValue);
    }
    record.m_rawFileTime = m_time;
    std::int64_t size = w.extent;
    if (raf) size += kRafTiff;
    // A walk that found (almost) nothing, or a size no camera writes.
    if (size < kSmallExtent || size >= kHugeExtent) size = kBadExtentSize;
    size = (size + ss - 1) / ss * ss;
    if (size <= BruteForce::TiffRawFileInfo::kExactLimit) {
        // Data may run past what the directories show (maker data): when
        // the last sector is not zero-tailed, the file ends where the first
        // zero-tailed sector after it starts.
        std::uint8_t tail[16];
        auto zeroTailed = [&](std::int64_t at) {
            if (!reader.Read(static_cast<std::uint64_t>(at + ss - 16), 16, tail)) return -1;
            for (std::uint8_t b : tail)
                if (b) return 0;
            return 1;
        };
        if (zeroTailed(size - ss) == 0) {
            for (std::int64_t at = size; at <= kTailSearchLimit; at += ss) {
                const int z = zeroTailed(at);
                size = at;
                if (z != 0) break;
            }
        }
    }
    record.m_size = size;
    record.m_type = type;
    return 1;
}

// ---------------------------------------------------------------------------
// Streaming side

namespace BruteForce {

int TiffAnalyzer::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    const std::uint16_t b0 = byteorder::LE16(sector), b1 = byteorder::LE16(sector + 2);
    bool hit = false;
    if (b0 == 0x5546)
        hit = b1 == 0x494A && std::memcmp(sector, kRafMagic, 16) == 0;
    else if (b0 == 0x4949)
        hit = b1 == 42 || b1 == 0x55 || b1 == 0x4F52 || b1 == 0x5352;
    else if (b0 == 0x4D4D)
        hit = b1 == 0x2A00 || b1 == 0x524F;
    if (!hit) return 0;
    record.m_type = RAW_FILE_TYPE_TIF;
    return 1;
}

CRawFileInfo* TiffAnalyzer::CreateRawFileInfo() { return new TiffRawFileInfo(this); }

void TiffRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

bool TiffRawFileInfo::IsJpegAt(const SectorView& view, std::int64_t offset) const {
    const std::uint8_t* p = view.at(m_base + static_cast<std::uint64_t>(offset), 4);
    return p != nullptr && IsJpegSignature(p);
}

std::string TiffRawFileInfo::ReadText(const SectorView& view, std::uint32_t count, std::uint32_t value) {
    const std::size_t n = std::min<std::size_t>(count, 63);
    if (count <= 4) {
        std::uint8_t raw[4];
        m_little ? byteorder::PutLE32(raw, value) : byteorder::PutBE32(raw, value);
        return CleanCameraText(raw, n);
    }
    const std::uint8_t* p = view.at(m_base + value, n);
    if (p == nullptr) {
        m_giveUp = 1;
        return std::string();
    }
    return CleanCameraText(p, n);
}

bool TiffRawFileInfo::LastElement(const SectorView& view, std::uint32_t count, std::uint32_t typeSize,
                                  std::uint32_t value, std::int64_t& out) {
    if (count == 0 || (typeSize != 2 && typeSize != 4)) return false;
    if (static_cast<std::uint64_t>(count) * typeSize <= 4) {
        std::uint8_t raw[4];
        m_little ? byteorder::PutLE32(raw, value) : byteorder::PutBE32(raw, value);
        const std::uint8_t* last = raw + (count - 1) * typeSize;
        out = typeSize == 2 ? RawUtility::EXIF_Get16s(last, m_little) : RawUtility::EXIF_Get32s(last, m_little);
        return true;
    }
    const std::uint8_t* p = view.at(m_base + value + static_cast<std::uint64_t>(count - 1) * typeSize, typeSize);
    if (p == nullptr) {
        m_giveUp = 1;
        return false;
    }
    out = typeSize == 2 ? RawUtility::EXIF_Get16s(p, m_little) : RawUtility::EXIF_Get32s(p, m_little);
    return true;
}

bool TiffRawFileInfo::CheckIFD(const SectorView& view, std::int64_t ifd, bool chain) {
    if (++m_directoryCount >= kMaxDirectories) {
        m_giveUp = 1;
        return false;
    }
    m_currentDirectory = ifd;
    const std::uint8_t* d = view.at(m_base + static_cast<std::uint64_t>(ifd), 2);
    const std::uint32_t n = d ? RawUtility::EXIF_Get16s(d, m_little) : 0;
    if (n == 0 || n > kMaxEntries) return false;
    // The whole directory and its link must be in memory; else the device
    // walk sizes the file.
    const std::uint8_t* dir = view.at(m_base + static_cast<std::uint64_t>(ifd), 12 * n + 6);
    if (dir == nullptr) {
        m_giveUp = 1;
        return false;
    }
    Grow(ifd + 12 * n + 2);
    std::int64_t stripOffset = 0, stripBytes = 0, thumbOffset = 0, thumbLength = 0, tileEnd = 0;
    for (std::uint32_t i = 0; i < n && !m_giveUp; ++i) {
        const std::uint8_t* e = dir + 2 + 12 * i;
        const std::uint16_t tag = RawUtility::EXIF_Get16s(e, m_little);
        const std::uint32_t typeSize = TypeSize(RawUtility::EXIF_Get16s(e + 2, m_little));
        const std::uint32_t count = RawUtility::EXIF_Get32s(e + 4, m_little);
        const std::uint32_t value = RawUtility::EXIF_Get32s(e + 8, m_little);
        const std::int64_t bytes = static_cast<std::int64_t>(count) * typeSize;
        if (bytes >= 5) Grow(static_cast<std::int64_t>(value) + bytes);
        if (typeSize != 1 && typeSize != 2 && typeSize != 4) continue;
        // A short value sits in the first two bytes of the value field.
        const std::uint32_t inlineValue = typeSize == 2   ? RawUtility::EXIF_Get16s(e + 8, m_little)
                                          : typeSize == 1 ? e[8]
                                                          : value;
        std::int64_t last = 0;
        switch (tag) {
        case kWidth:
            m_width = inlineValue;
            break;
        case kHeight:
            m_height = inlineValue;
            break;
        case kMake:
            if (!m_makeSeen) {
                m_makeSeen = 1;
                m_make = Upper(ReadText(view, count, value));
                if (!m_make.empty()) SetRawFileTagAndValue(RAW_FILE_TAG_CAMERA, m_make);
            }
            break;
        case kModel:
            if (!m_modelSeen) {
                m_modelSeen = 1;
                m_model = ReadText(view, count, value);
                if (m_make.empty() && !m_model.empty()) SetRawFileTagAndValue(RAW_FILE_TAG_CAMERA, m_model);
            }
            break;
        case kStripOffsets:
            if (LastElement(view, count, typeSize, value, last)) stripOffset = last;
            if (count == 1 && IsJpegAt(view, stripOffset)) thumbOffset = stripOffset;
            break;
        case kStripByteCounts:
            if (LastElement(view, count, typeSize, value, last)) {
                stripBytes = last;
                m_stripsSeen = 1;
            }
            break;
        case kDateTime: {
            const std::size_t len = std::min<std::uint32_t>(count, 63);
            const std::uint8_t* t = count > 4 ? view.at(m_base + value, len) : e + 8;
            if (t) {
                const void* nul = std::memchr(t, 0, len);
                m_rawFileTime.assign(reinterpret_cast<const char*>(t),
                                     nul ? static_cast<const std::uint8_t*>(nul) - t : len);
            }
            break;
        }
        case kTileOffsets:
            m_tileOffsets[0] = value;
            m_tileOffsets[1] = static_cast<std::uint32_t>(std::min<std::int64_t>(bytes, UINT32_MAX));
            m_tileOffsets[2] = count;
            m_tileOffsets[3] = typeSize;
            break;
        case kTileByteCounts:
            if (count == m_tileOffsets[2] && static_cast<std::uint32_t>(bytes) == m_tileOffsets[1]) {
                std::int64_t lastOffset = 0, lastBytes = 0;
                if (LastElement(view, count, m_tileOffsets[3], m_tileOffsets[0], lastOffset) &&
                    LastElement(view, count, typeSize, value, lastBytes))
                    tileEnd = lastOffset + lastBytes;
                else if (count > 1)
                    tileEnd =
                        static_cast<std::int64_t>(value) + (typeSize + 1024) * (static_cast<std::int64_t>(count) - 1);
            }
            break;
        case kSubIFDs:
            for (std::uint32_t k = 0; k < count && k < kMaxPending && !m_giveUp; ++k) {
                std::int64_t off = 0;
                if (count == 1)
                    off = value;
                else if (!LastElement(view, k + 1, 4, value, off))
                    break;
                if (off > 0 && m_pendingSubDirs.size() < kMaxPending) m_pendingSubDirs.emplace(off, off / m_sectorSize);
            }
            break;
        case kThumbOffset:
            if (LastElement(view, count, typeSize, value, last)) thumbOffset = last;
            break;
        case kThumbLength:
            if (LastElement(view, count, typeSize, value, last)) {
                thumbLength = last;
                m_stripsSeen = 1;
            }
            break;
        case kExifIFD:
            if (value > 0 && m_pendingSubDirs.size() < kMaxPending)
                m_pendingSubDirs.emplace(value, value / m_sectorSize);
            break;
        case kDNGVersion:
            m_dng = 1;
            break;
        default:
            break;
        }
    }
    if (stripOffset > 0 && stripBytes > 0) {
        const std::int64_t stripEnd = stripOffset + stripBytes;
        // An extent still at its first guess (or the pixel estimate) that
        // ends in the strip's last sector gives way to the strip's exact end,
        // but never below what the directories already reached: a directory
        // stored behind the strip belongs to the file.
        if ((stripEnd - 1) / m_sectorSize == (m_extent - 1) / m_sectorSize)
            m_extent = std::max(stripEnd, m_reached);
        else
            Grow(stripEnd);
    }
    if (tileEnd > 0) Grow(tileEnd);
    if (thumbOffset > 0 && thumbLength > 0) {
        if (IsJpegAt(view, thumbOffset)) {
            m_thumbOffset = thumbOffset;
            m_thumbLength = thumbLength;
        } else if (m_pendingThumbs.size() < kMaxPending) {
            m_pendingThumbs.emplace(thumbOffset, thumbLength);
        }
        Grow(thumbOffset + thumbLength);
    }
    for (const auto& [off, sector] : m_pendingSubDirs) Grow(off + 2);
    m_type = SetFileExt(m_make, m_model, m_dng, m_iiu, RAW_FILE_TYPE_TIF);
    if (m_width >= 400 && m_height >= 600) m_pixelEstimate = static_cast<std::int64_t>(m_width) * m_height;
    if (chain) {
        const std::int64_t next = RawUtility::EXIF_Get32s(dir + 2 + 12 * n, m_little);
        m_nextDirectory = next;
        if (next > 0) Grow(next);
    }
    return true;
}

int TiffRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize < 16 || sectorNumber < m_startSector) return 2;
    const std::int64_t s = sectorSize;
    const std::int64_t rel = sectorNumber - m_startSector;
    const std::int64_t pos = rel * s;
    const SectorView& view = ctx.view;
    if (rel == 0) {
        m_sectorSize = s;
        m_base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(s);
        if (sector[0] == 'I' && sector[1] == 'I' && sector[2] == 0x55 && sector[3] == 0) {
            m_type = RAW_FILE_TYPE_RAW;
            m_iiu = 1;
            return GiveUp();
        }
        if (std::memcmp(sector, kRafMagic, 16) == 0) return GiveUp();
        m_little = sector[0] == 'I';
        const std::int64_t first = RawUtility::EXIF_Get32s(sector + 4, m_little);
        m_nextDirectory = first;
        if (first >= s) {
            Grow(first);
            if (first > kFirstIfdLimit) return GiveUp();
        }
    }
    // The main chain, while its directories lie in this sector.
    if (m_nextDirectory > 0 && m_nextDirectory / s == rel) {
        const std::int64_t firstHere = m_nextDirectory;
        for (int k = 0; k < 1024 && m_nextDirectory > 0 && m_nextDirectory / s == rel; ++k) {
            if (!CheckIFD(view, m_nextDirectory, true)) {
                m_nextDirectory = 0;
                break;
            }
            if (m_nextDirectory > 0 && m_nextDirectory <= firstHere) return GiveUp();
        }
    }
    // Sub-directories and thumbnails whose sector has come (or passed while
    // the chain was read in this sector).
    while (!m_giveUp && !m_pendingSubDirs.empty() && m_pendingSubDirs.begin()->first / s <= rel) {
        const std::int64_t off = m_pendingSubDirs.begin()->first;
        m_pendingSubDirs.erase(m_pendingSubDirs.begin());
        CheckIFD(view, off, false);
    }
    while (!m_giveUp && !m_pendingThumbs.empty() && m_pendingThumbs.begin()->first / s <= rel) {
        const auto [off, len] = *m_pendingThumbs.begin();
        m_pendingThumbs.erase(m_pendingThumbs.begin());
        if (IsJpegAt(view, off)) {
            m_thumbOffset = off;
            m_thumbLength = len;
        }
    }
    if (m_giveUp) return GiveUp();

    if (!m_stripsSeen && m_pixelEstimate > m_extent && m_pixelEstimate < kPixelLimit) m_extent = m_pixelEstimate;
    const std::uint32_t z = ctx.trailingZeroBytes;
    const std::int64_t end = pos + s;
    const bool pending = !m_pendingSubDirs.empty() || (m_nextDirectory > 0 && m_nextDirectory >= end);
    bool finished = false;
    if (!pending) {
        if (z == 32)
            finished = end > m_extent;
        else if (z < 16)
            finished = end >= m_extent && m_extent > kLargeExtent;
    }
    if (!finished) return 2;
    char name[160];
    if (!m_make.empty())
        std::snprintf(name, sizeof name, "%s_%s_%" PRId64 "-%" PRId64 "_", m_make.c_str(), m_model.c_str(),
                      m_startSector, sectorNumber);
    else if (!m_model.empty())
        std::snprintf(name, sizeof name, "%s_%" PRId64 "-%" PRId64 "_", m_model.c_str(), m_startSector, sectorNumber);
    else
        std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", m_startSector, sectorNumber);
    SetRawFileName(name);
    if (m_extent > kExactLimit)
        m_size = end;
    else if (m_extent > pos && m_extent <= end && m_type != RAW_FILE_TYPE_TIF)
        m_size = m_extent;
    else
        m_size = end;
    return 1;
}

}  // namespace BruteForce
