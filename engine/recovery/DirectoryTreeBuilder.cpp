#include "recovery/DirectoryTreeBuilder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <thread>
#include <algorithm>
#include <ctime>
#include <unordered_set>

#include "foundation/Log.h"
#include "foundation/SearchedPartitionInfo.h"
#include "recovery/RecoveryFilter.h"
#include "recovery/RecyclerFilter.h"

namespace {

TreeBuilderTiming DefaultTiming() {
    return TreeBuilderTiming{
        [] { return static_cast<int64_t>(std::time(nullptr)); },
        [](unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); },
    };
}

int64_t Now() {
    auto& t = GetTreeBuilderTiming();
    return t.now ? t.now() : static_cast<int64_t>(std::time(nullptr));
}

void SleepSeconds(unsigned seconds) {
    auto& t = GetTreeBuilderTiming();
    if (t.sleepSeconds) t.sleepSeconds(seconds);
}

const char* RootSuffix(_tagSearcherType type) {
    switch (type) {
    case SEARCHER_HFSPLUS:
        return "(HFS+)";
    case SEARCHER_FAT:
        return "(FAT/FAT32)";
    case SEARCHER_EXFAT:
        return "(ExFat)";
    case SEARCHER_RAW:
        return "(RAW Files)";
    case SEARCHER_NTFS:
        return "(NTFS)";
    case SEARCHER_RAW_TAG:
        return "(Label RAW Files)";
    case SEARCHER_APFS:
        return "(APFS)";
    default:
        return "";
    }
}

bool IsTrashName(const char* name) {
    return name != nullptr && (std::strcmp(name, ".Trashes") == 0 || std::strcmp(name, ".Trash") == 0);
}

// The clutter macOS leaves on every volume it writes to: AppleDouble files
// ("._name", a file's resource fork and Finder data kept beside it on file
// systems without extended attributes) and a folder's Finder view settings
// (".DS_Store"). They are no user's data. Every other leading dot is part of
// a name: on Linux .ssh, .config and .bashrc are the user's own files.
bool IsMacMetadataFile(const char* name) {
    return std::strncmp(name, "._", 2) == 0 || strcasecmp(name, ".DS_Store") == 0;
}

// An HFS+ volume's journal lives in two files of its root folder, made and
// used by the file system itself; they hold no user's data.
bool IsHfsJournalFile(const char* name) {
    return std::strcmp(name, ".journal") == 0 || std::strcmp(name, ".journal_info_block") == 0;
}

// A folder's links to itself and to its parent carry these names on disk;
// they are no nodes of their own.
bool IsFolderLinkName(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

constexpr const char* kPrivateDataName = "HFS+ Private Data";
constexpr const char* kLostFilesName = "Other lost files";
constexpr const char* kLostFilesVolume = "LostFiles";

// Unlinks child from parent without losing the child's own subtree (RemoveChild
// also clears the removed node's first-child link).
void DetachKeepingSubtree(CFileNode* parent, CFileNode* child) {
    std::vector<CFileNode*> grandchildren;
    for (CFileNode* g = child->GetFirstChild(); g != nullptr; g = g->GetNextNode()) grandchildren.push_back(g);
    parent->RemoveChild(child);
    // AddChild puts each new child first: add in reverse to keep the order.
    for (auto it = grandchildren.rbegin(); it != grandchildren.rend(); ++it) child->AddChild(*it);
}

}  // namespace

TreeBuilderTiming& GetTreeBuilderTiming() {
    static TreeBuilderTiming timing = DefaultTiming();
    return timing;
}

void ResetTreeBuilderTiming() { GetTreeBuilderTiming() = DefaultTiming(); }

void _PARENT_INFO::push(CFileNode* n) {
    if (m_bits == 0) {
        m_bits = reinterpret_cast<std::uintptr_t>(n);
        return;
    }
    if (!IsList()) {
        auto* list = new NodeList{reinterpret_cast<CFileNode*>(m_bits)};
        m_bits = reinterpret_cast<std::uintptr_t>(list) | 1;
    }
    List()->push_back(n);
}

bool _PARENT_INFO::erase(CFileNode* n) {
    if (!IsList()) {
        if (m_bits == 0 || reinterpret_cast<CFileNode*>(m_bits) != n) return false;
        m_bits = 0;
        return true;
    }
    NodeList* list = List();
    for (auto it = list->begin(); it != list->end(); ++it) {
        if (*it != n) continue;
        list->erase(it);
        // Back to one word when one node is left.
        if (list->size() == 1) {
            CFileNode* last = list->front();
            delete list;
            m_bits = reinterpret_cast<std::uintptr_t>(last);
        }
        return true;
    }
    return false;
}

IDirecotryTreeBuilder* CreateTreeBuilder(bool replay) { return new CDirectoryTreeBuilder(replay); }

CDirectoryTreeBuilder::CDirectoryTreeBuilder(bool replay) : m_replay(replay) {}

CDirectoryTreeBuilder::~CDirectoryTreeBuilder() { ReleaseResource(); }

void CDirectoryTreeBuilder::ReleaseResource() {
    // Every node the builder owns sits in exactly one place: a map entry
    // (recorded, before its tree's final build), a tree's kept list (after
    // it), a recycle-bin list (diverted, not yet re-added), or is a root.
    for (auto& tree : m_trees) {
        auto releaseEntry = [](int64_t, _PARENT_INFO& entry) {
            for (size_t i = 0; i < entry.size(); ++i) entry.at(i)->Release();
            entry = _PARENT_INFO();
        };
        tree->folders.ForEach(releaseEntry);
        tree->files.ForEach(releaseEntry);
        for (CFileNode* n : tree->replayFiles) n->Release();
        tree->replayFiles.clear();
        for (CFileNode* n : tree->kept) n->Release();
        tree->kept.clear();
        if (tree->root) tree->root->Release();
        tree->root = nullptr;
    }
    m_trees.clear();
    for (auto* list : {&m_recycleEntries, &m_recycleFolders, &m_indexFiles}) {
        for (Diverted& d : *list) d.node->Release();
        list->clear();
    }
}

int CDirectoryTreeBuilder::Initialize(const char* caption, IDrirectoryTree* sink, IRecoveryFilter* filter) {
    if (caption == nullptr || sink == nullptr || filter == nullptr) return 0;
    m_caption = *caption ? caption : "Disk";
    m_sink = sink;
    m_filter = filter;
    m_building = false;
    return 1;
}

void CDirectoryTreeBuilder::SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) {
    m_partition = partition;
    m_device = device;
}

_DIRECTORY_TREE_INFO* CDirectoryTreeBuilder::FindTree(_tagSearcherType type) {
    for (auto& tree : m_trees)
        if (tree->type == type) return tree.get();
    return nullptr;
}

CFilesystemNode* CDirectoryTreeBuilder::GetRoot(_tagSearcherType type) {
    _DIRECTORY_TREE_INFO* info = FindTree(type);
    return info ? info->root : nullptr;
}

int CDirectoryTreeBuilder::AddSearcherInfo(_tagSearcherType type, int64_t rootFolderId) {
    if (_DIRECTORY_TREE_INFO* info = FindTree(type)) {
        info->rootFolderId = rootFolderId;
        return 1;
    }
    auto info = std::make_unique<_DIRECTORY_TREE_INFO>();
    info->type = type;
    const std::string name = m_caption + RootSuffix(type);
    info->root = new CFilesystemNode(name.c_str(), m_caption.c_str(), type, rootFolderId);
    info->rootFolderId = rootFolderId;
    info->lastBuildTime = Now();
    m_trees.push_back(std::move(info));
    return 1;
}

int CDirectoryTreeBuilder::AddNode(IFileNode* inode, _tagSearcherType type) {
    if (inode == nullptr || m_filter == nullptr) return 0;
    if (!m_filter->IsFileNodeValid(inode)) return 0;
    if (inode->GetCurrentNodeID() == inode->GetParentNodeID()) return 0;
    _DIRECTORY_TREE_INFO* info = FindTree(type);
    if (info == nullptr) return 0;
    CFileNode* node = dynamic_cast<CFileNode*>(inode);
    if (node == nullptr) return 0;
    if (node->GetFileName() != nullptr && IsFolderLinkName(node->GetFileName())) return 0;

    if (!m_building && type != SEARCHER_APFS && InsertToRecycleBin(node, type)) {
        node->MarkDeleted();
        return 1;
    }
    // A scan that shows deleted files only has no use for an existing file
    // whose folders up to the root are known, existing and no trash: it
    // would only wait for the end to be freed (most of a volume's records).
    if (!m_replay && !node->IsDirectory() && !node->IsDeleted() && !m_filter->ShowNormalFiles() &&
        IsUnderLiveFolders(*info, node))
        return 0;

    ++info->acceptedSinceBuild;
    ++info->addedCount;
    const char* name = node->GetFileName();
    const bool dir = node->IsDirectory() != 0;

    if (!m_replay && type == SEARCHER_HFSPLUS && info->privateDataIds.empty() && dir && name != nullptr &&
        std::strcmp(name, kPrivateDataName) == 0 && node->GetParentNodeID() == info->rootFolderId) {
        info->privateDataIds.push_back(node->GetCurrentNodeID());
        DropTrashNodes(*info, node->GetCurrentNodeID());
        return 0;
    }

    bool unplacedTrash = false;
    if (!info->trashFound && IsTrashName(name)) {
        bool isTrash = node->GetParentNodeID() == info->rootFolderId;
        if (!isTrash && IsUserTrashFolder(*info, node)) {
            isTrash = true;
            node->SetParentNodeID(info->rootFolderId);
        }
        if (isTrash) {
            node->MarkDeleted();
            info->trashId = node->GetCurrentNodeID();
        } else {
            unplacedTrash = true;
        }
    }

    // Names stay as they are on disk, leading dots included.
    if (dir) {
        if (!info->privateDataIds.empty() && node->GetParentNodeID() == info->privateDataIds.front()) return 0;
        if (!RecordFileNode(info->folders, node)) return 0;
        if (unplacedTrash) info->unplacedTrash.push_back(node);
    } else {
        if (name != nullptr && IsMacMetadataFile(name)) return 0;
        if (type == SEARCHER_HFSPLUS && name != nullptr && node->GetParentNodeID() == info->rootFolderId &&
            IsHfsJournalFile(name))
            return 0;
        if (m_replay) {
            // The id no table can hold is refused as in a scan.
            if (node->GetCurrentNodeID() == treeindex::IdTable<_PARENT_INFO>::kEmpty) return 0;
            info->replayFiles.push_back(node);
        } else if (!RecordFileNode(info->files, node)) {
            return 0;
        }
    }

    info->order.push_back(node);
    info->fresh.push_back(node);
    std::vector<IFileNode*> batch;
    if (BuildTree(*info, batch, false) && !batch.empty()) ShowNodes(info, batch, 0);
    return 1;
}

int CDirectoryTreeBuilder::RecordFileNode(treeindex::IdTable<_PARENT_INFO>& map, CFileNode* node) {
    _PARENT_INFO* entry = map.Insert(node->GetCurrentNodeID());
    if (entry == nullptr) return 0;  // the one id no table can hold
    if (!m_replay) {
        for (size_t i = 0; i < entry->size(); ++i) {
            CFileNode* recorded = entry->at(i);
            if (!recorded->IsDuplicateOf(*node)) continue;
            // The same file found twice: keep one node, with the runs of the
            // older copy when the new one has data.
            if (node->GetFileSize() != 0 && node->GetModificationTime() < recorded->GetModificationTime())
                recorded->MergeNode(node);
            return 0;
        }
    }
    entry->push(node);
    return 1;
}

bool CDirectoryTreeBuilder::IsUnderLiveFolders(_DIRECTORY_TREE_INFO& info, CFileNode* node) {
    CFileNode* cur = node;
    for (int steps = 0; steps < kMaxIdWalk; ++steps) {
        if (cur->GetParentNodeID() == info.rootFolderId) return true;
        CFileNode* parent = FindParent(info, cur);
        if (parent == nullptr || parent->IsDeleted() || IsTrashName(parent->GetFileName())) return false;
        cur = parent;
    }
    return false;  // a loop of ids: only a damaged tree has one
}

CFileNode* CDirectoryTreeBuilder::FindParent(_DIRECTORY_TREE_INFO& info, CFileNode* node) {
    const int64_t parentId = node->GetParentNodeID();
    if (parentId == info.rootFolderId) return info.root;
    _PARENT_INFO* entry = info.folders.Find(parentId);
    if (entry == nullptr || entry->empty()) return nullptr;
    if (entry->size() == 1) return entry->front();
    return GetCorrectParent(info.trashFound || info.trashId != 0 ? info.trashId : 0, *entry, node);
}

int CDirectoryTreeBuilder::IsTrashNode(int64_t trashId, IFileNode* node) {
    if (trashId == 0) return 0;  // no trash known
    for (IFileNode* n = node; n != nullptr; n = n->GetParent())
        if (n->GetCurrentNodeID() == trashId) return 1;
    return 0;
}

CFileNode* CDirectoryTreeBuilder::GetCorrectParent(int64_t trashId, const _PARENT_INFO& candidates, IFileNode* node) {
    if (candidates.empty() || node == nullptr) return nullptr;
    if (candidates.size() == 1) return candidates.front();
    CFileNode* fnode = dynamic_cast<CFileNode*>(node);
    auto samePartition = [fnode](CFileNode* c) {
        return fnode == nullptr || c->GetBelongedPartition() == fnode->GetBelongedPartition();
    };
    for (size_t i = 0; i < candidates.size(); ++i) {
        CFileNode* c = candidates.at(i);
        if (!c->IsDirectory() || !samePartition(c)) continue;
        if (IsTrashNode(trashId, c)) {
            if (!c->IsDeleted()) return c;
        }
    }
    for (size_t i = 0; i < candidates.size(); ++i) {
        CFileNode* c = candidates.at(i);
        if (c->IsDirectory() && samePartition(c)) return c;
    }
    return candidates.front();
}

bool CDirectoryTreeBuilder::IsEmptyFolder(CFileNode* node) {
    if (node == nullptr || !node->IsDirectory()) return false;
    m_scratch.clear();
    m_scratch.push_back(node);
    while (!m_scratch.empty()) {
        CFileNode* n = m_scratch.back();
        m_scratch.pop_back();
        for (CFileNode* c = n->GetFirstChild(); c != nullptr; c = c->GetNextNode()) {
            if (!c->IsDirectory()) return false;
            m_scratch.push_back(c);
        }
    }
    return true;
}

void CDirectoryTreeBuilder::CollectSubtree(_DIRECTORY_TREE_INFO& info, CFileNode* top, std::vector<IFileNode*>& batch) {
    // Parents go before their children, so a sink can file each node under a
    // parent it has already seen.
    std::vector<CFileNode*>& stack = m_collect;
    stack.clear();
    stack.push_back(top);
    while (!stack.empty()) {
        CFileNode* n = stack.back();
        stack.pop_back();
        if (MarkShown(info, n)) batch.push_back(n);
        // Whatever order the nodes came in, nothing inside a deleted folder
        // is shown as existing.
        const bool deleted = n->IsDeleted() != 0;
        for (CFileNode* c = n->GetFirstChild(); c != nullptr; c = c->GetNextNode()) {
            if (deleted && !c->IsDeleted()) c->MarkDeleted();
            stack.push_back(c);
        }
    }
}

void CDirectoryTreeBuilder::Place(_DIRECTORY_TREE_INFO& info, CFileNode* start, std::vector<IFileNode*>& batch) {
    if (start->GetParent() != nullptr) return;
    CFileNode* cur = start;
    for (;;) {
        CFileNode* parent = FindParent(info, cur);
        if (parent == nullptr) {
            info.waiting.Add(cur->GetParentNodeID(), cur);
            return;
        }
        if (parent->IsDeleted() && !cur->IsDeleted()) cur->MarkDeleted();
        // Only the first node of a climb can be refused here: every folder the
        // climb goes on with has just received a child that passed these tests.
        if (cur == start) {
            if (info.type != SEARCHER_APFS && IsEmptyFolder(cur)) return;
            if (!cur->IsDirectory() && !cur->IsDeleted() && !m_filter->ShowNormalFiles()) return;
        }
        if (!parent->AddChild(cur)) return;  // would close a loop: left for the lost files
        if (parent == info.root || parent->GetParent() != nullptr) {
            if (parent == info.root || parent->IsHandedToSink()) CollectSubtree(info, cur, batch);
            return;
        }
        cur = parent;
    }
}

void CDirectoryTreeBuilder::Wake(_DIRECTORY_TREE_INFO& info, int64_t id, std::vector<IFileNode*>& batch) {
    std::vector<CFileNode*> woken;
    info.waiting.Take(id, woken);
    for (CFileNode* n : woken) Place(info, n, batch);
}

int CDirectoryTreeBuilder::BuildTree(_DIRECTORY_TREE_INFO& info, std::vector<IFileNode*>& batch, bool final) {
    const int64_t now = Now();
    if (!final) {
        if (info.acceptedSinceBuild < kBuildEveryNodes && now - info.lastBuildTime < kBuildEverySeconds) return 0;
        // HFS+ trees wait for the private-data folder, whose children are dropped.
        if (info.type == SEARCHER_HFSPLUS && info.privateDataIds.empty()) return 0;
    }
    info.acceptedSinceBuild = 0;
    info.lastBuildTime = now;
    // Only the nodes that arrived since the last build, and the ones waiting
    // for a folder that arrived, are looked at: earlier nodes are linked or
    // wait for a folder that is still missing.
    Wake(info, info.rootFolderId, batch);
    for (size_t i = 0; i < info.fresh.size(); ++i) {
        CFileNode* n = info.fresh[i];
        if (n->IsDirectory()) Wake(info, n->GetCurrentNodeID(), batch);
        Place(info, n, batch);
    }
    info.fresh.clear();
    if (final) {
        // The final build looks at everything again: marks made since (a
        // parent found deleted) may let held nodes in now.
        for (CFileNode* n : info.order)
            if (n->GetParent() == nullptr) Place(info, n, batch);
    }
    return 1;
}

void CDirectoryTreeBuilder::BuildRounds(_DIRECTORY_TREE_INFO& info) {
    std::vector<IFileNode*> batch;
    do {
        batch.clear();
        BuildTree(info, batch, true);
        ShowNodes(&info, batch, 0);
    } while (!batch.empty());
}

bool CDirectoryTreeBuilder::MarkShown(_DIRECTORY_TREE_INFO& info, CFileNode* node) {
    if (node->IsHandedToSink()) return false;
    node->SetHandedToSink();
    info.shown.push_back(node);
    return true;
}

void CDirectoryTreeBuilder::ShowNodes(_DIRECTORY_TREE_INFO* info, std::vector<IFileNode*>& nodes, int flag) {
    if (m_sink == nullptr) return;
    if (info != nullptr) {
        if (!info->rootAnnounced) {
            info->rootAnnounced = true;
            m_sink->ShowFilesystemNode(info->root);
            SleepSeconds(1);
        }
        for (IFileNode* n : nodes) MarkShown(*info, static_cast<CFileNode*>(n));
        info->shownCount += static_cast<int64_t>(nodes.size());
    }
    m_sink->ShowNodes(nodes.data(), static_cast<unsigned>(nodes.size()), flag);
}

int CDirectoryTreeBuilder::IsUserTrashFolder(_DIRECTORY_TREE_INFO& info, IFileNode* node) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || node == nullptr) return 0;
    std::string want = home;
    if (want.empty() || want.back() != '/') want += '/';
    std::vector<const char*> names;
    IFileNode* child = node;
    int64_t id = node->GetParentNodeID();
    // Ids from stale records can form cycles: bound the walk.
    for (int steps = 0; id != info.rootFolderId; ++steps) {
        if (steps >= kMaxIdWalk) return 0;
        _PARENT_INFO* entry = info.folders.Find(id);
        if (entry == nullptr || entry->empty()) return 0;
        CFileNode* folder = GetCorrectParent(info.trashId, *entry, child);
        if (folder == nullptr) return 0;
        names.push_back(folder->GetFileName() ? folder->GetFileName() : "");
        child = folder;
        id = folder->GetParentNodeID();
    }
    std::string path = "/";
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        path += *it;
        path += '/';
    }
    return path == want ? 1 : 0;
}

int CDirectoryTreeBuilder::InsertToRecycleBin(CFileNode* node, _tagSearcherType type) {
    bool divert = CRecyclerFilter::IsRecycleBin(node) || CRecyclerFilter::IsRecoverNode(node) ||
                  CRecyclerFilter::IsRecoverNodeEx(node);
    if (!divert) {
        for (int64_t id : m_recycleIds) {
            if (id == node->GetParentNodeID()) {
                divert = true;
                break;
            }
        }
    }
    if (!divert) return 0;
    const char* name = node->GetFileName();
    if (node->GetAttribute() & 0x10) {
        m_recycleFolders.push_back({node, type});
        m_recycleIds.push_back(node->GetCurrentNodeID());
    } else if (name != nullptr && name[0] == '$' && name[1] == 'I') {
        m_indexFiles.push_back({node, type});
    } else {
        m_recycleEntries.push_back({node, type});
    }
    return 1;
}

void CDirectoryTreeBuilder::RestorFileName(CFileNode* node, _tagSearcherType type) {
    const char* name = node->GetFileName();
    if (name == nullptr || std::strncmp(name, "$R", 2) != 0) return;
    if (CRecyclerFilter::IsRecycleBinSigleNode(node)) return;
    if (m_device == nullptr) return;
    const size_t nameLen = std::strlen(name);
    for (auto it = m_indexFiles.begin(); it != m_indexFiles.end(); ++it) {
        if (it->type != type) continue;
        const char* indexName = it->node->GetFileName();
        if (indexName == nullptr) continue;
        const size_t shorter = std::min(nameLen, std::strlen(indexName));
        if (shorter < 2 || std::strncmp(name + 2, indexName + 2, shorter - 2) != 0) continue;
        if (it->node->GetFileSize() > 1024) return;
        // Where the index file's runs start: the record's cluster-0 sector
        // (FAT and exFAT count from their data region); without a record, the
        // device itself.
        const int64_t start = m_partition ? m_partition->GetCluster0Sector() : 0;
        const int spc = m_partition && m_partition->GetSectorsPerCluster() != 0
                            ? static_cast<int>(m_partition->GetSectorsPerCluster())
                            : 2;
        CRecyclerFilter::RestorFileName(m_device, node, it->node, start, spc, type);
        // The index file has served its purpose.
        it->node->Release();
        m_indexFiles.erase(it);
        return;
    }
}

void CDirectoryTreeBuilder::RestoreRecycleName(_tagSearcherType type) {
    auto takeOfType = [type](std::vector<Diverted>& list) {
        std::vector<CFileNode*> out;
        std::vector<Diverted> keep;
        for (Diverted& d : list) {
            if (d.type == type)
                out.push_back(d.node);
            else
                keep.push_back(d);
        }
        list.swap(keep);
        return out;
    };
    std::vector<CFileNode*> folders = takeOfType(m_recycleFolders);
    std::vector<CFileNode*> entries = takeOfType(m_recycleEntries);
    if (m_recycleFolders.empty()) m_recycleIds.clear();
    for (auto* list : {&folders, &entries}) {
        for (CFileNode* n : *list) {
            RestorFileName(n, type);
            // Now recorded and placed like any other node; a refused one is ours to free.
            if (!AddNode(n, type)) n->Release();
        }
    }
    // Index files that matched no entry are found files like any other.
    std::vector<CFileNode*> unmatched = takeOfType(m_indexFiles);
    for (CFileNode* n : unmatched)
        if (!AddNode(n, type)) n->Release();
}

void CDirectoryTreeBuilder::DropTrashNodes(_DIRECTORY_TREE_INFO& info, int64_t folderId) {
    std::unordered_set<CFileNode*> drop;
    for (CFileNode* n : info.order)
        if (n->IsDirectory() && n->GetParentNodeID() == folderId && !n->IsHandedToSink()) drop.insert(n);
    if (drop.empty()) return;
    auto dropped = [&drop](CFileNode* n) { return drop.count(n) != 0; };
    std::erase_if(info.order, dropped);
    std::erase_if(info.fresh, dropped);
    std::erase_if(info.unplacedTrash, dropped);
    std::vector<CFileNode*> waiting;
    info.waiting.Take(folderId, waiting);
    for (CFileNode* n : waiting)
        if (!dropped(n)) info.waiting.Add(folderId, n);
    for (CFileNode* d : drop) {
        // Nodes already linked below a dropped folder wait again for a parent
        // (and end among the lost files), rather than point at a freed folder.
        while (CFileNode* c = d->GetFirstChild()) {
            DetachKeepingSubtree(d, c);
            info.waiting.Add(c->GetParentNodeID(), c);
        }
        if (CFileNode* p = d->GetParent()) DetachKeepingSubtree(p, d);
        if (_PARENT_INFO* entry = info.folders.Find(d->GetCurrentNodeID())) {
            entry->erase(d);
            if (entry->empty()) info.folders.Erase(d->GetCurrentNodeID());
        }
        d->Release();
    }
}

void CDirectoryTreeBuilder::MarkAllDeletedFilesEx(_DIRECTORY_TREE_INFO& info) {
    // A pending node inside a deleted folder is deleted too, however deep.
    // Each node is settled once, after the folders above it; the walk up by
    // id is bounded, since stale records can make ids form a cycle.
    treeindex::PtrSet settled;
    std::vector<CFileNode*> chain;
    auto parentById = [&info, this](CFileNode* n) -> CFileNode* {
        if (n->GetParentNodeID() == info.rootFolderId) return nullptr;  // the root is never deleted
        return FindParent(info, n);
    };
    for (CFileNode* start : info.order) {
        if (start->IsHandedToSink() || settled.Contains(start)) continue;
        chain.clear();
        for (CFileNode* cur = start; cur != nullptr && chain.size() < static_cast<size_t>(kMaxIdWalk);) {
            chain.push_back(cur);
            CFileNode* p = parentById(cur);
            if (p == nullptr || p->IsDeleted() || p->IsHandedToSink() || settled.Contains(p) ||
                std::find(chain.begin(), chain.end(), p) != chain.end())
                break;
            cur = p;
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            CFileNode* n = *it;
            CFileNode* p = parentById(n);
            if (p != nullptr && p->IsDeleted() && !n->IsDeleted()) n->MarkDeleted();
            settled.Insert(n);
        }
    }
}

void CDirectoryTreeBuilder::BuildLostNodes(_DIRECTORY_TREE_INFO& info, std::vector<IFileNode*>& batch) {
    CFilesystemNode* lost = new CFilesystemNode(kLostFilesName, kLostFilesVolume, info.type, -1);
    const bool showExisting = m_filter->ShowNormalFiles() != 0;
    for (CFileNode* top : info.order) {
        // Each pending subtree is decided once, from its top: a subtree whose
        // top is not taken is left whole, so no shown node points into it.
        if (top->GetParent() != nullptr || top->IsHandedToSink()) continue;
        if (top->IsDirectory()) {
            // Empty files inside the subtree are left out.
            std::vector<CFileNode*> stack{top};
            std::vector<CFileNode*> empties;
            while (!stack.empty()) {
                CFileNode* n = stack.back();
                stack.pop_back();
                for (CFileNode* c = n->GetFirstChild(); c != nullptr; c = c->GetNextNode()) {
                    if (!c->IsDirectory() && c->GetFileSize() == 0)
                        empties.push_back(c);
                    else
                        stack.push_back(c);
                }
            }
            for (CFileNode* e : empties) e->GetParent()->RemoveChild(e);
            if (IsEmptyFolder(top)) continue;
        } else {
            if (top->GetFileSize() == 0) continue;
            if (!top->IsDeleted() && !showExisting) continue;
        }
        if (!lost->AddChild(top)) continue;
        CollectSubtree(info, top, batch);
    }
    LogDiagnostic("CDirectoryTreeBuilder BuildLostNodes nodsNotify.size() = %ld.\n", static_cast<long>(batch.size()));
    if (batch.empty()) {
        lost->Release();
        return;
    }
    batch.push_back(lost);
    info.root->AddChild(lost);
    ShowNodes(&info, batch, 1);
}

void CDirectoryTreeBuilder::ReleaseNodeByFilter(_DIRECTORY_TREE_INFO& info) {
    int released = 0;
    auto settle = [&](int64_t, _PARENT_INFO& entry) {
        for (size_t i = 0; i < entry.size(); ++i) {
            CFileNode* n = entry.at(i);
            if (n->IsHandedToSink()) continue;
            if (m_replay) {
                info.kept.push_back(n);
            } else {
                n->Release();
                ++released;
            }
        }
        entry = _PARENT_INFO();
    };
    info.files.ForEach(settle);
    for (CFileNode* n : info.replayFiles)
        if (!n->IsHandedToSink()) info.kept.push_back(n);
    info.replayFiles.clear();
    info.replayFiles.shrink_to_fit();
    info.folders.ForEach(settle);
    info.files.Clear();
    info.folders.Clear();
    if (!m_replay) LogDiagnostic("CDirectoryTreeBuilder::ReleaseNodeByFilter --- nReleasedCount = %d\n", released);
}

void CDirectoryTreeBuilder::FlashBuild(_tagSearcherType type) {
    _DIRECTORY_TREE_INFO* info = FindTree(type);
    if (info == nullptr) return;
    m_building = true;
    RestoreRecycleName(type);
    BuildRounds(*info);

    if (info->root != nullptr) {
        if (!info->trashFound) {
            if (info->trashId == 0) {
                for (CFileNode* t : info->unplacedTrash) {
                    if (IsUserTrashFolder(*info, t)) {
                        t->MarkDeleted();
                        info->trashId = t->GetCurrentNodeID();
                        break;
                    }
                }
            }
            info->trashFound = true;
        }
        MarkAllDeletedFilesEx(*info);
    }
    BuildRounds(*info);

    std::vector<IFileNode*> lostBatch;
    BuildLostNodes(*info, lostBatch);

    // What was shown stays until the builder goes; the rest is freed (or, for
    // a replay, kept with it).
    info->kept.insert(info->kept.end(), info->shown.begin(), info->shown.end());
    ReleaseNodeByFilter(*info);
    info->shown.clear();
    info->shown.shrink_to_fit();
    info->order.clear();
    info->order.shrink_to_fit();
    info->fresh.clear();
    info->waiting.Clear();
    info->unplacedTrash.clear();

    LogDiagnostic("CDirectoryTreeBuilder::FlashBuild  searcherType : %d, total files: %lld\n", static_cast<int>(type),
                  static_cast<long long>(info->shownCount));
    LogDiagnostic("CDirectoryTreeBuilder::FlashBuild  searcherType : %d, total added files: %lld\n",
                  static_cast<int>(type), static_cast<long long>(info->addedCount));
    m_building = false;
}
