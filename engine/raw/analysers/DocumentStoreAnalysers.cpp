#include "raw/analysers/DocumentStoreAnalysers.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"
#include "raw/ZeroEndRawFileInfo.h"

using byteorder::BE32;
using byteorder::LE32;
using byteorder::LE64;

namespace {

// The MOBI end-of-file record.
constexpr std::uint32_t kMobiEndMark = 0xE98E0D0A;
// The InDesign document GUID, followed by "DOCUMENT".
constexpr std::uint8_t kInddHeader[24] = {0x06, 0x06, 0xED, 0xF5, 0xD8, 0x1D, 0x46, 0xE5, 0xBD, 0x31, 0xEF, 0xE7,
                                          0xFE, 0x74, 0xB7, 0x1D, 'D',  'O',  'C',  'U',  'M',  'E',  'N',  'T'};
// Every InDesign object starts with this mark; its length is the u32 at 24.
constexpr std::uint8_t kInddObjectMark[16] = {0xDE, 0x39, 0x39, 0x79, 0x51, 0x88, 0x4B, 0x6C,
                                              0x8E, 0x63, 0xEE, 0xF8, 0xAE, 0xE0, 0xDD, 0x38};
constexpr std::uint64_t kInddPage = 4096;
// Bytes 4..15 of the OneNote section-file identifier.
constexpr std::uint8_t kOneSectionId[12] = {0x8C, 0xD8, 0xA7, 0x4D, 0xAE, 0xB1, 0x53, 0x78, 0xD0, 0x29, 0x96, 0xD3};
// A section header holds its length at 196 (or 100): read this much of it.
constexpr std::size_t kOneHeaderBytes = 204;
// The Outlook Express folder and message-store signatures.
constexpr std::uint8_t kDbxSignatures[5][16] = {
    {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0xC6, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0xC7, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0x30, 0x9D, 0xFE, 0x26, 0x8F, 0x1A, 0xD2, 0x11, 0xAA, 0xBF, 0x00, 0x60},
    {0xF7, 0x89, 0x34, 0x2C, 0xF7, 0xF0, 0xEE, 0x6D, 0xAF, 0x22, 0x89, 0xD1, 0x00, 0xFF, 0xF0, 0xB0},
};
constexpr std::uint8_t kJmf6[8] = {'J', 'M', 'F', '6', 0x03, 0x00, 0x00, 0x01};

void NameBySectors(CRawFileInfo& record, std::int64_t current, char last) {
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "%c", record.m_startSector, current, last);
    record.SetRawFileName(name);
}

std::uint64_t Load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace

int FileONEAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (!RawSpeed::OneAnalyser::HasSectionId(sector)) return 0;
    record.m_type = RAW_FILE_TYPE_ONE;
    return 1;
}

int FileONEAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint64_t offset = 0;
    while (offset <= kWalkCap) {
        std::uint8_t header[kOneHeaderBytes];
        if (!reader.Read(offset, sizeof header, header) || !RawSpeed::OneAnalyser::HasSectionId(header)) break;
        const std::uint64_t length = RawSpeed::OneAnalyser::SectionFileLength(header);
        if (length == 0 || length > kWalkCap) {
            offset = kWalkCap;
            break;
        }
        offset += length;
    }
    record.m_size = static_cast<std::int64_t>(offset);
    return 1;
}

namespace RawSpeed {

// ---- MOBI ----

int MOBIAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    // "BOOKMOBI" at 60 in any case: setting bit 5 folds only the letters'
    // two cases onto one value, so one compare decides.
    static const std::uint64_t kWanted = Load64(reinterpret_cast<const std::uint8_t*>("bookmobi"));
    if (sector == nullptr || (Load64(sector + 60) | 0x2020202020202020ull) != kWanted) return 0;
    record.m_type = RAW_FILE_TYPE_MOBI;
    return 1;
}

CRawFileInfo* MOBIAnalyser::CreateRawFileInfo() { return new MOBIRawFileInfo(); }

int MOBIRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::int64_t ss = sectorSize;
    const std::int64_t offset = (sectorNumber - m_startSector) * ss;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(ss);
    if (m_firstSector) {
        m_firstSector = 0;
        // The record count (with the two bytes before it) gives the entry of
        // the last record in the list that starts at 78.
        m_nextPosition = static_cast<std::int64_t>(static_cast<std::int32_t>(BE32(sector + 74))) * 8 + 70;
    }
    while (!m_zeroPadding && m_endMark < 0 && m_nextPosition < offset + ss) {
        if (m_nextPosition < 0) {
            m_zeroPadding = 1;
            break;
        }
        const std::uint8_t* p = ctx.view.at(base + static_cast<std::uint64_t>(m_nextPosition), 4);
        if (p == nullptr) {
            // Straddling the sector end: the next sector brings the rest.
            // Anything else is out of reach.
            if (m_nextPosition + 4 > offset + ss && m_nextPosition >= offset) break;
            m_zeroPadding = 1;
            break;
        }
        ++m_hops;
        if (BE32(p) == kMobiEndMark) {
            m_endMark = m_nextPosition;
            break;
        }
        if (m_hops >= 2) {
            m_zeroPadding = 1;
            break;
        }
        m_nextPosition = BE32(p);
    }
    if (static_cast<std::uint64_t>(offset) > m_cap) {
        m_size = 0;
        return 1;
    }
    if (m_endMark >= 0) {
        NameBySectors(*this, sectorNumber, '_');
        m_size = m_endMark + 4;
        return 1;
    }
    if (m_zeroPadding && ctx.trailingZeroBytes >= 9) {
        m_size = offset + CZeroEndRawFileInfo::LastDataEnd(sector, static_cast<std::uint32_t>(sectorSize), 1);
        NameBySectors(*this, sectorNumber, '_');
        return 1;
    }
    return 2;
}

// ---- InDesign ----

int InddAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    static const std::uint64_t kFirst = Load64(kInddHeader);
    if (sector == nullptr || Load64(sector) != kFirst || std::memcmp(sector, kInddHeader, sizeof kInddHeader) != 0)
        return 0;
    record.m_type = RAW_FILE_TYPE_INDD;
    return 1;
}

CRawFileInfo* InddAnalyser::CreateRawFileInfo() { return new InddRawFileInfo(); }

int InddRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t offset = static_cast<std::uint64_t>(sectorNumber - m_startSector) * ss;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * ss;
    if (offset > m_cap) {
        m_size = 0;
        return 1;
    }
    if (m_firstSector) {
        m_firstSector = 0;
        if (std::memcmp(sector, kInddHeader, sizeof kInddHeader) == 0)
            m_nextObject = static_cast<std::uint64_t>(LE32(sector + 280)) * kInddPage;
    }
    while (!m_endFound && m_nextObject <= offset + ss) {
        // The object header may run into the next sector: without it in the
        // buffer, wait for that sector.
        const std::uint8_t* p = ctx.view.at(base + m_nextObject, 32);
        if (p == nullptr) return 2;
        if (std::memcmp(p, kInddObjectMark, sizeof kInddObjectMark) != 0) {
            m_endFound = 1;
            break;
        }
        m_nextObject += static_cast<std::uint64_t>(LE32(p + 24)) + 64;
    }
    // A chain that leads past the cap is no document of this kind.
    if (m_nextObject > m_cap) {
        m_size = 0;
        return 1;
    }
    if (!m_endFound) return 2;
    NameBySectors(*this, sectorNumber, '_');
    m_size = static_cast<std::int64_t>(m_nextObject / kInddPage * kInddPage + kInddPage);
    return 1;
}

// ---- OneNote ----

bool OneAnalyser::HasSectionId(const std::uint8_t* header) {
    return header != nullptr && std::memcmp(header + 4, kOneSectionId, sizeof kOneSectionId) == 0;
}

std::uint64_t OneAnalyser::SectionFileLength(const std::uint8_t* header) {
    const std::uint64_t length = LE64(header + 196);
    return length != 0 ? length : LE64(header + 100);
}

int OneAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    return m_twin.AnalyseBuffer(sector, record);
}

CRawFileInfo* OneAnalyser::CreateRawFileInfo() { return new ONERawFileInfo(this); }

void ONERawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int ONERawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t offset = static_cast<std::uint64_t>(sectorNumber - m_startSector) * ss;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * ss;
    if (m_firstSector) {
        m_firstSector = 0;
        m_nextSection = OneAnalyser::SectionFileLength(sector);
    }
    if (offset > m_cap) {
        m_size = 0;
        return 1;
    }
    while (m_nextSection <= offset + ss) {
        if (m_nextSection > m_cap) return 2;
        const std::uint8_t* p = ctx.view.at(base + m_nextSection, kOneHeaderBytes);
        if (p == nullptr) return 2;  // the header is not in the buffer yet
        if (!OneAnalyser::HasSectionId(p)) {
            NameBySectors(*this, sectorNumber, '_');
            m_size = static_cast<std::int64_t>(m_nextSection);
            return 1;
        }
        const std::uint64_t length = OneAnalyser::SectionFileLength(p);
        if (length == 0) {
            // A section of no length would hold the walk in place: the
            // device walk decides.
            m_size = 0;
            return 1;
        }
        m_nextSection = length > m_cap ? m_cap + 1 : m_nextSection + length;
    }
    return 2;
}

// ---- Outlook Express ----

int DbxAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    bool hit = std::memcmp(sector, kJmf6, sizeof kJmf6) == 0;
    for (const auto& signature : kDbxSignatures)
        if (!hit && std::memcmp(sector, signature, 16) == 0) hit = true;
    if (!hit) return 0;
    record.m_type = RAW_FILE_TYPE_DBX;
    return 1;
}

CRawFileInfo* DbxAnalyser::CreateRawFileInfo() { return new DBXRawFileInfo(); }

int DBXRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t offset = static_cast<std::uint64_t>(sectorNumber - m_startSector) * sectorSize;
    if (offset > m_cap) {
        m_size = 0;
        return 1;
    }
    if (m_firstSector) {
        m_firstSector = 0;
        if (std::memcmp(sector, kDbxSignatures[4], 16) == 0) m_zeroPadding = 1;
    }
    if (m_zeroPadding) {
        if (ctx.trailingZeroBytes < 9) return 2;
        m_size = static_cast<std::int64_t>(offset) +
                 CZeroEndRawFileInfo::LastDataEnd(sector, static_cast<std::uint32_t>(sectorSize), 1);
        NameBySectors(*this, sectorNumber, '.');
        return 1;
    }
    // The folder header's file length.
    m_size = static_cast<std::int64_t>(std::min<std::uint64_t>(LE32(sector + 124), m_cap));
    return 1;
}

}  // namespace RawSpeed
