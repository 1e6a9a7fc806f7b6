#pragma once
// Compound files (the sector-and-FAT container of Word, Excel and PowerPoint
// 97+, Visio, Publisher, MSI and more). A 512-byte header names the first
// 109 FAT sectors and the start of the DIFAT chain that names the rest; FAT
// sector i describes the file's sectors i * E .. i * E + E - 1 (E entries of
// four bytes per sector), so the last FAT sector's last used entry gives the
// file's length. Sector n lies at byte (n + 1) * sector size: the header
// fills sector "-1" (4,096 bytes with its padding in version 4).

#include <string>
#include <vector>

#include "raw/FileProperty.h"
#include "raw/RawFileAnalyser.h"
#include "raw/SummaryInFormation.h"

class WindowReader;

namespace ole {

constexpr std::uint32_t kSignature1 = 0xE011CFD0;  // D0 CF 11 E0
constexpr std::uint32_t kSignature2 = 0xE11AB1A1;  // A1 B1 1A E1 at offset 4
constexpr std::uint32_t kMajorVersionAt = 0x1A;
constexpr std::uint32_t kSectorShiftAt = 0x1E;
constexpr std::uint32_t kFirstDirSectorAt = 0x30;
constexpr std::uint32_t kFirstDifatSectorAt = 0x44;
constexpr std::uint32_t kHeaderDifatAt = 0x4C;
constexpr int kHeaderDifatEntries = 109;
constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFA;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;
constexpr std::uint32_t kDirEntrySize = 128;
constexpr std::uint32_t kDirClsidAt = 0x50;

// The sector geometry a header declares: 4,096-byte sectors for version 4
// with shift 12, 512 otherwise.
inline std::uint32_t OleSectorSize(const std::uint8_t* header) {
    return header[kMajorVersionAt] == 4 && header[kMajorVersionAt + 1] == 0 && header[kSectorShiftAt] == 12 &&
                   header[kSectorShiftAt + 1] == 0
               ? 4096u
               : 512u;
}
// A header a writer could have made: little-endian byte order mark and a
// sector shift of 9 or 12. Anything else is a stray signature, not a file.
inline bool OleHeaderSane(const std::uint8_t* header) {
    const std::uint16_t order = static_cast<std::uint16_t>(header[0x1C] | header[0x1D] << 8);
    const std::uint16_t shift = static_cast<std::uint16_t>(header[kSectorShiftAt] | header[kSectorShiftAt + 1] << 8);
    return order == 0xFFFE && (shift == 9 || shift == 12);
}
// Byte offset of sector n from the file start.
inline std::uint64_t OleSectorOffset(std::uint32_t n, std::uint32_t oleSectorSize) {
    return (static_cast<std::uint64_t>(n) + 1) * oleSectorSize;
}
// Bytes of a file whose last FAT sector (the fatCount-th) has `used` entries
// in use: every earlier FAT sector is full, and the header comes first.
inline std::uint64_t OleFileSize(std::uint64_t fatCount, std::uint32_t used, std::uint32_t oleSectorSize) {
    const std::uint64_t perFat = oleSectorSize / 4;
    return ((fatCount - 1) * perFat + used + 1) * oleSectorSize;
}
// Entries in use in a FAT sector: index of the last one that is not free, + 1.
std::uint32_t UsedFatEntries(const std::uint8_t* fat, std::uint32_t bytes);

}  // namespace ole

// Directory classification: entry 0 is the root, E1..E3 follow; later
// rules override earlier ones. Writes the RAW_FILE_TYPE into the record.
void CheckSectDirData(const std::uint8_t* buffer, std::uint32_t length, CRawFileInfo& info);

class FileOLEAnalyser : public IRawFileAnalyser {
public:
    // A directory that cannot be read leaves a typeless compound file; one
    // this large is more likely a false hit than a document.
    static constexpr std::int64_t kUnclassifiedCap = 0xA00000;
    // Longest DIFAT chain followed: 1,024 sectors name over 130,000 FAT
    // sectors, far beyond any compound file's 4 GiB.
    static constexpr int kMaxDifatSectors = 1024;

    FileOLEAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_OLE) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    // Sizes through header, DIFAT and last FAT sector read from the device;
    // 0 when any of them cannot be read or there is no FAT sector.
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    CRawFileInfo* CreateRawFileInfo() override;

    // Reads `count` 512-byte units at file byte unit * 512 (across windows).
    static bool Simulate512ReadSector(WindowReader& reader, std::uint8_t* buffer, std::uint64_t unit,
                                      std::uint32_t count);

    class OleRawFileInfo;

private:
    std::uint32_t m_sectorsPerOle = 1;  // device sectors per compound-file sector, last header read
};

class FileOLEAnalyser::OleRawFileInfo : public CRawFileInfo {
public:
    // A record whose size is known stops waiting for its directory this far
    // past its start.
    static constexpr std::int64_t kLateCap = 524288000;

    OleRawFileInfo() { m_type = RAW_FILE_TYPE_MOF; }
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    // An unfinished record may know its size but not its type: the device
    // sizer does both.
    void WillBeRemove(std::uint8_t*, std::int64_t) override {
        if (!m_finished) m_size = 0;
    }

    // Naming and tag from the summary properties (the sector-range name stays
    // when they hold nothing).
    void SetFileName();
    void SetFileTag(std::string value);

    FileProperty m_property;
    CSummaryInFormation m_summary;
    std::uint32_t m_finished = 0;
    std::uint32_t m_summaryFound = 0;
    std::uint32_t m_fatListComplete = 0;
    std::uint32_t m_noDifat = 0;
    std::uint32_t m_sectorsPerOle = 1;

private:
    // Device sector whose end holds the last byte of [offset, offset + bytes).
    std::int64_t TriggerSector(std::uint64_t offset, std::uint32_t bytes) const;
    void ReadHeader(const std::uint8_t* header, int sectorSize);
    void ReadDifat(const std::uint8_t* difat);
    void Complete(int sectorSize);

    std::uint32_t m_oleSectorSize = 512;
    std::uint32_t m_deviceSectorSize = 512;
    std::uint64_t m_fatCount = 0;   // FAT sectors named so far, in DIFAT order
    std::uint32_t m_lastFat = 0;    // the last of them (a compound-file sector number)
    std::uint32_t m_nextDifat = 0;  // next DIFAT sector to read, when m_difatPending
    bool m_difatPending = false;
    int m_difatRead = 0;
    std::uint32_t m_dirSector = 0;
    bool m_dirPending = false;
    std::uint32_t m_used = 0;  // entries in use in the last FAT sector
    bool m_sizeKnown = false;
    bool m_unsizable = false;  // a structure went by unread: the device sizer takes over
    bool m_headerRead = false;
};
