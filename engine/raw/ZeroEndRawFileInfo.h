#pragma once
// The sizing record of a file with no length field and no end marker: text
// PostScript, some drawing formats. It ends where the zero padding of its
// last cluster begins, so the first sector that ends in zero bytes holds the
// end, and the last non-zero byte of that sector is the file's last byte.

#include <cstdint>

#include "raw/RawFileAnalyser.h"

class CZeroEndRawFileInfo : public CRawFileInfo {
public:
    // `cap`: the largest size given, in bytes. `unit`: the step, in bytes, of
    // the search for the last data byte (a format whose records are 4-byte
    // aligned ends on such a step); 0 is taken as 1.
    CZeroEndRawFileInfo(std::uint64_t cap, std::uint32_t unit) : m_cap(cap), m_unit(unit ? unit : 1) {}

    bool WhetherImplementGuess() override { return true; }
    // 2 while the sector carries no trailing zero bytes (or lies before the
    // skip-until position), 1 once the end is found; the size is then the
    // file offset just after the last non-zero byte, at most the cap. A file
    // that reaches the cap without an end is cut there.
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    // The used length of a zero-tailed block: the index after its last
    // non-zero byte, searched from the end in steps of `unit`; 0 when all zero.
    static std::uint32_t LastDataEnd(const std::uint8_t* block, std::uint32_t length, std::uint32_t unit);

    std::uint64_t m_cap;
    std::uint32_t m_unit;
    // No end is looked for before this file offset (a header that is known
    // to be longer, say); 0 = from the first sector.
    std::uint64_t m_skipUntil = 0;
};
