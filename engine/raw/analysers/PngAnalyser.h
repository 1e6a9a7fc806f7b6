#pragma once
// PNG: a signature, then chunks (u32 big-endian length, 4-byte type, data,
// CRC) up to the "IEND" chunk. The streaming record follows the chunk chain
// sector by sector; when it is evicted or left unfinished its twin walks the
// chain again through a read window.

#include "raw/RawFileAnalyser.h"

class FilePNGAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0x1400000;
    FilePNGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_PNG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    // Size = end of the "IEND" chunk, or where the walk stopped on a chunk it
    // cannot trust; 0 when the start is no PNG.
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class PNGAnalyser : public IRawFileAnalyser {
public:
    PNGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_PNG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FilePNGAnalyser* Twin() { return &m_twin; }

private:
    FilePNGAnalyser m_twin;
};

class PNGRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kSizeCap = 100000000;
    explicit PNGRawFileInfo(PNGAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_nextChunk = 20;  // file offset of the next chunk header
    std::int64_t m_cap = kSizeCap;
    std::uint32_t m_firstSector = 1;

private:
    PNGAnalyser* m_owner;
};

}  // namespace RawSpeed
