#pragma once
// Where the fields of the FAT12/16/32 structures Quillory reads lie, by name,
// and the values they hold. All integers are little-endian; offsets count
// from the start of the structure.

#include <cstddef>
#include <cstdint>

constexpr std::size_t FAT_DBR_SIZE = 512;
constexpr std::size_t FAT_DIR_ENTRY_SIZE = 32;

// Field offsets of the boot sector (tagFATPARTITIONDBR).
struct tagFATPARTITIONDBR {
    static constexpr int kBytesPerSector = 11;     // u16
    static constexpr int kSectorsPerCluster = 13;  // u8, a power of two up to 128
    static constexpr int kReservedSectors = 14;    // u16, sectors before the first FAT
    static constexpr int kNumberOfFats = 16;       // u8
    static constexpr int kRootEntries = 17;        // u16, FAT12/16 fixed root; 0 on FAT32
    static constexpr int kTotalSectors16 = 19;     // u16; 0 when the 32-bit count holds it
    static constexpr int kSectorsPerFat16 = 22;    // u16; 0 on FAT32
    static constexpr int kTotalSectors32 = 32;     // u32
    static constexpr int kSectorsPerFat32 = 36;    // u32, FAT32 only
    static constexpr int kRootCluster = 44;        // u32, FAT32 root folder's first cluster
    static constexpr int kFat16Label = 54;         // 8 bytes "FAT16   " (FAT12/16)
    static constexpr int kFat32Label = 82;         // 8 bytes "FAT32   "
    static constexpr int kSignature = 510;         // bytes 0x55 0xAA
};
constexpr std::uint8_t FAT_BOOT_SIGNATURE_0 = 0x55;
constexpr std::uint8_t FAT_BOOT_SIGNATURE_1 = 0xAA;

// Offsets of a 32-byte directory entry (tagFATDIRENTRY).
struct tagFATDIRENTRY {
    static constexpr int kName = 0;          // 8 bytes, blank-padded; byte 0 also marks erased
    static constexpr int kExt = 8;           // 3 bytes, blank-padded
    static constexpr int kAttribute = 11;    // u8, FAT_ATTR_*
    static constexpr int kCaseFlags = 12;    // u8, FAT_CASE_*
    static constexpr int kCreateTime = 14;   // u16 DOS time
    static constexpr int kCreateDate = 16;   // u16 DOS date
    static constexpr int kAccessDate = 18;   // u16 DOS date
    static constexpr int kClusterHigh = 20;  // u16, high half of the first cluster (FAT32)
    static constexpr int kModifyTime = 22;   // u16 DOS time
    static constexpr int kModifyDate = 24;   // u16 DOS date
    static constexpr int kClusterLow = 26;   // u16, low half of the first cluster
    static constexpr int kSize = 28;         // u32, bytes; 0 for folders
};
constexpr std::size_t FAT_SHORT_NAME_BYTES = 8;
constexpr std::size_t FAT_SHORT_EXT_BYTES = 3;

// A long-name piece keeps its 13 UTF-16 units in three runs of the entry.
struct tagFATLFNENTRY {
    static constexpr int kUnits1 = 1;   // units 1-5
    static constexpr int kUnits2 = 14;  // units 6-11
    static constexpr int kUnits3 = 28;  // units 12-13
    static constexpr std::size_t kUnits1Bytes = 10;
    static constexpr std::size_t kUnits2Bytes = 12;
    static constexpr std::size_t kUnits3Bytes = 4;
    static constexpr std::size_t kUnits = 13;
};

// Bytes of one FAT entry (FAT12 packs two entries in three bytes).
constexpr std::size_t FAT16_ENTRY_BYTES = 2;
constexpr std::size_t FAT32_ENTRY_BYTES = 4;

constexpr std::uint8_t FAT_ATTR_VOLUME = 0x08;
constexpr std::uint8_t FAT_ATTR_DIRECTORY = 0x10;
constexpr std::uint8_t FAT_ATTR_LONG_NAME = 0x0F;
// Bits above archive (0x20) are unused: an entry that sets 0x40 is not one.
constexpr std::uint8_t FAT_ATTR_ALL = 0x3F;
constexpr std::uint8_t FAT_ATTR_RESERVED = 0x40;
constexpr std::uint8_t FAT_ENTRY_ERASED = 0xE5;
// Byte 12 of a short entry, as Windows NT and Linux write it for a name that
// fits 8.3 in one case: the base name, or the extension, is lower case.
constexpr std::uint8_t FAT_CASE_LOWER_BASE = 0x08;
constexpr std::uint8_t FAT_CASE_LOWER_EXT = 0x10;

// FAT entry values, as the table readers give them (FAT12/16 values are
// widened to these): 0 free, then used clusters, bad, end of chain.
constexpr std::uint32_t FAT12_END_OF_CHAIN = 0xFF8;  // 0xFF8-0xFFF
constexpr std::uint32_t FAT12_END_OF_CHAIN_MAX = 0xFFF;
constexpr std::uint32_t FAT12_ENTRY_MASK = 0x0FFF;
constexpr std::uint32_t FAT16_BAD_CLUSTER = 0xFFF7;  // above: end of chain
constexpr std::uint32_t FAT32_LAST_USED_CLUSTER = 0x0FFFFFEF;
constexpr std::uint32_t FAT32_BAD_CLUSTER = 0x0FFFFFF7;
constexpr std::uint32_t FAT32_END_OF_CHAIN = 0x0FFFFFF8;      // 0x0FFFFFF8-0x0FFFFFFF
constexpr std::uint32_t FAT32_END_OF_CHAIN_MAX = 0x0FFFFFFF;  // what mkfs and Windows write
// FAT32 cluster numbers have 28 bits; the top four of an entry are reserved.
constexpr std::uint64_t FAT32_CLUSTER_MASK = 0x0FFFFFFF;
constexpr std::uint32_t FAT_CLUSTER_NONE = 0xFFFFFFFF;  // no cluster (or no entry)
// The first data cluster is numbered 2: clusters 0 and 1 are the table's
// media and end-of-chain marks.
constexpr std::uint64_t FAT_FIRST_DATA_CLUSTER = 2;

// Deleting a file on FAT32 clears the high half of its first cluster
// (kClusterHigh): the low half alone names one cluster in every run of
// this many.
constexpr std::uint64_t FAT32_CLUSTER_HIGH_STEP = 0x10000;
