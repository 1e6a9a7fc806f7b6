#include "hfsplus/HFSPlusFormat.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

EngineResult FormatError(EngineResult code, const char* path, int line, const char* func) {
    const char* base = path ? path : "";
    for (const char* p = base; *p; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    std::printf("Return Error:0x%" PRIx64 "\tFile:%s\tLine:%d\tFuction:%s\n",
                static_cast<std::uint64_t>(code), base, line, func ? func : "");
    return code;
}

void flipEndian(std::uint8_t* bytes, std::size_t n) {
    if (!bytes) return;
    std::reverse(bytes, bytes + n);
}

void flipExtentDescriptor(const std::uint8_t* raw, HFSPlusExtentDescriptor* out) {
    out->startBlock = byteorder::BE32(raw);
    out->blockCount = byteorder::BE32(raw + 4);
}

void flipExtentRecord(const std::uint8_t* raw, HFSPlusExtentDescriptor out[8]) {
    for (int i = 0; i < 8; ++i) flipExtentDescriptor(raw + 8 * i, &out[i]);
}

void flipForkData(const std::uint8_t* raw, HFSPlusForkData* out) {
    out->logicalSize = byteorder::BE64(raw);
    out->clumpSize = byteorder::BE32(raw + 8);
    out->totalBlocks = byteorder::BE32(raw + 12);
    flipExtentRecord(raw + 16, out->extents);
}

void flipVolumeHeader(const std::uint8_t* raw, HFSPlusVolumeHeader* out) {
    out->signature = byteorder::BE16(raw);
    out->version = byteorder::BE16(raw + 2);
    out->attributes = byteorder::BE32(raw + 4);
    out->lastMountedVersion = byteorder::BE32(raw + 8);
    out->journalInfoBlock = byteorder::BE32(raw + 12);
    out->createDate = byteorder::BE32(raw + 16);
    out->modifyDate = byteorder::BE32(raw + 20);
    out->backupDate = byteorder::BE32(raw + 24);
    out->checkedDate = byteorder::BE32(raw + 28);
    out->fileCount = byteorder::BE32(raw + 32);
    out->folderCount = byteorder::BE32(raw + 36);
    out->blockSize = byteorder::BE32(raw + 40);
    out->totalBlocks = byteorder::BE32(raw + 44);
    out->freeBlocks = byteorder::BE32(raw + 48);
    out->nextAllocation = byteorder::BE32(raw + 52);
    out->rsrcClumpSize = byteorder::BE32(raw + 56);
    out->dataClumpSize = byteorder::BE32(raw + 60);
    out->nextCatalogID = byteorder::BE32(raw + 64);
    out->writeCount = byteorder::BE32(raw + 68);
    out->encodingsBitmap = byteorder::BE64(raw + 72);
    for (int i = 0; i < 8; ++i) out->finderInfo[i] = byteorder::BE32(raw + 80 + 4 * i);
    flipForkData(raw + 112, &out->allocationFile);
    flipForkData(raw + 192, &out->extentsFile);
    flipForkData(raw + 272, &out->catalogFile);
    flipForkData(raw + 352, &out->attributesFile);
    flipForkData(raw + 432, &out->startupFile);
}

void flipNodeDescriptor(const std::uint8_t* raw, BTNodeDescriptor* out) {
    out->fLink = byteorder::BE32(raw);
    out->bLink = byteorder::BE32(raw + 4);
    out->kind = static_cast<std::int8_t>(raw[8]);
    out->height = raw[9];
    out->numRecords = byteorder::BE16(raw + 10);
    out->reserved = byteorder::BE16(raw + 12);
}

void flipBTHeaderRec(const std::uint8_t* raw, BTHeaderRec* out) {
    out->treeDepth = byteorder::BE16(raw);
    out->rootNode = byteorder::BE32(raw + 2);
    out->leafRecords = byteorder::BE32(raw + 6);
    out->firstLeafNode = byteorder::BE32(raw + 10);
    out->lastLeafNode = byteorder::BE32(raw + 14);
    out->nodeSize = byteorder::BE16(raw + 18);
    out->maxKeyLength = byteorder::BE16(raw + 20);
    out->totalNodes = byteorder::BE32(raw + 22);
    out->freeNodes = byteorder::BE32(raw + 26);
    out->reserved1 = byteorder::BE16(raw + 30);
    out->clumpSize = byteorder::BE32(raw + 32);
    out->btreeType = raw[36];
    out->keyCompareType = raw[37];
    out->attributes = byteorder::BE32(raw + 38);
}

void flipBSDInfo(const std::uint8_t* raw, HFSPlusBSDInfo* out) {
    out->ownerID = byteorder::BE32(raw);
    out->groupID = byteorder::BE32(raw + 4);
    out->adminFlags = raw[8];
    out->ownerFlags = raw[9];
    out->fileMode = byteorder::BE16(raw + 10);
    out->special = byteorder::BE32(raw + 12);
}

void flipFileInfo(const std::uint8_t* raw, FndrFileInfo* out) {
    out->fdType = byteorder::BE32(raw);
    out->fdCreator = byteorder::BE32(raw + 4);
    out->fdFlags = byteorder::BE16(raw + 8);
    out->fdLocationV = static_cast<std::int16_t>(byteorder::BE16(raw + 10));
    out->fdLocationH = static_cast<std::int16_t>(byteorder::BE16(raw + 12));
    out->opaque = byteorder::BE16(raw + 14);
}

void flipCatalogFolder(const std::uint8_t* raw, HFSPlusCatalogFolder* out) {
    out->flags = byteorder::BE16(raw + 2);
    out->valence = byteorder::BE32(raw + 4);
    out->folderID = byteorder::BE32(raw + 8);
    out->createDate = byteorder::BE32(raw + 12);
    out->contentModDate = byteorder::BE32(raw + 16);
    out->attributeModDate = byteorder::BE32(raw + 20);
    out->accessDate = byteorder::BE32(raw + 24);
    out->backupDate = byteorder::BE32(raw + 28);
    flipBSDInfo(raw + 32, &out->permissions);
    out->textEncoding = byteorder::BE32(raw + 80);
}

void flipCatalogFile(const std::uint8_t* raw, HFSPlusCatalogFile* out) {
    out->flags = byteorder::BE16(raw + 2);
    out->reserved1 = byteorder::BE32(raw + 4);
    out->fileID = byteorder::BE32(raw + 8);
    out->createDate = byteorder::BE32(raw + 12);
    out->contentModDate = byteorder::BE32(raw + 16);
    out->attributeModDate = byteorder::BE32(raw + 20);
    out->accessDate = byteorder::BE32(raw + 24);
    out->backupDate = byteorder::BE32(raw + 28);
    flipBSDInfo(raw + 32, &out->permissions);
    flipFileInfo(raw + 48, &out->userInfo);
    out->textEncoding = byteorder::BE32(raw + 80);
    flipForkData(raw + 88, &out->dataFork);
    flipForkData(raw + 168, &out->resourceFork);
}

namespace {
// Reads an HFSUniStr255 of which `avail` bytes are present; the length is
// clamped to the units actually present.
void ReadUniStr(const std::uint8_t* raw, std::size_t avail, HFSUniStr255* out) {
    *out = HFSUniStr255{};
    if (avail < 2) return;
    std::size_t len = byteorder::BE16(raw);
    len = std::min<std::size_t>({len, 255, (avail - 2) / 2});
    out->length = static_cast<std::uint16_t>(len);
    for (std::size_t i = 0; i < len; ++i) out->unicode[i] = byteorder::BE16(raw + 2 + 2 * i);
}
}  // namespace

void flipCatalogThread(const std::uint8_t* raw, std::size_t length, HFSPlusCatalogThread* out) {
    out->parentID = length >= 8 ? byteorder::BE32(raw + 4) : 0;
    ReadUniStr(raw + 8, length >= 8 ? length - 8 : 0, &out->nodeName);
}

void filpCatalogKey(const std::uint8_t* raw, std::size_t length, HFSPlusCatalogKey* out) {
    out->keyLength = length >= 2 ? byteorder::BE16(raw) : 0;
    out->parentID = length >= 6 ? byteorder::BE32(raw + 2) : 0;
    ReadUniStr(raw + 6, length >= 6 ? length - 6 : 0, &out->nodeName);
}

void filpExtentKey(const std::uint8_t* raw, HFSPlusExtentKey* out) {
    out->keyLength = byteorder::BE16(raw);
    out->forkType = raw[2];
    out->pad = raw[3];
    out->fileID = byteorder::BE32(raw + 4);
    out->startBlock = byteorder::BE32(raw + 8);
}

void filpAttributeKey(const std::uint8_t* raw, std::size_t length, HFSPlusAttrKey* out) {
    out->keyLength = length >= 2 ? byteorder::BE16(raw) : 0;
    out->pad = length >= 4 ? byteorder::BE16(raw + 2) : 0;
    out->fileID = length >= 8 ? byteorder::BE32(raw + 4) : 0;
    out->startBlock = length >= 12 ? byteorder::BE32(raw + 8) : 0;
    std::size_t len = length >= 14 ? byteorder::BE16(raw + 12) : 0;
    len = std::min<std::size_t>({len, 255, length >= 14 ? (length - 14) / 2 : 0});
    out->nameLength = static_cast<std::uint16_t>(len);
    for (std::size_t i = 0; i < len; ++i) out->name[i] = byteorder::BE16(raw + 14 + 2 * i);
}

void flipAttrForkData(const std::uint8_t* raw, HFSPlusAttrRecord* out) {
    out->recordType = byteorder::BE32(raw);
    flipForkData(raw + 8, &out->theFork);
}

void flipAttrExtents(const std::uint8_t* raw, HFSPlusAttrRecord* out) {
    out->recordType = byteorder::BE32(raw);
    flipExtentRecord(raw + 8, out->extents);
}

void flipAttrData(const std::uint8_t* raw, std::size_t length, HFSPlusAttrRecord* out) {
    out->recordType = length >= 4 ? byteorder::BE32(raw) : 0;
    out->attrSize = length >= 16 ? byteorder::BE32(raw + 12) : 0;
    std::size_t have = length >= 16 ? length - 16 : 0;
    std::size_t take = std::min<std::size_t>(out->attrSize, have);
    out->attrData.assign(raw + 16, raw + 16 + take);
    // A record cut short keeps only the bytes it has.
    out->attrSize = static_cast<std::uint32_t>(take);
}

void flipJournalInfoBlock(const std::uint8_t* raw, JournalInfoBlock* out) {
    out->flags = byteorder::BE32(raw);
    for (int i = 0; i < 8; ++i) out->deviceSignature[i] = byteorder::BE32(raw + 4 + 4 * i);
    out->offset = byteorder::BE64(raw + 36);
    out->size = byteorder::BE64(raw + 44);
}

// ---------------------------------------------------------------------------

namespace {
inline std::uint16_t SlashForColon(std::uint16_t c) { return c == 0x3A ? 0x2F : c; }

inline std::uint16_t FoldChar(std::uint16_t c) {
    std::uint16_t sub = gLowerCaseTable[c >> 8];
    return sub ? gLowerCaseTable[sub + (c & 0xFF)] : c;
}
}  // namespace

int FastUnicodeCompare(const std::uint16_t* s1, std::uint16_t len1, const std::uint16_t* s2,
                       std::uint16_t len2) {
    std::size_t i1 = 0, i2 = 0;
    for (;;) {
        std::uint16_t c1 = 0, c2 = 0;
        while (i1 < len1 && c1 == 0) c1 = FoldChar(s1[i1++]);
        while (i2 < len2 && c2 == 0) c2 = FoldChar(s2[i2++]);
        c1 = SlashForColon(c1);
        c2 = SlashForColon(c2);
        if (c1 != c2) return c1 < c2 ? -1 : 1;
        if (c1 == 0) return 0;
    }
}

int CatalogCompare(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b) {
    if (a->parentID != b->parentID) return a->parentID < b->parentID ? -1 : 1;
    std::size_t la = std::min<std::size_t>(a->nodeName.length, 255);
    std::size_t lb = std::min<std::size_t>(b->nodeName.length, 255);
    std::size_t n = std::min(la, lb);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint16_t ca = SlashForColon(a->nodeName.unicode[i]);
        std::uint16_t cb = SlashForColon(b->nodeName.unicode[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (la == lb) return 0;
    return la < lb ? -1 : 1;
}

int CatalogCompareCS(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b) {
    if (a->parentID != b->parentID) return a->parentID < b->parentID ? -1 : 1;
    return FastUnicodeCompare(a->nodeName.unicode, std::min<std::uint16_t>(a->nodeName.length, 255),
                              b->nodeName.unicode, std::min<std::uint16_t>(b->nodeName.length, 255));
}

void ASCIIToUnicode(const char* text, HFSUniStr255* out) {
    *out = HFSUniStr255{};
    if (!text) return;
    std::size_t n = 0;
    for (; text[n] && n < 255; ++n) {
        out->unicode[n] =
            static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<signed char>(text[n])));
    }
    out->length = static_cast<std::uint16_t>(n);
}
