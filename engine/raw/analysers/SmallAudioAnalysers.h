#pragma once
// Small audio formats. Monkey's Audio (APE) streams: its size is the sum of
// the descriptor's byte counts (version 3.98 on) or is found through the
// seek table and the APE tag or zero tail at its end (older files). AAC in
// ADTS frames streams along its frame chain. A Standard MIDI file streams
// along its "MTrk" chunks and has a device-side twin. AIFF is sized by one
// device read of its FORM header, AU from its header at once.

#include <cstdint>
#include <string>

#include "raw/RawFileAnalyser.h"

namespace BruteForce {

class CAPEAnalyser : public IRawFileAnalyser {
public:
    CAPEAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class CAPERawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kSizeCap = 0x82000000ULL;
    static constexpr std::int64_t kMaxDescriptor = 0x100000;
    static constexpr std::uint32_t kMaxTagItems = 65535;
    static constexpr std::uint32_t kMaxTagSize = 0x1000000 + 32;

    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_bytesSeen = 0;
    std::uint64_t m_firstFrameOffset = 0;  // later: seek-table bytes still to come
    std::uint64_t m_lastFrameOffset = 0;
    std::uint16_t m_version = 0;
    std::int32_t m_blockAlign = 4;
    std::uint8_t m_started = 0;

private:
    int Finish(std::int64_t size);
    int TagOrTail(const std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx);
    bool m_tableStarted = false;  // old layout: the first seek entry is read
    std::uint64_t m_tableStart = 0;
};

class CADTSAnalyser : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    static constexpr int kFramesForMatch = 5;
    CADTSAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize, std::int64_t sectorNumber,
                        std::int64_t bufferStartSector, std::int64_t blockEndSector, const SectorView& view) override;
    // Whether the match at `sector` ran out of buffer before five frames;
    // the record made for that hit takes the answer as its own flag.
    bool TakeOverflow(std::int64_t sector);

private:
    std::int64_t m_overflowSector = -1;
};

class CADTSRawFileInfo : public CRawFileInfo {
public:
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_bytesSeen = 0;
    std::uint64_t m_frameCount = 0;
    // Set when the start test ran out of block before five frames.
    bool m_overflow = false;
    CADTSAnalyser* m_owner = nullptr;

private:
    bool m_started = false;
};

}  // namespace BruteForce

// The 13-bit frame length of an ADTS header (sync, layer 0), or 0.
std::uint32_t AdtsFrameLength(const std::uint8_t* p);

class FileMIDAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkCap = 0xD000000;
    FileMIDAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MID) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class MIDAnalyser : public IRawFileAnalyser {
public:
    MIDAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MID) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileMIDAnalyser* Twin() { return &m_twin; }

    class MIDRawFileInfo : public CRawFileInfo {
    public:
        static constexpr std::int64_t kMaxLength = 10000000;
        explicit MIDRawFileInfo(MIDAnalyser* owner) : m_owner(owner) {}
        bool WhetherImplementGuess() override { return true; }
        void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
        int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

        std::int64_t m_nextChunk = 14;
        std::int64_t m_maxLength = kMaxLength;

    private:
        MIDAnalyser* m_owner;
    };

private:
    FileMIDAnalyser m_twin;
};

}  // namespace RawSpeed

class CFileAIFAnalyzer : public IRawFileAnalyser {
public:
    CFileAIFAnalyzer() : IRawFileAnalyser(RAW_FILE_TYPE_AIFF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

class FileAUAnalyser : public IRawFileAnalyser {
public:
    FileAUAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_AU) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
};
