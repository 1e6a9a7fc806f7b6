#pragma once
// The node of the trees of found files: links, shown flag, tri-state check
// mark and the packed status word. Each file system derives its node class
// from CFileNode and supplies name, size, attributes, times and type.

#include <cstdint>
#include <string>

#include "foundation/Types.h"

class IDataRunList;
class IFileReader;

class IFileNode {
public:
    virtual ~IFileNode() = default;
    virtual int IsNodeShow() const = 0;
    virtual void ShowNode(int show) = 0;
    virtual std::int64_t GetCurrentNodeID() const = 0;
    virtual std::int64_t GetParentNodeID() const = 0;
    virtual IFileNode* GetParent() = 0;
    virtual IFileNode* GetFirstChild() = 0;
    virtual IFileNode* GetNextNode() = 0;
    virtual const char* GetFileName() = 0;   // UTF-8
    virtual std::int64_t GetFileSize() = 0;  // bytes
    virtual std::uint32_t GetAttribute() = 0;
    // Times are 100 ns units since 1601-01-01; 0 means none.
    virtual std::int64_t GetCreationTime() = 0;
    virtual std::int64_t GetModificationTime() = 0;
    virtual std::int64_t GetLastAccessTime() = 0;
    virtual int IsDirectory() = 0;
    virtual int IsDeleted() = 0;
    virtual _tagCheckedStatus GetCheckedStatus() = 0;
    virtual void SetCheck(_tagCheckedStatus state) = 0;
    virtual _tagSearcherType GetSearcheType() const = 0;
    virtual const char* GetVolumeName() const = 0;
    virtual int AddChild(IFileNode* child) = 0;
    virtual int AddNext(IFileNode* node) = 0;
    virtual void SetParentNodeID(std::int64_t id) = 0;
    virtual IFileNode* Clone() = 0;
    virtual void Release() = 0;
    virtual void MarkDeleted() = 0;
    virtual IFileReader* CreateCompressFileReader(void* device) = 0;
    virtual int IsCompressed() const = 0;
    virtual void SetMetaDataSector(std::int64_t sector) = 0;
    virtual void FilterFileNameByDot() = 0;
    virtual void UpdateFileSize(std::int64_t size) = 0;
    virtual void UpdateNodeInfo() = 0;
    virtual void SetFileName(const char* name) = 0;
};

// A node that may stand as the root of a searcher's tree (a volume root).
class IFilesystemNode : public IFileNode {};

class CFileNode : public IFilesystemNode {
public:
    static constexpr std::uint64_t kInitialStatus = 0xFFFFFFFFFFFFFF10ull;
    static constexpr std::uint16_t kNoPartition = 0xFFFF;

    CFileNode() = default;
    // Copies carry their own clone of the run list, so two nodes never own
    // the same list.
    CFileNode(const CFileNode& other);
    CFileNode& operator=(const CFileNode& other);
    ~CFileNode() override;

    int IsNodeShow() const override;
    void ShowNode(int show) override;
    std::int64_t GetCurrentNodeID() const override { return m_nodeId; }
    std::int64_t GetParentNodeID() const override { return m_parentNodeId; }
    CFileNode* GetParent() override { return m_parent; }
    CFileNode* GetFirstChild() override { return m_firstChild; }
    CFileNode* GetNextNode() override { return m_nextSibling; }
    _tagCheckedStatus GetCheckedStatus() override;
    void SetCheck(_tagCheckedStatus state) override;
    _tagSearcherType GetSearcheType() const override { return SEARCHER_DEFAULT; }
    const char* GetVolumeName() const override { return nullptr; }
    int AddChild(IFileNode* child) override;
    int AddNext(IFileNode* node) override;
    void SetParentNodeID(std::int64_t id) override { m_parentNodeId = id; }
    void Release() override { delete this; }
    IFileReader* CreateCompressFileReader(void*) override { return nullptr; }
    int IsCompressed() const override { return static_cast<int>(m_compressed); }
    void SetMetaDataSector(std::int64_t sector) override;
    void UpdateFileSize(std::int64_t) override {}
    void UpdateNodeInfo() override {}
    void SetFileName(const char*) override {}
    using IFileNode::FilterFileNameByDot;

    // Hook of the duplicate test: a FAT node takes over the properties of a
    // directory entry found again under another (long) name. Does nothing
    // for other node classes.
    virtual void AdoptPropertiesFrom(const CFileNode& other);

    void SetParent(CFileNode* parent) { m_parent = parent; }
    // Unlinks a child from this node's list; 0 when it is not a child here.
    int RemoveChild(CFileNode* child);
    // 1 when `candidate` is `node` or one of its ancestors (so adding it as a
    // child of `node` would make a loop); 0 when either is null.
    static int IsLoopedToSelf(IFileNode* node, IFileNode* candidate);
    // Takes over the other node's run list and size.
    void MergeNode(CFileNode* other);

    // Same file found twice: same id, parent id, kind and name, and either
    // both folders, or an HFS+ node with equal creation time and size, or the
    // same partition index. No side effects.
    bool operator==(CFileNode& other);
    // The tree builder's duplicate test: operator==, and when the names
    // differ, lets a FAT node adopt the properties of a directory entry that
    // is no older (AdoptPropertiesFrom). Returns the equality.
    bool IsDuplicateOf(CFileNode& other);

    // The node's runs (owned by the node); null when it has none.
    IDataRunList* GetDataRunList() const { return m_dataRunList != nullptr ? m_dataRunList : LoadDataRunList(); }
    std::uint16_t GetBelongedPartition() const;
    void SetBelongedPartition(std::uint16_t index);
    std::int64_t GetMetadataStartPosition() const;
    std::uint64_t GetStatusWord() const { return m_status; }
    std::uint32_t GetShownChildrenCount() const { return m_shownChildren; }
    std::uint32_t GetCheckedChildrenSum() const { return m_checkedSum; }
    // Set by the tree builder when it hands the node to its sink: a test on
    // the node itself instead of a set of millions of pointers. Copies do
    // not take it.
    bool IsHandedToSink() const { return m_handedToSink != 0; }
    void SetHandedToSink() { m_handedToSink = 1; }

    // The name each file system's node keeps when asked to clean its leading
    // dots: the name as it is on disk, since .ssh or .config are Linux users'
    // own names (the tree builder no longer asks).
    static std::string FilterFileNameByDot(const std::string& name);

protected:
    // Nodes that keep their runs in a compact form of their own decode them
    // here on first use, into m_dataRunList, and return them. Most found
    // files are listed and never read, so the decoded list is not kept for
    // them.
    virtual IDataRunList* LoadDataRunList() const { return nullptr; }

    // Subclasses fill identity and runs directly.
    // One per found file: the 32-bit fields sit together, with no padding
    // between them (the last word is split between the compressed flag and
    // the builder's mark).
    CFileNode* m_firstChild = nullptr;
    CFileNode* m_nextSibling = nullptr;
    IDataRunList* m_dataRunList = nullptr;  // owned
    std::int64_t m_nodeId = -1;
    std::int64_t m_parentNodeId = -1;
    std::uint64_t m_status = kInitialStatus;
    CFileNode* m_parent = nullptr;
    std::uint32_t m_shownChildren = 0;
    std::uint32_t m_checkedSum = 0;
    std::uint16_t m_compressed = 0;

private:
    // Shares the last 32-bit word with m_compressed, so no node grows.
    std::uint16_t m_handedToSink = 0;

    int CheckBits() const;
    void SetCheckBits(int state);
    void SetShownBits(int show);
    // Adds `delta` to the shown-children count of each ancestor in turn, as
    // far as their shown flags change.
    static void ShowParent(CFileNode* node, int delta);
    static void SetParentStatus(CFileNode* node, int delta);
    static void SetChildStatus(CFileNode* node, int state);
};
