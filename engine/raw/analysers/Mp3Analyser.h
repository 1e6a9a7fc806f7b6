#pragma once
// MP3: a file that begins with an ID3v2 tag, or with an MPEG audio frame.
// The streaming record follows the frame chain (frame starts) or waits for
// an ID3v1 tag, a fill pattern or a zero tail (ID3 starts). A record whose
// streaming gives up is handed to the analyser's FileMP3Analyser, which
// sizes the file on the device: ID3v2 tag plus a frame walk with resync,
// the byte count of a Xing/Info header, or a bare frame chain. Names and
// the artist tag come from the ID3v2 or ID3v1 tag.

#include <cstdint>
#include <string>
#include <vector>

#include "raw/RawFileAnalyser.h"

class FileMP3Analyser : public IRawFileAnalyser {
public:
    // Bytes probed for the next frame after junk.
    static constexpr std::uint32_t kProbe = 4095;
    static constexpr std::uint64_t kWalkLimit = 0x104000000ULL;
    static constexpr std::uint64_t kChainLimit = 0x82000000ULL;
    static constexpr std::uint64_t kMinChain = 10240;
    // Non-zero sectors passed over after an APE tag before giving up.
    static constexpr std::uint64_t kApeTail = 102400;
    // Tag frames read before the walk stops trusting the tag.
    static constexpr int kMaxTagFrames = 4096;

    FileMP3Analyser() : IRawFileAnalyser(RAW_FILE_TYPE_MP3) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    // The device walk; a streaming MP3 record's own zero-tail size where
    // the walk finds no song.
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    std::string GetRawFileName() override { return m_name; }
    std::string GetRawFileTime() override { return m_time; }
    int GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) override;

    virtual int GetRawFileSizeXING(CRawFileInfo& record, IStorageDevice* device);
    virtual int GetRawFileSizeFromFrame(CRawFileInfo& record, IStorageDevice* device);

    // The span of the last file sized from a frame chain: a later hit that
    // starts inside it is the same song.
    std::uint64_t RememberedStart() const { return m_spanStart; }
    std::uint64_t RememberedLength() const { return m_spanLength; }

private:
    int SizeOnDevice(CRawFileInfo& record, IStorageDevice* device);
    void Reset();
    void SetId3v1(CRawFileInfo& record, const std::uint8_t* tag);

    std::string m_name;
    std::string m_time;
    std::int32_t m_tag = RAW_FILE_TAG_NONE;
    std::string m_tagValue;
    std::string m_charset;
    std::uint64_t m_spanStart = 0;
    std::uint64_t m_spanLength = 0;
};

namespace BruteForce {

class MP3Analyzer : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    MP3Analyzer() : IRawFileAnalyser(RAW_FILE_TYPE_MP3) {}
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t sectorSize, std::int64_t sectorNumber,
                        std::int64_t bufferStartSector, std::int64_t blockEndSector, const SectorView& view) override;

    FileMP3Analyser* Twin() { return &m_twin; }
    // The start last accepted on a chain of three frame headers; while it is
    // set no start is taken on frame headers alone, so the frames of one
    // song do not each become a file. Owned by this analyser (one per key).
    std::int64_t m_lastStartSector = 0;

private:
    FileMP3Analyser m_twin;
};

class MP3RawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kMinLength = 20480;
    static constexpr std::uint64_t kSizeCap = 209715200;
    static constexpr std::int64_t kStreamLimit = 524288000;
    static constexpr std::uint64_t kMinChain = 10240;
    static constexpr int kFramesPerCall = 1024;
    static constexpr std::uint32_t kMaxTagSize = 0x40000000;
    static constexpr int kFillRepeats = 64;

    explicit MP3RawFileInfo(MP3Analyzer* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_MP3; }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    // ID3v2 tag of `available` bytes: artist, title, year, picture.
    void GatherTagInfo(const std::uint8_t* start, std::int64_t available);
    int AdjustMp3Health(const std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                        std::int64_t blockEndSector, const SectorView& view);
    // Reads `length` bytes (a copy; the driver's buffer is never written).
    int FindTagInEndSector(const std::uint8_t* p, std::int64_t sectorNumber, int length, int trailingZero);
    bool FindDuplicateByteCount(const std::uint8_t* p, int length, int trailingZero);
    int CalcRawSizeEx(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx);

    std::int64_t m_pictureOffset = 0;
    std::int64_t m_pictureSize = 0;
    std::int64_t m_minLength = kMinLength;
    std::uint64_t m_frameOffset = 0;
    std::uint32_t m_frameStart = 0;
    std::uint64_t m_bytesSeen = 0;
    std::uint64_t m_sizeCap = kSizeCap;
    std::int64_t m_lastSector = 0;
    std::vector<std::uint32_t> m_countTable;
    std::uint64_t m_countTableLength = 512;
    std::string m_charset;
    // The size the zero-tail end gave, kept for the device sizer.
    std::int64_t m_streamSize = 0;

private:
    void EndSizing();
    // 1 when no frame begins within the probe distance after the tag,
    // 2 when one does, 0 while the bytes are not all in view yet.
    int AudioFollowsTag(std::int64_t sectorNumber, int sectorSize, const SearchContext& ctx);
    MP3Analyzer* m_owner;
    std::uint64_t m_audioStart = 10;  // file offset just after the ID3v2 tag
    bool m_audioChecked = false;
    bool m_noAudio = false;  // no frame chain after the tag: no device sizing
    bool m_started = false;
    std::vector<std::uint8_t> m_copy;  // FindTagInEndSector's scratch
};

}  // namespace BruteForce
