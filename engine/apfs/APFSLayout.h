// Where the fields of the APFS objects Quillory reads lie, by name. All
// integers are little-endian; offsets count from the start of the object
// (for records, from the start of the key or value).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t kAPFSBlockSize = 4096;
constexpr std::uint32_t kAPFSContainerMagic = 0x4253584E;  // "NXSB"
constexpr std::uint32_t kAPFSVolumeMagic = 0x42535041;     // "APSB"

// The 32-byte header every object starts with.
constexpr std::size_t kObjOidOffset = 8;
constexpr std::size_t kObjXidOffset = 16;
constexpr std::size_t kObjTypeOffset = 24;
constexpr std::size_t kObjTypeFlagsOffset = 26;
constexpr std::size_t kObjSubtypeOffset = 28;
constexpr std::size_t kObjHeaderSize = 32;
// Container and volume superblocks: their magic follows the object header.
constexpr std::size_t kSuperblockMagicOffset = 32;
// Object types and subtypes (the low 16 bits of the type word).
constexpr std::uint16_t kAPFSTypeContainer = 1;
constexpr std::uint16_t kAPFSTypeBTreeNode = 3;
constexpr std::uint16_t kAPFSTypeCheckpointMap = 0x0C;
constexpr std::uint16_t kAPFSSubtypeObjectMap = 11;
constexpr std::uint16_t kAPFSSubtypeFsTree = 14;
constexpr std::uint16_t kAPFSTypeFlagPhysical = 0x4000;
// The largest type and subtype code a plausible object carries.
constexpr std::uint16_t kAPFSMaxObjectType = 31;

// B-tree node header, after the object header.
constexpr std::size_t kNodeFlagsOffset = 32;
constexpr std::size_t kNodeKeyCountOffset = 36;
constexpr std::size_t kNodeTableLengthOffset = 42;
// Node flags: 1 root, 2 leaf, 4 fixed-size entries.
constexpr std::uint16_t kNodeRoot = 1;
constexpr std::uint16_t kNodeLeaf = 2;
constexpr std::uint16_t kNodeFixed = 4;
// The table of contents starts after the node header.
constexpr std::uint32_t kAPFSNodeTableStart = 56;
// Table entries: fixed-size (key offset u16, value offset u16) or variable
// (key offset, key length, value offset, value length, each u16).
constexpr std::size_t kFixedEntrySize = 4;
constexpr std::size_t kVariableEntrySize = 8;
// Bytes of the B-tree info that ends every root node; values count back
// from its start in a root and from the block's end elsewhere.
constexpr std::uint32_t kAPFSRootTrailer = 40;
constexpr std::uint32_t kAPFSMaxNodeEntries = 1024;
// An object-map value: flags u32, size u32, physical address u64.
constexpr std::size_t kOMapValueSize = 16;
constexpr std::size_t kOMapValueAddressOffset = 8;
// Flags 0 and size 4096 as one little-endian word: a one-block mapping.
constexpr std::uint64_t kOMapOneBlockValue = 0x0000100000000000ull;

// Container superblock.
constexpr std::size_t kNXBlockSizeOffset = 36;
constexpr std::size_t kNXBlockCountOffset = 40;
constexpr std::size_t kNXUuidOffset = 72;
// The checkpoint descriptor area: its size in blocks (top bit: kept in a
// B-tree), first block, and the first block and length of this checkpoint.
constexpr std::size_t kNXDescBlocksOffset = 104;
constexpr std::size_t kNXDescBaseOffset = 112;
constexpr std::size_t kNXDescIndexOffset = 136;
constexpr std::size_t kNXDescLengthOffset = 140;
constexpr std::size_t kNXWalkLinkOffset = 136;
constexpr std::size_t kNXObjectMapOffset = 160;
// Object map: block of its B-tree root.
constexpr std::size_t kOMTreeRootOffset = 48;
// Volume superblock.
constexpr std::size_t kAPSBObjectMapOffset = 128;
constexpr std::size_t kAPSBNameOffset = 704;

// File-system tree record kinds (top byte of a key's first word; the low
// 56 bits are the object id).
constexpr std::uint8_t kAPFSKindInode = 0x30;
constexpr std::uint8_t kAPFSKindExtent = 0x80;
constexpr std::uint8_t kAPFSKindDirRecord = 0x90;
constexpr std::uint64_t kAPFSObjectIdMask = 0x00FFFFFFFFFFFFFFull;
constexpr unsigned kAPFSKindShift = 56;

// Inode value.
constexpr std::size_t kInodeParentOffset = 0;
constexpr std::size_t kInodeStreamOffset = 8;
constexpr std::size_t kInodeCreateOffset = 16;
constexpr std::size_t kInodeModifyOffset = 24;
constexpr std::size_t kInodeChangeOffset = 32;
constexpr std::size_t kInodeAccessOffset = 40;
constexpr std::size_t kInodeModeOffset = 80;
constexpr std::size_t kInodeFieldCountOffset = 92;
// Extended fields: a table of 4-byte descriptors (type u8, flags u8,
// size u16) at 96, then their data, each padded to 8 bytes.
constexpr std::size_t kInodeFieldTableOffset = 96;
constexpr std::size_t kInodeFieldDescSize = 4;
constexpr std::size_t kInodeMinValue = 100;
constexpr std::uint8_t kFieldName = 4;
constexpr std::uint8_t kFieldNameFlags = 2;
constexpr std::uint8_t kFieldStream = 8;
constexpr std::uint8_t kFieldStreamFlags = 0x20;
constexpr std::uint16_t kModeFolder = 0x4000;

// Directory record: key (id, name length and hash u32, name), value
// (child id, date added, entry type).
constexpr std::size_t kDrecNameLengthOffset = 8;
constexpr std::size_t kDrecNameOffset = 12;
constexpr std::uint32_t kDrecNameLengthMask = 0x1FF;
constexpr std::size_t kDrecChildOffset = 0;
constexpr std::size_t kDrecDateAddedOffset = 8;
constexpr std::size_t kDrecTypeOffset = 16;
constexpr std::size_t kDrecMinValue = 18;
constexpr std::uint16_t kDrecTypeFolder = 4;

// File extent: key (id, logical offset), value (length and flags, physical
// block).
constexpr std::size_t kExtentLogicalOffset = 8;
constexpr std::size_t kExtentLengthOffset = 0;
constexpr std::size_t kExtentBlockOffset = 8;
constexpr std::size_t kExtentMinSize = 16;
