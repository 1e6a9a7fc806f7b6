#include "raw/analysers/GifAnalyser.h"

#include <cstring>

namespace {
constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::int64_t kHeader = 13;
constexpr std::int64_t kDescriptor = 10;

// Bytes of a colour table whose flag and size sit in `packed`.
std::int64_t ColourTable(std::uint8_t packed) { return (packed & 0x80) ? (3 << ((packed & 7) + 1)) : 0; }
}  // namespace

namespace BruteForce {

int CGifAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, "GIF8", 4) != 0) return 0;
    if (!((sector[4] == '7' || sector[4] == '9') && sector[5] == 'a')) return 0;
    record.m_type = RAW_FILE_TYPE_GIF;
    return 1;
}

CRawFileInfo* CGifAnalyser::CreateRawFileInfo() { return new CGifFileInfo(); }

}  // namespace BruteForce

int CGifFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t base = static_cast<std::uint64_t>(m_startSector) * static_cast<std::uint64_t>(sectorSize);
    const std::int64_t end = (sectorNumber - m_startSector + 1) * sectorSize;  // file offset after this sector
    auto byteAt = [&](std::int64_t off, std::uint8_t& out) {
        const std::uint8_t* p = ctx.view.at(base + static_cast<std::uint64_t>(off), 1);
        if (p) out = *p;
        return p != nullptr;
    };
    bool finished = false;
    if (m_firstSector) {
        std::uint8_t packed = 0;
        if (!byteAt(10, packed)) return 2;
        m_next = kHeader + ColourTable(packed);
        m_firstSector = 0;
    }
    while (!finished && m_next < end) {
        std::uint8_t b = 0;
        if (!byteAt(m_next, b)) break;
        if (m_walk == Walk::SubBlocks) {
            m_next += b + 1;
            if (b == 0) m_walk = Walk::Blocks;
            continue;
        }
        if (b == kExtension) {
            m_next += 2;  // introducer and label; sub-blocks follow
            m_walk = Walk::SubBlocks;
        } else if (b == kImage) {
            std::uint8_t packed = 0;
            // The descriptor may run into the next sector: wait for it.
            if (!byteAt(m_next + 9, packed)) break;
            m_next += kDescriptor + ColourTable(packed) + 1;  // and the code-size byte
            m_walk = Walk::SubBlocks;
        } else if (b == kTrailer) {
            m_next += 1;
            finished = true;
        } else {
            // Not a block: skip it as the length it would be.
            m_next += b + 1;
        }
    }
    // Whole sectors: the file ends with the sector that holds its trailer.
    m_grown += sectorSize;
    if (m_grown > kSizeCap) {
        m_size = kSizeCap;
        return 1;
    }
    if (!finished) return 2;
    m_size = m_grown;
    return 1;
}
