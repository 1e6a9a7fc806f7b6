#include "apfs/APFSFormat.h"

#include <cstring>

using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;

bool ReadAPFSObjectHeader(const std::uint8_t* buf, std::size_t len, APFSObjectHeader& out) {
    if (!buf || len < kObjHeaderSize) return false;
    out.oid = LE64(buf + kObjOidOffset);
    out.xid = LE64(buf + kObjXidOffset);
    out.type = LE16(buf + kObjTypeOffset);
    out.typeFlags = LE16(buf + kObjTypeFlagsOffset);
    out.subtype = LE16(buf + kObjSubtypeOffset);
    return true;
}

bool IsPlausibleObjectHeader(std::uint64_t /*block*/, const std::uint8_t* buf, std::size_t len) {
    APFSObjectHeader h;
    if (!ReadAPFSObjectHeader(buf, len, h)) return false;
    return h.subtype <= kAPFSMaxObjectType && h.type <= kAPFSMaxObjectType && h.oid != 0;
}

bool ReadAPFSNodeHeader(const std::uint8_t* buf, std::size_t len, APFSNodeHeader& out) {
    if (!buf || len < kAPFSNodeTableStart) return false;
    out.flags = LE16(buf + kNodeFlagsOffset);
    out.keyCount = LE32(buf + kNodeKeyCountOffset);
    out.tableLength = LE16(buf + kNodeTableLengthOffset);
    return true;
}

void CollectObjectMapChildren(const std::uint8_t* buf, std::size_t len, std::vector<std::uint64_t>& out) {
    APFSNodeHeader node;
    if (!ReadAPFSNodeHeader(buf, len, node)) return;
    const std::size_t keyArea = kAPFSNodeTableStart + node.tableLength;
    const std::uint32_t entries = node.keyCount < kAPFSMaxNodeEntries ? node.keyCount : kAPFSMaxNodeEntries;
    if (node.flags == kNodeFixed || node.flags == (kNodeFixed | kNodeRoot)) {
        const std::size_t trailer = (node.flags & kNodeRoot) ? kAPFSRootTrailer : 0;
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t entry = kAPFSNodeTableStart + static_cast<std::size_t>(i) * kFixedEntrySize;
            if (entry + kFixedEntrySize > len) break;
            const std::size_t keyPos = keyArea + LE16(buf + entry);
            const std::size_t valueOffset = LE16(buf + entry + 2) + trailer;
            if (valueOffset >= len || keyPos >= len) continue;
            const std::size_t valuePos = len - valueOffset;
            if (valuePos + 8 > len) continue;
            out.push_back(LE64(buf + valuePos));
        }
    } else if (node.flags == (kNodeFixed | kNodeLeaf)) {
        // A leaf whose table may be damaged: take every value that looks like
        // a mapping of one 4096-byte object (flags 0, size 4096).
        if (len < kOMapValueSize) return;
        for (std::size_t pos = len - kOMapValueSize; pos > keyArea; pos -= kOMapValueSize) {
            if (LE64(buf + pos) == kOMapOneBlockValue) out.push_back(LE64(buf + pos + kOMapValueAddressOffset));
            if (pos < kOMapValueSize) break;
        }
    } else if (node.flags == (kNodeFixed | kNodeLeaf | kNodeRoot)) {
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t entry = kAPFSNodeTableStart + static_cast<std::size_t>(i) * kFixedEntrySize;
            if (entry + kFixedEntrySize > len) break;
            const std::size_t valueOffset = LE16(buf + entry + 2);
            if (valueOffset > len) break;
            const std::size_t p = len - valueOffset;
            // The value (flags, size, address) stands before the root trailer.
            if (p < kAPFSRootTrailer + 1 || p - kAPFSRootTrailer + kOMapValueAddressOffset + 8 > len) break;
            out.push_back(LE64(buf + p - kAPFSRootTrailer + kOMapValueAddressOffset));
        }
    }
}

namespace {
// The name bytes up to the first zero, at most `length` of them.
std::string TakeName(const std::uint8_t* p, std::size_t length) {
    std::size_t n = 0;
    while (n < length && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

void ReadExtendedFields(const std::uint8_t* value, std::size_t valueLength, APFSRecord& out) {
    const std::uint16_t count = LE16(value + kInodeFieldCountOffset);
    std::size_t data = kInodeFieldTableOffset + static_cast<std::size_t>(count) * kInodeFieldDescSize;
    for (std::uint32_t i = 0; i < count && i < kAPFSMaxNodeEntries; ++i) {
        const std::size_t desc = kInodeFieldTableOffset + static_cast<std::size_t>(i) * kInodeFieldDescSize;
        if (desc + kInodeFieldDescSize > valueLength || data > valueLength) return;
        const std::uint8_t type = value[desc];
        const std::uint8_t flags = value[desc + 1];
        const std::uint16_t size = LE16(value + desc + 2);
        if (type == kFieldName && flags == kFieldNameFlags) {
            const std::size_t nameLength = size & kDrecNameLengthMask;
            if (data + nameLength > valueLength) return;
            out.hasName = true;
            out.name = TakeName(value + data, nameLength);
        } else if (type == kFieldStream && flags == kFieldStreamFlags) {
            if (data + 8 > valueLength) return;
            out.hasSize = true;
            out.size = LE64(value + data);
        }
        data += (static_cast<std::size_t>(size) + 7) & ~static_cast<std::size_t>(7);
    }
}
}  // namespace

bool ParseAPFSRecord(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* value, std::size_t valueLength,
                     APFSRecord& out) {
    if (!key || !value || keyLength < 8) return false;
    const std::uint64_t word = LE64(key);
    out = APFSRecord{};
    out.kind = static_cast<std::uint8_t>(word >> kAPFSKindShift);
    out.oid = word & kAPFSObjectIdMask;
    switch (out.kind) {
    case kAPFSKindInode:
        if (valueLength < kInodeMinValue) return false;
        out.parentId = LE64(value + kInodeParentOffset);
        out.dataStreamId = LE64(value + kInodeStreamOffset);
        out.createTime = LE64(value + kInodeCreateOffset);
        out.modifyTime = LE64(value + kInodeModifyOffset);
        out.changeTime = LE64(value + kInodeChangeOffset);
        out.accessTime = LE64(value + kInodeAccessOffset);
        out.mode = LE16(value + kInodeModeOffset);
        ReadExtendedFields(value, valueLength, out);
        return true;
    case kAPFSKindDirRecord: {
        if (valueLength < kDrecMinValue || keyLength < kDrecNameOffset) return false;
        const std::size_t nameLength = LE32(key + kDrecNameLengthOffset) & kDrecNameLengthMask;
        if (kDrecNameOffset + nameLength > keyLength) return false;
        out.parentId = out.oid & 0xFFFFFFFFull;
        out.hasName = true;
        out.name = TakeName(key + kDrecNameOffset, nameLength);
        out.childId = LE64(value + kDrecChildOffset);
        out.dateAdded = LE64(value + kDrecDateAddedOffset);
        out.entryType = LE16(value + kDrecTypeOffset);
        return true;
    }
    case kAPFSKindExtent:
        if (valueLength < kExtentMinSize || keyLength < kExtentMinSize) return false;
        out.logicalOffset = LE64(key + kExtentLogicalOffset);
        out.length = LE64(value + kExtentLengthOffset);
        out.physicalBlock = LE64(value + kExtentBlockOffset);
        return true;
    default:
        return false;
    }
}

int ReadFsTreeRecords(const std::uint8_t* buf, std::size_t len,
                      const std::function<bool(const APFSRecord&)>& onRecord) {
    APFSNodeHeader node;
    if (!ReadAPFSNodeHeader(buf, len, node) || node.keyCount >= kAPFSMaxNodeEntries) return 0;
    const std::size_t trailer =
        (node.flags == kNodeRoot || node.flags == (kNodeRoot | kNodeLeaf)) ? kAPFSRootTrailer : 0;
    const std::size_t keyArea = kAPFSNodeTableStart + node.tableLength;
    int given = 0;
    APFSRecord record;
    for (std::uint32_t i = 0; i < node.keyCount; ++i) {
        const std::size_t entry = kAPFSNodeTableStart + static_cast<std::size_t>(i) * kVariableEntrySize;
        if (entry + kVariableEntrySize > len) break;
        const std::size_t keyPos = keyArea + LE16(buf + entry);
        const std::size_t keyLength = LE16(buf + entry + 2);
        const std::size_t valueOffset = LE16(buf + entry + 4) + trailer;
        const std::size_t valueLength = LE16(buf + entry + 6);
        if (valueOffset == 0 || valueOffset >= len) continue;
        const std::size_t valuePos = len - valueOffset;
        if (keyPos >= len || keyLength > len - keyPos) continue;
        if (valueLength > len - valuePos) continue;
        if (!ParseAPFSRecord(buf + keyPos, keyLength, buf + valuePos, valueLength, record)) continue;
        ++given;
        if (!onRecord(record)) break;
    }
    return given;
}
