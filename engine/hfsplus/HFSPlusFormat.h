#pragma once
// On-disk records of HFS+ / HFSX volumes (Apple TN1150), in host order.
//
// Every multi-byte field on disk is big-endian. Records are never used in
// place: a record is copied out of its node buffer and converted field by
// field by one of the flip* routines below, which read the raw bytes (through
// foundation/ByteOrder.h) and fill the host-order structure. Nothing here is
// laid over disk bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/EngineResult.h"
#include "hfsplus/HFSPlusLayout.h"

// ---------------------------------------------------------------------------
// Status words and failures of the HFS+ library.

// Error numbers (low 32 bits of an HFS+ failure).
constexpr std::uint32_t HFS_ERR_MISSING = 0x2;       // a needed part is missing
constexpr std::uint32_t HFS_ERR_TREE_ID = 0x3;       // unknown tree identifier
constexpr std::uint32_t HFS_ERR_ALLOC = 0x4;         // an allocation failed
constexpr std::uint32_t HFS_ERR_NULL_ARG = 0x5;      // a required argument is null
constexpr std::uint32_t HFS_ERR_BAD_DATA = 0x6;      // on-disk data of an unexpected shape
constexpr std::uint32_t HFS_ERR_CANCELLED = 0xD;     // the user stopped the operation
constexpr std::uint32_t HFS_ERR_SHORT_READ = 0xE;    // a read returned fewer bytes
constexpr std::uint32_t HFS_ERR_BAD_STRUCT = 0x501;  // bad structure or failed device read

// The traversal's cancel code, as callers compare it.
constexpr EngineResult HFS_TRAVERSE_CANCELLED = 0x10500A30000000DULL;
// The volume's search without a volume header.
constexpr EngineResult HFS_SEARCH_NO_HEADER = 0x105007A00000005ULL;

// Prints "Return Error:0x<code>\tFile:<base name>\tLine:<line>\tFuction:<func>"
// to standard output and returns the code unchanged.
EngineResult FormatError(EngineResult code, const char* path, int line, const char* func);

// A failure of the HFS+ module stamped with the current line, printed.
#define HFS_FAIL(error)                                                                                           \
    FormatError(MakeEngineResult(ENGINE_MODULE_HFSPLUS, static_cast<std::uint16_t>(__LINE__), (error)), __FILE__, \
                __LINE__, __func__)
// Hands an existing failure upwards, printing one more line.
#define HFS_PASS(code) FormatError((code), __FILE__, __LINE__, __func__)

inline bool HFSFailed(EngineResult r) { return IsEngineFailure(r); }
inline std::uint32_t HFSErrorNumber(EngineResult r) { return EngineResultError(r); }

// ---------------------------------------------------------------------------
// Special files and signatures.

constexpr std::uint16_t kHFSPlusSigWord = 0x482B;  // "H+"
constexpr std::uint16_t kHFSXSigWord = 0x4858;     // "HX"
constexpr std::uint32_t kHFSVolumeJournaledMask = 0x2000;

constexpr std::uint32_t kHFSRootParentID = 1;
constexpr std::uint32_t kHFSRootFolderID = 2;
constexpr std::uint32_t kHFSExtentsFileID = 3;
constexpr std::uint32_t kHFSCatalogFileID = 4;
constexpr std::uint32_t kHFSBadBlockFileID = 5;
constexpr std::uint32_t kHFSAllocationFileID = 6;
constexpr std::uint32_t kHFSStartupFileID = 7;
constexpr std::uint32_t kHFSAttributesFileID = 8;

constexpr std::uint8_t kHFSCaseFolding = 0xCF;
constexpr std::uint8_t kHFSBinaryCompare = 0xBC;

constexpr std::uint8_t kHFSDataForkType = 0x00;
constexpr std::uint8_t kHFSResourceForkType = 0xFF;

// Catalog record types.
constexpr std::int16_t kHFSPlusFolderRecord = 1;
constexpr std::int16_t kHFSPlusFileRecord = 2;
constexpr std::int16_t kHFSPlusFolderThreadRecord = 3;
constexpr std::int16_t kHFSPlusFileThreadRecord = 4;

// Attribute record types.
constexpr std::uint32_t kHFSPlusAttrInlineData = 0x10;
constexpr std::uint32_t kHFSPlusAttrForkData = 0x20;
constexpr std::uint32_t kHFSPlusAttrExtents = 0x30;

// B-tree node kinds.
constexpr std::int8_t kBTLeafNode = -1;
constexpr std::int8_t kBTIndexNode = 0;
constexpr std::int8_t kBTHeaderNode = 1;
constexpr std::int8_t kBTMapNode = 2;

// Kept sizes of records and keys.
constexpr std::size_t kHFSPlusVolumeHeaderSize = 512;
constexpr std::size_t kHFSPlusForkDataSize = 80;
constexpr std::size_t kBTNodeDescriptorSize = 14;
constexpr std::size_t kBTHeaderRecSize = 106;
constexpr std::size_t kHFSPlusCatalogKeyMax = 518;
constexpr std::size_t kHFSPlusExtentKeySize = 12;
constexpr std::size_t kHFSPlusAttrKeyMax = 524;
constexpr std::size_t kHFSPlusFolderRecordSize = 88;
constexpr std::size_t kHFSPlusFileRecordSize = 248;
constexpr std::size_t kHFSPlusThreadRecordSize = 520;
constexpr std::size_t kHFSPlusExtentRecordSize = 64;
constexpr std::size_t kHFSPlusAttrForkDataSize = 88;
constexpr std::size_t kHFSPlusAttrExtentsSize = 72;
constexpr std::size_t kJournalInfoBlockSize = 180;

// ---------------------------------------------------------------------------
// Records (host order).

struct HFSPlusExtentDescriptor {
    std::uint32_t startBlock = 0;
    std::uint32_t blockCount = 0;
};
using HFSPlusExtentRecord = HFSPlusExtentDescriptor[8];

struct HFSPlusForkData {
    std::uint64_t logicalSize = 0;
    std::uint32_t clumpSize = 0;
    std::uint32_t totalBlocks = 0;
    HFSPlusExtentDescriptor extents[8];
};

struct HFSUniStr255 {
    std::uint16_t length = 0;
    std::uint16_t unicode[255] = {};
};

struct HFSPlusVolumeHeader {
    std::uint16_t signature = 0;
    std::uint16_t version = 0;
    std::uint32_t attributes = 0;
    std::uint32_t lastMountedVersion = 0;
    std::uint32_t journalInfoBlock = 0;
    std::uint32_t createDate = 0;
    std::uint32_t modifyDate = 0;
    std::uint32_t backupDate = 0;
    std::uint32_t checkedDate = 0;
    std::uint32_t fileCount = 0;
    std::uint32_t folderCount = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t totalBlocks = 0;
    std::uint32_t freeBlocks = 0;
    std::uint32_t nextAllocation = 0;
    std::uint32_t rsrcClumpSize = 0;
    std::uint32_t dataClumpSize = 0;
    std::uint32_t nextCatalogID = 0;
    std::uint32_t writeCount = 0;
    std::uint64_t encodingsBitmap = 0;
    std::uint32_t finderInfo[8] = {};
    HFSPlusForkData allocationFile;
    HFSPlusForkData extentsFile;
    HFSPlusForkData catalogFile;
    HFSPlusForkData attributesFile;
    HFSPlusForkData startupFile;
};

struct BTNodeDescriptor {
    std::uint32_t fLink = 0;
    std::uint32_t bLink = 0;
    std::int8_t kind = 0;
    std::uint8_t height = 0;
    std::uint16_t numRecords = 0;
    std::uint16_t reserved = 0;
};

struct BTHeaderRec {
    std::uint16_t treeDepth = 0;
    std::uint32_t rootNode = 0;
    std::uint32_t leafRecords = 0;
    std::uint32_t firstLeafNode = 0;
    std::uint32_t lastLeafNode = 0;
    std::uint16_t nodeSize = 0;
    std::uint16_t maxKeyLength = 0;
    std::uint32_t totalNodes = 0;
    std::uint32_t freeNodes = 0;
    std::uint16_t reserved1 = 0;
    std::uint32_t clumpSize = 0;
    std::uint8_t btreeType = 0;
    std::uint8_t keyCompareType = 0;
    std::uint32_t attributes = 0;
};

// Keys of the three trees. A BTKey is whichever key its tree uses; the tree
// that made it knows the concrete type.
struct BTKey {
    std::uint16_t keyLength = 0;
    virtual ~BTKey() = default;
};

struct HFSPlusCatalogKey : BTKey {
    std::uint32_t parentID = 0;
    HFSUniStr255 nodeName;
};

struct HFSPlusExtentKey : BTKey {
    std::uint8_t forkType = 0;
    std::uint8_t pad = 0;
    std::uint32_t fileID = 0;
    std::uint32_t startBlock = 0;
};

struct HFSPlusAttrKey : BTKey {
    std::uint16_t pad = 0;
    std::uint32_t fileID = 0;
    std::uint32_t startBlock = 0;
    std::uint16_t nameLength = 0;
    std::uint16_t name[255] = {};
};

// Records of the three trees: a BTRecord is whichever record its tree holds.
struct BTRecord {
    virtual ~BTRecord() = default;
    virtual BTRecord* Clone() const = 0;
};

struct HFSPlusBSDInfo {
    std::uint32_t ownerID = 0;
    std::uint32_t groupID = 0;
    std::uint8_t adminFlags = 0;
    std::uint8_t ownerFlags = 0;
    std::uint16_t fileMode = 0;
    std::uint32_t special = 0;
};

struct FndrFileInfo {
    std::uint32_t fdType = 0;
    std::uint32_t fdCreator = 0;
    std::uint16_t fdFlags = 0;
    std::int16_t fdLocationV = 0;
    std::int16_t fdLocationH = 0;
    std::uint16_t opaque = 0;
};

struct HFSPlusCatalogFolder {
    std::uint16_t flags = 0;
    std::uint32_t valence = 0;
    std::uint32_t folderID = 0;
    std::uint32_t createDate = 0;
    std::uint32_t contentModDate = 0;
    std::uint32_t attributeModDate = 0;
    std::uint32_t accessDate = 0;
    std::uint32_t backupDate = 0;
    HFSPlusBSDInfo permissions;
    std::uint32_t textEncoding = 0;
};

struct HFSPlusCatalogFile {
    std::uint16_t flags = 0;
    std::uint32_t reserved1 = 0;
    std::uint32_t fileID = 0;
    std::uint32_t createDate = 0;
    std::uint32_t contentModDate = 0;
    std::uint32_t attributeModDate = 0;
    std::uint32_t accessDate = 0;
    std::uint32_t backupDate = 0;
    HFSPlusBSDInfo permissions;
    FndrFileInfo userInfo;
    std::uint32_t textEncoding = 0;
    HFSPlusForkData dataFork;
    HFSPlusForkData resourceFork;
};

struct HFSPlusCatalogThread {
    std::uint32_t parentID = 0;
    HFSUniStr255 nodeName;
};

struct HFSPlusCatalogRecord : BTRecord {
    std::int16_t recordType = 0;
    HFSPlusCatalogFolder folder;  // recordType 1
    HFSPlusCatalogFile file;      // recordType 2
    HFSPlusCatalogThread thread;  // recordType 3 and 4
    BTRecord* Clone() const override { return new (std::nothrow) HFSPlusCatalogRecord(*this); }
    // The catalog node ID the record describes (folderID or fileID); 0 for threads.
    std::uint32_t CatalogID() const {
        if (recordType == kHFSPlusFolderRecord) return folder.folderID;
        if (recordType == kHFSPlusFileRecord) return file.fileID;
        return 0;
    }
};

struct HFSPlusExtentsRecord : BTRecord {
    HFSPlusExtentDescriptor extents[8];
    BTRecord* Clone() const override { return new (std::nothrow) HFSPlusExtentsRecord(*this); }
};

struct HFSPlusAttrRecord : BTRecord {
    std::uint32_t recordType = 0;
    // 0x10 inline data
    std::uint32_t attrSize = 0;
    std::vector<std::uint8_t> attrData;
    // 0x20 fork data
    HFSPlusForkData theFork;
    // 0x30 extents
    HFSPlusExtentDescriptor extents[8];
    BTRecord* Clone() const override { return new (std::nothrow) HFSPlusAttrRecord(*this); }
};

struct JournalInfoBlock {
    std::uint32_t flags = 0;
    std::uint32_t deviceSignature[8] = {};
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// ---------------------------------------------------------------------------
// Converters: each reads its record's on-disk (big-endian) bytes from `raw`
// and fills the host-order structure. The caller guarantees that `raw` holds
// the record's full on-disk size.

void flipEndian(std::uint8_t* bytes, std::size_t n);
void flipExtentDescriptor(const std::uint8_t* raw, HFSPlusExtentDescriptor* out);
void flipExtentRecord(const std::uint8_t* raw, HFSPlusExtentDescriptor out[8]);
void flipForkData(const std::uint8_t* raw, HFSPlusForkData* out);
void flipVolumeHeader(const std::uint8_t* raw, HFSPlusVolumeHeader* out);
void flipNodeDescriptor(const std::uint8_t* raw, BTNodeDescriptor* out);
void flipBTHeaderRec(const std::uint8_t* raw, BTHeaderRec* out);
void flipBSDInfo(const std::uint8_t* raw, HFSPlusBSDInfo* out);
void flipFileInfo(const std::uint8_t* raw, FndrFileInfo* out);
void flipCatalogFolder(const std::uint8_t* raw, HFSPlusCatalogFolder* out);
void flipCatalogFile(const std::uint8_t* raw, HFSPlusCatalogFile* out);
// `length` bytes of the thread record are present (at least 10).
void flipCatalogThread(const std::uint8_t* raw, std::size_t length, HFSPlusCatalogThread* out);
// Keys: `length` bytes of the key are present (keyLength + 2, already bounded).
void filpCatalogKey(const std::uint8_t* raw, std::size_t length, HFSPlusCatalogKey* out);
void filpExtentKey(const std::uint8_t* raw, HFSPlusExtentKey* out);
void filpAttributeKey(const std::uint8_t* raw, std::size_t length, HFSPlusAttrKey* out);
void flipAttrForkData(const std::uint8_t* raw, HFSPlusAttrRecord* out);
void flipAttrExtents(const std::uint8_t* raw, HFSPlusAttrRecord* out);
// Inline attribute data: `length` bytes of the record are present.
void flipAttrData(const std::uint8_t* raw, std::size_t length, HFSPlusAttrRecord* out);
void flipJournalInfoBlock(const std::uint8_t* raw, JournalInfoBlock* out);

// The HFS+ case-folding table of TN1150: 256 high-byte entries, then
// 256-entry sub-tables; ignorable characters map to 0, U+0000 to 0xFFFF.
extern const std::uint16_t gLowerCaseTable[];
extern const std::size_t gLowerCaseTableSize;

// The HFS+ case-insensitive comparison (TN1150) with ':' read as '/' after
// folding. Returns -1, 0 or 1.
int FastUnicodeCompare(const std::uint16_t* s1, std::uint16_t len1, const std::uint16_t* s2, std::uint16_t len2);
// Catalog key orders: binary (':' read as '/') and case-folding.
int CatalogCompare(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b);
int CatalogCompareCS(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b);

// Each byte of `text` widened (sign-extended) to one unit; length = byte count
// (at most 255).
void ASCIIToUnicode(const char* text, HFSUniStr255* out);

// True for a power of two from 512 up (allocation block sizes we can use).
inline bool IsUsableBlockSize(std::uint32_t blockSize) {
    return blockSize >= 512 && (blockSize & (blockSize - 1)) == 0;
}
