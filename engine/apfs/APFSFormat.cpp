#include "apfs/APFSFormat.h"

#include <cstring>

bool ReadAPFSObjectHeader(const std::uint8_t* buf, std::size_t len, APFSObjectHeader& out) {
    if (!buf || len < 32) return false;
    out.oid = APFSRead64(buf + 8);
    out.xid = APFSRead64(buf + 16);
    out.type = APFSRead16(buf + 24);
    out.typeFlags = APFSRead16(buf + 26);
    out.subtype = APFSRead16(buf + 28);
    return true;
}

bool IsPlausibleObjectHeader(std::uint64_t /*block*/, const std::uint8_t* buf, std::size_t len) {
    APFSObjectHeader h;
    if (!ReadAPFSObjectHeader(buf, len, h)) return false;
    return h.subtype <= 31 && h.type <= 31 && h.oid != 0;
}

bool ReadAPFSNodeHeader(const std::uint8_t* buf, std::size_t len, APFSNodeHeader& out) {
    if (!buf || len < kAPFSNodeTableStart) return false;
    out.flags = APFSRead16(buf + 32);
    out.keyCount = APFSRead32(buf + 36);
    out.tableLength = APFSRead16(buf + 42);
    return true;
}

void CollectObjectMapChildren(const std::uint8_t* buf, std::size_t len, std::vector<std::uint64_t>& out) {
    APFSNodeHeader node;
    if (!ReadAPFSNodeHeader(buf, len, node)) return;
    const std::size_t keyArea = kAPFSNodeTableStart + node.tableLength;
    const std::uint32_t entries = node.keyCount < kAPFSMaxNodeEntries ? node.keyCount : kAPFSMaxNodeEntries;
    if (node.flags == 4 || node.flags == 5) {
        const std::size_t trailer = node.flags == 5 ? kAPFSRootTrailer : 0;
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t entry = kAPFSNodeTableStart + static_cast<std::size_t>(i) * 4;
            if (entry + 4 > len) break;
            const std::size_t keyPos = keyArea + APFSRead16(buf + entry);
            const std::size_t valueOffset = APFSRead16(buf + entry + 2) + trailer;
            if (valueOffset >= len || keyPos >= len) continue;
            const std::size_t valuePos = len - valueOffset;
            if (valuePos + 8 > len) continue;
            out.push_back(APFSRead64(buf + valuePos));
        }
    } else if (node.flags == 6) {
        // A leaf whose table may be damaged: take every value that looks like
        // a mapping of one 4096-byte object (flags 0, size 4096).
        if (len < 16) return;
        for (std::size_t pos = len - 16; pos > keyArea; pos -= 16) {
            if (APFSRead64(buf + pos) == 0x0000100000000000ull) out.push_back(APFSRead64(buf + pos + 8));
            if (pos < 16) break;
        }
    } else if (node.flags == 7) {
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::size_t entry = kAPFSNodeTableStart + static_cast<std::size_t>(i) * 4;
            if (entry + 4 > len) break;
            const std::size_t valueOffset = APFSRead16(buf + entry + 2);
            if (valueOffset > len) break;
            const std::size_t p = len - valueOffset;
            // The value (flags, size, address) stands before the root trailer.
            if (p < kAPFSRootTrailer + 1 || p - 32 + 8 > len) break;
            out.push_back(APFSRead64(buf + p - 32));
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
    const std::uint16_t count = APFSRead16(value + 92);
    std::size_t data = 96 + static_cast<std::size_t>(count) * 4;
    for (std::uint32_t i = 0; i < count && i < kAPFSMaxNodeEntries; ++i) {
        const std::size_t desc = 96 + static_cast<std::size_t>(i) * 4;
        if (desc + 4 > valueLength || data > valueLength) return;
        const std::uint8_t type = value[desc];
        const std::uint8_t flags = value[desc + 1];
        const std::uint16_t size = APFSRead16(value + desc + 2);
        if (type == 4 && flags == 2) {
            const std::size_t nameLength = size & 0x1FF;
            if (data + nameLength > valueLength) return;
            out.hasName = true;
            out.name = TakeName(value + data, nameLength);
        } else if (type == 8 && flags == 0x20) {
            if (data + 8 > valueLength) return;
            out.hasSize = true;
            out.size = APFSRead64(value + data);
        }
        data += (static_cast<std::size_t>(size) + 7) & ~static_cast<std::size_t>(7);
    }
}
}  // namespace

bool ParseAPFSRecord(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* value,
                     std::size_t valueLength, APFSRecord& out) {
    if (!key || !value || keyLength < 8) return false;
    const std::uint64_t word = APFSRead64(key);
    out = APFSRecord{};
    out.kind = static_cast<std::uint8_t>(word >> 56);
    out.oid = word & 0x00FFFFFFFFFFFFFFull;
    switch (out.kind) {
    case kAPFSKindInode:
        if (valueLength < 100) return false;
        out.parentId = APFSRead64(value);
        out.dataStreamId = APFSRead64(value + 8);
        out.createTime = APFSRead64(value + 16);
        out.modifyTime = APFSRead64(value + 24);
        out.changeTime = APFSRead64(value + 32);
        out.accessTime = APFSRead64(value + 40);
        out.mode = APFSRead16(value + 80);
        ReadExtendedFields(value, valueLength, out);
        return true;
    case kAPFSKindDirRecord: {
        if (valueLength <= 17 || keyLength < 12) return false;
        const std::size_t nameLength = APFSRead32(key + 8) & 0x1FF;
        if (12 + nameLength > keyLength) return false;
        out.parentId = out.oid & 0xFFFFFFFFull;
        out.hasName = true;
        out.name = TakeName(key + 12, nameLength);
        out.childId = APFSRead64(value);
        out.dateAdded = APFSRead64(value + 8);
        out.entryType = APFSRead16(value + 16);
        return true;
    }
    case kAPFSKindExtent:
        if (valueLength < 16 || keyLength < 16) return false;
        out.logicalOffset = APFSRead64(key + 8);
        out.length = APFSRead64(value);
        out.physicalBlock = APFSRead64(value + 8);
        return true;
    default:
        return false;
    }
}

int ReadFsTreeRecords(const std::uint8_t* buf, std::size_t len,
                      const std::function<bool(const APFSRecord&)>& onRecord) {
    APFSNodeHeader node;
    if (!ReadAPFSNodeHeader(buf, len, node) || node.keyCount >= kAPFSMaxNodeEntries) return 0;
    const std::size_t trailer = (node.flags == 1 || node.flags == 3) ? kAPFSRootTrailer : 0;
    const std::size_t keyArea = kAPFSNodeTableStart + node.tableLength;
    int given = 0;
    APFSRecord record;
    for (std::uint32_t i = 0; i < node.keyCount; ++i) {
        const std::size_t entry = kAPFSNodeTableStart + static_cast<std::size_t>(i) * 8;
        if (entry + 8 > len) break;
        const std::size_t keyPos = keyArea + APFSRead16(buf + entry);
        const std::size_t keyLength = APFSRead16(buf + entry + 2);
        const std::size_t valueOffset = APFSRead16(buf + entry + 4) + trailer;
        const std::size_t valueLength = APFSRead16(buf + entry + 6);
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
