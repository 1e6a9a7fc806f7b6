#include "hfsplus/HFSPlusBTree.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <unordered_set>
#include <vector>

#include "foundation/Log.h"
#include "foundation/DirectoryTree.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusQuickSearch.h"
#include "hfsplus/HFSPlusVolume.h"

// ---------------------------------------------------------------------------
// Nodes

CHFSPlusBTNode::CHFSPlusBTNode(const std::uint8_t* buffer, std::uint16_t size, int owns)
    : m_buffer(buffer), m_size(size), m_owns(owns != 0) {
    if (!IsValidNode(buffer, size)) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return;
    }
    flipNodeDescriptor(buffer, &m_descriptor);
    m_hasDescriptor = true;
}

CHFSPlusBTNode::~CHFSPlusBTNode() {
    if (m_owns) delete[] m_buffer;
}

bool CHFSPlusBTNode::IsValidNode(const std::uint8_t* buffer, std::uint16_t size) {
    if (!buffer || size < 512 || size % 512 != 0) return false;
    BTNodeDescriptor d;
    flipNodeDescriptor(buffer, &d);
    std::uint8_t kind = static_cast<std::uint8_t>(d.kind);
    if (kind >= 3 && kind <= 254) return false;
    if (kind == 0xFF && d.height != 1) return false;
    if (kind == 1 && d.height != 0) return false;
    if (byteorder::BE16(buffer + size - kBTRecordOffsetSize) != kBTNodeDescriptorSize) return false;
    // The offset table (records 1..n-1 and the free-space entry) must grow
    // strictly and never reach into itself.
    std::uint32_t previous = kBTNodeDescriptorSize;
    for (std::uint32_t k = 1; k <= d.numRecords; ++k) {
        std::int64_t pos = static_cast<std::int64_t>(size) - kBTRecordOffsetSize * (static_cast<std::int64_t>(k) + 1);
        if (pos < static_cast<std::int64_t>(kBTNodeDescriptorSize)) return false;
        std::uint32_t entry = byteorder::BE16(buffer + pos);
        if (entry <= previous || entry > static_cast<std::uint32_t>(pos)) return false;
        previous = entry;
    }
    return true;
}

std::uint16_t CHFSPlusBTNode::GetRecordCount() {
    if (!m_hasDescriptor) {
        m_status = HFS_FAIL(HFS_ERR_MISSING);
        return 0;
    }
    return m_descriptor.numRecords;
}

const std::uint8_t* CHFSPlusBTNode::GetRecord(std::uint16_t index, std::uint16_t* length) {
    if (!m_hasDescriptor) {
        m_status = HFS_FAIL(HFS_ERR_MISSING);
        return nullptr;
    }
    if (index >= m_descriptor.numRecords) {
        m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
        return nullptr;
    }
    // IsValidNode guarantees the table of numRecords + 1 entries is sane.
    std::uint16_t offset = byteorder::BE16(m_buffer + m_size - kBTRecordOffsetSize * (index + 1));
    std::uint16_t next = byteorder::BE16(m_buffer + m_size - kBTRecordOffsetSize * (index + 2));
    if (length) *length = static_cast<std::uint16_t>(next - offset);
    return m_buffer + offset;
}

int CHFSPlusBTNode::TestNodeBelongToFile() {
    if (!m_hasDescriptor) return 0;
    int note = 0;
    for (std::uint16_t i = 0; i < m_descriptor.numRecords; ++i) {
        std::uint16_t length = 0;
        const std::uint8_t* rec = GetRecord(i, &length);
        if (!rec || length < kKeyLengthSize) break;
        std::uint32_t keyLength = static_cast<std::uint32_t>(byteorder::BE16(rec)) + kKeyLengthSize;
        if (keyLength > length) break;  // the key reaches past its record
        const std::uint8_t* data = rec + keyLength;
        std::uint32_t dataLength = length - keyLength;
        std::uint16_t type = dataLength >= 2 ? byteorder::BE16(data + kCatalogRecordTypeOffset) : 0xFFFF;
        if (IsValidCatalogThread(data, static_cast<std::int16_t>(std::min<std::uint32_t>(dataLength, 0x7FFF))) ||
            (dataLength == kHFSPlusFolderRecordSize && type == kHFSPlusFolderRecord) ||
            (dataLength == kHFSPlusFileRecordSize && type == kHFSPlusFileRecord)) {
            return kHFSCatalogFileID;
        }
        // Attribute record types are 32-bit words.
        std::uint32_t attrType = dataLength >= 4 ? byteorder::BE32(data + kAttrRecordTypeOffset) : 0;
        if ((dataLength == kHFSPlusAttrForkDataSize && attrType == kHFSPlusAttrForkData) ||
            (dataLength == kHFSPlusAttrExtentsSize && attrType == kHFSPlusAttrExtents)) {
            note = kHFSAttributesFileID;
        } else if (dataLength == kHFSPlusExtentRecordSize) {
            note = kHFSExtentsFileID;
        }
    }
    return note;
}

bool IsValidCatalogThread(const std::uint8_t* data, std::int16_t length) {
    constexpr std::size_t kNameChars = kThreadNodeNameOffset + kUniStrCharsOffset;
    if (!data || length < static_cast<std::int16_t>(kNameChars)) return false;
    std::int16_t type = static_cast<std::int16_t>(byteorder::BE16(data + kCatalogRecordTypeOffset));
    if (type != kHFSPlusFolderThreadRecord && type != kHFSPlusFileThreadRecord) return false;
    std::uint32_t nameLength = byteorder::BE16(data + kThreadNodeNameOffset);
    if (nameLength > 255) return false;
    return nameLength * 2 + kNameChars == static_cast<std::uint32_t>(length);
}

bool IsValidAttrData(const std::uint8_t*, std::int16_t) { return false; }

// ---------------------------------------------------------------------------
// Tree option base

CHFSPlusBTreeOptionBase::CHFSPlusBTreeOptionBase(CHFSPlusVolume* volume, CHFSPlusRawfile* file)
    : m_volume(volume), m_file(file) {
    if (!volume || !file) {
        m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
        return;
    }
    if (HFSFailed(PreGetNodeSize(file))) return;
    m_node0 = CreateNode(0);
    if (!m_node0) return;
    std::uint16_t length = 0;
    const std::uint8_t* rec = m_node0->GetRecord(0, &length);
    if (!rec || length < kBTHeaderRecSize || m_node0->GetKind() != kBTHeaderNode) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return;
    }
    flipBTHeaderRec(rec, &m_header);
    m_hasHeader = true;
}

CHFSPlusBTreeOptionBase::~CHFSPlusBTreeOptionBase() {
    delete m_tree;
    delete m_node0;
}

void CHFSPlusBTreeOptionBase::MakeTree() {
    m_tree = new (std::nothrow) CHFSPlusBTree(m_volume, this);
    if (!m_tree) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }
    // A tree whose file could not be read still opens; it fails at its first
    // search for want of a header record.
    m_status = m_tree->GetLastError();
}

EngineResult CHFSPlusBTreeOptionBase::PreGetNodeSize(CHFSPlusRawfile* file) {
    if (!file) return m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
    std::uint8_t first[512];
    if (file->Read(0, first, sizeof first) != sizeof first) {
        return m_status = HFS_FAIL(HFS_ERR_SHORT_READ);
    }
    std::uint16_t nodeSize = byteorder::BE16(first + kBTNodeDescriptorSize + kBTHeaderNodeSizeOffset);
    // Node sizes are powers of two from 512 to 32,768 bytes.
    if (nodeSize < 512 || (nodeSize & (nodeSize - 1)) != 0) {
        m_nodeSize = 0;
        return m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
    }
    m_nodeSize = nodeSize;
    return 0;
}

CHFSPlusBTNode* CHFSPlusBTreeOptionBase::CreateNode(std::uint32_t nodeNumber) {
    if (!m_file || m_nodeSize == 0) {
        m_status = HFS_FAIL(HFS_ERR_MISSING);
        return nullptr;
    }
    std::uint8_t* buffer = new (std::nothrow) std::uint8_t[m_nodeSize];
    if (!buffer) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    std::uint64_t offset = static_cast<std::uint64_t>(nodeNumber) * m_nodeSize;
    if (m_file->Read(offset, buffer, m_nodeSize) != m_nodeSize) {
        delete[] buffer;
        m_status = HFS_FAIL(HFS_ERR_SHORT_READ);
        return nullptr;
    }
    CHFSPlusBTNode* node = new (std::nothrow) CHFSPlusBTNode(buffer, m_nodeSize, 1);
    if (!node) {
        delete[] buffer;
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    if (HFSFailed(node->GetLastError())) {
        m_status = node->GetLastError();
        delete node;
        return nullptr;
    }
    return node;
}

std::uint32_t CHFSPlusBTreeOptionBase::GetRealKeyLength(const std::uint8_t* key) {
    return static_cast<std::uint32_t>(byteorder::BE16(key)) + kKeyLengthSize;
}

const std::uint8_t* CHFSPlusBTreeOptionBase::RecordWithKey(CHFSPlusBTNode* node, std::uint16_t index,
                                                           std::uint16_t* recordLength, std::uint32_t* keyLength) {
    if (!node) {
        m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
        return nullptr;
    }
    std::uint16_t length = 0;
    const std::uint8_t* rec = node->GetRecord(index, &length);
    if (!rec) {
        m_status = HFS_PASS(node->GetLastError());
        return nullptr;
    }
    if (length < kKeyLengthSize || GetRealKeyLength(rec) > length) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    *recordLength = length;
    *keyLength = GetRealKeyLength(rec);
    return rec;
}

std::uint32_t CHFSPlusBTreeOptionBase::GetChild(CHFSPlusBTNode* node, std::uint16_t index) {
    if (!node || node->GetKind() != kBTIndexNode) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return 0;
    }
    std::uint16_t length = 0;
    std::uint32_t keyLength = 0;
    const std::uint8_t* rec = RecordWithKey(node, index, &length, &keyLength);
    if (!rec) return 0;
    if (keyLength + kBTIndexChildSize > length) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return 0;
    }
    return byteorder::BE32(rec + keyLength);
}

std::uint32_t CHFSPlusBTreeOptionBase::GetRoot() {
    if (!m_hasHeader) {
        m_status = HFS_FAIL(HFS_ERR_MISSING);
        return 0;
    }
    return m_header.rootNode;
}

EngineResult CHFSPlusBTreeOptionBase::Search(BTKey* key, HFSPlusSearchResult& result, BTRecord** record) {
    if (!m_tree) {
        result = HFSPlusSearchResult{};
        if (record) *record = nullptr;
        return m_status = HFS_FAIL(HFS_ERR_MISSING);
    }
    return m_tree->Search(key, result, record);
}

EngineResult CHFSPlusBTreeOptionBase::Traverse(IDirecotryTreeBuilder* builder,
                                               CHFSPlusQuickFileSystemSearchProgress* progress) {
    if (!m_tree) return m_status = HFS_FAIL(HFS_ERR_MISSING);
    return m_tree->Traverse(builder, progress);
}

// ---------------------------------------------------------------------------
// Generic search and traversal

CHFSPlusBTree::CHFSPlusBTree(CHFSPlusVolume* volume, IHFSPlusBTreeOption* option) : m_volume(volume), m_option(option) {
    if (!volume || !option) m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
}

EngineResult CHFSPlusBTree::OptionFailure(int line) {
    EngineResult status = m_option->GetLastError();
    // An operation that failed without saying why (a child pointer of 0 read
    // from disk) is damaged data.
    if (!HFSFailed(status)) {
        status = MakeEngineResult(ENGINE_MODULE_HFSPLUS, static_cast<std::uint16_t>(line), HFS_ERR_BAD_DATA);
    }
    return FormatError(status, __FILE__, line, "CHFSPlusBTree");
}

unsigned CHFSPlusBTree::MaxDepth() {
    const BTHeaderRec* header = m_option->GetHeaderRec();
    if (header && header->treeDepth >= 1 && header->treeDepth <= kHFSMaxTreeDepth) {
        return header->treeDepth;
    }
    return kHFSMaxTreeDepth;
}

EngineResult CHFSPlusBTree::Search(BTKey* key, HFSPlusSearchResult& result, BTRecord** record) {
    result = HFSPlusSearchResult{};
    if (record) *record = nullptr;
    if (!m_option || !key) return m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
    std::uint32_t nodeNumber = m_option->GetRoot();
    if (nodeNumber == 0) {
        // No root: an empty tree holds no key (or a tree without header).
        EngineResult status = m_option->GetLastError();
        return m_status = HFSFailed(status) ? HFS_PASS(status) : 0;
    }

    // Each level descends once; a walk longer than the tree is deep, or one
    // that meets a node again, is a damaged index.
    const unsigned maxDepth = MaxDepth();
    std::vector<std::uint32_t> visited;
    for (unsigned level = 0;; ++level) {
        if (level >= maxDepth || std::find(visited.begin(), visited.end(), nodeNumber) != visited.end()) {
            return m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        }
        visited.push_back(nodeNumber);
        std::unique_ptr<CHFSPlusBTNode> node(m_option->CreateNode(nodeNumber));
        if (!node) return m_status = OptionFailure(__LINE__);
        std::uint16_t count = node->GetRecordCount();
        std::int8_t kind = node->GetKind();
        if (kind != kBTLeafNode && kind != kBTIndexNode) return m_status = HFS_FAIL(HFS_ERR_BAD_DATA);

        // First record whose key is not less than the search key.
        std::uint16_t i = 0;
        int cmp = -1;
        for (; i < count; ++i) {
            std::unique_ptr<BTKey> recordKey(m_option->KeyRead(node.get(), i));
            if (!recordKey) return m_status = OptionFailure(__LINE__);
            cmp = m_option->Compare(recordKey.get(), key);
            if (cmp >= 0) break;
        }

        if (kind == kBTLeafNode) {
            if (i == count) return m_status = 0;  // every key is less: absent
            result.nodeNumber = nodeNumber;
            result.recordIndex = i;
            if (cmp > 0) return m_status = 0;
            if (record) {
                *record = m_option->DataRead(node.get(), i);
                if (!*record) return m_status = OptionFailure(__LINE__);
            }
            result.found = 1;
            return m_status = 0;
        }

        std::uint16_t branch;
        if (i == count) {
            if (count == 0) return m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
            branch = static_cast<std::uint16_t>(count - 1);
        } else if (cmp == 0) {
            branch = i;
        } else if (i == 0) {
            // Smaller than every key of the tree: the key does not exist.
            return m_status = 0;
        } else {
            branch = static_cast<std::uint16_t>(i - 1);
        }
        nodeNumber = m_option->GetChild(node.get(), branch);
        if (nodeNumber == 0) return m_status = OptionFailure(__LINE__);
    }
}

EngineResult CHFSPlusBTree::Traverse(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress) {
    if (!m_option) return m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
    std::uint32_t root = m_option->GetRoot();
    if (root == 0) {
        EngineResult status = m_option->GetLastError();
        return m_status = HFSFailed(status) ? HFS_PASS(status) : 0;
    }

    // Depth first, record order, with an explicit stack: a damaged index
    // must not exhaust the scan thread's stack.
    struct Frame {
        std::unique_ptr<CHFSPlusBTNode> node;
        std::uint16_t next = 0;
    };
    const unsigned maxDepth = MaxDepth();
    std::vector<Frame> stack;
    std::unordered_set<std::uint32_t> visited;

    auto enter = [&](std::uint32_t nodeNumber) -> EngineResult {
        if (progress && !progress->Continued()) return HFS_TRAVERSE_CANCELLED;
        if (stack.size() >= maxDepth || !visited.insert(nodeNumber).second) {
            return HFS_FAIL(HFS_ERR_BAD_STRUCT);
        }
        std::unique_ptr<CHFSPlusBTNode> node(m_option->CreateNode(nodeNumber));
        if (!node) return OptionFailure(__LINE__);
        std::int8_t kind = node->GetKind();
        if (kind != kBTLeafNode && kind != kBTIndexNode) return HFS_FAIL(HFS_ERR_BAD_DATA);
        if (node->GetRecordCount() == 0 || !progress) return 0;
        stack.push_back(Frame{std::move(node), 0});
        return 0;
    };

    EngineResult status = enter(root);
    while (!HFSFailed(status) && !stack.empty()) {
        Frame& frame = stack.back();
        CHFSPlusBTNode* node = frame.node.get();
        if (frame.next >= node->GetRecordCount() || !progress->Continued()) {
            stack.pop_back();
            continue;
        }
        std::uint16_t index = frame.next++;
        if (node->GetKind() == kBTIndexNode) {
            std::uint32_t child = m_option->GetChild(node, index);
            if (child == 0) {
                status = OptionFailure(__LINE__);
                break;
            }
            status = enter(child);
            continue;
        }
        // Leaf record. A damaged record is skipped: the rest of the leaf
        // still lists files.
        std::unique_ptr<BTKey> key(m_option->KeyRead(node, index));
        std::unique_ptr<BTRecord> record(key ? m_option->DataRead(node, index) : nullptr);
        if (!key || !record) continue;
        if (!builder) {
            m_option->KeyPrint(key.get());
            m_option->DataPrint(record.get());
            continue;
        }
        CHFSPlusFileNode* fileNode = CreateHFSPlusFileNode(m_volume, static_cast<HFSPlusCatalogKey*>(key.get()),
                                                           static_cast<HFSPlusCatalogRecord*>(record.get()), 0);
        if (!fileNode) continue;
        if (fileNode->GetCurrentNodeID() == -1) {
            fileNode->Release();
            continue;
        }
        progress->UpdateProgress();
        if (!builder->AddNode(fileNode, SEARCHER_HFSPLUS)) fileNode->Release();
    }
    return m_status = status;
}

// ---------------------------------------------------------------------------
// Catalog

CHFSPlusCatalog::CHFSPlusCatalog(CHFSPlusVolume* volume, CHFSPlusRawfile* file)
    : CHFSPlusBTreeOptionBase(volume, file) {
    MakeTree();
}

int CHFSPlusCatalog::CompareKey(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b, std::uint8_t keyCompareType) {
    return keyCompareType == kHFSCaseFolding ? CatalogCompareCS(a, b) : CatalogCompare(a, b);
}

int CHFSPlusCatalog::Compare(BTKey* a, BTKey* b) {
    return CompareKey(static_cast<HFSPlusCatalogKey*>(a), static_cast<HFSPlusCatalogKey*>(b), GetKeyCompareType());
}

HFSPlusCatalogKey* CHFSPlusCatalog::ReadKey(CHFSPlusBTNode* node, std::uint16_t index) {
    std::uint16_t length = 0;
    std::uint32_t keyLength = 0;
    const std::uint8_t* rec = RecordWithKey(node, index, &length, &keyLength);
    if (!rec) return nullptr;
    auto* key = new (std::nothrow) HFSPlusCatalogKey;
    if (!key) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    filpCatalogKey(rec, std::min<std::size_t>(keyLength, kHFSPlusCatalogKeyMax), key);
    return key;
}

HFSPlusCatalogRecord* CHFSPlusCatalog::ReadData(CHFSPlusBTNode* node, std::uint16_t index) {
    if (!node || node->GetKind() != kBTLeafNode) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    std::uint16_t length = 0;
    std::uint32_t keyLength = 0;
    const std::uint8_t* rec = RecordWithKey(node, index, &length, &keyLength);
    if (!rec) return nullptr;
    const std::uint8_t* data = rec + keyLength;
    std::size_t available = length - keyLength;
    if (available < 2) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    std::int16_t type = static_cast<std::int16_t>(byteorder::BE16(data + kCatalogRecordTypeOffset));
    std::size_t kept;
    switch (type) {
    case kHFSPlusFolderRecord:
        kept = kHFSPlusFolderRecordSize;
        break;
    case kHFSPlusFileRecord:
        kept = kHFSPlusFileRecordSize;
        break;
    case kHFSPlusFolderThreadRecord:
    case kHFSPlusFileThreadRecord:
        kept = kHFSPlusThreadRecordSize;
        break;
    default:
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    // The copy never reaches past the record; what is missing reads as zero.
    std::uint8_t copy[kHFSPlusThreadRecordSize] = {};
    std::size_t take = std::min(kept, available);
    std::memcpy(copy, data, take);
    auto* record = new (std::nothrow) HFSPlusCatalogRecord;
    if (!record) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    record->recordType = type;
    if (type == kHFSPlusFolderRecord) {
        flipCatalogFolder(copy, &record->folder);
    } else if (type == kHFSPlusFileRecord) {
        flipCatalogFile(copy, &record->file);
    } else {
        flipCatalogThread(copy, take, &record->thread);
    }
    return record;
}

BTRecord* CHFSPlusCatalog::CloneRecord(const BTRecord* record) { return record ? record->Clone() : nullptr; }

// ---------------------------------------------------------------------------
// Extents overflow

CHFSPlusExtents::CHFSPlusExtents(CHFSPlusVolume* volume, CHFSPlusRawfile* file)
    : CHFSPlusBTreeOptionBase(volume, file) {
    MakeTree();
}

int CHFSPlusExtents::CompareKey(const HFSPlusExtentKey* a, const HFSPlusExtentKey* b) {
    if (a->fileID != b->fileID) return a->fileID < b->fileID ? -1 : 1;
    if (a->forkType != b->forkType) return a->forkType < b->forkType ? -1 : 1;
    if (a->startBlock != b->startBlock) return a->startBlock < b->startBlock ? -1 : 1;
    return 0;
}

int CHFSPlusExtents::Compare(BTKey* a, BTKey* b) {
    return CompareKey(static_cast<HFSPlusExtentKey*>(a), static_cast<HFSPlusExtentKey*>(b));
}

HFSPlusExtentKey* CHFSPlusExtents::ReadKey(CHFSPlusBTNode* node, std::uint16_t index) {
    std::uint16_t length = 0;
    std::uint32_t keyLength = 0;
    const std::uint8_t* rec = RecordWithKey(node, index, &length, &keyLength);
    if (!rec) return nullptr;
    if (keyLength < kHFSPlusExtentKeySize) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    auto* key = new (std::nothrow) HFSPlusExtentKey;
    if (!key) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    filpExtentKey(rec, key);
    return key;
}

HFSPlusExtentsRecord* CHFSPlusExtents::ReadData(CHFSPlusBTNode* node, std::uint16_t index) {
    if (!node || node->GetKind() != kBTLeafNode) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    std::uint16_t length = 0;
    std::uint32_t keyLength = 0;
    const std::uint8_t* rec = RecordWithKey(node, index, &length, &keyLength);
    if (!rec) return nullptr;
    if (length < kHFSPlusExtentKeySize) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    std::uint8_t copy[kHFSPlusExtentRecordSize] = {};
    std::memcpy(copy, rec + kHFSPlusExtentKeySize,
                std::min<std::size_t>(kHFSPlusExtentRecordSize, length - kHFSPlusExtentKeySize));
    auto* record = new (std::nothrow) HFSPlusExtentsRecord;
    if (!record) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    flipExtentRecord(copy, record->extents);
    return record;
}

BTRecord* CHFSPlusExtents::CloneRecord(const BTRecord* record) { return record ? record->Clone() : nullptr; }

// ---------------------------------------------------------------------------
// Attributes

CHFSPlusAttribute::CHFSPlusAttribute(CHFSPlusVolume* volume, CHFSPlusRawfile* file)
    : CHFSPlusBTreeOptionBase(volume, file) {
    MakeTree();
}

int CHFSPlusAttribute::CompareKey(const HFSPlusAttrKey* a, const HFSPlusAttrKey* b) {
    if (a->fileID != b->fileID) return a->fileID < b->fileID ? -1 : 1;
    std::size_t la = std::min<std::size_t>(a->nameLength, 255);
    std::size_t lb = std::min<std::size_t>(b->nameLength, 255);
    std::size_t n = std::min(la, lb);
    for (std::size_t i = 0; i < n; ++i) {
        if (a->name[i] != b->name[i]) return a->name[i] < b->name[i] ? -1 : 1;
    }
    if (la == lb) return 0;
    return la < lb ? -1 : 1;
}

int CHFSPlusAttribute::Compare(BTKey* a, BTKey* b) {
    return CompareKey(static_cast<HFSPlusAttrKey*>(a), static_cast<HFSPlusAttrKey*>(b));
}

HFSPlusAttrKey* CHFSPlusAttribute::ReadKey(CHFSPlusBTNode* node, std::uint16_t index) {
    std::uint16_t length = 0;
    std::uint32_t keyLength = 0;
    const std::uint8_t* rec = RecordWithKey(node, index, &length, &keyLength);
    if (!rec) return nullptr;
    auto* key = new (std::nothrow) HFSPlusAttrKey;
    if (!key) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    filpAttributeKey(rec, std::min<std::size_t>(keyLength, kHFSPlusAttrKeyMax), key);
    return key;
}

HFSPlusAttrRecord* CHFSPlusAttribute::ReadData(CHFSPlusBTNode* node, std::uint16_t index) {
    if (!node || node->GetKind() != kBTLeafNode) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    std::uint16_t length = 0;
    std::uint32_t keyLength = 0;
    const std::uint8_t* rec = RecordWithKey(node, index, &length, &keyLength);
    if (!rec) return nullptr;
    const std::uint8_t* data = rec + keyLength;
    std::size_t available = length - keyLength;
    if (available < 4) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    std::uint32_t type = byteorder::BE32(data + kAttrRecordTypeOffset);
    auto* record = new (std::nothrow) HFSPlusAttrRecord;
    if (!record) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return nullptr;
    }
    if (type == kHFSPlusAttrInlineData) {
        flipAttrData(data, available, record);
    } else if (type == kHFSPlusAttrForkData || type == kHFSPlusAttrExtents) {
        std::uint8_t copy[kHFSPlusAttrForkDataSize] = {};
        std::size_t kept = type == kHFSPlusAttrForkData ? kHFSPlusAttrForkDataSize : kHFSPlusAttrExtentsSize;
        std::memcpy(copy, data, std::min(kept, available));
        if (type == kHFSPlusAttrForkData) {
            flipAttrForkData(copy, record);
        } else {
            flipAttrExtents(copy, record);
        }
    } else {
        delete record;
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return nullptr;
    }
    return record;
}

BTRecord* CHFSPlusAttribute::CloneRecord(const BTRecord* record) { return record ? record->Clone() : nullptr; }

void CHFSPlusAttribute::PrintKey(const BTKey* key) {
    if (!key) return;
    const auto* k = static_cast<const HFSPlusAttrKey*>(key);
    std::string name;
    for (std::size_t i = 0; i < std::min<std::size_t>(k->nameLength, 255); ++i) {
        char c = static_cast<char>(k->name[i] & 0xFF);
        if (c != '\r' && c != '\0') name += c;
    }
    LogDiagnostic("keyLength:%u\tfileID:%u\tstartBlock:%u\tName:%s\n", k->keyLength, k->fileID, k->startBlock,
                  name.c_str());
}
