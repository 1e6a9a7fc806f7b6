#pragma once
// A bounds-checked view of the raw search's read buffer, addressed by
// absolute device position. The driver keeps the previous and the current
// block in one buffer, followed by a few spare bytes; an analyser that looks
// at a neighbouring sector, a header that straddles the block end or an
// offset taken from file content asks the view, which answers null instead
// of reading outside the buffer. A value type: it is made for every sector
// and never allocates.

#include <cstddef>
#include <cstdint>

#include "foundation/ByteOrder.h"

class SectorView {
public:
    SectorView() = default;
    // `buffer` holds the sectors from bufferStartSector up to (not including)
    // blockEndSector, then `spareBytes` more real bytes.
    SectorView(const std::uint8_t* buffer, std::uint32_t sectorSize, std::int64_t bufferStartSector,
               std::int64_t blockEndSector, std::uint32_t spareBytes)
        : m_buffer(buffer),
          m_sectorSize(sectorSize),
          m_bufferStartSector(bufferStartSector),
          m_blockEndSector(blockEndSector),
          m_spareBytes(spareBytes) {
        if (buffer == nullptr || sectorSize == 0 || bufferStartSector < 0 || blockEndSector < bufferStartSector)
            *this = SectorView();
    }
    // One sector at `sectorNumber` followed by `spareBytes` real bytes: what
    // a reader that holds a single padded sector (the FAT repair) can offer.
    static SectorView ForSector(const std::uint8_t* sector, std::uint32_t sectorSize, std::int64_t sectorNumber,
                                std::uint32_t spareBytes) {
        return SectorView(sector, sectorSize, sectorNumber, sectorNumber + 1, spareBytes);
    }

    bool empty() const { return m_buffer == nullptr; }
    std::uint32_t sectorSize() const { return m_sectorSize; }
    std::int64_t bufferStartSector() const { return m_bufferStartSector; }
    std::int64_t blockEndSector() const { return m_blockEndSector; }
    std::uint32_t spareBytes() const { return m_spareBytes; }

    // Absolute byte positions held: [firstByte(), endByte()).
    std::uint64_t firstByte() const { return static_cast<std::uint64_t>(m_bufferStartSector) * m_sectorSize; }
    std::uint64_t endByte() const {
        return static_cast<std::uint64_t>(m_blockEndSector) * m_sectorSize + (m_buffer ? m_spareBytes : 0);
    }

    // The `length` bytes at absolute byte `absoluteOffset`, or null when any
    // of them lies outside the buffer.
    const std::uint8_t* at(std::uint64_t absoluteOffset, std::size_t length) const {
        if (m_buffer == nullptr || absoluteOffset < firstByte()) return nullptr;
        const std::uint64_t rel = absoluteOffset - firstByte();
        const std::uint64_t size = endByte() - firstByte();
        if (rel > size || length > size - rel) return nullptr;
        return m_buffer + rel;
    }
    // The sector `sectorNumber` (sector-size bytes), or null.
    const std::uint8_t* sector(std::int64_t sectorNumber) const {
        if (sectorNumber < 0) return nullptr;
        return at(static_cast<std::uint64_t>(sectorNumber) * m_sectorSize, m_sectorSize);
    }
    // Bytes held before / from `absoluteOffset` (0 when outside).
    std::uint64_t prevAvailable(std::uint64_t absoluteOffset) const {
        if (m_buffer == nullptr || absoluteOffset < firstByte() || absoluteOffset > endByte()) return 0;
        return absoluteOffset - firstByte();
    }
    std::uint64_t availableFrom(std::uint64_t absoluteOffset) const {
        if (m_buffer == nullptr || absoluteOffset < firstByte() || absoluteOffset > endByte()) return 0;
        return endByte() - absoluteOffset;
    }
    // Everything held from `absoluteOffset` on, as a checked span.
    byteorder::Span spanFrom(std::uint64_t absoluteOffset) const {
        const std::uint64_t n = availableFrom(absoluteOffset);
        return n ? byteorder::Span(at(absoluteOffset, 0), static_cast<std::size_t>(n)) : byteorder::Span();
    }

private:
    const std::uint8_t* m_buffer = nullptr;
    std::uint32_t m_sectorSize = 0;
    std::int64_t m_bufferStartSector = 0;
    std::int64_t m_blockEndSector = 0;
    std::uint32_t m_spareBytes = 0;
};
