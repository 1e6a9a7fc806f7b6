#include "raw/analysers/MovAnalysers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"
#include "foundation/StorageDevice.h"

namespace {

// Box sizes above this are no real file's: the walk stops rather than let
// an offset overflow.
constexpr std::uint64_t kMaxBoxSize = std::uint64_t{1} << 48;

bool EqualNoCase(const std::uint8_t* p, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (std::tolower(p[i]) != std::tolower(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

bool FreeAt28(const std::uint8_t* sector) { return EqualNoCase(sector + 28, "free"); }

std::uint32_t Mp4OrTrec(const std::uint8_t* sector) {
    return FreeAt28(sector) ? RAW_FILE_TYPE_TREC : RAW_FILE_TYPE_MP4;
}

bool IsFtyp(const std::uint8_t* sector) { return std::memcmp(sector + 4, "ftyp", 4) == 0; }

// The camera texts a film carries are plain ASCII names; anything else is
// taken for binary noise.
bool CameraTextValid(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (!(std::isalnum(c) || c == ' ' || c == ',' || c == '-' || c == '.' || c == '@' || c == '_')) return false;
    return true;
}

// Up to `limit` bytes as text, cut at the first zero byte, upper-cased and
// filtered; empty when invalid.
std::string CameraText(const std::uint8_t* p, std::size_t limit) {
    std::string text;
    for (std::size_t i = 0; i < limit && p[i] != 0; ++i) {
        char c = static_cast<char>(p[i]);
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        text.push_back(c);
    }
    text = ApiStrFilterBadFileName(text);
    return CameraTextValid(text) ? text : std::string();
}

}  // namespace

bool IsKnownTopLevelBox(const std::uint8_t* type) {
    static const char kBoxes[][5] = {"ftyp", "free", "skip", "wide", "pnot", "pdin", "uuid", "udta", "trak", "meta",
                                     "meco", "mfra", "moof", "moov", "mvex", "mvhd", "mdat", "TSCM", "TSCR"};
    for (const char* b : kBoxes)
        if (std::memcmp(type, b, 4) == 0) return true;
    return false;
}

std::uint32_t getTypeByMajorBrand(const std::uint8_t* sector) {
    const std::uint8_t* brand = sector + 8;
    auto is3 = [&](const char* s) { return std::memcmp(brand, s, 3) == 0; };
    auto is4 = [&](const char* s) { return std::memcmp(brand, s, 4) == 0; };
    if (is3("F4A") || is3("F4B") || is3("F4P") || is3("F4V") || is4("MSNV") || is4("avc1") || is4("msnv") ||
        is4("mmp4") || is3("NDA"))
        return Mp4OrTrec(sector);
    if ((is3("NDS") || is3("NDX")) && std::strchr("CHMPS", brand[3]) != nullptr && brand[3] != 0)
        return Mp4OrTrec(sector);
    if (is4("KDDI") || is3("3g2") || is3("3ge") || is3("3gp") || is3("3gs")) return RAW_FILE_TYPE_3GP;
    if (is3("M4A")) return RAW_FILE_TYPE_M4A;
    if (is3("M4V")) return RAW_FILE_TYPE_M4V;
    if (is3("qt ")) return RAW_FILE_TYPE_MOV;
    std::uint32_t base = 0;
    if (is4("iso2") || is4("isom"))
        base = RAW_FILE_TYPE_MOV;
    else if (is3("mp4"))
        base = RAW_FILE_TYPE_MP4;
    else
        return 0;
    const std::uint32_t boxSize = byteorder::BE32(sector);
    if (boxSize >= 16 && boxSize - 16 < 320) {
        // Compatible brands as text up to the first zero byte.
        const std::uint32_t n = (boxSize - 16) / 4 * 4;
        std::string_view brands(reinterpret_cast<const char*>(sector + 16), n);
        brands = brands.substr(0, brands.find('\0'));
        if (brands.find("M4A") != std::string_view::npos) return RAW_FILE_TYPE_M4A;
        if (brands.find("M4V") != std::string_view::npos) return RAW_FILE_TYPE_M4V;
        if (brands.find("avc1") != std::string_view::npos) return Mp4OrTrec(sector);
        if (brands.find("mp41") != std::string_view::npos)
            return (boxSize - 16) / 4 == 1 ? RAW_FILE_TYPE_M4A : Mp4OrTrec(sector);
    }
    return base == RAW_FILE_TYPE_MOV ? RAW_FILE_TYPE_MOV : Mp4OrTrec(sector);
}

std::int64_t CRawBoxFileAnalyser::GetFileSize(CRawFileInfo& record, IStorageDevice* device, CRawSearchState* state) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), state);
    std::uint8_t head[16];
    if (!reader.Read(0, 8, head)) return 0;
    std::uint64_t offset = byteorder::BE32(head);
    if (offset < 8) return 0;
    int boxes = 1;
    for (int i = 0; i < kMaxBoxes; ++i) {
        if (!reader.Read(offset, 8, head)) break;
        std::uint64_t size = byteorder::BE32(head);
        if (!IsKnownTopLevelBox(head + 4) || std::memcmp(head + 4, "ftyp", 4) == 0) break;
        if (size == 1) {
            // A 64-bit size follows the type; films above 4 GiB need it.
            if (!reader.Read(offset + 8, 8, head + 8)) break;
            size = byteorder::BE64(head + 8);
            if (size < 16) break;
        } else if (size < 8) {
            break;
        }
        if (size > kMaxBoxSize) break;
        offset += size;
        ++boxes;
    }
    return boxes >= 2 ? static_cast<std::int64_t>(offset) : 0;
}

int FileMP4Analyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    const std::int64_t size = CRawBoxFileAnalyser::GetFileSize(record, device, GetSearchState());
    if (size <= 0) return 0;
    record.m_size = size;
    return 1;
}

namespace BruteForce {

int MovAnalyzer::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    // "ftyp" first: this test runs on every sector of the keyless list.
    if (sector == nullptr || !IsFtyp(sector)) return 0;
    const std::uint32_t boxSize = byteorder::BE32(sector);
    if (boxSize < 16 || boxSize > 83) return 0;
    std::uint32_t type = getTypeByMajorBrand(sector);
    if (type == 0) {
        // An upper- or mixed-case spelling of a brand we know is no film.
        static const char* const kRefused[] = {"ftypisom", "ftyp3gp4", "ftyp3g2a", "ftypmmp4",
                                               "ftypM4A ", "ftypM4V ", "ftypmp41", "ftypmp42"};
        for (const char* r : kRefused)
            if (EqualNoCase(sector + 4, r)) return 0;
        type = RAW_FILE_TYPE_MOV;
    }
    record.m_type = type;
    return 1;
}

CRawFileInfo* MovAnalyzer::CreateRawFileInfo() { return new MovRawFileInfo(this); }

int Mp4Analyzer::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || !IsFtyp(sector)) return 0;
    static const char* const kTexts[] = {"ftypisom", "ftypmmp4", "ftypM4A", "ftypM4V", "ftypmp4"};
    for (const char* t : kTexts) {
        if (!EqualNoCase(sector + 4, t)) continue;
        const std::string_view text(t);
        std::uint32_t type = Mp4OrTrec(sector);
        if (text.find("M4A") != std::string_view::npos) type = RAW_FILE_TYPE_M4A;
        if (text.find("M4V") != std::string_view::npos) type = RAW_FILE_TYPE_M4V;
        record.m_type = type;
        return 1;
    }
    return 0;
}

int C3GPAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || !IsFtyp(sector)) return 0;
    if (!EqualNoCase(sector + 4, "ftyp3g2a") && !EqualNoCase(sector + 4, "ftyp3gp") &&
        !EqualNoCase(sector + 4, "ftypmmp4"))
        return 0;
    record.m_type = RAW_FILE_TYPE_3GP;
    record.m_size = 0;
    return 1;
}

void MovAnalyzer::MovRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    // The walk did not see the end: the device walk sizes the file, so an
    // evicted or unfinished film is found, not lost.
    m_size = 0;
    if (m_owner == nullptr) return;
    m_owner->DeviceSizer()->SetSearchState(m_owner->GetSearchState());
    m_analyser = m_owner->DeviceSizer();
    if (!m_model.empty()) SetRawFileName(m_model);
}

int MovAnalyzer::MovRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber,
                                             SearchContext& ctx) {
    if (sectorSize <= 0) return 2;
    m_sectorSize = static_cast<std::uint32_t>(sectorSize);
    if (sectorNumber < m_startSector) {
        if (m_walked >= 1) {
            endSearch(sectorNumber, nullptr);
            return 1;
        }
        return 2;
    }
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    if (m_walked >= pos + sectorSize) return 2;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(sectorSize);
    if (m_walked == 0) {
        const std::uint8_t* first = ctx.view.at(base, 12);
        if (first == nullptr) return 2;
        m_isoBrand = std::memcmp(first + 8, "iso", 3) == 0 ? 1 : 0;
    }
    // Each step moves at least 8 bytes, so a sector costs at most 1/8 of its
    // size in steps.
    while (m_walked < pos + sectorSize) {
        const std::uint64_t at = base + static_cast<std::uint64_t>(m_walked);
        const std::uint8_t* h = ctx.view.at(at, 8);
        if (h == nullptr) {
            // A header that straddles the block end is read from the next
            // sector's view; one the buffer no longer holds ends the walk.
            if (m_walked >= pos) return 2;
            break;
        }
        std::uint64_t size = byteorder::BE32(h);
        if ((size < 8 && size != 1) || !IsKnownTopLevelBox(h + 4)) break;
        if (size == 1) {
            const std::uint8_t* large = ctx.view.at(at + 8, 8);
            if (large == nullptr) {
                if (m_walked >= pos) return 2;
                break;
            }
            size = byteorder::BE64(large);
            if (size < 16) break;
        }
        if (size > kMaxBoxSize) break;
        if (std::memcmp(h + 4, "ftyp", 4) == 0 && m_boxCount >= 2) break;  // a new file begins
        ++m_boxCount;
        m_walked += static_cast<std::int64_t>(size);
        m_size = m_walked;
        if (std::memcmp(h + 4, "moov", 4) == 0) {
            ++m_moovCount;
            if (m_make.empty()) ReadMoovExif(at, ctx.view);
        }
    }
    if (m_walked >= pos + sectorSize) return 2;
    endSearch(sectorNumber, &ctx);
    return 1;
}

void MovAnalyzer::MovRawFileInfo::endSearch(std::int64_t sectorNumber, const SearchContext* ctx) {
    if (m_boxCount <= 1) {
        m_size = 0;
        return;
    }
    if (m_type == RAW_FILE_TYPE_MOV && m_moovCount == 1 && m_isoBrand) {
        m_type = RAW_FILE_TYPE_MP4;
    } else if (m_make.empty() && ctx != nullptr) {
        FindCameraText(sectorNumber, *ctx);
    }
    if (!m_model.empty()) {
        SetRawFileName(m_model);
    } else if (m_make.empty()) {
        std::string none;
        SetRawFileTagAndValue(RAW_FILE_TAG_NONE, none);
    }
    m_size = m_walked;
}

void MovAnalyzer::MovRawFileInfo::FindCameraText(std::int64_t sectorNumber, const SearchContext& ctx) {
    const SectorView& view = ctx.view;
    if (sectorNumber - 2 < ctx.bufferStartSector) return;
    const std::uint64_t sectorStart = static_cast<std::uint64_t>(sectorNumber) * m_sectorSize;
    const std::uint8_t* near = view.at(sectorStart - 16, 512);
    if (near == nullptr) return;
    const std::uint8_t* area = near;
    int length = 512;
    if (Apimemstr(near, 512, reinterpret_cast<const std::uint8_t*>("trex"), 4) != nullptr) {
        // Phones write the text in "meta" after the track boxes.
        if (sectorNumber - 3 < ctx.bufferStartSector) return;
        area = view.at(sectorStart - 1298, 1024);
        length = 1024;
        if (area == nullptr) return;
    }
    const std::uint8_t* hit = nullptr;
    for (const char* text : {"iPhone ", "iPad "}) {
        const std::uint8_t* p =
            Apimemstr(area, length, reinterpret_cast<const std::uint8_t*>(text), static_cast<int>(std::strlen(text)));
        if (p != nullptr && (hit == nullptr || p < hit)) hit = p;
    }
    if (hit == nullptr) return;
    const std::uint64_t hitAt = sectorStart - (area == near ? 16 : 1298) + static_cast<std::uint64_t>(hit - area);
    const std::uint8_t* text = view.at(hitAt, 20);
    if (text == nullptr) return;
    std::string make = CameraText(text, 20);
    if (make.empty()) return;
    m_make = make;
    SetRawFileTagAndValue(RAW_FILE_TAG_VIDEO_CAMERA, make);
}

void MovAnalyzer::MovRawFileInfo::ReadMoovExif(std::uint64_t moovStart, const SectorView& view) {
    const std::size_t held = static_cast<std::size_t>(std::min<std::uint64_t>(1024, view.availableFrom(moovStart)));
    const std::uint8_t* moov = view.at(moovStart, held);
    if (moov == nullptr || held < 10) return;
    const std::uint8_t* exif =
        Apimemstr(moov, static_cast<int>(held), reinterpret_cast<const std::uint8_t*>("Exif"), 4);
    if (exif == nullptr) return;
    // Every read below is checked against the buffer at its real position:
    // the TIFF header's offsets count from the header, not from the file.
    const std::uint64_t tiff = moovStart + static_cast<std::uint64_t>(exif - moov) + 6;
    const std::uint8_t* header = view.at(tiff, 8);
    if (header == nullptr) return;
    bool little;
    if (header[0] == 'I' && header[1] == 'I')
        little = true;
    else if (header[0] == 'M' && header[1] == 'M')
        little = false;
    else
        return;
    const std::uint64_t ifd = tiff + RawUtility::EXIF_Get32s(header + 4, little);
    const std::uint8_t* countAt = view.at(ifd, 2);
    if (countAt == nullptr) return;
    const std::uint32_t count = RawUtility::EXIF_Get16s(countAt, little);
    if (count < 1 || count > 512) return;
    const std::uint8_t* entries = view.at(ifd + 2, count * 12u);
    if (entries == nullptr) return;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* e = entries + i * 12u;
        const std::uint16_t tag = RawUtility::EXIF_Get16s(e, little);
        if (tag != 271 && tag != 272 && tag != 306) continue;
        const std::uint64_t at = tiff + RawUtility::EXIF_Get32s(e + 8, little);
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(63, view.availableFrom(at)));
        const std::uint8_t* p = view.at(at, n);
        if (p == nullptr || n == 0) continue;
        if (tag == 306) {
            std::string time(reinterpret_cast<const char*>(p), n);
            time = time.substr(0, time.find('\0'));
            if (time.size() >= 10 && time.size() <= 40) m_rawFileTime = time;
            continue;
        }
        std::string text = CameraText(p, n);
        if (text.empty() || text.size() > 30) continue;
        if (tag == 271) {
            m_make = text;
            SetRawFileTagAndValue(RAW_FILE_TAG_VIDEO_CAMERA, text);
        } else {
            m_model = text;
        }
    }
    if (m_make.empty() && !m_model.empty()) {
        m_make = m_model;
        SetRawFileTagAndValue(RAW_FILE_TAG_VIDEO_CAMERA, m_model);
        m_model.clear();
    }
}

}  // namespace BruteForce
