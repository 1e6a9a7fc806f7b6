// The few APFS on-disk objects the recogniser and the container reader read
// straight from 4096-byte blocks: object headers, container and volume
// superblocks, object-map nodes and file-system tree records. All integers
// are little-endian; no checksum is verified. Every offset and length taken
// from a block is checked to lie inside it before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr std::uint32_t kAPFSBlockSize = 4096;
constexpr std::uint32_t kAPFSContainerMagic = 0x4253584E;  // "NXSB"
constexpr std::uint32_t kAPFSVolumeMagic = 0x42535041;     // "APSB"
constexpr std::uint16_t kAPFSTypeContainer = 1;
constexpr std::uint16_t kAPFSTypeBTreeNode = 3;
constexpr std::uint16_t kAPFSTypeCheckpointMap = 0x0C;
constexpr std::uint16_t kAPFSSubtypeObjectMap = 11;
constexpr std::uint16_t kAPFSSubtypeFsTree = 14;
constexpr std::uint16_t kAPFSTypeFlagPhysical = 0x4000;
// Bytes of the B-tree info that ends every root node.
constexpr std::uint32_t kAPFSRootTrailer = 40;
constexpr std::uint32_t kAPFSNodeTableStart = 56;
constexpr std::uint32_t kAPFSMaxNodeEntries = 1024;

// Container superblock field offsets.
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
// Volume superblock fields.
constexpr std::size_t kAPSBObjectMapOffset = 128;
constexpr std::size_t kAPSBNameOffset = 704;

// File-system tree record kinds (top byte of a key's first word).
constexpr std::uint8_t kAPFSKindInode = 0x30;
constexpr std::uint8_t kAPFSKindExtent = 0x80;
constexpr std::uint8_t kAPFSKindDirRecord = 0x90;

inline std::uint16_t APFSRead16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t APFSRead32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(APFSRead16(p)) | (static_cast<std::uint32_t>(APFSRead16(p + 2)) << 16);
}
inline std::uint64_t APFSRead64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(APFSRead32(p)) | (static_cast<std::uint64_t>(APFSRead32(p + 4)) << 32);
}

// The 32-byte header every object starts with.
struct APFSObjectHeader {
    std::uint64_t oid = 0;
    std::uint64_t xid = 0;
    std::uint16_t type = 0;
    std::uint16_t typeFlags = 0;
    std::uint16_t subtype = 0;
};
// False when fewer than 32 bytes are given.
bool ReadAPFSObjectHeader(const std::uint8_t* buf, std::size_t len, APFSObjectHeader& out);

// The test applied before any block is trusted: a non-zero object id, type
// and subtype at most 31. False too when the buffer cannot hold a header.
bool IsPlausibleObjectHeader(std::uint64_t block, const std::uint8_t* buf, std::size_t len);

// Node header of a B-tree node.
struct APFSNodeHeader {
    std::uint16_t flags = 0;  // 1 root, 2 leaf, 4 fixed-size entries
    std::uint32_t keyCount = 0;
    std::uint16_t tableLength = 0;
};
bool ReadAPFSNodeHeader(const std::uint8_t* buf, std::size_t len, APFSNodeHeader& out);

// Physical addresses of the children (or, in a leaf, of the mapped objects)
// of an object-map node, in table order; appended to `out`.
void CollectObjectMapChildren(const std::uint8_t* buf, std::size_t len, std::vector<std::uint64_t>& out);

// One file-system tree record of the kinds the reader uses.
struct APFSRecord {
    std::uint8_t kind = 0;
    std::uint64_t oid = 0;  // low 56 bits of the key's first word

    // Inode.
    std::uint64_t parentId = 0;
    std::uint64_t dataStreamId = 0;
    std::uint64_t createTime = 0, modifyTime = 0, changeTime = 0, accessTime = 0;
    std::uint16_t mode = 0;
    bool hasSize = false;
    std::uint64_t size = 0;

    // Inode (from its name field) and directory record (from its key).
    bool hasName = false;
    std::string name;

    // Directory record.
    std::uint64_t childId = 0;
    std::uint64_t dateAdded = 0;
    std::uint16_t entryType = 0;  // 4 folder

    // Extent.
    std::uint64_t logicalOffset = 0;
    std::uint64_t length = 0;
    std::uint64_t physicalBlock = 0;

    bool IsFolder() const {
        return kind == kAPFSKindInode ? (mode & 0x4000) != 0 : entryType == 4;
    }
};

// Parses one record from its key and value; false for kinds not used and
// for keys or values too short for their kind.
bool ParseAPFSRecord(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* value,
                     std::size_t valueLength, APFSRecord& out);

// Calls `onRecord` for each usable record of a file-system tree node, in
// table order, while it answers true. Entries whose key or value does not lie
// wholly inside the block are skipped. Returns the number of records given.
int ReadFsTreeRecords(const std::uint8_t* buf, std::size_t len,
                      const std::function<bool(const APFSRecord&)>& onRecord);
