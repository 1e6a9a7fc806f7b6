#include "raw/analysers/PngAnalyser.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"

namespace {

const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

int IsPngStart(const std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, kSignature, 8) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_PNG;
    return 1;
}

}  // namespace

int FilePNGAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) { return IsPngStart(sector, record); }

int FilePNGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[24];
    if (!reader.Read(0, sizeof head, head)) return 0;
    // The first chunk is IHDR, and an image has at least one pixel.
    if (std::memcmp(head + 12, "IHDR", 4) != 0 || byteorder::BE32(head + 16) == 0 || byteorder::BE32(head + 20) == 0)
        return 0;
    std::int64_t pos = static_cast<std::int64_t>(byteorder::BE32(head + 8)) + 20;
    while (pos <= kWalkCap) {
        std::uint8_t chunk[8];
        if (!reader.Read(static_cast<std::uint64_t>(pos), sizeof chunk, chunk)) break;
        const std::int64_t length = byteorder::BE32(chunk);
        // PNG caps chunk lengths at 2^31 - 1; far less fits in the walk.
        if (length > kWalkCap) break;
        pos += length + 12;
        if (std::memcmp(chunk + 4, "IEND", 4) == 0) break;
    }
    record.m_size = pos;
    return 1;
}

namespace RawSpeed {

int PNGAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) { return IsPngStart(sector, record); }

CRawFileInfo* PNGAnalyser::CreateRawFileInfo() { return new PNGRawFileInfo(this); }

void PNGRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int PNGRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    if (pos > m_cap) return 1;  // no size: the twin takes over
    if (m_nextChunk <= pos) return 2;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(sectorSize);
    for (;;) {
        if (m_nextChunk > pos + sectorSize) return 2;
        if (m_firstSector) {
            const std::uint8_t* ihdr = ctx.view.at(base + 8, 4);
            if (ihdr == nullptr) return 2;
            m_nextChunk += byteorder::BE32(ihdr);
            m_firstSector = 0;
            continue;
        }
        // The chunk header may straddle the sector end: the view holds the
        // bytes that follow (or nothing, and the twin sizes the file later).
        const std::uint8_t* header = ctx.view.at(base + static_cast<std::uint64_t>(m_nextChunk), 8);
        if (header == nullptr) return 2;
        const std::int64_t length = byteorder::BE32(header);
        if (std::memcmp(header + 4, "IEND", 4) == 0) {
            m_nextChunk += length + 12;
            break;
        }
        m_nextChunk += length + 12;
        if (m_nextChunk <= pos) return 2;
    }
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", m_startSector, sectorNumber);
    SetRawFileName(name);
    m_size = m_nextChunk;
    return 1;
}

}  // namespace RawSpeed
