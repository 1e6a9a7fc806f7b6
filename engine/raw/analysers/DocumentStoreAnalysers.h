#pragma once
// E-books (Mobipocket), page layouts (InDesign), notebook sections (OneNote)
// and mail-store folders (Outlook Express): formats that chain lengths or
// offsets from one structure to the next. The streaming records follow the
// chain as the sectors pass; MOBI and DBX fall back to the first sector with
// zero padding when the chain gives out.

#include <cstdint>

#include "raw/RawFileAnalyser.h"

// Walks the chain of section headers on the device.
class FileONEAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::uint64_t kWalkCap = 0x1A000000;
    FileONEAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_ONE) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

// Tried on every sector: the test costs one load and compare.
class MOBIAnalyser : public IRawFileAnalyser {
public:
    MOBIAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MOBI) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class MOBIRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kSizeCap = 0x9600000;
    MOBIRawFileInfo() { m_type = RAW_FILE_TYPE_MOBI; }
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_cap = kSizeCap;
    std::int64_t m_nextPosition = 0;
    std::uint32_t m_hops = 0;
    std::uint32_t m_zeroPadding = 0;
    std::uint32_t m_firstSector = 1;
    std::int64_t m_endMark = -1;  // file offset of the end-of-file record
};

// Tried on every sector: the test costs one load and compare.
class InddAnalyser : public IRawFileAnalyser {
public:
    InddAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_INDD) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class InddRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kSizeCap = 200000000;
    InddRawFileInfo() { m_type = RAW_FILE_TYPE_INDD; }
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_nextObject = 20;
    std::uint64_t m_cap = kSizeCap;
    std::uint32_t m_endFound = 0;
    std::uint32_t m_firstSector = 1;
};

class OneAnalyser : public IRawFileAnalyser {
public:
    OneAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_ONE) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileONEAnalyser* Twin() { return &m_twin; }
    // The section length of a header: the u64 at 196, or at 100 when that is 0.
    static std::uint64_t SectionFileLength(const std::uint8_t* header);
    // Bytes 4..15 of a section header.
    static bool HasSectionId(const std::uint8_t* header);

private:
    FileONEAnalyser m_twin;
};

class ONERawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kSizeCap = 400000000;
    explicit ONERawFileInfo(OneAnalyser* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_ONE; }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_nextSection = 20;
    std::uint64_t m_cap = kSizeCap;
    std::uint32_t m_firstSector = 1;

private:
    OneAnalyser* m_owner;
};

class DbxAnalyser : public IRawFileAnalyser {
public:
    DbxAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_DBX) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class DBXRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::uint64_t kSizeCap = 500000000;
    DBXRawFileInfo() { m_type = RAW_FILE_TYPE_DBX; }
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::uint64_t m_cap = kSizeCap;
    std::uint32_t m_zeroPadding = 0;
    std::uint32_t m_firstSector = 1;
};

}  // namespace RawSpeed
