#pragma once
// RealMedia (chunk walk, or the final empty index chunk of files with
// video), MPEG program streams (pack and packet walk) and ASF (top-level
// object walk). RealMedia and MPEG records that leave the open set
// unfinished are sized by a walk of the same structure on the device.

#include "raw/RawFileAnalyser.h"

// The end of a RealMedia file with video: this empty index chunk.
extern const std::uint8_t szRMFileEnd[20];

class FileRM_RMVBAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kSearchLimit = 0x104000001;
    FileRM_RMVBAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_RM) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

class FileMPGAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkCap = 0x82000000;
    FileMPGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MPG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// "MDPR" with "Video Stream" within 160 bytes of it in the first kilobyte.
bool bRMFileHeader(const std::uint8_t* first, std::size_t length);
// One of the seven pack-header SCR patterns at byte 4 of a sector.
bool IsMpegStart(const std::uint8_t* sector);

// The MPEG pack and packet walk, fed the bytes at its offset.
struct MpegWalk {
    static constexpr int kNeed = 32;  // bytes a step looks at
    static constexpr std::uint64_t kZeroRun = 100;
    static constexpr std::uint64_t kShortWalk = 0x19000;
    std::uint64_t offset = 0;
    std::uint64_t zeroCount = 0;
    std::uint64_t zeroStart = 0;
    int misses = 0;
    int packHeaderLength = 12;
    bool packetNext = false;  // after a system header a packet must follow
    std::uint16_t lastPacketLength = 0;
    std::uint64_t packetEnd = 0;        // just past the last pack or packet stepped
    std::uint64_t missAt = 0;           // where the first miss was met
    std::uint64_t packetEndAtMiss = 0;  // packetEnd then

    enum Result { Continue, EndAtZeros, EndAtMiss, NoSize };
    // `p` holds kNeed bytes at `offset`.
    Result Step(const std::uint8_t* p);
    // After EndAtMiss: when the first miss met data at a sector boundary
    // (file offsets of sector size `sectorSize`), straight after the last
    // packet or after zero bytes only, and the second came before any other
    // packet, another file starts there and the stream ended with that
    // packet: its end. Else 0 (the walk ran into data that starts no file).
    std::uint64_t EndBeforeNextSector(std::uint64_t sectorSize) const;
};

namespace Tessel {

class RM_RMVBAnalyser : public IRawFileAnalyser {
public:
    RM_RMVBAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_RM) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileRM_RMVBAnalyser* Twin() { return &m_twin; }

private:
    FileRM_RMVBAnalyser m_twin;
};

class RM_RMVBRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kCap = 0xC800000;
    explicit RM_RMVBRawFileInfo(RM_RMVBAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_walk = 0;
    std::uint32_t m_audioOnly = 1;

private:
    int Finish(std::int64_t sectorNumber, std::uint64_t b);
    RM_RMVBAnalyser* m_owner;
    bool m_started = false;
};

// Refuses a hit less than 21 sectors after its last accepted one: the packs
// of one stream repeat the start pattern.
class MPGAnalyser : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    static constexpr std::int64_t kMinGap = 21;
    MPGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MPG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize, std::int64_t sectorNumber,
                        std::int64_t bufferStartSector, std::int64_t blockEndSector, const SectorView& view) override;
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileMPGAnalyser* Twin() { return &m_twin; }

private:
    FileMPGAnalyser m_twin;
    std::int64_t m_lastAccepted = -1;
};

class MPGRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kCap = 0xC800000;
    explicit MPGRawFileInfo(MPGAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    MpegWalk m_walk;

private:
    int Finish(std::int64_t sectorNumber, std::uint64_t end);
    MPGAnalyser* m_owner;
};

}  // namespace Tessel

namespace BruteForce {

class CAsfAnalyser : public IRawFileAnalyser {
public:
    CAsfAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class CAsfRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kCap = 0x1964000000;
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_topLevel = 0;  // file offset of the next top-level object
    std::uint64_t m_headerEnd = 0;
    std::uint64_t m_headerWalk = 0;
    std::uint32_t m_audio = 0;
    std::uint32_t m_video = 0;
    std::uint32_t m_other = 0;

private:
    int Finish();
};

}  // namespace BruteForce
