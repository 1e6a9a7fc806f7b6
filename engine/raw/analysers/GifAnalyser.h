#pragma once
// GIF: a 13-byte header with an optional global colour table, then blocks:
// extensions (0x21, label, sub-blocks), images (0x2C, a 10-byte descriptor,
// an optional local colour table, one code-size byte, sub-blocks) and the
// trailer 0x3B. Sub-blocks are a length byte and that many bytes; a zero
// length ends the chain. The record walks the blocks sector by sector; it
// has no twin, so an evicted GIF is lost.

#include "raw/RawFileAnalyser.h"

namespace BruteForce {

class CGifAnalyser : public IRawFileAnalyser {
public:
    CGifAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

}  // namespace BruteForce

class CGifFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kSizeCap = 0xD000000;
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    // The walk keeps its place: between blocks, or inside a sub-block chain,
    // where a length byte of 0x21, 0x2C or 0x3B is only a length.
    enum class Walk : std::uint8_t { Blocks, SubBlocks };
    std::int64_t m_next = 0;  // file offset of the next byte the walk reads
    Walk m_walk = Walk::Blocks;
    // Bytes of the sectors fed so far; the size only once the trailer is
    // found, so an evicted or unfinished GIF has none.
    std::int64_t m_grown = 0;
    std::uint8_t m_firstSector = 1;
};
