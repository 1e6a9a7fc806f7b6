#include "raw/ZeroEndRawFileInfo.h"

#include <algorithm>

std::uint32_t CZeroEndRawFileInfo::LastDataEnd(const std::uint8_t* block, std::uint32_t length, std::uint32_t unit) {
    if (block == nullptr || length == 0) return 0;
    if (unit == 0) unit = 1;
    // From the end, not by bisection: a zero run inside the last sector's
    // data (a binary record, a UTF-16 text) must not cut the file short.
    std::uint32_t end = length;
    std::uint32_t step = length % unit ? length % unit : std::min(unit, length);
    while (end > 0) {
        const std::uint32_t from = end - step;
        for (std::uint32_t i = end; i > from; --i)
            if (block[i - 1] != 0) return i;
        end = from;
        step = std::min(unit, end);
    }
    return 0;
}

int CZeroEndRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                     SearchContext& ctx) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t length = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t offset = static_cast<std::uint64_t>(sectorNumber - m_startSector) * length;
    // Counted from the sector's position rather than by adding each sector
    // fed: sectors the search skips (claimed by a file system) or that
    // arrive again after a jump never shift the end.
    const std::uint64_t z = ctx.trailingZeroBytes;
    std::uint64_t size;
    int answer = 1;
    if (offset < m_skipUntil || z == 0) {
        size = offset + length;
        answer = 2;
    } else if (z >= length) {
        size = offset + length;
    } else {
        // The count comes in whole 4-byte words: the last word may still end
        // in zero bytes that are padding, not data. The exact last byte is
        // looked for, so the file reads back as it was written.
        size = offset + LastDataEnd(sector, static_cast<std::uint32_t>(length), m_unit);
    }
    // A wholly zero sector: the sector before ended the data, but its last
    // word may still hold a few zero bytes that are padding too (the count
    // comes in whole words, so that sector did not end the file).
    if (answer == 1 && size == offset && offset > m_skipUntil && offset >= 4 && 4 % m_unit == 0) {
        const std::uint64_t here = static_cast<std::uint64_t>(sectorNumber) * length;
        if (const std::uint8_t* back = here >= 4 ? ctx.view.at(here - 4, 4) : nullptr) {
            const std::uint32_t tail = LastDataEnd(back, 4, m_unit);
            if (tail != 0) size = offset - 4 + tail;
        }
    }
    // A file that never meets zero padding is cut at the cap rather than
    // followed over the whole device.
    if (size >= m_cap) {
        size = m_cap;
        answer = 1;
    }
    m_size = static_cast<std::int64_t>(std::min<std::uint64_t>(size, INT64_MAX));
    return answer;
}
