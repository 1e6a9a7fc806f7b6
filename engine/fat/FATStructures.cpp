#include "fat/FATStructures.h"

#include <cstring>
#include <strings.h>

#include "fat/DosTime.h"
#include "fat/FATTable.h"

using byteorder::LE16;
using byteorder::LE32;

namespace {

bool IsPowerOfTwoClusterSize(std::uint32_t spc) { return spc != 0 && spc <= 128 && (spc & (spc - 1)) == 0; }

bool ValidDosDate(std::uint16_t d) {
    if (d == 0) return true;
    const unsigned month = (d >> 5) & 0x0F;
    const unsigned day = d & 0x1F;
    return month >= 1 && month <= 12 && day != 0;
}

bool ValidDosTime(std::uint16_t t) {
    if (t == 0) return true;
    return (t & 0x1F) <= 29 && ((t >> 5) & 0x3F) <= 59 && (t >> 11) <= 23;
}

// The printable characters a short name may not hold ("*/:<>?\| and the
// quote), looked up for each of the eleven bytes of every entry tested.
struct ShortNameForbidden {
    bool table[128] = {};
    constexpr ShortNameForbidden() {
        for (const char* p = "\"*/:<>?\\|"; *p; ++p) table[static_cast<unsigned char>(*p)] = true;
    }
    constexpr bool operator[](std::uint8_t c) const { return table[c]; }
};
constexpr ShortNameForbidden kForbiddenInShortName;

}  // namespace

// ---- boot sector -----------------------------------------------------------

CTempFATDBR::CTempFATDBR(const std::uint8_t* sector, std::uint32_t deviceSectorSize)
    : m_sector(sector), m_deviceSectorSize(deviceSectorSize) {
    InitFileSystemType();
}

void CTempFATDBR::InitFileSystemType() {
    if (m_sector == nullptr) {
        m_type = FILE_SYSTEM_UNKNOWN;
    } else if (IsFullValidFAT16DBR()) {
        m_type = FILE_SYSTEM_FAT16;
    } else if (IsFullValidFAT32DBR()) {
        m_type = FILE_SYSTEM_FAT32;
    } else {
        m_type = FILE_SYSTEM_UNKNOWN;
    }
}

bool CTempFATDBR::SimpleCheck(const std::uint8_t* sector) {
    const std::uint8_t* s = sector;
    return s != nullptr && s[0] != 0 && s[tagFATPARTITIONDBR::kSignature] == FAT_BOOT_SIGNATURE_0 &&
           s[tagFATPARTITIONDBR::kSignature + 1] == FAT_BOOT_SIGNATURE_1;
}

bool CTempFATDBR::CommonTests(int labelOffset, const char* label) const {
    const std::uint8_t* s = m_sector;
    if (strncasecmp(reinterpret_cast<const char*>(s + labelOffset), label, 8) != 0) return false;
    if (s[tagFATPARTITIONDBR::kNumberOfFats] != 2) return false;
    if (!IsPowerOfTwoClusterSize(s[tagFATPARTITIONDBR::kSectorsPerCluster])) return false;
    if (LE16(s + tagFATPARTITIONDBR::kBytesPerSector) != m_deviceSectorSize) return false;
    return s[tagFATPARTITIONDBR::kSignature] == FAT_BOOT_SIGNATURE_0 &&
           s[tagFATPARTITIONDBR::kSignature + 1] == FAT_BOOT_SIGNATURE_1;
}

bool CTempFATDBR::IsFullValidFAT16DBR() const {
    if (!CommonTests(tagFATPARTITIONDBR::kFat16Label, "FAT16   ")) return false;
    const std::uint32_t entries = LE16(m_sector + tagFATPARTITIONDBR::kRootEntries);
    const std::uint32_t bps = LE16(m_sector + tagFATPARTITIONDBR::kBytesPerSector);
    if (entries < 224 || bps == 0 || (entries * FAT_DIR_ENTRY_SIZE) % bps != 0) return false;
    return LE16(m_sector + tagFATPARTITIONDBR::kSectorsPerFat16) != 0;
}

bool CTempFATDBR::IsFullValidFAT32DBR() const {
    if (!CommonTests(tagFATPARTITIONDBR::kFat32Label, "FAT32   ")) return false;
    return LE32(m_sector + tagFATPARTITIONDBR::kSectorsPerFat32) != 0;
}

std::uint32_t CTempFATDBR::GetBytesPerSector() const {
    return m_sector ? LE16(m_sector + tagFATPARTITIONDBR::kBytesPerSector) : 0;
}

std::uint32_t CTempFATDBR::GetSectorsperCluster() const {
    return IsKnownType() ? m_sector[tagFATPARTITIONDBR::kSectorsPerCluster] : 0;
}

std::uint32_t CTempFATDBR::GetReservedSector() const {
    return IsKnownType() ? LE16(m_sector + tagFATPARTITIONDBR::kReservedSectors) : 0;
}

std::uint32_t CTempFATDBR::GetFatTableStartSector() const {
    return m_sector ? LE16(m_sector + tagFATPARTITIONDBR::kReservedSectors) : 0;
}

std::uint32_t CTempFATDBR::GetNumberOfFat() const {
    return IsKnownType() ? m_sector[tagFATPARTITIONDBR::kNumberOfFats] : 0;
}

std::uint32_t CTempFATDBR::GetRootEntries() const {
    return m_sector ? LE16(m_sector + tagFATPARTITIONDBR::kRootEntries) : 0;
}

std::uint32_t CTempFATDBR::GetSectorsPerFat() const {
    if (m_type == FILE_SYSTEM_FAT32) return LE32(m_sector + tagFATPARTITIONDBR::kSectorsPerFat32);
    if (IsKnownType()) return LE16(m_sector + tagFATPARTITIONDBR::kSectorsPerFat16);
    return 0;
}

std::uint64_t CTempFATDBR::GetTotalSectors() const {
    switch (m_type) {
    case FILE_SYSTEM_FAT32:
        return LE32(m_sector + tagFATPARTITIONDBR::kTotalSectors32);
    case FILE_SYSTEM_FAT16: {
        const std::uint16_t small = LE16(m_sector + tagFATPARTITIONDBR::kTotalSectors16);
        return small != 0 ? small : LE32(m_sector + tagFATPARTITIONDBR::kTotalSectors32);
    }
    case FILE_SYSTEM_FAT12:
        return LE16(m_sector + tagFATPARTITIONDBR::kTotalSectors16);
    default:
        return 0;
    }
}

std::uint32_t CTempFATDBR::GetRootDirStartCluster() const {
    return m_type == FILE_SYSTEM_FAT32 ? LE32(m_sector + tagFATPARTITIONDBR::kRootCluster) : 0;
}

CFATDBR::CFATDBR(const std::uint8_t* sector, std::uint32_t deviceSectorSize) : CTempFATDBR(nullptr, deviceSectorSize) {
    if (sector)
        std::memcpy(m_copy, sector, sizeof m_copy);
    else
        std::memset(m_copy, 0, sizeof m_copy);
    m_sector = m_copy;
    InitFileSystemType();
}

CFATDBR::CFATDBR(const CFATDBR& other) : CTempFATDBR(nullptr, other.m_deviceSectorSize) {
    std::memcpy(m_copy, other.m_copy, sizeof m_copy);
    m_sector = m_copy;
    m_type = other.m_type;
}

// ---- directory entries -----------------------------------------------------

bool CTempFATDirEntry::IsValidFATDirEntry(bool skipClusterTest) const {
    const std::uint8_t attr = Attribute();
    if (attr == FAT_ATTR_LONG_NAME) return true;
    if (attr > FAT_ATTR_ALL) return false;
    if (!skipClusterTest) {
        const std::uint64_t cluster = GetFirstClusterNO();
        const std::uint32_t size = GetSize();
        if (!IsDirectory()) {
            if ((cluster == 0) != (size == 0)) return false;
        } else if (size != 0 && LE16(m_entry + tagFATDIRENTRY::kClusterHigh) != 0) {
            return false;
        }
    }
    if (!ValidDosDate(LE16(m_entry + tagFATDIRENTRY::kCreateDate)) ||
        !ValidDosDate(LE16(m_entry + tagFATDIRENTRY::kModifyDate)) ||
        !ValidDosDate(LE16(m_entry + tagFATDIRENTRY::kAccessDate)))
        return false;
    if (!ValidDosTime(LE16(m_entry + tagFATDIRENTRY::kCreateTime)) ||
        !ValidDosTime(LE16(m_entry + tagFATDIRENTRY::kModifyTime)))
        return false;
    if (attr & FAT_ATTR_RESERVED) return false;
    if (attr & FAT_ATTR_VOLUME) return true;
    return IsValidFileName(m_entry);
}

std::uint64_t CTempFATDirEntry::GetFirstClusterNO() const {
    if (m_revise && m_revised > 0) return m_revised;
    return static_cast<std::uint64_t>(LE16(m_entry + tagFATDIRENTRY::kClusterHigh)) * FAT32_CLUSTER_HIGH_STEP +
           LE16(m_entry + tagFATDIRENTRY::kClusterLow);
}

void CTempFATDirEntry::SetFirstClusterNO(std::uint32_t cluster) {
    byteorder::PutLE16(m_entry + tagFATDIRENTRY::kClusterHigh, static_cast<std::uint16_t>(cluster >> 16));
    byteorder::PutLE16(m_entry + tagFATDIRENTRY::kClusterLow, static_cast<std::uint16_t>(cluster));
}

std::string CTempFATDirEntry::GetShortName(bool withoutDot) const {
    auto cut = [](const std::uint8_t* p, int n, bool firstErased) {
        std::string s;
        while (n > 0 && p[n - 1] == ' ') --n;
        for (int i = 0; i < n; ++i) {
            std::uint8_t c = p[i];
            if (i == 0 && firstErased)
                c = '#';
            else if (c >= 0x80)
                c = '_';
            else if (c == 0)
                c = '_';  // never a terminator inside a name
            s.push_back(static_cast<char>(c));
        }
        return s;
    };
    std::string base = cut(m_entry + tagFATDIRENTRY::kName, FAT_SHORT_NAME_BYTES, IsErased());
    std::string ext = cut(m_entry + tagFATDIRENTRY::kExt, FAT_SHORT_EXT_BYTES, false);
    if (ext.empty()) return base;
    return withoutDot ? base + ext : base + "." + ext;
}

std::string CTempFATDirEntry::GetDisplayShortName() const {
    std::string name = GetShortName(false);
    const std::uint8_t flags = m_entry[tagFATDIRENTRY::kCaseFlags];
    if ((flags & (FAT_CASE_LOWER_BASE | FAT_CASE_LOWER_EXT)) == 0) return name;
    // GetShortName gives one character per stored byte: the base name
    // without its trailing blanks, then "." and the extension when there is one.
    std::size_t baseEnd = FAT_SHORT_NAME_BYTES;
    while (baseEnd > 0 && m_entry[baseEnd - 1] == ' ') --baseEnd;
    const std::size_t dot = name.size() > baseEnd ? baseEnd : std::string::npos;
    auto lower = [&name](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (name[i] >= 'A' && name[i] <= 'Z') name[i] = static_cast<char>(name[i] - 'A' + 'a');
    };
    if (flags & FAT_CASE_LOWER_BASE) lower(0, baseEnd);
    if ((flags & FAT_CASE_LOWER_EXT) && dot != std::string::npos) lower(dot + 1, name.size());
    return name;
}

std::string Utf16LeToUtf8(const std::uint8_t* units, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t u = LE16(units + 2 * i);
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= count) break;
            const std::uint32_t lo = LE16(units + 2 * (i + 1));
            if (lo < 0xDC00 || lo > 0xDFFF) break;
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            break;
        }
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (u >> 6)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else if (u < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (u >> 12)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (u >> 18)));
            out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
        }
    }
    return out;
}

void CTempFATDirEntry::GetLongFileName(char* buffer, std::size_t length) const {
    if (buffer == nullptr || length == 0) return;
    using L = tagFATLFNENTRY;
    std::uint8_t units[2 * L::kUnits];
    std::memcpy(units, m_entry + L::kUnits1, L::kUnits1Bytes);
    std::memcpy(units + L::kUnits1Bytes, m_entry + L::kUnits2, L::kUnits2Bytes);
    std::memcpy(units + L::kUnits1Bytes + L::kUnits2Bytes, m_entry + L::kUnits3, L::kUnits3Bytes);
    std::string text = Utf16LeToUtf8(units, L::kUnits);
    if (text.size() >= length) {
        // Cut at a character boundary so the piece stays valid UTF-8.
        std::size_t n = length - 1;
        while (n > 0 && (static_cast<std::uint8_t>(text[n]) & 0xC0) == 0x80) --n;
        text.resize(n);
    }
    if (text.empty()) text = "_";
    const std::size_t n = text.size() < length ? text.size() : length - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

bool CTempFATDirEntry::IsValidFileName(const std::uint8_t* name) {
    if (name == nullptr || name[0] == 0x20) return false;
    for (int i = 0; i <= 10; ++i) {
        const std::uint8_t c = name[i];
        if (c >= 0x80) {
            ++i;  // lead byte: the byte after it is not checked
            continue;
        }
        if (c < 0x1A || kForbiddenInShortName[c]) return false;
    }
    return true;
}

bool CTempFATDirEntry::IsValidLongFileNameChar(char c) { return c != 0 && std::strchr("?*|\\/:\"<>", c) == nullptr; }

bool CTempFATDirEntry::IsValidLongFileName(const char* text) {
    if (text == nullptr || *text == 0) return false;
    for (const char* p = text; *p; ++p)
        if (!IsValidLongFileNameChar(*p)) return false;
    return true;
}

bool CTempFATDirEntry::IsFilenameEqual(const char* name8, const char* ext3) const {
    return name8 && ext3 && std::memcmp(m_entry + tagFATDIRENTRY::kName, name8, FAT_SHORT_NAME_BYTES) == 0 &&
           std::memcmp(m_entry + tagFATDIRENTRY::kExt, ext3, FAT_SHORT_EXT_BYTES) == 0;
}

// ---- folder sectors --------------------------------------------------------

bool CFATFolderAnalyser::IsBlankFATDirEntry(const std::uint8_t* entry) {
    for (std::size_t i = 0; i < FAT_DIR_ENTRY_SIZE; ++i)
        if (entry[i] != 0) return false;
    return true;
}

bool CFATFolderAnalyser::IsCurDirFileName(const std::uint8_t* entry) {
    return std::memcmp(entry, ".          ", 11) == 0 && (entry[tagFATDIRENTRY::kAttribute] & FAT_ATTR_DIRECTORY);
}

bool CFATFolderAnalyser::IsParentDirFileName(const std::uint8_t* entry) {
    return std::memcmp(entry, "..         ", 11) == 0 && (entry[tagFATDIRENTRY::kAttribute] & FAT_ATTR_DIRECTORY);
}

int CFATFolderAnalyser::AnalyseSector(const std::uint8_t* sector) {
    m_kind = 0;
    m_counted = 0;
    m_own = m_parent = m_maxCluster = 0;
    if (sector == nullptr) return 0;
    const std::uint32_t entries = m_sectorSize / FAT_DIR_ENTRY_SIZE;
    bool dot = false, dotdot = false, rejected = false;
    bool havePrev = false;
    std::uint64_t prev = 0;
    for (std::uint32_t idx = 0; idx < entries; ++idx) {
        const std::uint8_t* e = sector + idx * FAT_DIR_ENTRY_SIZE;
        CTempFATDirEntry entry(e);
        if (!entry.IsValidFATDirEntry(true)) {
            if (m_counted == 0 && (!dot || !dotdot))
                rejected = true;
            else if (!IsBlankFATDirEntry(e))
                rejected = true;
            break;
        }
        if (entry.IsLongFileNameEntry()) continue;
        const std::uint64_t cluster = entry.GetFirstClusterNO();
        if (cluster > m_maxCluster) m_maxCluster = static_cast<std::uint32_t>(cluster);
        if (idx == 0 && IsCurDirFileName(e)) {
            m_own = static_cast<std::uint32_t>(cluster);
            dot = true;
            continue;
        }
        if (idx == 1 && IsParentDirFileName(e)) {
            m_parent = static_cast<std::uint32_t>(cluster);
            dotdot = true;
            continue;
        }
        if (!entry.IsErased()) {
            if (havePrev && cluster == prev) {
                rejected = true;
                break;
            }
            prev = cluster;
            havePrev = true;
        }
        ++m_counted;
    }
    if (dot && dotdot) {
        m_kind = FAT_SECTOR_FOLDER_START;
        return 1;
    }
    if (rejected || m_counted == 0) {
        m_counted = m_own = m_parent = m_maxCluster = 0;
        m_kind = FAT_SECTOR_NOT_DIRECTORY;
        return 0;
    }
    m_own = m_parent = 0;
    m_kind = FAT_SECTOR_DIRECTORY;
    return 1;
}

bool CFATTableAnalyser::IsValidFATTableFirstSector(const std::uint8_t* sector, std::uint32_t sectorSize,
                                                   std::uint32_t* type) {
    if (sector == nullptr || sectorSize < 8) return false;
    if (CFAT32Table::CheckFATHeaderBytes(sector)) {
        if (type) *type = FILE_SYSTEM_FAT32;
        return true;
    }
    if (CFAT16Table::CheckFATHeaderBytes(sector)) {
        if (type) *type = FILE_SYSTEM_FAT16;
        return true;
    }
    return false;
}

// ---- times -----------------------------------------------------------------

std::int64_t SecondsSince1970ToFileTime(std::int64_t seconds) { return seconds * 10000000LL + 0x019DB1DED53E8000LL; }

bool DosDateTimeToFileTime(std::uint16_t date, std::uint16_t time, std::int64_t* out) {
    if (out == nullptr) return false;
    // A zero date is an unset field, not 1979-11-30: report no time.
    if (date == 0) {
        *out = 0;
        return false;
    }
    std::int64_t t = 0;
    if (!LocalDosTimeToUnixSeconds(date, time, &t)) {
        *out = 0;
        return false;
    }
    *out = SecondsSince1970ToFileTime(t);
    return true;
}
