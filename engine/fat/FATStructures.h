#pragma once
// The FAT library: boot-sector views and tests, 32-byte directory entries and
// long-name pieces, the directory-sector classifier and DOS times. Stateless
// views over caller buffers; every length read from disk is checked here.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fat/FATLayout.h"
#include "foundation/ByteOrder.h"
#include "foundation/Types.h"

// A view over a caller's 512-byte boot sector, compared with the device's
// sector size. The type is fixed at construction: FAT16, else FAT32, else
// unknown. FAT12 boot sectors are never classified.
class CTempFATDBR {
public:
    CTempFATDBR(const std::uint8_t* sector, std::uint32_t deviceSectorSize);

    static bool SimpleCheck(const std::uint8_t* sector);
    bool IsFullValidFAT16DBR() const;
    bool IsFullValidFAT32DBR() const;

    std::uint32_t GetFileSystemType() const { return m_type; }
    bool IsValidDBR() const { return m_type != FILE_SYSTEM_UNKNOWN; }
    std::uint32_t GetBytesPerSector() const;
    std::uint32_t GetSectorsperCluster() const;
    std::uint32_t GetReservedSector() const;
    std::uint32_t GetFatTableStartSector() const;
    std::uint32_t GetNumberOfFat() const;
    std::uint32_t GetRootEntries() const;
    std::uint32_t GetSectorsPerFat() const;
    std::uint64_t GetTotalSectors() const;
    std::uint32_t GetRootDirStartCluster() const;
    const std::uint8_t* GetBuffer() const { return m_sector; }

protected:
    void InitFileSystemType();
    bool IsKnownType() const { return m_type <= FILE_SYSTEM_FAT32; }
    bool CommonTests(int labelOffset, const char* label) const;

    const std::uint8_t* m_sector;
    std::uint32_t m_type = FILE_SYSTEM_UNKNOWN;
    std::uint32_t m_deviceSectorSize;
};

// The same view over its own copy of the sector.
class CFATDBR : public CTempFATDBR {
public:
    CFATDBR(const std::uint8_t* sector, std::uint32_t deviceSectorSize);
    CFATDBR(const CFATDBR& other);
    CFATDBR& operator=(const CFATDBR&) = delete;

private:
    std::uint8_t m_copy[FAT_DBR_SIZE];
};

// Longest UTF-8 text one 13-unit long-name piece can give, with terminator.
constexpr std::size_t FAT_LFN_PIECE_UTF8_MAX = tagFATLFNENTRY::kUnits * 4 + 1;

// A view over one 32-byte entry of a caller's buffer. The entry may be
// rewritten (SetFirstClusterNO) when the buffer is writable.
class CTempFATDirEntry {
public:
    explicit CTempFATDirEntry(std::uint8_t* entry) : m_entry(entry), m_origin(entry) {}
    explicit CTempFATDirEntry(const std::uint8_t* entry) : CTempFATDirEntry(const_cast<std::uint8_t*>(entry)) {}

    bool IsValidFATDirEntry(bool skipClusterTest) const;
    bool IsErased() const { return m_entry[tagFATDIRENTRY::kName] == FAT_ENTRY_ERASED; }
    bool IsNeverUsed() const { return m_entry[tagFATDIRENTRY::kName] == 0; }
    bool IsDirectory() const { return (Attribute() & FAT_ATTR_DIRECTORY) != 0; }
    bool IsVolumeLabel() const { return (Attribute() & FAT_ATTR_VOLUME) != 0; }
    bool IsLongFileNameEntry() const { return Attribute() == FAT_ATTR_LONG_NAME; }
    std::uint8_t Attribute() const { return m_entry[tagFATDIRENTRY::kAttribute]; }
    std::uint32_t GetSize() const { return byteorder::LE32(m_entry + tagFATDIRENTRY::kSize); }
    std::uint64_t GetFirstClusterNO() const;
    void SetFirstClusterNO(std::uint32_t cluster);
    void SetIsReviseDirEntryCluNum(bool flag) { m_revise = flag; }
    void SetReviseDirEntryCluNum(std::uint64_t cluster) { m_revised = cluster; }
    // "NAME.EXT" (or "NAMEEXT" without the dot, for labels); an erased first
    // byte shows as '#', bytes of 0x80 and above as '_'.
    std::string GetShortName(bool withoutDot) const;
    // "name.ext" as the system that wrote it shows it: GetShortName with the
    // case flags of byte 12 applied (`hello.txt` stored as HELLO   TXT).
    std::string GetDisplayShortName() const;
    // The UTF-8 text of this long-name piece: at most `length` bytes with the
    // terminator, "_" when nothing converts. Always succeeds.
    void GetLongFileName(char* buffer, std::size_t length) const;
    const std::uint8_t* Raw() const { return m_entry; }

    static bool IsValidFileName(const std::uint8_t* name11);
    static bool IsValidLongFileName(const char* text);
    static bool IsValidLongFileNameChar(char c);
    bool IsFilenameEqual(const char* name8, const char* ext3) const;

private:
    std::uint8_t* m_entry;
    std::uint8_t* m_origin;
    bool m_revise = false;
    std::uint64_t m_revised = 0;
};

// Decodes UTF-16LE units to UTF-8, stopping at a zero unit or at a unit that
// cannot be converted (a lone surrogate). Surrogate pairs are joined.
std::string Utf16LeToUtf8(const std::uint8_t* units, std::size_t count);

// Kinds of AnalyseSector.
enum : int {
    FAT_SECTOR_NOT_DIRECTORY = 0,
    FAT_SECTOR_DIRECTORY = 1,
    FAT_SECTOR_FOLDER_START = 2,
};

// The directory-sector test of the deep search.
class CFATFolderAnalyser {
public:
    explicit CFATFolderAnalyser(std::uint32_t sectorSize) : m_sectorSize(sectorSize) {}
    int AnalyseSector(const std::uint8_t* sector);
    int GetDirectoryEntryType() const { return m_kind; }
    std::uint32_t GetCurDirFirstClusterNum() const { return m_own; }
    std::uint32_t GetParentFirstClusterNum() const { return m_parent; }
    std::uint32_t GetMaxClusterNum() const { return m_maxCluster; }
    std::uint32_t GetCountedEntries() const { return m_counted; }

    static bool IsBlankFATDirEntry(const std::uint8_t* entry);
    static bool IsCurDirFileName(const std::uint8_t* entry);
    static bool IsParentDirFileName(const std::uint8_t* entry);

private:
    int m_kind = 0;
    std::uint32_t m_counted = 0;
    std::uint32_t m_own = 0;
    std::uint32_t m_parent = 0;
    std::uint32_t m_maxCluster = 0;
    std::uint32_t m_sectorSize;
};

class CFATTableAnalyser {
public:
    static bool IsUsedCluster(std::uint64_t cluster) {
        return cluster >= FAT_FIRST_DATA_CLUSTER && cluster <= FAT32_LAST_USED_CLUSTER;
    }
    static bool IsValidFATTableFirstSector(const std::uint8_t* sector, std::uint32_t sectorSize, std::uint32_t* type);
};

// FILETIME helpers. DOS times are local time; a DOS date of 0 means no time.
std::int64_t SecondsSince1970ToFileTime(std::int64_t seconds);
bool DosDateTimeToFileTime(std::uint16_t date, std::uint16_t time, std::int64_t* out);
