#pragma once
// Where the fields of the exFAT structures Quillory reads lie, by name. All
// integers are little-endian; offsets count from the start of the boot
// sector or of the 32-byte directory entry.

#include <cstddef>
#include <cstdint>

constexpr std::size_t EXFAT_ENTRY_SIZE = 32;
constexpr std::uint32_t EXFAT_LAST_CLUSTER = 0xFFFFFFF5;  // highest cluster a chain may use
constexpr std::uint32_t EXFAT_NO_CLUSTER = 0xFFFFFFFF;
constexpr std::uint16_t EXFAT_ATTR_DIRECTORY = 0x10;

// Entry types; a deleted entry has bit 7 clear.
enum : std::uint8_t {
    EXFAT_ENTRY_BITMAP = 0x81,
    EXFAT_ENTRY_UPCASE = 0x82,
    EXFAT_ENTRY_LABEL = 0x83,
    EXFAT_ENTRY_FILE = 0x85,
    EXFAT_ENTRY_STREAM = 0xC0,
    EXFAT_ENTRY_NAME = 0xC1,
    EXFAT_ENTRY_LABEL_DELETED = 0x03,
    EXFAT_ENTRY_FILE_DELETED = 0x05,
    EXFAT_ENTRY_STREAM_DELETED = 0x40,
    EXFAT_ENTRY_NAME_DELETED = 0x41,
};

// Boot sector.
struct ExFatBootLayout {
    static constexpr int kTotalSectors = 72;             // u64, the volume's length
    static constexpr int kFatOffset = 80;                // u32, first FAT sector from the volume start
    static constexpr int kFatLength = 84;                // u32, sectors of one FAT
    static constexpr int kHeapOffset = 88;               // u32, sector of cluster 2
    static constexpr int kClusterCount = 92;             // u32
    static constexpr int kRootCluster = 96;              // u32, root folder's first cluster
    static constexpr int kVolumeFlags = 106;             // u16, bit 0: the second FAT is active
    static constexpr int kBytesPerSectorShift = 108;     // u8, log2 of the sector size
    static constexpr int kSectorsPerClusterShift = 109;  // u8, log2 of sectors per cluster
    static constexpr int kNumberOfFats = 110;            // u8, 1 or 2
    static constexpr int kSignature = 510;               // bytes 0x55 0xAA
    static constexpr int kName = 3;                      // 8 bytes "EXFAT   "
    static constexpr int kMustBeZero = 11;               // 53 bytes where FAT keeps its BPB
    static constexpr int kMustBeZeroEnd = 64;
};

// Every directory entry: a type byte (bit 7 set while in use, bit 6 set for
// a secondary entry, bit 5 set for a benign one), then type-specific fields.
struct ExFatEntryLayout {
    static constexpr int kType = 0;
    static constexpr std::uint8_t kInUse = 0x80;
    static constexpr std::uint8_t kTypeCode = 0x7F;  // the type without the in-use bit
    static constexpr std::uint8_t kSecondary = 0x40;
    static constexpr std::uint8_t kBenign = 0x20;
};

// File entry: opens a set of 2 to 18 secondaries.
struct ExFatFileLayout {
    static constexpr int kSecondaryCount = 1;  // u8
    static constexpr int kSetChecksum = 2;     // u16 over the whole set
    static constexpr int kAttributes = 4;      // u16
    static constexpr int kReserved1 = 6;       // u16, zero
    static constexpr int kCreate = 8;          // u32 DOS date and time
    static constexpr int kModified = 12;       // u32
    static constexpr int kAccessed = 16;       // u32
    static constexpr int kCreate10ms = 20;     // u8, 0-199
    static constexpr int kModified10ms = 21;   // u8, 0-199
    static constexpr int kReserved2 = 25;      // 7 bytes, zero
    static constexpr std::size_t kReserved2Bytes = 7;
    static constexpr std::uint8_t kMinSecondaries = 2;
    static constexpr std::uint8_t kMaxSecondaries = 18;
    static constexpr std::uint8_t kMax10ms = 199;
};

// Stream extension: the file's size and where its data lies.
struct ExFatStreamLayout {
    static constexpr int kFlags = 1;          // u8, kNoFatChain
    static constexpr int kReserved1 = 2;      // u8, zero
    static constexpr int kNameLength = 3;     // u8, UTF-16 units of the name
    static constexpr int kReserved2 = 6;      // u16, zero
    static constexpr int kValidLength = 8;    // u64, bytes written
    static constexpr int kReserved3 = 16;     // u32, zero
    static constexpr int kFirstCluster = 20;  // u32
    static constexpr int kDataLength = 24;    // u64, bytes allocated
    // The data lies in consecutive clusters; the FAT holds no chain for it.
    static constexpr std::uint8_t kNoFatChain = 0x02;
};

// File name entry: 15 UTF-16 units of the name.
struct ExFatNameLayout {
    static constexpr int kFlags = 1;  // u8, zero
    static constexpr int kUnits = 2;
    static constexpr int kUnitCount = 15;
};

// Volume label entry: up to 11 UTF-16 units.
struct ExFatLabelLayout {
    static constexpr int kCharCount = 1;  // u8
    static constexpr int kUnits = 2;
    static constexpr int kMaxUnits = 11;
    static constexpr int kReserved = 24;  // 8 bytes, zero
    static constexpr std::size_t kReservedBytes = 8;
};

// Allocation bitmap and up-case table entries: a first cluster and a length.
struct ExFatAllocationLayout {
    static constexpr int kFirstCluster = 20;  // u32
    static constexpr int kDataLength = 24;    // u64, bytes
};
