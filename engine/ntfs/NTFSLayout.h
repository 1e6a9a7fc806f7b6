// Where the fields of the NTFS structures Quillory reads lie, by name. All
// integers are little-endian. Offsets count from the start of the structure
// named in each group; attribute content offsets count from the start of the
// content, which in a resident attribute follows its 24-byte header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ntfslayout {

// ------------------------------------------------------ boot sector (DBR)
constexpr std::size_t kBootOemId = 3;               // "NTFS    ", 8 bytes
constexpr std::size_t kBootBytesPerSector = 11;     // u16
constexpr std::size_t kBootSectorsPerCluster = 13;  // u8, a power of two
constexpr std::size_t kBootReservedSectors = 14;    // u16, always 0
// FAT fields (FAT count, root entries, 16-bit sector count, sectors per FAT,
// 32-bit sector count) that NTFS leaves 0; byte 21 (media) is left out.
constexpr std::size_t kBootZeroBytes[] = {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35};
constexpr std::size_t kBootTotalSectors = 40;      // i64
constexpr std::size_t kBootMftCluster = 48;        // i64, LCN of $MFT
constexpr std::size_t kBootMftMirrorCluster = 56;  // i64, LCN of $MFTMirr
// i8: clusters per FILE record, or when negative the record size as 2^-n.
constexpr std::size_t kBootClustersPerRecord = 64;
constexpr std::size_t kBootSerialNumber = 72;  // u64
constexpr std::size_t kBootSignature = 510;    // 0x55 0xAA

// ------------------------------------------------------- FILE record header
constexpr std::uint32_t kFileRecordMagic = 0x454C4946;  // "FILE"
constexpr std::size_t kRecordMagic = 0;                 // u32
constexpr std::size_t kRecordUsaOffset = 4;             // u16, update sequence array
constexpr std::size_t kRecordUsaCount = 6;              // u16, 1 + strides covered
constexpr std::size_t kRecordLsn = 8;                   // i64, $LogFile sequence number
constexpr std::size_t kRecordFirstAttribute = 20;       // u16
constexpr std::size_t kRecordFlags = 22;                // u16, kRecordFlag*
constexpr std::size_t kRecordUsedSize = 24;             // u32
constexpr std::size_t kRecordAllocatedSize = 28;        // u32
constexpr std::size_t kRecordBaseRecord = 32;           // u64 reference, 0 in a base record
// Windows XP and later: two bytes of padding, then the record's own number.
constexpr std::size_t kRecordXPPadding = 42;      // u16, 0
constexpr std::size_t kRecordXPNumber = 44;       // u32
constexpr std::size_t kRecordXPHeaderBytes = 48;  // the smallest USA offset with them
constexpr std::size_t kRecordHeaderBytes = 48;    // fields read before any check
// Before Windows XP the header ended here, where its update sequence began.
constexpr std::size_t kRecordOldHeaderBytes = 42;
constexpr std::uint16_t kRecordFlagInUse = 0x0001;
constexpr std::uint16_t kRecordFlagDirectory = 0x0002;
// MFT record numbers of the metadata files Quillory looks for; 5 is the
// root folder, the first record a user's folder or file can have as parent.
constexpr std::int64_t kRootFolderRecord = 5;
// An MFT reference: 48-bit record number, 16-bit sequence number above it.
constexpr std::uint64_t kMftReferenceMask = 0x0000FFFFFFFFFFFFull;
// The update sequence: the last two bytes of every 512-byte stride hold the
// sequence number; the array keeps the bytes they replaced.
constexpr std::size_t kUsaStride = 512;
constexpr std::size_t kUsaStrideTail = 510;

// ---------------------------------------------------------- attribute types
enum NTFSAttributeType : std::uint32_t {
    kAttrStandardInformation = 0x10,
    kAttrAttributeList = 0x20,
    kAttrFileName = 0x30,
    kAttrObjectId = 0x40,
    kAttrSecurityDescriptor = 0x50,
    kAttrVolumeName = 0x60,
    kAttrVolumeInformation = 0x70,
    kAttrData = 0x80,
    kAttrIndexRoot = 0x90,
    kAttrIndexAllocation = 0xA0,
    kAttrBitmap = 0xB0,
    kAttrReparsePoint = 0xC0,
    kAttrEaInformation = 0xD0,
    kAttrEa = 0xE0,
    kAttrLoggedUtilityStream = 0x100,
    kAttrEnd = 0xFFFFFFFF,  // the marker after a record's last attribute
};

// ------------------------------------------------ attribute header (common)
constexpr std::size_t kAttrType = 0;         // u32, NTFSAttributeType
constexpr std::size_t kAttrLength = 4;       // u32, whole attribute
constexpr std::size_t kAttrNonResident = 8;  // u8, 0 resident
constexpr std::size_t kAttrNameLength = 9;   // u8, UTF-16 units; 0 unnamed
constexpr std::size_t kAttrNameOffset = 10;  // u16
constexpr std::size_t kAttrFlags = 12;       // u16, kAttrFlag*
constexpr std::size_t kAttrId = 14;          // u16
constexpr std::uint16_t kAttrFlagCompressed = 0x0001;
constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;
constexpr std::uint16_t kAttrFlagSparse = 0x8000;
// Resident form.
constexpr std::size_t kAttrContentLength = 16;  // u32
constexpr std::size_t kAttrContentOffset = 20;  // u16
constexpr std::size_t kResidentHeaderBytes = 24;
// Non-resident form.
constexpr std::size_t kAttrStartVcn = 16;         // i64
constexpr std::size_t kAttrLastVcn = 24;          // i64
constexpr std::size_t kAttrRunsOffset = 32;       // u16, mapping pairs
constexpr std::size_t kAttrCompressionUnit = 34;  // u16, log2 of clusters
constexpr std::size_t kAttrAllocatedSize = 40;    // i64
constexpr std::size_t kAttrRealSize = 48;         // i64
constexpr std::size_t kAttrInitializedSize = 56;  // i64
constexpr std::size_t kNonResidentHeaderBytes = 64;

// --------------------------------------- $STANDARD_INFORMATION content
constexpr std::size_t kStdInfoCreationTime = 0;      // i64 FILETIME
constexpr std::size_t kStdInfoModificationTime = 8;  // i64 FILETIME
constexpr std::size_t kStdInfoAccessTime = 24;       // i64 FILETIME
constexpr std::size_t kStdInfoDosPermissions = 32;   // u32
constexpr std::size_t kStdInfoReadBytes = 36;        // every field read lies before
// The shortest content accepted inside the caller's buffer.
constexpr std::size_t kStdInfoCheckedBytes = 40;
// $STANDARD_INFORMATION and $FILE_NAME are always resident: their fields are
// read where the 24-byte resident header ends.
constexpr std::size_t kStdInfoAt = kResidentHeaderBytes;

// ------------------------------------------------- $FILE_NAME content
constexpr std::size_t kFileNameParent = 0;             // u64 reference of the folder
constexpr std::size_t kFileNameCreationTime = 8;       // i64 FILETIME
constexpr std::size_t kFileNameModificationTime = 16;  // i64 FILETIME
constexpr std::size_t kFileNameAccessTime = 32;        // i64 FILETIME
constexpr std::size_t kFileNameAllocatedSize = 40;     // i64
constexpr std::size_t kFileNameRealSize = 48;          // i64
constexpr std::size_t kFileNameFlags = 56;             // u32, DOS bits and kFileNameFlag*
constexpr std::size_t kFileNameNameLength = 64;        // u8, UTF-16 units
constexpr std::size_t kFileNameNamespace = 65;         // u8, 0 POSIX .. 3 Win32 and DOS
constexpr std::size_t kFileNameName = 66;              // UTF-16LE name
constexpr std::uint32_t kFileNameFlagDirectory = 0x10000000;
constexpr std::uint32_t kFileNameFlagCompressed = 0x0001;  // as the DOS attribute bits
constexpr std::uint32_t kFileNameFlagEncrypted = 0x4000;
constexpr std::uint8_t kFileNameNamespaceLast = 3;  // Win32 and DOS
constexpr std::size_t kFileNameAt = kResidentHeaderBytes;

// --------------------------------------------- $INDEX_ROOT and its entries
constexpr std::size_t kIndexRootHeader = 16;  // the index header follows
// Index header, from its start.
constexpr std::size_t kIndexHeaderEntriesOffset = 0;  // u32
constexpr std::size_t kIndexHeaderEntriesSize = 4;    // u32, counted from the header
constexpr std::size_t kIndexHeaderBytes = 16;
// Index entry (folder index: the key is a $FILE_NAME content).
constexpr std::size_t kIndexEntryLength = 8;  // u16
constexpr std::size_t kIndexEntryFlags = 12;  // u16, kIndexEntry*
constexpr std::size_t kIndexEntryKey = 16;
constexpr std::size_t kIndexEntryHeaderBytes = 16;
constexpr std::uint16_t kIndexEntryHasSubnode = 0x0001;
constexpr std::uint16_t kIndexEntryLast = 0x0002;

// ---------------------------------------- mapping pairs (non-resident runs)
// Each run starts with a byte whose low nibble gives the bytes of its length
// and whose high nibble the bytes of its signed LCN delta (0: sparse); a 0
// byte ends the list.
constexpr std::uint8_t kRunLengthSizeMask = 0x0F;
constexpr int kRunDeltaSizeShift = 4;

}  // namespace ntfslayout
