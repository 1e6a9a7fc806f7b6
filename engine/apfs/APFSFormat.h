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

#include "apfs/APFSLayout.h"
#include "foundation/ByteOrder.h"

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

    bool IsFolder() const { return kind == kAPFSKindInode ? (mode & kModeFolder) != 0 : entryType == kDrecTypeFolder; }
};

// Parses one record from its key and value; false for kinds not used and
// for keys or values too short for their kind.
bool ParseAPFSRecord(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* value, std::size_t valueLength,
                     APFSRecord& out);

// Calls `onRecord` for each usable record of a file-system tree node, in
// table order, while it answers true. Entries whose key or value does not lie
// wholly inside the block are skipped. Returns the number of records given.
int ReadFsTreeRecords(const std::uint8_t* buf, std::size_t len, const std::function<bool(const APFSRecord&)>& onRecord);
