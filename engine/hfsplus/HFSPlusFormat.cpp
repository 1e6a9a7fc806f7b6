#include "hfsplus/HFSPlusFormat.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "foundation/Log.h"

EngineResult FormatError(EngineResult code, const char* path, int line, const char* func) {
    const char* base = path ? path : "";
    for (const char* p = base; *p; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    LogDiagnostic("Return Error:0x%" PRIx64 "\tFile:%s\tLine:%d\tFuction:%s\n", static_cast<std::uint64_t>(code), base,
                  line, func ? func : "");
    return code;
}

void flipEndian(std::uint8_t* bytes, std::size_t n) {
    if (!bytes) return;
    std::reverse(bytes, bytes + n);
}

void flipExtentDescriptor(const std::uint8_t* raw, HFSPlusExtentDescriptor* out) {
    out->startBlock = byteorder::BE32(raw + kExtentStartBlockOffset);
    out->blockCount = byteorder::BE32(raw + kExtentBlockCountOffset);
}

void flipExtentRecord(const std::uint8_t* raw, HFSPlusExtentDescriptor out[8]) {
    for (int i = 0; i < kExtentsPerRecord; ++i) flipExtentDescriptor(raw + kExtentDescriptorSize * i, &out[i]);
}

void flipForkData(const std::uint8_t* raw, HFSPlusForkData* out) {
    out->logicalSize = byteorder::BE64(raw + kForkLogicalSizeOffset);
    out->clumpSize = byteorder::BE32(raw + kForkClumpSizeOffset);
    out->totalBlocks = byteorder::BE32(raw + kForkTotalBlocksOffset);
    flipExtentRecord(raw + kForkExtentsOffset, out->extents);
}

void flipVolumeHeader(const std::uint8_t* raw, HFSPlusVolumeHeader* out) {
    out->signature = byteorder::BE16(raw + kVHSignatureOffset);
    out->version = byteorder::BE16(raw + kVHVersionOffset);
    out->attributes = byteorder::BE32(raw + kVHAttributesOffset);
    out->lastMountedVersion = byteorder::BE32(raw + kVHLastMountedOffset);
    out->journalInfoBlock = byteorder::BE32(raw + kVHJournalInfoBlockOffset);
    out->createDate = byteorder::BE32(raw + kVHCreateDateOffset);
    out->modifyDate = byteorder::BE32(raw + kVHModifyDateOffset);
    out->backupDate = byteorder::BE32(raw + kVHBackupDateOffset);
    out->checkedDate = byteorder::BE32(raw + kVHCheckedDateOffset);
    out->fileCount = byteorder::BE32(raw + kVHFileCountOffset);
    out->folderCount = byteorder::BE32(raw + kVHFolderCountOffset);
    out->blockSize = byteorder::BE32(raw + kVHBlockSizeOffset);
    out->totalBlocks = byteorder::BE32(raw + kVHTotalBlocksOffset);
    out->freeBlocks = byteorder::BE32(raw + kVHFreeBlocksOffset);
    out->nextAllocation = byteorder::BE32(raw + kVHNextAllocationOffset);
    out->rsrcClumpSize = byteorder::BE32(raw + kVHRsrcClumpSizeOffset);
    out->dataClumpSize = byteorder::BE32(raw + kVHDataClumpSizeOffset);
    out->nextCatalogID = byteorder::BE32(raw + kVHNextCatalogIDOffset);
    out->writeCount = byteorder::BE32(raw + kVHWriteCountOffset);
    out->encodingsBitmap = byteorder::BE64(raw + kVHEncodingsOffset);
    for (int i = 0; i < 8; ++i) out->finderInfo[i] = byteorder::BE32(raw + kVHFinderInfoOffset + 4 * i);
    flipForkData(raw + kVHAllocationFileOffset, &out->allocationFile);
    flipForkData(raw + kVHExtentsFileOffset, &out->extentsFile);
    flipForkData(raw + kVHCatalogFileOffset, &out->catalogFile);
    flipForkData(raw + kVHAttributesFileOffset, &out->attributesFile);
    flipForkData(raw + kVHStartupFileOffset, &out->startupFile);
}

void flipNodeDescriptor(const std::uint8_t* raw, BTNodeDescriptor* out) {
    out->fLink = byteorder::BE32(raw + kBTNodeFLinkOffset);
    out->bLink = byteorder::BE32(raw + kBTNodeBLinkOffset);
    out->kind = static_cast<std::int8_t>(raw[kBTNodeKindOffset]);
    out->height = raw[kBTNodeHeightOffset];
    out->numRecords = byteorder::BE16(raw + kBTNodeNumRecordsOffset);
    out->reserved = byteorder::BE16(raw + kBTNodeReservedOffset);
}

void flipBTHeaderRec(const std::uint8_t* raw, BTHeaderRec* out) {
    out->treeDepth = byteorder::BE16(raw + kBTHeaderTreeDepthOffset);
    out->rootNode = byteorder::BE32(raw + kBTHeaderRootNodeOffset);
    out->leafRecords = byteorder::BE32(raw + kBTHeaderLeafRecordsOffset);
    out->firstLeafNode = byteorder::BE32(raw + kBTHeaderFirstLeafOffset);
    out->lastLeafNode = byteorder::BE32(raw + kBTHeaderLastLeafOffset);
    out->nodeSize = byteorder::BE16(raw + kBTHeaderNodeSizeOffset);
    out->maxKeyLength = byteorder::BE16(raw + kBTHeaderMaxKeyLengthOffset);
    out->totalNodes = byteorder::BE32(raw + kBTHeaderTotalNodesOffset);
    out->freeNodes = byteorder::BE32(raw + kBTHeaderFreeNodesOffset);
    out->reserved1 = byteorder::BE16(raw + kBTHeaderReserved1Offset);
    out->clumpSize = byteorder::BE32(raw + kBTHeaderClumpSizeOffset);
    out->btreeType = raw[kBTHeaderBTreeTypeOffset];
    out->keyCompareType = raw[kBTHeaderKeyCompareOffset];
    out->attributes = byteorder::BE32(raw + kBTHeaderAttributesOffset);
}

void flipBSDInfo(const std::uint8_t* raw, HFSPlusBSDInfo* out) {
    out->ownerID = byteorder::BE32(raw + kBSDOwnerIDOffset);
    out->groupID = byteorder::BE32(raw + kBSDGroupIDOffset);
    out->adminFlags = raw[kBSDAdminFlagsOffset];
    out->ownerFlags = raw[kBSDOwnerFlagsOffset];
    out->fileMode = byteorder::BE16(raw + kBSDFileModeOffset);
    out->special = byteorder::BE32(raw + kBSDSpecialOffset);
}

void flipFileInfo(const std::uint8_t* raw, FndrFileInfo* out) {
    out->fdType = byteorder::BE32(raw + kFInfoTypeOffset);
    out->fdCreator = byteorder::BE32(raw + kFInfoCreatorOffset);
    out->fdFlags = byteorder::BE16(raw + kFInfoFlagsOffset);
    out->fdLocationV = static_cast<std::int16_t>(byteorder::BE16(raw + kFInfoLocationVOffset));
    out->fdLocationH = static_cast<std::int16_t>(byteorder::BE16(raw + kFInfoLocationHOffset));
    out->opaque = byteorder::BE16(raw + kFInfoOpaqueOffset);
}

namespace {
// The fields folder and file records share, at the same places.
template <typename Record>
void flipCatalogCommon(const std::uint8_t* raw, Record* out) {
    out->flags = byteorder::BE16(raw + kCatalogFlagsOffset);
    out->createDate = byteorder::BE32(raw + kCatalogCreateDateOffset);
    out->contentModDate = byteorder::BE32(raw + kCatalogContentModDateOffset);
    out->attributeModDate = byteorder::BE32(raw + kCatalogAttributeModDateOffset);
    out->accessDate = byteorder::BE32(raw + kCatalogAccessDateOffset);
    out->backupDate = byteorder::BE32(raw + kCatalogBackupDateOffset);
    flipBSDInfo(raw + kCatalogPermissionsOffset, &out->permissions);
    out->textEncoding = byteorder::BE32(raw + kCatalogTextEncodingOffset);
}
}  // namespace

void flipCatalogFolder(const std::uint8_t* raw, HFSPlusCatalogFolder* out) {
    flipCatalogCommon(raw, out);
    out->valence = byteorder::BE32(raw + kCatalogValenceOffset);
    out->folderID = byteorder::BE32(raw + kCatalogIDOffset);
}

void flipCatalogFile(const std::uint8_t* raw, HFSPlusCatalogFile* out) {
    flipCatalogCommon(raw, out);
    out->reserved1 = byteorder::BE32(raw + kCatalogReserved1Offset);
    out->fileID = byteorder::BE32(raw + kCatalogIDOffset);
    flipFileInfo(raw + kCatalogUserInfoOffset, &out->userInfo);
    flipForkData(raw + kCatalogDataForkOffset, &out->dataFork);
    flipForkData(raw + kCatalogResourceForkOffset, &out->resourceFork);
}

namespace {
// Reads an HFSUniStr255 of which `avail` bytes are present; the length is
// clamped to the units actually present.
void ReadUniStr(const std::uint8_t* raw, std::size_t avail, HFSUniStr255* out) {
    *out = HFSUniStr255{};
    if (avail < kUniStrCharsOffset) return;
    std::size_t len = byteorder::BE16(raw);
    len = std::min<std::size_t>({len, 255, (avail - kUniStrCharsOffset) / 2});
    out->length = static_cast<std::uint16_t>(len);
    for (std::size_t i = 0; i < len; ++i) out->unicode[i] = byteorder::BE16(raw + kUniStrCharsOffset + 2 * i);
}
}  // namespace

void flipCatalogThread(const std::uint8_t* raw, std::size_t length, HFSPlusCatalogThread* out) {
    const bool whole = length >= kThreadNodeNameOffset;
    out->parentID = whole ? byteorder::BE32(raw + kThreadParentIDOffset) : 0;
    ReadUniStr(raw + kThreadNodeNameOffset, whole ? length - kThreadNodeNameOffset : 0, &out->nodeName);
}

void filpCatalogKey(const std::uint8_t* raw, std::size_t length, HFSPlusCatalogKey* out) {
    const bool whole = length >= kCatalogKeyNameOffset;
    out->keyLength = length >= kKeyLengthSize ? byteorder::BE16(raw) : 0;
    out->parentID = whole ? byteorder::BE32(raw + kCatalogKeyParentIDOffset) : 0;
    ReadUniStr(raw + kCatalogKeyNameOffset, whole ? length - kCatalogKeyNameOffset : 0, &out->nodeName);
}

void filpExtentKey(const std::uint8_t* raw, HFSPlusExtentKey* out) {
    out->keyLength = byteorder::BE16(raw);
    out->forkType = raw[kExtentKeyForkTypeOffset];
    out->pad = raw[kExtentKeyPadOffset];
    out->fileID = byteorder::BE32(raw + kExtentKeyFileIDOffset);
    out->startBlock = byteorder::BE32(raw + kExtentKeyStartBlockOffset);
}

void filpAttributeKey(const std::uint8_t* raw, std::size_t length, HFSPlusAttrKey* out) {
    const byteorder::Span key(raw, length);
    out->keyLength = key.BE16Or0(0);
    out->pad = key.BE16Or0(kAttrKeyPadOffset);
    out->fileID = key.BE32Or0(kAttrKeyFileIDOffset);
    out->startBlock = key.BE32Or0(kAttrKeyStartBlockOffset);
    std::size_t len = key.BE16Or0(kAttrKeyNameLengthOffset);
    len = std::min<std::size_t>({len, 255, length >= kAttrKeyNameOffset ? (length - kAttrKeyNameOffset) / 2 : 0});
    out->nameLength = static_cast<std::uint16_t>(len);
    for (std::size_t i = 0; i < len; ++i) out->name[i] = byteorder::BE16(raw + kAttrKeyNameOffset + 2 * i);
}

void flipAttrForkData(const std::uint8_t* raw, HFSPlusAttrRecord* out) {
    out->recordType = byteorder::BE32(raw + kAttrRecordTypeOffset);
    flipForkData(raw + kAttrForkOffset, &out->theFork);
}

void flipAttrExtents(const std::uint8_t* raw, HFSPlusAttrRecord* out) {
    out->recordType = byteorder::BE32(raw + kAttrRecordTypeOffset);
    flipExtentRecord(raw + kAttrForkOffset, out->extents);
}

void flipAttrData(const std::uint8_t* raw, std::size_t length, HFSPlusAttrRecord* out) {
    const byteorder::Span record(raw, length);
    const bool whole = length >= kAttrInlineDataOffset;
    out->recordType = record.BE32Or0(kAttrRecordTypeOffset);
    out->attrSize = whole ? byteorder::BE32(raw + kAttrInlineSizeOffset) : 0;
    std::size_t have = whole ? length - kAttrInlineDataOffset : 0;
    std::size_t take = std::min<std::size_t>(out->attrSize, have);
    out->attrData.assign(raw + kAttrInlineDataOffset, raw + kAttrInlineDataOffset + take);
    // A record cut short keeps only the bytes it has.
    out->attrSize = static_cast<std::uint32_t>(take);
}

void flipJournalInfoBlock(const std::uint8_t* raw, JournalInfoBlock* out) {
    out->flags = byteorder::BE32(raw + kJIBFlagsOffset);
    for (int i = 0; i < 8; ++i) out->deviceSignature[i] = byteorder::BE32(raw + kJIBDeviceSignatureOffset + 4 * i);
    out->offset = byteorder::BE64(raw + kJIBOffsetOffset);
    out->size = byteorder::BE64(raw + kJIBSizeOffset);
}

// ---------------------------------------------------------------------------

namespace {
inline std::uint16_t SlashForColon(std::uint16_t c) { return c == 0x3A ? 0x2F : c; }

inline std::uint16_t FoldChar(std::uint16_t c) {
    std::uint16_t sub = gLowerCaseTable[c >> 8];
    return sub ? gLowerCaseTable[sub + (c & 0xFF)] : c;
}
}  // namespace

int FastUnicodeCompare(const std::uint16_t* s1, std::uint16_t len1, const std::uint16_t* s2, std::uint16_t len2) {
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
        out->unicode[n] = static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<signed char>(text[n])));
    }
    out->length = static_cast<std::uint16_t>(n);
}
