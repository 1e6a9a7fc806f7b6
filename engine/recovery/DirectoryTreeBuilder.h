// The tree builder: links nodes that searchers find in any order under their
// parents, one tree per searcher type, and hands batches to the result sink.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "recovery/FilesystemNode.h"
#include "recovery/NodeIndex.h"

class IRecoveryFilter;
class IStorageDevice;
class CSearchedPartitionInfo;

// A new builder with no trees; replay is set when the nodes come from a saved
// scan result.
IDirecotryTreeBuilder* CreateTreeBuilder(bool replay);

// Clock and sleeper of the builder: builds are paced by wall-clock seconds and
// a tree's first batch follows its root after a pause. Tests replace both.
struct TreeBuilderTiming {
    std::function<int64_t()> now;  // seconds since 1970
    std::function<void(unsigned)> sleepSeconds;
};
TreeBuilderTiming& GetTreeBuilderTiming();
void ResetTreeBuilderTiming();

// All folder (or file) nodes recorded under one id. One word: the node
// itself, or, for the rare id recorded more than once, a list of all its
// nodes in arrival order with the word's low bit set (node and list
// pointers are aligned, so that bit is free). The id tables hold one entry
// per recorded file, so their slots stay at 16 bytes.
struct _PARENT_INFO {
    _PARENT_INFO() = default;
    _PARENT_INFO(_PARENT_INFO&& other) noexcept : m_bits(std::exchange(other.m_bits, 0)) {}
    _PARENT_INFO& operator=(_PARENT_INFO&& other) noexcept {
        if (this != &other) {
            FreeList();
            m_bits = std::exchange(other.m_bits, 0);
        }
        return *this;
    }
    ~_PARENT_INFO() { FreeList(); }

    size_t size() const { return m_bits == 0 ? 0 : IsList() ? List()->size() : 1; }
    bool empty() const { return m_bits == 0; }
    CFileNode* front() const { return at(0); }
    CFileNode* at(size_t i) const { return IsList() ? (*List())[i] : reinterpret_cast<CFileNode*>(m_bits); }
    void push(CFileNode* n);
    // Removes n; true when it was there.
    bool erase(CFileNode* n);

private:
    using NodeList = std::vector<CFileNode*>;
    bool IsList() const { return (m_bits & 1) != 0; }
    NodeList* List() const { return reinterpret_cast<NodeList*>(m_bits & ~std::uintptr_t{1}); }
    void FreeList() {
        if (IsList()) delete List();
        m_bits = 0;
    }

    std::uintptr_t m_bits = 0;
};
static_assert(sizeof(_PARENT_INFO) == sizeof(void*));

struct _DIRECTORY_TREE_INFO {
    _tagSearcherType type = SEARCHER_DEFAULT;
    // Pending nodes: recorded and not shown yet. `order` holds every recorded
    // node in arrival order; `fresh` those recorded since the last build;
    // `waiting` those whose parent folder id has not been found.
    std::vector<CFileNode*> order;
    std::vector<CFileNode*> fresh;
    treeindex::WaitIndex waiting;
    std::vector<CFileNode*> unplacedTrash;
    treeindex::IdTable<_PARENT_INFO> folders;
    treeindex::IdTable<_PARENT_INFO> files;
    // The files of a replay: a saved result has no duplicates to find, so
    // they are only held here, not filed by id.
    std::vector<CFileNode*> replayFiles;
    // Every node handed to the sink, in that order; each carries the mark
    // (CFileNode::IsHandedToSink), which is what the builder tests.
    std::vector<CFileNode*> shown;
    // Nodes kept after a final build (shown ones, and in a replay every one):
    // no longer in the maps, released with the builder.
    std::vector<CFileNode*> kept;
    std::vector<int64_t> privateDataIds;
    CFilesystemNode* root = nullptr;
    int64_t rootFolderId = 0;
    int64_t trashId = 0;
    bool trashFound = false;
    int64_t acceptedSinceBuild = 0;
    int64_t shownCount = 0;
    int64_t addedCount = 0;
    int64_t lastBuildTime = 0;
    bool rootAnnounced = false;
};

class CDirectoryTreeBuilder : public IDirecotryTreeBuilder {
public:
    static constexpr unsigned kBuildEveryNodes = 1024;
    static constexpr int64_t kBuildEverySeconds = 3;
    static constexpr int kMaxIdWalk = 1024;

    explicit CDirectoryTreeBuilder(bool replay);
    ~CDirectoryTreeBuilder() override;

    int Initialize(const char* caption, IDrirectoryTree* sink, IRecoveryFilter* filter) override;
    int AddNode(IFileNode* node, _tagSearcherType type) override;
    int AddSearcherInfo(_tagSearcherType type, int64_t rootFolderId) override;
    void FlashBuild(_tagSearcherType type) override;
    void Release() override { delete this; }
    void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override;

    // The root of a type's tree, or null.
    CFilesystemNode* GetRoot(_tagSearcherType type);
    _DIRECTORY_TREE_INFO* FindTree(_tagSearcherType type);
    const std::string& GetCaption() const { return m_caption; }

    // Among several folders recorded with one id, the one a node belongs under.
    static CFileNode* GetCorrectParent(int64_t trashId, const _PARENT_INFO& candidates, IFileNode* node);
    // 1 when the node or an ancestor has the trash id.
    static int IsTrashNode(int64_t trashId, IFileNode* node);
    // A folder with no file anywhere beneath it.
    bool IsEmptyFolder(CFileNode* node);
    int IsUserTrashFolder(_DIRECTORY_TREE_INFO& info, IFileNode* node);

private:
    struct Diverted {
        CFileNode* node;
        _tagSearcherType type;
    };

    int RecordFileNode(treeindex::IdTable<_PARENT_INFO>& map, CFileNode* node);
    int InsertToRecycleBin(CFileNode* node, _tagSearcherType type);
    void RestoreRecycleName(_tagSearcherType type);
    void RestorFileName(CFileNode* node, _tagSearcherType type);
    void DropTrashNodes(_DIRECTORY_TREE_INFO& info, int64_t folderId);
    void MarkAllDeletedFilesEx(_DIRECTORY_TREE_INFO& info);
    void BuildLostNodes(_DIRECTORY_TREE_INFO& info, std::vector<IFileNode*>& batch);
    void ReleaseNodeByFilter(_DIRECTORY_TREE_INFO& info);

    int BuildTree(_DIRECTORY_TREE_INFO& info, std::vector<IFileNode*>& batch, bool final);
    void BuildRounds(_DIRECTORY_TREE_INFO& info);
    void Place(_DIRECTORY_TREE_INFO& info, CFileNode* start, std::vector<IFileNode*>& batch);
    void Wake(_DIRECTORY_TREE_INFO& info, int64_t id, std::vector<IFileNode*>& batch);
    CFileNode* FindParent(_DIRECTORY_TREE_INFO& info, CFileNode* node);
    // Whether every folder from the node's parent up to the root is
    // recorded, existing and not a trash folder (nothing can mark the node
    // deleted later).
    bool IsUnderLiveFolders(_DIRECTORY_TREE_INFO& info, CFileNode* node);
    void CollectSubtree(_DIRECTORY_TREE_INFO& info, CFileNode* top, std::vector<IFileNode*>& batch);
    void ShowNodes(_DIRECTORY_TREE_INFO* info, std::vector<IFileNode*>& nodes, int flag);
    // Marks a node handed to the sink; false when it already was.
    static bool MarkShown(_DIRECTORY_TREE_INFO& info, CFileNode* node);
    void ReleaseResource();

    bool m_replay;
    std::vector<std::unique_ptr<_DIRECTORY_TREE_INFO>> m_trees;
    IDrirectoryTree* m_sink = nullptr;
    IRecoveryFilter* m_filter = nullptr;
    std::string m_caption = "Disk";
    std::vector<Diverted> m_recycleEntries;
    std::vector<Diverted> m_recycleFolders;
    std::vector<Diverted> m_indexFiles;
    std::vector<int64_t> m_recycleIds;
    IStorageDevice* m_device = nullptr;
    CSearchedPartitionInfo* m_partition = nullptr;
    bool m_building = false;
    std::vector<CFileNode*> m_scratch;  // reused by walks over children
    std::vector<CFileNode*> m_collect;
};
