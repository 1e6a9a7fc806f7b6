#pragma once
// B-tree nodes, the generic search and traversal, and the three tree kinds of
// an HFS+ volume (catalog, extents overflow, attributes).

#include <cstdint>

#include "hfsplus/HFSPlusFormat.h"

class CHFSPlusVolume;
class CHFSPlusRawfile;
class CHFSPlusBTree;
class CHFSPlusQuickFileSystemSearchProgress;
class IDirecotryTreeBuilder;

// Deepest tree we follow, whatever the header says. Real HFS+ trees are a
// few levels deep; a longer chain means the index points back on itself.
constexpr unsigned kHFSMaxTreeDepth = 16;

struct HFSPlusSearchResult {
    std::uint32_t nodeNumber = 0;
    std::uint16_t recordIndex = 0;
    std::uint8_t found = 0;
};

// One B-tree node. The buffer stays in on-disk order; records are copied out
// and converted by the tree kinds.
class CHFSPlusBTNode {
public:
    // `owns` non-zero: the node frees the buffer (allocated with new[]).
    CHFSPlusBTNode(const std::uint8_t* buffer, std::uint16_t size, int owns);
    ~CHFSPlusBTNode();
    CHFSPlusBTNode(const CHFSPlusBTNode&) = delete;
    CHFSPlusBTNode& operator=(const CHFSPlusBTNode&) = delete;

    static bool IsValidNode(const std::uint8_t* buffer, std::uint16_t size);

    std::uint16_t GetRecordCount();
    // Address of record `index` inside the buffer; its length (next offset -
    // this offset) in *length when asked. Null for an index out of range.
    const std::uint8_t* GetRecord(std::uint16_t index, std::uint16_t* length);
    // Guess of the special file a leaf belongs to: 4, 8, 3 or 0.
    int TestNodeBelongToFile();

    const BTNodeDescriptor* GetDescriptor() const { return m_hasDescriptor ? &m_descriptor : nullptr; }
    std::int8_t GetKind() const { return m_hasDescriptor ? m_descriptor.kind : 0x7F; }
    const std::uint8_t* GetBuffer() const { return m_buffer; }
    std::uint16_t GetSize() const { return m_size; }
    EngineResult GetLastError() const { return m_status; }

private:
    const std::uint8_t* m_buffer = nullptr;
    std::uint16_t m_size = 0;
    bool m_owns = false;
    EngineResult m_status = 0;
    bool m_hasDescriptor = false;
    BTNodeDescriptor m_descriptor;
};

// Valid catalog thread record of `length` bytes.
bool IsValidCatalogThread(const std::uint8_t* data, std::int16_t length);
// Never answers true: inline attribute data has no shape that can be tested.
bool IsValidAttrData(const std::uint8_t* data, std::int16_t length);

// The operations one tree kind supplies to the generic search and traversal.
class IHFSPlusBTreeOption {
public:
    virtual int Compare(BTKey* a, BTKey* b) = 0;
    virtual BTKey* KeyRead(CHFSPlusBTNode* node, std::uint16_t index) = 0;
    virtual void KeyPrint(const BTKey* key) = 0;
    virtual BTRecord* DataRead(CHFSPlusBTNode* node, std::uint16_t index) = 0;
    virtual void DataPrint(const BTRecord* record) = 0;
    virtual std::uint32_t GetChild(CHFSPlusBTNode* node, std::uint16_t index) = 0;
    virtual std::uint32_t GetRoot() = 0;
    virtual CHFSPlusBTNode* CreateNode(std::uint32_t nodeNumber) = 0;
    virtual EngineResult GetLastError() = 0;
    virtual const BTHeaderRec* GetHeaderRec() = 0;

protected:
    ~IHFSPlusBTreeOption() = default;
};

class CHFSPlusBTreeOptionBase : public IHFSPlusBTreeOption {
public:
    CHFSPlusBTreeOptionBase(CHFSPlusVolume* volume, CHFSPlusRawfile* file);
    virtual ~CHFSPlusBTreeOptionBase();

    EngineResult PreGetNodeSize(CHFSPlusRawfile* file);
    CHFSPlusBTNode* CreateNode(std::uint32_t nodeNumber) override;
    static std::uint32_t GetRealKeyLength(const std::uint8_t* key);
    std::uint32_t GetChild(CHFSPlusBTNode* node, std::uint16_t index) override;
    std::uint32_t GetRoot() override;
    EngineResult GetLastError() override { return m_status; }
    const BTHeaderRec* GetHeaderRec() override { return m_hasHeader ? &m_header : nullptr; }

    EngineResult Search(BTKey* key, HFSPlusSearchResult& result, BTRecord** record);
    EngineResult Traverse(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress);

    std::uint16_t GetNodeSize() const { return m_nodeSize; }
    CHFSPlusRawfile* GetFile() const { return m_file; }
    CHFSPlusVolume* GetVolume() const { return m_volume; }

protected:
    // Makes the tree object; called by each subclass once it is complete.
    void MakeTree();
    // Record `index` of a leaf or index node with its key bounded by the
    // record: the record's bytes and length, and the key's real length.
    const std::uint8_t* RecordWithKey(CHFSPlusBTNode* node, std::uint16_t index, std::uint16_t* recordLength,
                                      std::uint32_t* keyLength);

    CHFSPlusVolume* m_volume = nullptr;
    CHFSPlusRawfile* m_file = nullptr;
    EngineResult m_status = 0;
    std::uint16_t m_nodeSize = 0;
    CHFSPlusBTNode* m_node0 = nullptr;
    bool m_hasHeader = false;
    BTHeaderRec m_header;
    CHFSPlusBTree* m_tree = nullptr;
};

class CHFSPlusBTree {
public:
    CHFSPlusBTree(CHFSPlusVolume* volume, IHFSPlusBTreeOption* option);
    EngineResult Search(BTKey* key, HFSPlusSearchResult& result, BTRecord** record);
    EngineResult Traverse(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress);
    EngineResult GetLastError() const { return m_status; }

private:
    // Levels a walk may descend: the header's depth when it is sane, else the
    // hard cap.
    unsigned MaxDepth();
    // The option's failure, passed upwards (a failure without a code of its
    // own becomes 0x6).
    EngineResult OptionFailure(int line);

    CHFSPlusVolume* m_volume = nullptr;
    IHFSPlusBTreeOption* m_option = nullptr;
    EngineResult m_status = 0;
};

class CHFSPlusCatalog : public CHFSPlusBTreeOptionBase {
public:
    CHFSPlusCatalog(CHFSPlusVolume* volume, CHFSPlusRawfile* file);
    int Compare(BTKey* a, BTKey* b) override;
    BTKey* KeyRead(CHFSPlusBTNode* node, std::uint16_t index) override { return ReadKey(node, index); }
    void KeyPrint(const BTKey*) override {}
    BTRecord* DataRead(CHFSPlusBTNode* node, std::uint16_t index) override { return ReadData(node, index); }
    void DataPrint(const BTRecord*) override {}

    HFSPlusCatalogKey* ReadKey(CHFSPlusBTNode* node, std::uint16_t index);
    HFSPlusCatalogRecord* ReadData(CHFSPlusBTNode* node, std::uint16_t index);
    static BTRecord* CloneRecord(const BTRecord* record);
    static int CompareKey(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b, std::uint8_t keyCompareType);
    std::uint8_t GetKeyCompareType() const { return m_hasHeader ? m_header.keyCompareType : 0; }
};

class CHFSPlusExtents : public CHFSPlusBTreeOptionBase {
public:
    CHFSPlusExtents(CHFSPlusVolume* volume, CHFSPlusRawfile* file);
    int Compare(BTKey* a, BTKey* b) override;
    BTKey* KeyRead(CHFSPlusBTNode* node, std::uint16_t index) override { return ReadKey(node, index); }
    void KeyPrint(const BTKey*) override {}
    BTRecord* DataRead(CHFSPlusBTNode* node, std::uint16_t index) override { return ReadData(node, index); }
    void DataPrint(const BTRecord*) override {}

    HFSPlusExtentKey* ReadKey(CHFSPlusBTNode* node, std::uint16_t index);
    HFSPlusExtentsRecord* ReadData(CHFSPlusBTNode* node, std::uint16_t index);
    static BTRecord* CloneRecord(const BTRecord* record);
    static int CompareKey(const HFSPlusExtentKey* a, const HFSPlusExtentKey* b);
};

class CHFSPlusAttribute : public CHFSPlusBTreeOptionBase {
public:
    CHFSPlusAttribute(CHFSPlusVolume* volume, CHFSPlusRawfile* file);
    int Compare(BTKey* a, BTKey* b) override;
    BTKey* KeyRead(CHFSPlusBTNode* node, std::uint16_t index) override { return ReadKey(node, index); }
    void KeyPrint(const BTKey* key) override { PrintKey(key); }
    BTRecord* DataRead(CHFSPlusBTNode* node, std::uint16_t index) override { return ReadData(node, index); }
    void DataPrint(const BTRecord*) override {}

    HFSPlusAttrKey* ReadKey(CHFSPlusBTNode* node, std::uint16_t index);
    HFSPlusAttrRecord* ReadData(CHFSPlusBTNode* node, std::uint16_t index);
    static BTRecord* CloneRecord(const BTRecord* record);
    static int CompareKey(const HFSPlusAttrKey* a, const HFSPlusAttrKey* b);
    static void PrintKey(const BTKey* key);
};
