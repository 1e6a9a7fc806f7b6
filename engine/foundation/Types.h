#pragma once
// Small enumerations shared by every part of the engine.

#include <cstdint>

// File-system codes, as kept in device records and partition records.
enum enumFILE_SYSTEM_TYPE : std::uint32_t {
    FILE_SYSTEM_FAT12 = 0,
    FILE_SYSTEM_FAT16 = 1,
    FILE_SYSTEM_FAT32 = 2,
    FILE_SYSTEM_NTFS = 3,
    FILE_SYSTEM_EXFAT = 7,
    FILE_SYSTEM_HFSPLUS = 8,
    FILE_SYSTEM_APFS = 9,
    FILE_SYSTEM_UNKNOWN = 10,
};

// The name users know a file-system code by ("NTFS", "HFS+"); null for a code
// that names none.
constexpr const char* FileSystemTypeName(std::uint32_t type) {
    switch (type) {
    case FILE_SYSTEM_FAT12:
        return "FAT12";
    case FILE_SYSTEM_FAT16:
        return "FAT16";
    case FILE_SYSTEM_FAT32:
        return "FAT32";
    case FILE_SYSTEM_NTFS:
        return "NTFS";
    case FILE_SYSTEM_EXFAT:
        return "exFAT";
    case FILE_SYSTEM_HFSPLUS:
        return "HFS+";
    case FILE_SYSTEM_APFS:
        return "APFS";
    default:
        return nullptr;
    }
}

// The searcher a node or tree came from. Nodes of classes that set none keep
// SEARCHER_DEFAULT, so the front end takes the type from the tree's root.
enum _tagSearcherType : int {
    SEARCHER_HFSPLUS = 31,
    SEARCHER_FAT = 32,
    SEARCHER_EXFAT = 33,
    SEARCHER_RAW = 34,  // raw search, files grouped by extension
    SEARCHER_NTFS = 35,
    SEARCHER_RAW_TAG = 36,  // raw search, files grouped by tag
    SEARCHER_APFS = 37,
    SEARCHER_DEFAULT = 38,
};

// Tri-state check mark of a node.
enum _tagCheckedStatus : int {
    CHECKED_NONE = 0,  // unchecked
    CHECKED_PART = 1,  // some descendants checked
    CHECKED_ALL = 2,   // checked
};
