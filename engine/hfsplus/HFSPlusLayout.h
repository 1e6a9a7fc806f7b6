// Where the fields of the HFS+ structures Quillory reads lie, by name.
// Offsets count from the start of the structure (for records, from the start
// of the key or of the data). Volume header, B-tree and catalog fields are
// big-endian; the journal as Intel Macs write it and the decmpfs attribute
// are little-endian.
#pragma once

#include <cstddef>

// Volume header (1,024 bytes into the volume; its alternate 1,024 from the end).
constexpr std::size_t kVolumeHeaderOffset = 1024;
constexpr std::size_t kVHSignatureOffset = 0;          // "H+" or "HX"
constexpr std::size_t kVHVersionOffset = 2;            // 4 for HFS+, 5 for HFSX
constexpr std::size_t kVHAttributesOffset = 4;         // volume flags (journaled, ...)
constexpr std::size_t kVHLastMountedOffset = 8;        // who mounted it last
constexpr std::size_t kVHJournalInfoBlockOffset = 12;  // block of the journal info block
constexpr std::size_t kVHCreateDateOffset = 16;        // dates: seconds since 1904
constexpr std::size_t kVHModifyDateOffset = 20;
constexpr std::size_t kVHBackupDateOffset = 24;
constexpr std::size_t kVHCheckedDateOffset = 28;
constexpr std::size_t kVHFileCountOffset = 32;    // files on the volume
constexpr std::size_t kVHFolderCountOffset = 36;  // folders, the root excluded
constexpr std::size_t kVHBlockSizeOffset = 40;    // allocation block size in bytes
constexpr std::size_t kVHTotalBlocksOffset = 44;  // allocation blocks of the volume
constexpr std::size_t kVHFreeBlocksOffset = 48;
constexpr std::size_t kVHNextAllocationOffset = 52;
constexpr std::size_t kVHRsrcClumpSizeOffset = 56;
constexpr std::size_t kVHDataClumpSizeOffset = 60;
constexpr std::size_t kVHNextCatalogIDOffset = 64;  // no live record has a higher id
constexpr std::size_t kVHWriteCountOffset = 68;
constexpr std::size_t kVHEncodingsOffset = 72;        // u64 bit map of name encodings
constexpr std::size_t kVHFinderInfoOffset = 80;       // eight u32 words
constexpr std::size_t kVHAllocationFileOffset = 112;  // fork data of each special file
constexpr std::size_t kVHExtentsFileOffset = 192;
constexpr std::size_t kVHCatalogFileOffset = 272;
constexpr std::size_t kVHAttributesFileOffset = 352;
constexpr std::size_t kVHStartupFileOffset = 432;

// Fork data (80 bytes): sizes, then the first eight extents.
constexpr std::size_t kForkLogicalSizeOffset = 0;  // u64 bytes of the fork
constexpr std::size_t kForkClumpSizeOffset = 8;
constexpr std::size_t kForkTotalBlocksOffset = 12;  // allocation blocks of all extents
constexpr std::size_t kForkExtentsOffset = 16;      // extent record
// Extent descriptor: first block and count (u32 each); eight make a record.
constexpr std::size_t kExtentStartBlockOffset = 0;
constexpr std::size_t kExtentBlockCountOffset = 4;
constexpr std::size_t kExtentDescriptorSize = 8;
constexpr int kExtentsPerRecord = 8;

// B-tree node descriptor (14 bytes at the start of every node). The record
// offsets (u16 each) fill the node's end backwards: record i's at
// size - 2 * (i + 1), then one more for the free space.
constexpr std::size_t kBTNodeFLinkOffset = 0;   // next node of the same kind
constexpr std::size_t kBTNodeBLinkOffset = 4;   // previous node
constexpr std::size_t kBTNodeKindOffset = 8;    // s8: -1 leaf, 0 index, 1 header, 2 map
constexpr std::size_t kBTNodeHeightOffset = 9;  // 1 for leaves, 0 for header and map
constexpr std::size_t kBTNodeNumRecordsOffset = 10;
constexpr std::size_t kBTNodeReservedOffset = 12;
constexpr std::size_t kBTRecordOffsetSize = 2;
// An index record's data: the u32 number of the child node.
constexpr std::size_t kBTIndexChildSize = 4;

// B-tree header record (first record of node 0).
constexpr std::size_t kBTHeaderTreeDepthOffset = 0;
constexpr std::size_t kBTHeaderRootNodeOffset = 2;
constexpr std::size_t kBTHeaderLeafRecordsOffset = 6;
constexpr std::size_t kBTHeaderFirstLeafOffset = 10;
constexpr std::size_t kBTHeaderLastLeafOffset = 14;
constexpr std::size_t kBTHeaderNodeSizeOffset = 18;  // u16 bytes per node
constexpr std::size_t kBTHeaderMaxKeyLengthOffset = 20;
constexpr std::size_t kBTHeaderTotalNodesOffset = 22;  // nodes the tree's file holds
constexpr std::size_t kBTHeaderFreeNodesOffset = 26;
constexpr std::size_t kBTHeaderReserved1Offset = 30;
constexpr std::size_t kBTHeaderClumpSizeOffset = 32;
constexpr std::size_t kBTHeaderBTreeTypeOffset = 36;
constexpr std::size_t kBTHeaderKeyCompareOffset = 37;  // 0xCF case folding, 0xBC binary (HFSX)
constexpr std::size_t kBTHeaderAttributesOffset = 38;

// Every key starts with its length (u16), which does not count itself.
constexpr std::size_t kKeyLengthSize = 2;
// Catalog key: parent folder id and name.
constexpr std::size_t kCatalogKeyParentIDOffset = 2;
constexpr std::size_t kCatalogKeyNameOffset = 6;
// Unicode name: u16 length in units, then the units.
constexpr std::size_t kUniStrCharsOffset = 2;
// Extents key.
constexpr std::size_t kExtentKeyForkTypeOffset = 2;  // 0x00 data, 0xFF resource
constexpr std::size_t kExtentKeyPadOffset = 3;
constexpr std::size_t kExtentKeyFileIDOffset = 4;
constexpr std::size_t kExtentKeyStartBlockOffset = 8;  // first file block the record maps
// Attributes key.
constexpr std::size_t kAttrKeyPadOffset = 2;
constexpr std::size_t kAttrKeyFileIDOffset = 4;
constexpr std::size_t kAttrKeyStartBlockOffset = 8;
constexpr std::size_t kAttrKeyNameLengthOffset = 12;  // u16 units
constexpr std::size_t kAttrKeyNameOffset = 14;

// Catalog folder and file records share their first 48 bytes.
constexpr std::size_t kCatalogRecordTypeOffset = 0;  // s16: 1 folder, 2 file, 3/4 thread
constexpr std::size_t kCatalogFlagsOffset = 2;
constexpr std::size_t kCatalogValenceOffset = 4;    // folders: items inside
constexpr std::size_t kCatalogReserved1Offset = 4;  // files
constexpr std::size_t kCatalogIDOffset = 8;         // folder or file id
constexpr std::size_t kCatalogCreateDateOffset = 12;
constexpr std::size_t kCatalogContentModDateOffset = 16;
constexpr std::size_t kCatalogAttributeModDateOffset = 20;
constexpr std::size_t kCatalogAccessDateOffset = 24;
constexpr std::size_t kCatalogBackupDateOffset = 28;
constexpr std::size_t kCatalogPermissionsOffset = 32;  // BSD info, 16 bytes
constexpr std::size_t kCatalogUserInfoOffset = 48;     // Finder info, 16 bytes
constexpr std::size_t kCatalogTextEncodingOffset = 80;
constexpr std::size_t kCatalogDataForkOffset = 88;  // files only
constexpr std::size_t kCatalogResourceForkOffset = 168;
// Thread record: the node's parent id and name.
constexpr std::size_t kThreadParentIDOffset = 4;
constexpr std::size_t kThreadNodeNameOffset = 8;
// BSD info.
constexpr std::size_t kBSDOwnerIDOffset = 0;
constexpr std::size_t kBSDGroupIDOffset = 4;
constexpr std::size_t kBSDAdminFlagsOffset = 8;
constexpr std::size_t kBSDOwnerFlagsOffset = 9;  // UF_COMPRESSED lives here
constexpr std::size_t kBSDFileModeOffset = 10;
constexpr std::size_t kBSDSpecialOffset = 12;  // link count or inode number
// Finder file info.
constexpr std::size_t kFInfoTypeOffset = 0;  // four-character file type
constexpr std::size_t kFInfoCreatorOffset = 4;
constexpr std::size_t kFInfoFlagsOffset = 8;
constexpr std::size_t kFInfoLocationVOffset = 10;
constexpr std::size_t kFInfoLocationHOffset = 12;
constexpr std::size_t kFInfoOpaqueOffset = 14;

// Attribute records: the type word, then per type the fork data or
// extents (both at 8), or the inline data's size and bytes.
constexpr std::size_t kAttrRecordTypeOffset = 0;
constexpr std::size_t kAttrForkOffset = 8;
constexpr std::size_t kAttrInlineSizeOffset = 12;
constexpr std::size_t kAttrInlineDataOffset = 16;

// Journal info block (big-endian).
constexpr std::size_t kJIBFlagsOffset = 0;            // journal in the file system, ...
constexpr std::size_t kJIBDeviceSignatureOffset = 4;  // eight u32 words
constexpr std::size_t kJIBOffsetOffset = 36;          // u64 byte offset of the journal
constexpr std::size_t kJIBSizeOffset = 44;            // u64 bytes of the journal

// Journal header (in the endianness its endian word shows).
constexpr std::size_t kJHMagicOffset = 0;
constexpr std::size_t kJHEndianOffset = 4;
constexpr std::size_t kJHStartOffset = 8;           // u64 offset of the oldest transaction
constexpr std::size_t kJHEndOffset = 16;            // u64 offset past the newest
constexpr std::size_t kJHSizeOffset = 24;           // u64 bytes of the journal
constexpr std::size_t kJHBlockListSizeOffset = 32;  // bytes of a block list header
constexpr std::size_t kJHChecksumOffset = 36;
constexpr std::size_t kJHHeaderSizeOffset = 40;  // bytes the header takes
// Block list header: room and use, then 16-byte block entries; entry 0
// describes the list itself.
constexpr std::size_t kBLMaxBlocksOffset = 0;
constexpr std::size_t kBLNumBlocksOffset = 2;
constexpr std::size_t kBLEntriesOffset = 16;
constexpr std::size_t kBLEntrySize = 16;
constexpr std::size_t kBLEntryBlockOffset = 0;  // u64 sector-sized block number
constexpr std::size_t kBLEntrySizeOffset = 8;   // u32 bytes that follow

// decmpfs attribute header (16 bytes, then inline data).
constexpr std::size_t kDecmpfsMagicOffset = 0;  // "fpmc"
constexpr std::size_t kDecmpfsTypeOffset = 4;   // 3/4 zlib, 7/8 LZVN, ...
constexpr std::size_t kDecmpfsSizeOffset = 8;   // u64 uncompressed bytes
constexpr std::size_t kDecmpfsHeaderSize = 16;
// Resource fork of a zlib file (type 4): a big-endian resource-map header
// whose first word is where the data starts; there, after a u32 length,
// a u32 chunk count and (offset, size) pairs, offsets counted from the
// length word.
constexpr std::size_t kRsrcDataOffsetOffset = 0;
constexpr std::size_t kRsrcHeaderSize = 16;
constexpr std::size_t kZlibTableCountOffset = 4;
constexpr std::size_t kZlibTableEntriesOffset = 8;
constexpr std::size_t kZlibTableEntrySize = 8;
constexpr std::size_t kZlibEntrySizeOffset = 4;  // u32 bytes after the u32 offset
constexpr std::size_t kZlibChunkBase = 4;
// Resource fork of an LZVN file (type 8): u32 chunk offsets from the fork's
// start, the first of which is the table's own size.
constexpr std::size_t kLzvnTableEntrySize = 4;
