#pragma once
// TIFF and the camera-raw formats built on it: an 8-byte header ("II" 2A 00 or
// "MM" 00 2A and the first directory's offset), then image file directories
// of 12-byte entries that point at strips, tiles, thumbnails, sub-directories
// and long values anywhere in the file. A file reaches as far as the farthest
// thing its directories point at. The maker in the make entry picks the raw
// extension. The streaming record follows the directories as their sectors
// arrive; whatever it cannot see (bytes no longer held, too many directories,
// Fujifilm and Panasonic-Leica starts) goes to the twin, which walks the
// whole chain through a read window.

#include <map>
#include <string>

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/ExifReader.h"

class WindowReader;

namespace BruteForce {
// The raw type of a maker, model and marks; `current` when no row matches.
std::uint32_t SetFileExt(const std::string& upperMake, const std::string& model, bool dng, bool iiu,
                         std::uint32_t current);
}  // namespace BruteForce

class FileTIFAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kOffsetLimit = 0x4E000000;
    static constexpr std::int64_t kBadExtentSize = 0x7CCCCCC;
    static constexpr int kMaxSubDirectories = 14;

    FileTIFAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_TIF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    std::string GetRawFileName() override { return m_name; }
    std::string GetRawFileTime() override { return m_time; }
    int GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) override;
    void GetThumbStartAndSize(std::int64_t& start, std::int64_t& size) const {
        start = m_thumbStart;
        size = m_thumbSize;
    }

private:
    struct Walk;
    bool GetTiffSize(WindowReader& reader, Walk& w, std::uint64_t ifd, bool sub);
    void GetSubIFDSize(WindowReader& reader, Walk& w, std::uint64_t ifd);
    bool LastElement(WindowReader& reader, const Walk& w, std::uint32_t count, std::uint32_t typeSize,
                     std::uint32_t value, std::uint64_t& out);

    std::string m_name;
    std::string m_time;
    std::int32_t m_tag = RAW_FILE_TAG_NONE;
    std::string m_tagValue;
    std::int64_t m_thumbStart = 0;
    std::int64_t m_thumbSize = 0;
    int m_subDirectories = 1;
    CExifReader m_exif;
};

namespace BruteForce {

class TiffAnalyzer : public IRawFileAnalyser {
public:
    TiffAnalyzer() : IRawFileAnalyser(RAW_FILE_TYPE_TIF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileTIFAnalyser* Twin() { return &m_twin; }

private:
    FileTIFAnalyser m_twin;
};

class TiffRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kFirstIfdLimit = 0x400000;
    static constexpr std::int64_t kMaxDirectories = 12;
    static constexpr std::int64_t kPixelLimit = 0xC7FFFFF;
    static constexpr std::int64_t kLargeExtent = 0xA00000;
    static constexpr std::int64_t kExactLimit = 0xFFFFF;
    static constexpr std::size_t kMaxPending = 512;

    explicit TiffRawFileInfo(TiffAnalyzer* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_TIF; }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_thumbOffset = 0, m_thumbLength = 0;
    bool m_little = true;
    std::int64_t m_pixelEstimate = -2147483648LL;
    std::int64_t m_directoryCount = 0;
    std::uint32_t m_giveUp = 0;
    std::int64_t m_nextDirectory = 0;
    std::int64_t m_extent = 8192;
    std::int64_t m_stripOffset = 0;
    std::int64_t m_currentDirectory = 0;
    std::map<std::int64_t, std::int64_t> m_pendingThumbs;   // offset -> length
    std::map<std::int64_t, std::int64_t> m_pendingSubDirs;  // offset -> sector
    std::uint32_t m_stripByteCount = 0;
    std::uint32_t m_iiu = 0;
    std::uint32_t m_dng = 0;
    std::string m_make, m_model;
    std::uint32_t m_width = 0, m_height = 0;
    std::uint32_t m_tileOffsets[4] = {0, 0, 0, 0};  // offset, byte count, count, type size
    std::uint32_t m_stripsSeen = 0;
    std::int64_t m_sectorSize = 512;
    std::uint32_t m_makeSeen = 0, m_modelSeen = 0;

private:
    // Reads the directory at file offset `ifd`; false when it is invalid.
    bool CheckIFD(const SectorView& view, std::int64_t ifd, bool chain);
    std::string ReadText(const SectorView& view, std::uint32_t count, std::uint32_t value);
    bool LastElement(const SectorView& view, std::uint32_t count, std::uint32_t typeSize, std::uint32_t value,
                     std::int64_t& out);
    bool IsJpegAt(const SectorView& view, std::int64_t offset) const;
    void Grow(std::int64_t end) {
        if (end > m_extent) m_extent = end;
        if (end > m_reached) m_reached = end;
    }
    int GiveUp() {
        m_size = 0;
        return 1;
    }

    TiffAnalyzer* m_owner;
    std::uint64_t m_base = 0;    // absolute byte of the file's start
    std::int64_t m_reached = 0;  // largest end of anything the directories point at
};

}  // namespace BruteForce
