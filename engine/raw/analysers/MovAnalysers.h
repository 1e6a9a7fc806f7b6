#pragma once
// QuickTime and ISO base media files (MOV, MP4, M4A, M4V, 3GP, TREC): a
// leading "ftyp" box, then top-level boxes of a big-endian u32 size and a
// four-letter type. The streaming record walks the boxes as the sectors pass
// and reads a camera make from EXIF data inside "moov" or from an "iPhone "
// or "iPad " text near the end. A record that leaves the open set unfinished
// is sized later by a walk of the same boxes on the device.

#include <string>

#include "raw/RawFileAnalyser.h"

class RawFileBuffer;

// The device-side box walk: 64-bit offsets and sizes, at most 500 boxes.
class CRawBoxFileAnalyser {
public:
    static constexpr int kMaxBoxes = 500;
    // The end of the box chain counted from the record's start, or 0 when
    // fewer than two boxes chain (an "ftyp" alone is no film).
    static std::int64_t GetFileSize(CRawFileInfo& record, IStorageDevice* device, CRawSearchState* state);
};

class FileMP4Analyser : public IRawFileAnalyser {
public:
    FileMP4Analyser() : IRawFileAnalyser(RAW_FILE_TYPE_MP4) {}
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// Top-level box types the walks step over; any other type ends the file.
bool IsKnownTopLevelBox(const std::uint8_t* type);
// RAW_FILE_TYPE by the major brand at byte 8 of the first sector; 0 unknown.
std::uint32_t getTypeByMajorBrand(const std::uint8_t* sector);

namespace BruteForce {

class MovAnalyzer : public IRawFileAnalyser {
public:
    MovAnalyzer() : IRawFileAnalyser(RAW_FILE_TYPE_MOV) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    // The walk of records that leave the open set unfinished.
    FileMP4Analyser* DeviceSizer() { return &m_sizer; }

    class MovRawFileInfo;

protected:
    explicit MovAnalyzer(std::uint32_t ownType) : IRawFileAnalyser(ownType) {}
    // The type the made records start with.
    virtual std::uint32_t RecordType() const { return RAW_FILE_TYPE_MOV; }

private:
    FileMP4Analyser m_sizer;
};

class Mp4Analyzer : public MovAnalyzer {
public:
    Mp4Analyzer() : MovAnalyzer(RAW_FILE_TYPE_MP4) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;

protected:
    std::uint32_t RecordType() const override { return RAW_FILE_TYPE_MP4; }
};

class C3GPAnalyser : public MovAnalyzer {
public:
    C3GPAnalyser() : MovAnalyzer(RAW_FILE_TYPE_MOV) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;

protected:
    std::uint32_t RecordType() const override { return RAW_FILE_TYPE_3GP; }
};

class MovAnalyzer::MovRawFileInfo : public CRawFileInfo {
public:
    explicit MovRawFileInfo(MovAnalyzer* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_walked = 0;  // file offset of the next top-level box
    std::uint32_t m_moovCount = 0;
    std::uint32_t m_isoBrand = 0;
    std::int32_t m_boxCount = 0;
    std::string m_make;
    std::string m_model;

private:
    void endSearch(std::int64_t sectorNumber, const SearchContext* ctx);
    void ReadMoovExif(std::uint64_t moovStart, const SectorView& view);
    void FindCameraText(std::int64_t sectorNumber, const SearchContext& ctx);

    MovAnalyzer* m_owner;
    std::uint32_t m_sectorSize = 512;
};

}  // namespace BruteForce
