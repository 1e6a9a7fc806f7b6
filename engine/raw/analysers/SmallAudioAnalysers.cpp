#include "raw/analysers/SmallAudioAnalysers.h"

#include <strings.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"

using byteorder::BE16;
using byteorder::BE32;
using byteorder::LE16;
using byteorder::LE32;

namespace {

std::string Range(std::int64_t from, std::int64_t to) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%" PRId64 "-%" PRId64 "_", from, to);
    return buf;
}

std::int64_t RoundUp(std::int64_t value, std::int64_t unit) {
    return unit > 0 ? (value + unit - 1) / unit * unit : value;
}

// Standard MIDI file header: length 6, format 0..2, at least one track.
bool IsMidiStart(const std::uint8_t* s) {
    return s != nullptr && BE32(s + 4) == 6 && BE16(s + 8) <= 2 && BE16(s + 10) != 0;
}

// The byte length of a track chunk, or -1 when the header is no "MTrk" or
// its length is negative (a signed field in the files that get it wrong)
// or larger than any file this format search takes.
std::int64_t TrackLength(const std::uint8_t* h, std::int64_t limit) {
    if (strncasecmp(reinterpret_cast<const char*>(h), "MTrk", 4) != 0) return -1;
    const std::int32_t length = static_cast<std::int32_t>(BE32(h + 4));
    if (length < 0 || length > limit) return -1;
    return length;
}

// APE tag (version 2) footer or header fields.
constexpr std::uint32_t kApeHasHeader = 1u << 31;
constexpr std::uint32_t kApeIsHeader = 1u << 29;
constexpr std::uint32_t kMaxSeekEntry = 0x81FFFFFF;

}  // namespace

std::uint32_t AdtsFrameLength(const std::uint8_t* p) {
    if (BE16(p) < 0xFFF0 || (p[1] & 6) != 0) return 0;
    return (std::uint32_t{p[3] & 3u} << 11) | (std::uint32_t{p[4]} << 3) | (p[5] >> 5);
}

namespace BruteForce {

// ---- Monkey's Audio ----

int CAPEAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    record.m_type = RAW_FILE_TYPE_APE;
    return 1;
}

CRawFileInfo* CAPEAnalyser::CreateRawFileInfo() { return new CAPERawFileInfo(); }

int CAPERawFileInfo::Finish(std::int64_t size) {
    m_size = std::min<std::int64_t>(std::max<std::int64_t>(size, 0), static_cast<std::int64_t>(kSizeCap));
    return 1;
}

int CAPERawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize < 512 || sectorNumber < m_startSector) return 2;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * ss;
    if (!m_started) {
        m_started = 1;
        m_version = LE16(sector + 4);
        if (m_version < 1000 || m_version > 9999) return Finish(0);
    }
    m_bytesSeen += ss;
    if (m_bytesSeen >= kSizeCap || static_cast<std::uint64_t>(m_size) >= kSizeCap) return Finish(m_size);

    if (m_version >= 3980) {
        if (m_size == 0) {
            const std::uint8_t* d = ctx.view.at(base, 36);
            if (d == nullptr) return 2;
            const std::int64_t descriptor = static_cast<std::int32_t>(LE32(d + 8));
            if (descriptor < 1 || descriptor > kMaxDescriptor) return Finish(0);
            const std::uint8_t* h = ctx.view.at(base + static_cast<std::uint64_t>(descriptor), 20);
            if (h == nullptr) {
                // The header lies past what the view holds: wait for it, but
                // not past the point where it must have been seen.
                return m_bytesSeen > static_cast<std::uint64_t>(descriptor) + 20 + 2 * ss ? Finish(0) : 2;
            }
            const std::uint32_t channels = LE16(h + 18);
            const std::int32_t align = static_cast<std::int32_t>(LE16(h + 16) / 8 * channels);
            if (align == 0 || (channels != 1 && channels != 2)) return Finish(0);
            m_blockAlign = align;
            const std::uint64_t size = static_cast<std::uint64_t>(descriptor) + LE32(d + 12) + LE32(d + 16) +
                                       LE32(d + 20) + LE32(d + 24) + LE32(d + 32);
            if (size > m_bytesSeen) return Finish(static_cast<std::int64_t>(std::min(size, kSizeCap)));
            m_size = static_cast<std::int64_t>(size);
        }
    } else {
        std::uint64_t from = 0;
        if (!m_tableStarted) {
            const std::uint16_t flags = LE16(sector + 8);
            const std::uint32_t channels = LE16(sector + 10);
            std::uint32_t header = 32 + ((flags & 4) ? 4 : 0);
            std::uint32_t count = LE32(sector + 24);
            if (flags & 16) {
                count = LE32(sector + header);
                header += 4;
            }
            const std::uint32_t table = header + (LE32(sector + 16) != 0 ? 44 : 0);
            const std::int32_t bytesPerSample = (flags & 1) ? 8 : (flags & 8) ? 3 : 2;
            const std::int32_t align = bytesPerSample * static_cast<std::int32_t>(channels);
            if (align == 0 || (channels != 1 && channels != 2)) return Finish(0);
            m_blockAlign = align;
            std::uint64_t first = LE32(sector + table);
            // Without a first seek entry nothing later can size the file.
            if (first < 1 || first > kMaxSeekEntry) return Finish(0);
            if (m_version < 3801) {
                if (count >= first) return Finish(0);
                first -= count;
            }
            m_firstFrameOffset = first;
            m_tableStart = table;
            m_tableStarted = true;
            from = table;
        }
        if (m_size == 0) {
            // The table ends where the first frame begins.
            const std::uint64_t stop = std::min<std::uint64_t>(m_firstFrameOffset, ss);
            for (std::uint64_t off = from; off + 4 <= stop; off += 4) {
                const std::uint32_t entry = LE32(sector + off);
                if (entry < 1 || entry > kMaxSeekEntry) break;
                m_lastFrameOffset = std::max<std::uint64_t>(m_lastFrameOffset, entry);
            }
            if (m_firstFrameOffset > 4 && ss < m_firstFrameOffset - 4) {
                m_firstFrameOffset -= ss;
                return 2;
            }
            m_size = static_cast<std::int64_t>(m_lastFrameOffset);
            if (m_size == 0) return Finish(0);
        }
    }
    if (m_bytesSeen < static_cast<std::uint64_t>(m_size)) return 2;
    return TagOrTail(sector, sectorSize, sectorNumber, ctx);
}

int CAPERawFileInfo::TagOrTail(const std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                               SearchContext& ctx) {
    const bool descriptor = m_version >= 3980;
    if (ctx.trailingZeroBytes == 0) {
        if (descriptor) return Finish(m_size);
        m_size = static_cast<std::int64_t>(m_bytesSeen);
        return 2;
    }
    int zeros = 0;
    while (zeros < sectorSize && sector[sectorSize - 1 - zeros] == 0) ++zeros;
    const std::uint64_t at = static_cast<std::uint64_t>(sectorNumber) * static_cast<std::uint64_t>(sectorSize);
    const std::int64_t sectorOffset = (sectorNumber - m_startSector) * sectorSize;
    for (int i = sectorSize - 8; i >= 0; --i) {
        if (sector[i] != 'A' || std::memcmp(sector + i, "APETAGEX", 8) != 0) continue;
        const std::uint8_t* t = ctx.view.at(at + static_cast<std::uint64_t>(i), 32);
        if (t == nullptr) continue;
        const std::uint32_t tagSize = LE32(t + 12);
        const std::uint32_t flags = LE32(t + 20);
        if (LE32(t + 16) > kMaxTagItems || tagSize > kMaxTagSize) continue;
        const std::int64_t length = static_cast<std::int64_t>(tagSize) + ((flags & kApeHasHeader) ? 32 : 0);
        const std::int64_t match = sectorOffset + i;
        if (!descriptor) return Finish((flags & kApeIsHeader) ? match + length : match + 32);
        return Finish((length + m_size) / m_blockAlign * m_blockAlign + m_blockAlign);
    }
    const std::int64_t used = static_cast<std::int64_t>(m_bytesSeen) - zeros;
    return Finish(RoundUp(used, m_blockAlign) + m_blockAlign);
}

// ---- AAC in ADTS frames ----

int CADTSAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    record.m_type = RAW_FILE_TYPE_M4A;
    return 1;
}

CRawFileInfo* CADTSAnalyser::CreateRawFileInfo() {
    auto* record = new CADTSRawFileInfo();
    record->m_owner = this;
    return record;
}

bool CADTSAnalyser::TakeOverflow(std::int64_t sector) {
    const bool overflow = m_overflowSector == sector;
    m_overflowSector = -1;
    return overflow;
}

int CADTSAnalyser::AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize,
                                   std::int64_t sectorNumber, std::int64_t, std::int64_t blockEndSector,
                                   const SectorView& view) {
    m_overflowSector = -1;
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < 0) return 0;
    const std::uint64_t at = static_cast<std::uint64_t>(sectorNumber) * static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t blockEnd = static_cast<std::uint64_t>(blockEndSector) * static_cast<std::uint64_t>(sectorSize);
    std::uint64_t o = 0;
    int frames = 0;
    while (at + 9 + o <= blockEnd) {
        const std::uint8_t* h = view.at(at + o, 6);
        const std::uint32_t length = h ? AdtsFrameLength(h) : 0;
        if (length == 0) return 0;
        o += length;
        if (++frames >= kFramesForMatch) {
            record.m_type = RAW_FILE_TYPE_M4A;
            return 1;
        }
    }
    if (frames == 0) return 0;
    // Too few frames in the block to be sure: the record decides at its end.
    record.m_type = RAW_FILE_TYPE_M4A;
    m_overflowSector = sectorNumber;
    return 1;
}

int CADTSRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    if (!m_started) {
        m_started = true;
        m_overflow = m_owner != nullptr && m_owner->TakeOverflow(m_startSector);
    }
    m_bytesSeen += static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(sectorSize);
    while (static_cast<std::uint64_t>(m_size) < m_bytesSeen) {
        // A header across the block end is read once the next block is in.
        const std::uint8_t* h = ctx.view.at(base + static_cast<std::uint64_t>(m_size), 6);
        if (h == nullptr) return 2;
        const std::uint32_t length = AdtsFrameLength(h);
        if (length == 0) {
            if (ctx.trailingZeroBytes == 0) m_size = 0;
            if (m_overflow && m_frameCount <= 4) {
                m_size = 0;
                m_overflow = false;
            }
            return 1;
        }
        ++m_frameCount;
        m_size += length;
    }
    return 2;
}

}  // namespace BruteForce

// ---- MIDI ----

int FileMIDAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (!IsMidiStart(sector)) return 0;
    record.m_type = RAW_FILE_TYPE_MID;
    return 1;
}

int FileMIDAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    const std::int64_t ss = reader.Buffer().SectorSize();
    if (ss == 0) return 0;
    std::uint64_t offset = 14;
    while (offset <= kWalkCap) {
        std::uint8_t h[8];
        if (!reader.Read(offset, sizeof h, h)) break;
        const std::int64_t length = TrackLength(h, static_cast<std::int64_t>(kWalkCap));
        if (length < 0) break;
        offset += static_cast<std::uint64_t>(length) + 8;
    }
    record.m_type = RAW_FILE_TYPE_MID;
    record.m_size = RoundUp(static_cast<std::int64_t>(offset), ss);
    return 1;
}

namespace RawSpeed {

int MIDAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (!IsMidiStart(sector)) return 0;
    record.m_type = RAW_FILE_TYPE_MID;
    return 1;
}

CRawFileInfo* MIDAnalyser::CreateRawFileInfo() { return new MIDRawFileInfo(this); }

void MIDAnalyser::MIDRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int MIDAnalyser::MIDRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber,
                                             SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::int64_t r = (sectorNumber - m_startSector) * sectorSize;
    if (r > m_maxLength) {
        SetRawFileName(Range(m_startSector, sectorNumber));
        m_size = m_nextChunk;
        return 1;
    }
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(sectorSize);
    // Every chunk header up to just past this sector is read, wherever it
    // lies in the view: one in a sector's first bytes, or across the block
    // end, is read as well as any other.
    while (m_nextChunk <= r + sectorSize + 8) {
        const std::uint8_t* h = ctx.view.at(base + static_cast<std::uint64_t>(m_nextChunk), 8);
        if (h == nullptr) return 2;
        const std::int64_t length = TrackLength(h, m_maxLength);
        if (length < 0) {
            SetRawFileName(Range(m_startSector, sectorNumber));
            m_size = RoundUp(m_nextChunk, sectorSize);
            return 1;
        }
        m_nextChunk += length + 8;
    }
    return 2;
}

}  // namespace RawSpeed

// ---- AIFF and AU ----

int CFileAIFAnalyzer::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector + 8, "AIF", 3) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_AIFF;
    return 1;
}

int CFileAIFAnalyzer::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[12];
    record.m_size = 0;
    if (reader.Read(0, sizeof head, head) && std::memcmp(head, "FORM", 4) == 0 && std::memcmp(head + 8, "AIF", 3) == 0)
        record.m_size = static_cast<std::int64_t>(BE32(head + 4)) + 8;
    return 1;
}

int FileAUAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    record.m_type = RAW_FILE_TYPE_AU;
    const std::uint32_t offset = BE32(sector + 4);
    const std::uint32_t size = BE32(sector + 8);
    // A writer that streams to a pipe cannot know the size and writes ~0.
    if (offset < 24 || size == 0xFFFFFFFFu) {
        record.m_size = 0;
        return 0;
    }
    record.m_size = static_cast<std::int64_t>(size) + offset;
    return 1;
}
