#include "raw/analysers/TextDocumentAnalysers.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"
#include "raw/ZeroEndRawFileInfo.h"

using byteorder::LE16;
using byteorder::LE32;

namespace {

std::uint8_t Lower(std::uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + 32) : c; }

// Case-insensitive: `text` (ASCII) at p.
bool SameText(const std::uint8_t* p, const char* text) {
    for (std::size_t i = 0; text[i]; ++i)
        if (Lower(p[i]) != Lower(static_cast<std::uint8_t>(text[i]))) return false;
    return true;
}

// The same over UTF-16LE units.
bool SameUnits(const std::uint8_t* p, const char* text) {
    for (std::size_t i = 0; text[i]; ++i) {
        const std::uint16_t u = LE16(p + 2 * i);
        if (u > 0x7F || Lower(static_cast<std::uint8_t>(u)) != Lower(static_cast<std::uint8_t>(text[i]))) return false;
    }
    return true;
}

const std::uint8_t* FindText(const std::uint8_t* p, std::size_t length, const char* text) {
    return Apimemstr(p, static_cast<int>(length), reinterpret_cast<const std::uint8_t*>(text),
                     static_cast<int>(std::strlen(text)));
}

void NameBySectors(CRawFileInfo& record, std::int64_t current) {
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", record.m_startSector, current);
    record.SetRawFileName(name);
}

// Where a text file ends in the sector that first shows its zero padding:
// just after the last non-zero byte (text holds no zero byte, so the padding
// is no part of the file), in whole units of `unit` bytes (2 for UTF-16,
// whose last unit may end in a zero byte). A wholly zero sector looks back
// at the last bytes of the one before, when the view holds them: padding
// shorter than the search waits for may sit there.
std::uint64_t TextEnd(const std::uint8_t* sector, std::uint64_t ss, std::uint64_t offset, const SectorView& view,
                      std::uint64_t here, std::uint32_t unit = 1) {
    const std::uint32_t used = CZeroEndRawFileInfo::LastDataEnd(sector, static_cast<std::uint32_t>(ss), 1);
    if (used != 0 || offset < 8 || here < 8) return offset + (used + unit - 1) / unit * unit;
    const std::uint8_t* back = view.at(here - 8, 8);
    if (back == nullptr) return offset;
    const std::uint32_t tail = CZeroEndRawFileInfo::LastDataEnd(back, 8, 1);
    return tail == 0 ? offset : offset - (8 - tail) / unit * unit;
}

// The end of a marker rule that takes `extra` bytes past the marker (a line
// end, say) in a zero-padded block: those of the extra bytes that are
// padding are cut, never the marker itself.
std::uint64_t TrimmedMarkerEnd(const std::uint8_t* block, std::uint64_t length, std::uint64_t markerEnd,
                               std::uint64_t extra) {
    std::uint64_t end = std::min(markerEnd + extra, length);
    while (end > markerEnd && block[end - 1] == 0) --end;
    return std::max(end, markerEnd);
}

bool IsHtmlStart(const std::uint8_t* s) { return SameText(s, "<HTML") || SameText(s, "<!DOCTYPE HTML"); }

// The declaration that SVG, Evernote and CSL documents start with.
constexpr char kXmlDeclaration[] = "<?xml version=\"";
constexpr std::size_t kXmlDeclarationLength = 15;
const char* const kSvgForms[] = {"<svg ", "<svg\n ", "<svg\r ", "<svg> ", "<svg>\n", "<svg>\r"};

bool HasSvgForm(const std::uint8_t* s, std::size_t length) {
    for (const char* form : kSvgForms)
        if (FindText(s, length, form)) return true;
    return false;
}

}  // namespace

// ---- RTF ----

int FileRTFAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, "{\\rtf", 5) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_RTF;
    return 1;
}

int FileRTFAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    const std::uint64_t window = reader.Buffer().WindowSize();
    int depth = 1;  // the opening brace
    std::uint64_t offset = 5;
    while (offset < kWalkCap) {
        const std::uint8_t* p = reader.At(offset);
        if (p == nullptr) return 0;
        const std::uint64_t n = std::min(window - offset % window, kWalkCap - offset);
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint8_t c = p[i];
            if (c == '{') {
                ++depth;
            } else if (c == '}') {
                if (--depth > 0) continue;
                // Another top-level group may follow straight away; the
                // window's spare sector holds the next byte.
                if (p[i + 1] == '{') continue;
                record.m_size = static_cast<std::int64_t>(offset + i + 1);
                return 1;
            } else if (c == 0) {
                return 0;  // zero padding inside an open group: not this file
            }
        }
        offset += n;
    }
    record.m_size = static_cast<std::int64_t>(offset);
    return 1;
}

// ---- HTML ----

int FileHTMAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || !IsHtmlStart(sector)) return 0;
    record.m_type = RAW_FILE_TYPE_HTM;
    return 1;
}

int FileHTMAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    SearchSignCodeInfo info;
    std::memcpy(info.sign, "</html>", 7);
    info.length = 7;
    info.maxSize = kMaxSize;
    const int found = SearchEndSignCode(record, device, info, 0);
    // The text after "</html>" (a line end) runs to the padding of the
    // marker's sector; the padding is no part of the file.
    const std::uint64_t end = static_cast<std::uint64_t>(std::max<std::int64_t>(record.m_size, 0));
    WindowReader reader(device, static_cast<std::uint64_t>(std::max<std::int64_t>(record.m_startSector, 0)),
                        GetSearchState());
    const std::uint64_t ss = reader.Buffer().SectorSize();
    if (ss == 0 || end % ss == 0) return found;
    const std::uint64_t last = end / ss * ss;
    const std::uint8_t* p = reader.At(last);
    record.m_size = static_cast<std::int64_t>(
        p == nullptr ? last + ss
                     : std::max(end, last + CZeroEndRawFileInfo::LastDataEnd(p, static_cast<std::uint32_t>(ss), 1)));
    return found;
}

int FileUnicodeHTMAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || LE32(sector) != 0x003CFEFF) return 0;
    record.m_type = RAW_FILE_TYPE_HTM;
    return 1;
}

int FileUnicodeHTMAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[512];
    if (!reader.Read(0, sizeof head, head)) return 0;
    if (!SameUnits(head + 2, "<HTML>") && LE16(head + 4) != '!') return 0;
    bool tag = false;
    for (std::size_t at = 2; at <= 498 && !tag; at += 2) tag = SameUnits(head + at, "<HTML>");
    if (!tag) return 0;
    const std::uint64_t window = reader.Buffer().WindowSize();
    std::uint64_t offset = 14;
    while (offset < kWalkCap) {
        const std::uint8_t* p = reader.At(offset);
        if (p == nullptr) return 0;
        // Whole units up to the window's end; "</HTML>" at its end runs into
        // the spare sector.
        const std::uint64_t n = std::min(window - offset % window, kWalkCap - offset) & ~std::uint64_t{1};
        std::uint64_t i = 0;
        for (; i < n; i += 2) {
            const std::uint16_t u = LE16(p + i);
            if (u == '<' && SameUnits(p + i, "</HTML>")) {
                record.m_size = static_cast<std::int64_t>(offset + i + 16);
                return 1;
            }
            if (u == 0x0000 || u == 0xFFFF || u == 0xFEFF) {
                record.m_size = static_cast<std::int64_t>(offset + i);
                return 1;
            }
        }
        if (n == 0) break;
        offset += n;
    }
    record.m_size = static_cast<std::int64_t>(offset);
    return 1;
}

// ---- SVG and neighbours ----

int FileSVGAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    if (SameText(sector, "<?xml")) {
        if (SameText(sector + 57, "<gpx")) {
            record.m_type = RAW_FILE_TYPE_GPX;
            return 1;
        }
        if (SameText(sector + 39, "<!DOCTYPE plist")) {
            record.m_type = RAW_FILE_TYPE_PLIST;
            return 1;
        }
    }
    if (std::memcmp(sector, kXmlDeclaration, kXmlDeclarationLength) != 0 || !HasSvgForm(sector, 2048)) return 0;
    record.m_type = RAW_FILE_TYPE_SVG;
    record.m_size = 0;
    return 1;
}

int FileSVGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    static const struct {
        const char* text;
        std::size_t length;
    } kMarkers[] = {{"</gpx>", 6}, {"\n</svg>", 7}, {"</plist", 7}};
    // The length of the marker at i, or 0.
    auto markerAt = [](const std::uint8_t* p, std::size_t i, std::size_t length) -> std::size_t {
        for (const auto& m : kMarkers)
            if (i + m.length <= length && p[i] == static_cast<std::uint8_t>(m.text[0]) &&
                std::memcmp(p + i, m.text, m.length) == 0)
                return m.length;
        return 0;
    };
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    const std::uint64_t ss = reader.Buffer().SectorSize();
    std::uint64_t offset = 0;
    record.m_type = RAW_FILE_TYPE_SVG;
    while (offset < kWalkCap && ss >= 32) {
        const std::uint8_t* p = reader.At(offset);
        if (p == nullptr) break;
        if (p[ss - 1] != 0 || p[ss - 2] != 0) {
            offset += ss;
            continue;
        }
        // The first zero-tailed sector: an end marker in it, or one across
        // its start, ends the file; else the text goes on past the padding.
        // The rule takes 9 bytes from the marker's start (the marker and its
        // line end); those that are padding are no part of the file.
        for (std::uint64_t i = 0; i < ss; ++i)
            if (const std::size_t n = markerAt(p, static_cast<std::size_t>(i), static_cast<std::size_t>(ss))) {
                record.m_size = static_cast<std::int64_t>(offset + TrimmedMarkerEnd(p, ss, i + n, 9 - n));
                return 1;
            }
        if (offset >= 16) {
            std::uint8_t seam[32];
            if (reader.Read(offset - 16, sizeof seam, seam))
                for (std::size_t i = 0; i < sizeof seam; ++i)
                    if (markerAt(seam, i, sizeof seam)) {
                        // The last text byte; in a wholly padded sector, the
                        // marker ended the sector before.
                        const std::uint64_t used =
                            CZeroEndRawFileInfo::LastDataEnd(p, static_cast<std::uint32_t>(ss), 1);
                        record.m_size = static_cast<std::int64_t>(
                            used != 0 ? offset + used : offset - 16 + CZeroEndRawFileInfo::LastDataEnd(seam, 16, 1));
                        return 1;
                    }
        }
        offset += ss;
    }
    record.m_size = static_cast<std::int64_t>(offset);
    return 1;
}

namespace RawSpeed {

void ZeroTailTextRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr || m_twin == nullptr) return;
    m_twin->SetSearchState(m_owner->GetSearchState());
    m_analyser = m_twin;
}

int ZeroTailTextRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                         SearchContext& ctx) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t offset = static_cast<std::uint64_t>(sectorNumber - m_startSector) * sectorSize;
    if (offset > m_cap) {
        NameBySectors(*this, sectorNumber);
        m_size = static_cast<std::int64_t>(offset);
        return 1;
    }
    // A byte-order mark at the start says UTF-16: the end then falls on a
    // whole unit.
    if (offset == 0 && LE16(sector) == 0xFEFF) m_unit = 2;
    if (ctx.trailingZeroBytes < 8 || offset < m_minimumEnd + m_minimumEndOffset) return 2;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    NameBySectors(*this, sectorNumber);
    m_size = static_cast<std::int64_t>(
        TextEnd(sector, ss, offset, ctx.view, static_cast<std::uint64_t>(sectorNumber) * ss, m_unit));
    return 1;
}

int RTFAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    return m_twin.AnalyseBuffer(sector, record);
}

CRawFileInfo* RTFAnalyser::CreateRawFileInfo() { return new RTFRawFileInfo(this); }

int HTMLAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    bool hit = IsHtmlStart(sector);
    if (!hit && LE32(sector) == 0x003CFEFF) hit = SameUnits(sector + 2, "<HTML>") || LE16(sector + 4) == '!';
    if (!hit) return 0;
    record.m_type = RAW_FILE_TYPE_HTM;
    return 1;
}

CRawFileInfo* HTMLAnalyser::CreateRawFileInfo() { return new HTMLRawFileInfo(this); }

}  // namespace RawSpeed

namespace Tessel {

std::uint32_t SVGAnalyser::JudeGpxAndPlist(const std::uint8_t* s) {
    if (s == nullptr) return 0;
    if (!SameText(s, "<?xml")) return SameText(s, "BCFZ") ? std::uint32_t{RAW_FILE_TYPE_GPX} : 0u;
    if (SameText(s + 57, "<gpx") || SameText(s + 39, "<gpx")) return RAW_FILE_TYPE_GPX;
    if (SameText(s + 39, "<!DOCTYPE plist") || SameText(s + 40, "<!DOCTYPE plist")) return RAW_FILE_TYPE_PLIST;
    return 0;
}

int SVGAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    std::uint32_t type = JudeGpxAndPlist(s);
    if (type == 0) {
        if (std::memcmp(s, kXmlDeclaration, kXmlDeclarationLength) == 0 ||
            std::memcmp(s + 3, kXmlDeclaration, kXmlDeclarationLength) == 0) {
            if (HasSvgForm(s, 512))
                type = RAW_FILE_TYPE_SVG;
            else if (FindText(s, 512, "=\"Evernote"))
                type = RAW_FILE_TYPE_ENEX;
            else if (FindText(s, 512, "csl"))
                type = RAW_FILE_TYPE_CSL;
        } else if (LE32(s) == 0x000001CD || std::memcmp(s, "<svg ", 5) == 0) {
            type = RAW_FILE_TYPE_SVG;
        }
    }
    if (type == 0) return 0;
    record.m_type = type;
    return 1;
}

CRawFileInfo* SVGAnalyser::CreateRawFileInfo() { return new SVGRawFileInfo(this); }

void SVGRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int SVGRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr) return 1;
    if (sectorSize < 16 || sectorNumber < m_startSector) return 2;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t offset = static_cast<std::uint64_t>(sectorNumber - m_startSector) * ss;
    const std::uint64_t here = static_cast<std::uint64_t>(sectorNumber) * ss;

    if (m_type == RAW_FILE_TYPE_GPX || m_type == RAW_FILE_TYPE_PLIST) {
        if (offset > m_cap) {
            NameBySectors(*this, sectorNumber);
            m_size = static_cast<std::int64_t>(offset);
            return 1;
        }
        const int z = static_cast<int>(ctx.trailingZeroBytes);
        if (z < 8) return 2;
        const int gpx = BruteForce::RawUtility::FindMagicInBuffer(sector, sectorSize, z,
                                                                  reinterpret_cast<const std::uint8_t*>("</gpx>"), 6);
        const int plist = BruteForce::RawUtility::FindMagicInBuffer(
            sector, sectorSize, z, reinterpret_cast<const std::uint8_t*>("</plist>"), 8);
        // The marker and its line end; without one, the last text byte.
        m_size = static_cast<std::int64_t>(
            gpx || plist ? offset + TrimmedMarkerEnd(sector, ss, static_cast<std::uint64_t>(gpx + plist), 3)
                         : TextEnd(sector, ss, offset, ctx.view, here));
        NameBySectors(*this, sectorNumber);
        return 1;
    }

    if (offset == 0 && LE32(sector) == 0x000001CD) m_binary = 1;
    if (m_binary) {
        // The length field at file offset 1,100 tells where the data ends.
        constexpr std::uint64_t kLengthAt = 1100;
        if (kLengthAt < offset || kLengthAt >= offset + ss) return 2;
        const std::uint8_t* field = ctx.view.at(static_cast<std::uint64_t>(m_startSector) * ss + kLengthAt, 4);
        if (field == nullptr) return 2;
        const std::uint64_t size = 1152 + static_cast<std::uint64_t>(LE32(field));
        if (size > m_cap) return 2;
        NameBySectors(*this, sectorNumber);
        m_size = static_cast<std::int64_t>(size);
        return 1;
    }

    if (offset < m_cap) {
        if (sector[ss - 1] != 0 || sector[ss - 2] != 0) return 2;
        // A closing tag in the padded sector, or in the half sector before it.
        bool closing = FindText(sector, ss, "</") != nullptr;
        if (!closing && here >= ss / 2) {
            if (const std::uint8_t* before = ctx.view.at(here - ss / 2, ss / 2 + ss))
                closing = FindText(before, ss / 2 + ss, "</") != nullptr;
        }
        if (!closing) return 2;
        m_endOffset = TextEnd(sector, ss, offset, ctx.view, here);
        m_size = static_cast<std::int64_t>(m_endOffset);
    } else {
        m_size = static_cast<std::int64_t>(m_cap);
    }
    NameBySectors(*this, sectorNumber);
    return 1;
}

}  // namespace Tessel
