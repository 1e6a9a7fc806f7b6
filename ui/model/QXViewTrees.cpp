#include "model/QXViewTrees.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unordered_set>

#include "foundation/Log.h"
#include "model/QXUIScan.h"
#include "model/WorkerThread.h"

namespace {

// Folders whose parent never arrives are given up after this many passes.
constexpr int kMaxRetryPasses = 100;
// A pass gives the lock away when it has held it this long, so that the
// windows' reads get in.
constexpr std::int64_t kSliceNs = 20'000'000;
// How often a long pass looks at the clock.
constexpr std::size_t kSliceCheckEvery = 2048;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int RootListOfKey(int key) {
    if (key == kOpTreeCreate) return kRootsCreate;
    if (key == kOpTreeModify) return kRootsModify;
    return -1;
}

const char* RootNameOfKey(int key) {
    switch (key) {
    case kOpTreeCreate: return "CREATE_TIME_ROOT_NAME";
    case kOpTreeModify: return "MODIFY_TIME_ROOT_NAME";
    default: return "LAST_ACCESS_TIME_ROOT_NAME";
    }
}

// Calls `fn` for each child of an engine node; a damaged sibling chain that
// loops back ends the walk instead of repeating it.
template <class Fn>
void ForEachEngineChild(IFileNode* node, Fn&& fn) {
    if (node == nullptr) return;
    std::unordered_set<IFileNode*> seen;
    for (IFileNode* child = node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
        if (!seen.insert(child).second) break;
        fn(child);
    }
}

}  // namespace

// Times one hold of the tree lock (the outermost of nested scopes).
class QXViewTrees::Hold {
public:
    Hold(QXViewTrees& trees, HoldKind kind) : m_trees(trees), m_outer(trees.m_holdDepth++ == 0) {
        if (m_outer) {
            trees.m_holdKind = kind;
            trees.m_holdStartNs = NowNs();
            trees.m_holdThread = std::this_thread::get_id();
        }
    }
    ~Hold() {
        --m_trees.m_holdDepth;
        if (m_outer) m_trees.RecordHold(m_trees.m_holdKind, NowNs() - m_trees.m_holdStartNs);
    }

private:
    QXViewTrees& m_trees;
    bool m_outer;
};

QXViewTrees& QXViewTrees::shared() {
    static auto* trees = new QXViewTrees(QXUIScan::instance(), TreeStore::shared());
    return *trees;
}

QXViewTrees::QXViewTrees(QXUIScan& scan, TreeStore& store) : m_scan(scan), m_store(store) {}

QXViewTrees::~QXViewTrees() { WaitSearch(10000); }

void QXViewTrees::SetHooks(Hooks hooks) {
    std::lock_guard hold(m_seamLock);
    m_hooks = std::move(hooks);
}

void QXViewTrees::SetManagers(QXTreeManagers managers) {
    std::lock_guard hold(m_seamLock);
    m_managers = std::move(managers);
}

QXTreeManagers QXViewTrees::Managers() {
    std::lock_guard hold(m_seamLock);
    return m_managers;
}

void QXViewTrees::Post(const std::string& name) {
    std::function<void(const std::string&)> post;
    {
        std::lock_guard hold(m_seamLock);
        post = m_hooks.post;
    }
    if (post) post(name);
}

void QXViewTrees::Log(const std::string& line) {
    std::function<void(const std::string&)> log;
    {
        std::lock_guard hold(m_seamLock);
        log = m_hooks.log;
    }
    if (log)
        log(line);
    else
        LogDiagnostic("%s\n", line.c_str());
}

// Retired rows are never read again (readers check the generation first);
// they are freed on the main thread, after what was posted before this.
void QXViewTrees::FreeRetiredLater() {
    std::function<void(std::function<void()>)> onMain;
    {
        std::lock_guard hold(m_seamLock);
        onMain = m_hooks.onMainThread;
    }
    TreeStore* store = &m_store;
    const std::uint64_t before = m_store.Generation();
    if (onMain) onMain([store, before] { store->FreeRetired(before); });
}

void QXViewTrees::RecordHold(HoldKind kind, std::int64_t ns) {
    HoldStats& stats = m_holds[kind];
    ++stats.count;
    stats.totalNs += ns;
    stats.longestNs = std::max(stats.longestNs, ns);
}

std::vector<QXViewTrees::HoldStats> QXViewTrees::TakeHoldStats() {
    std::lock_guard hold(m_store.Lock());
    std::vector<HoldStats> taken(std::begin(m_holds), std::end(m_holds));
    for (HoldStats& stats : m_holds) stats = HoldStats{};
    return taken;
}

QXViewTrees::SearchTimes QXViewTrees::LastSearchTimes() {
    std::lock_guard hold(m_store.Lock());
    return m_searchTimes;
}

bool QXViewTrees::Breathe(std::int64_t& sliceStartNs) {
    const std::int64_t now = NowNs();
    if (now - sliceStartNs < kSliceNs) return true;
    const std::uint64_t generation = m_store.Generation();
    const HoldKind kind = m_holdKind;
    if (m_holdDepth > 0) RecordHold(kind, now - m_holdStartNs);
    m_store.YieldToReaders();
    // Whoever held the lock meanwhile may have timed a hold of its own.
    m_holdKind = kind;
    sliceStartNs = m_holdStartNs = NowNs();
    return generation == m_store.Generation();
}

bool QXViewTrees::SliceExtension() {
    // Only the thread extending these outlines holds their lock here; a
    // manager refreshed for another store, under another lock, goes on.
    if (m_holdDepth == 0 || m_holdKind != kHoldExtend || m_holdThread != std::this_thread::get_id()) return true;
    const std::uint64_t generation = m_store.Generation();
    RecordHold(kHoldExtend, NowNs() - m_holdStartNs);
    m_store.LetGo();
    m_holdKind = kHoldExtend;
    m_holdStartNs = NowNs();
    return generation == m_store.Generation();
}

// ---- Building

// Each outline is one step; between steps the windows' reads get in. A
// reset while the lock was given away ends the extension: the next call
// files everything into the new outlines.
void QXViewTrees::QXGetTreeNodeData(int flag) {
    const std::uint64_t generation = m_store.Generation();
    const std::function<void()> steps[] = {
        [this] { AddTypeNodeToArr(); },
        [this] { AddDateNodeToArray(kOpTreeCreate); },
        [this] { AddDateNodeToArray(kOpTreeModify); },
        [this, flag] { QXGetTreeNodeDataPath(flag); },
    };
    for (const auto& step : steps) {
        if (generation != m_store.Generation()) return;
        {
            Hold hold(*this, kHoldExtend);
            step();
        }
        if (m_holdDepth == 0) m_store.YieldToReaders();
    }
}

void QXViewTrees::LinkRow(OpNodeData* row) {
    if (OpNodeData* parent = row->parent())
        parent->addChildObject(row);
    else
        m_store.Roots(kRootsPath).push_back(row);
}

void QXViewTrees::QXGetTreeNodeDataPath(int flag) {
    const std::uint64_t generation = m_store.Generation();
    std::vector<OpNodeData*> made;
    made.reserve(32);
    QXGetNewPathOpNode(made, flag);
    // Reset while the pass let the lock go: its rows belong to the past.
    if (generation != m_store.Generation()) return;
    for (OpNodeData* row : made) LinkRow(row);
}

void QXViewTrees::QXGetNewPathOpNode(std::vector<OpNodeData*>& out, int flag) {
    out.clear();
    const std::vector<IFileNode*> nodes = flag == 2 ? m_scan.QXGetAllPathNode() : m_scan.QXGetNewPathNode();
    m_waiting.clear();
    if (!QXGetNewPathOpNodeImp(out, nodes)) return;
    m_carried.insert(m_carried.end(), m_waiting.begin(), m_waiting.end());
    m_waiting.clear();
    std::vector<IFileNode*> carried;
    carried.swap(m_carried);
    if (!QXGetNewPathOpNodeImp(out, carried)) return;
    m_carried.swap(m_waiting);
    m_waiting.clear();
    if (flag == 0) return;
    for (int pass = 0; pass < kMaxRetryPasses && !m_carried.empty(); ++pass) {
        carried.clear();
        carried.swap(m_carried);
        const std::size_t before = carried.size();
        if (!QXGetNewPathOpNodeImp(out, carried)) return;
        m_carried.swap(m_waiting);
        m_waiting.clear();
        // A pass that placed nothing changes nothing for the next one.
        if (m_carried.size() == before) break;
    }
    char line[96];
    std::snprintf(line, sizeof line, "ykmark: lost filenode:%lu", static_cast<unsigned long>(m_carried.size()));
    Log(line);
}

bool QXViewTrees::QXGetNewPathOpNodeImp(std::vector<OpNodeData*>& out, const std::vector<IFileNode*>& nodes) {
    m_scan.SetOpTreeFinished(0);
    std::int64_t slice = NowNs();
    std::size_t done = 0;
    for (IFileNode* node : nodes) {
        if (++done % kSliceCheckEvery == 0 && !Breathe(slice)) {
            out.clear();
            m_scan.SetOpTreeFinished(1);
            return false;
        }
        if (node == nullptr || m_store.ViewOf(node) != nullptr) continue;
        IFileNode* parent = node->GetParent();
        OpNodeData* row = nullptr;
        if (parent != nullptr) {
            OpNodeData* parentRow = m_store.ViewOf(parent);
            if (parentRow == nullptr) {
                m_waiting.push_back(node);
                continue;
            }
            row = m_store.Create(__TreeNodeData__{static_cast<std::uint32_t>(node->IsDirectory()),
                                                  static_cast<std::uint32_t>(node->IsDeleted()), 0, node});
            row->setExpandAble(0);
            row->setParent(parentRow);
            parentRow->setExpandAble(1);
        } else {
            row = MakeRootRow(node);
        }
        out.push_back(row);
        m_store.SetView(node, row);
    }
    m_scan.SetOpTreeFinished(1);
    return true;
}

OpNodeData* QXViewTrees::MakeRootRow(IFileNode* node) {
    OpNodeData* row = m_store.Create(__TreeNodeData__{static_cast<std::uint32_t>(node->IsDirectory()),
                                                      static_cast<std::uint32_t>(node->IsDeleted()), 1, node});
    row->setExpandAble(1);
    return row;
}

void QXViewTrees::QXResetTreeNodeData() {
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    ResetLocked();
}

void QXViewTrees::ResetLocked() {
    if (auto clear = Managers().clear) clear();
    m_store.Retire();
    m_waiting.clear();
    m_carried.clear();
    m_scan.QXResetFileNode();
    std::function<void()> resetThrottle;
    {
        std::lock_guard hold(m_seamLock);
        resetThrottle = m_hooks.resetThrottle;
    }
    if (resetThrottle) resetThrottle();
    FreeRetiredLater();
}

int QXViewTrees::GetScanTreeNodeData(int clearNodeState) {
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    m_scan.SetOpTreeFinished(0);
    const bool pathView = m_scan.GetScanType() == kOpTreePath;
    for (IFilesystemNode* root : m_scan.GetFileSystemNode()) {
        if (root == nullptr) continue;
        if (clearNodeState != 0) {
            root->ShowNode(1);
            root->SetCheck(CHECKED_NONE);
        }
        if (!pathView) continue;
        std::vector<OpNodeData*>& roots = m_store.Roots(kRootsPath);
        const bool listed =
            std::any_of(roots.begin(), roots.end(), [root](OpNodeData* row) { return row->fileNode() == root; });
        if (listed) continue;
        OpNodeData* row = m_store.ViewOf(root);
        if (row == nullptr) {
            row = MakeRootRow(root);
            m_store.SetView(root, row);
        }
        roots.push_back(row);
    }
    AddNodeToArr();
    m_scan.SetOpTreeFinished(1);
    return 0;
}

void QXViewTrees::AddNodeToArr() {
    switch (m_scan.GetScanType()) {
    case kOpTreePath: AddPathNodeToArray(); break;
    case kOpTreeType: AddTypeNodeToArr(); break;
    case kOpTreeCreate:
    case kOpTreeModify:
    case kOpTreeAccess: AddDateNodeToArray(kOpTreeCreate); break;
    default: break;
    }
}

void QXViewTrees::AddPathNodeToArray() {
    const std::uint64_t generation = m_store.Generation();
    std::vector<OpNodeData*> pending(m_store.Roots(kRootsPath).rbegin(), m_store.Roots(kRootsPath).rend());
    std::int64_t slice = NowNs();
    std::size_t done = 0;
    while (!pending.empty()) {
        if (++done % kSliceCheckEvery == 0 && !Breathe(slice)) return;
        OpNodeData* row = pending.back();
        pending.pop_back();
        if (row->fileNode() != nullptr && row->isExpandAble() != 0) {
            ForEachEngineChild(row->fileNode(), [&](IFileNode* child) {
                if (child->IsDirectory() == 0 || child->IsNodeShow() == 0) return;
                if (m_scan.FindRemoveData(child) == 0) return;
                // The node-to-row map answers "already listed" for every
                // parent at once, where a scan of the children would not.
                if (m_store.ViewOf(child) != nullptr) return;
                OpNodeData* sub = m_store.Create(__TreeNodeData__{0, 0, 0, child});
                sub->setType(kOpTreePath);
                sub->setExpandAble(1);
                sub->setParent(row);
                row->addChildObject(sub);
                m_store.SetView(child, sub);
            });
        }
        const auto& children = row->children();
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            if (it->obj != nullptr) pending.push_back(it->obj);
    }
    (void)generation;
}

void QXViewTrees::AddTypeNodeToArr() {
    QXTreeManagers managers = Managers();
    if (managers.refreshTypeTree) managers.refreshTypeTree();
    std::vector<OpNodeData*>& roots = m_store.Roots(kRootsType);
    if (roots.empty() && managers.typeRoots) roots = managers.typeRoots();
}

void QXViewTrees::AddDateNodeToArray(int key) {
    const int list = RootListOfKey(key);
    if (list < 0) return;  // no outline by last access
    std::vector<OpNodeData*>& roots = m_store.Roots(list);
    if (roots.empty()) {
        OpNodeData* root = m_store.CreateFolder(OpNodeData::Text(RootNameOfKey(key)), static_cast<std::uint32_t>(key), 1);
        roots.push_back(root);
    }
    if (auto refresh = Managers().refreshTimeTree) refresh(roots.front(), key);
}

void QXViewTrees::SetViewType(int type) { m_scan.SetScanType(type); }

// ---- Listing and counts

int QXViewTrees::GetFileNodeToArray(std::vector<IFileNode*>& out, OpNodeData* row) {
    if (row == nullptr) return 0;
    switch (row->type()) {
    case kOpTreePath: return GetPathInfoToArray(out, row);
    case kOpTreeType: return GetTypeInfoToArray(out, row);
    case kOpTreeCreate:
    case kOpTreeModify:
    case kOpTreeAccess: return GetDateInfoToArray(out, row);
    default: return 0;
    }
}

int QXViewTrees::GetPathInfoToArray(std::vector<IFileNode*>& out, OpNodeData* row) {
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    if (row == nullptr || !row->isDirect() || row->fileNode() == nullptr) return 0;
    out.clear();
    ForEachEngineChild(row->fileNode(), [&](IFileNode* child) {
        if (child->IsDirectory() == 0 && child->IsNodeShow() != 0) out.push_back(child);
    });
    return out.empty() ? 0 : 1;
}

int QXViewTrees::GetTypeInfoToArray(std::vector<IFileNode*>& out, OpNodeData* row) {
    auto isOther = Managers().isOtherNode;
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    out.clear();
    if (row == nullptr) return 0;
    // A category root shows its extension folders, not files; "other" also
    // holds the files of unknown extensions directly.
    if (row->parent() == nullptr && !(isOther && isOther(row))) return 1;
    for (const OpChild& child : row->children())
        if (child.file != nullptr) out.push_back(child.file);
    return 0;
}

int QXViewTrees::GetDateInfoToArray(std::vector<IFileNode*>& out, OpNodeData* row) {
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    out.clear();
    if (row == nullptr) return 0;
    // The root and the years hold folders; only months hold files.
    if (row->parent() == nullptr || row->parent()->parent() == nullptr) return 0;
    for (const OpChild& child : row->children())
        if (child.file != nullptr) out.push_back(child.file);
    return 0;
}

namespace {

std::uint64_t ChildrenCount(const OpNodeData* row) {
    if (row == nullptr) return 0;
    const auto& children = row->children();
    const bool dateRoot = row->parent() == nullptr && (row->type() == kOpTreeCreate || row->type() == kOpTreeModify);
    std::uint64_t count = 0;
    for (const OpChild& child : children) {
        if (dateRoot) {
            count += ChildrenCount(child.obj);
        } else if (child.obj != nullptr) {
            count += child.obj->children().size();
        } else {
            return children.size();
        }
    }
    return count;
}

}  // namespace

std::uint64_t QXViewTrees::GetNodeChildrenCnt(OpNodeData* row) {
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    return ChildrenCount(row);
}

// ---- Search

bool QXViewTrees::DoSearchWithString(const std::string& text, const std::string& postKey) {
    std::lock_guard hold(m_searchLock);
    const bool running = m_searchThread && m_searchThread->IsRunning();
    if (m_scan.IsSearching() != 0 || running) {
        Log("++++++++++skip search key:" + text + "++++++++");
        return false;
    }
    if (m_searchThread) m_searchThread->Join(std::chrono::milliseconds(1000));
    m_scan.SetSearching(1);
    m_scan.SetSearchKey(text.c_str());
    m_searchThread = WorkerThread::Start("search", [this, postKey] { DoSearchFn(postKey); });
    if (!m_searchThread) {
        m_scan.SetSearching(0);
        return false;
    }
    return true;
}

void QXViewTrees::DoSearchFn(const std::string& postKey) {
    // The whole search holds the tree lock; meanwhile the windows are told
    // "no rows" instead of waiting for it.
    m_store.BeginLongHold();
    {
        std::lock_guard lock(m_store.Lock());
        Hold hold(*this, kHoldSearch);
        QXTreeManagers managers = Managers();
        ResetLocked();
        if (managers.setSearch) managers.setSearch(1);
        m_hits.clear();
        std::int64_t mark = NowNs();
        m_scan.DoSearch(m_hits);
        m_searchTimes.matchNs = NowNs() - mark;
        mark = NowNs();
        // The current view's outline first, then the browser's key, then
        // the others, so that the shown outline is ready soonest.
        static constexpr int kOrder[][4] = {
            {kOpTreePath, kOpTreeType, kOpTreeCreate, kOpTreeModify},  // by path
            {kOpTreeType, kOpTreeCreate, kOpTreeModify, kOpTreePath},  // by type
            {kOpTreeCreate, kOpTreeType, kOpTreeModify, kOpTreePath},  // by creation
            {kOpTreeModify, kOpTreeType, kOpTreeCreate, kOpTreePath},  // by modification
        };
        const int view = m_scan.GetScanType();
        if (view >= 0 && view < 4) {
            BuildSearchTree(kOrder[view][0]);
            m_searchTimes.shownNs = NowNs() - mark;
            mark = NowNs();
            Post(postKey);
            FreeRetiredLater();
            for (int i = 1; i < 4; ++i) BuildSearchTree(kOrder[view][i]);
            m_searchTimes.otherNs = NowNs() - mark;
        }
        m_hits.clear();
        m_scan.SetNeedUIUpdate(0);
    }
    m_store.EndLongHold();
    m_scan.SetSearching(0);
    // Posted once the outlines can be read: models reset on it and would
    // otherwise keep the "no rows" of the hold.
    Post("DoSearchFinished");
}

void QXViewTrees::BuildSearchTree(int tree) {
    switch (tree) {
    case kOpTreePath: QXGetTreeNodeDataPathWithSearch(); break;
    case kOpTreeType: AddTypeNodeToArr(); break;
    default: AddDateNodeToArray(tree); break;
    }
}

void QXViewTrees::QXGetTreeNodeDataPathWithSearch() {
    // An empty key shows every folder again, empty ones included.
    if (m_scan.GetSearchKey().empty()) {
        m_scan.QXGetNewPathNode();  // taken as a whole below
        std::vector<OpNodeData*> made;
        QXGetNewPathOpNode(made, 2);
        for (OpNodeData* row : made) LinkRow(row);
        return;
    }
    std::size_t lost = 0;
    for (IFileNode* hit : m_hits) {
        IFileNode* folder = hit != nullptr ? hit->GetParent() : nullptr;
        if (folder != nullptr && QXAddSearchFileNodeToOpTree(folder) == nullptr) ++lost;
    }
    char line[96];
    std::snprintf(line, sizeof line, "ykmark: lost filenode with search:%lu", static_cast<unsigned long>(lost));
    Log(line);
}

// Gives the folder and every ancestor without a row their rows, from the
// top down; null when the chain loops and cannot be placed.
OpNodeData* QXViewTrees::QXAddSearchFileNodeToOpTree(IFileNode* node) {
    if (OpNodeData* row = m_store.ViewOf(node)) return row;
    std::vector<IFileNode*> chain;
    std::unordered_set<IFileNode*> seen;
    IFileNode* top = node;
    for (;;) {
        if (!seen.insert(top).second) return nullptr;
        chain.push_back(top);
        IFileNode* up = top->GetParent();
        if (up == nullptr || m_store.ViewOf(up) != nullptr) break;
        top = up;
    }
    OpNodeData* row = nullptr;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        IFileNode* at = *it;
        IFileNode* up = at->GetParent();
        if (up == nullptr) {
            row = MakeRootRow(at);
        } else {
            OpNodeData* parentRow = m_store.ViewOf(up);
            row = m_store.Create(__TreeNodeData__{static_cast<std::uint32_t>(at->IsDirectory()),
                                                  static_cast<std::uint32_t>(at->IsDeleted()), 0, at});
            row->setExpandAble(0);
            row->setParent(parentRow);
            parentRow->setExpandAble(1);
        }
        m_store.SetView(at, row);
        LinkRow(row);
    }
    return row;
}

std::string QXViewTrees::GetSearchString() { return m_scan.GetSearchKey(); }

void QXViewTrees::StopSearch() { m_scan.SetSearching(0); }

bool QXViewTrees::QXGetIsSearching() { return m_scan.IsSearching() != 0; }

void QXViewTrees::GetSearchResultToArr(std::vector<IFileNode*>& out) {
    if (m_scan.GetSearchKey().empty()) return;
    for (IFileNode* node : m_scan.GetAllTypeNodes())
        if (node != nullptr && node->IsNodeShow() != 0) out.push_back(node);
}

bool QXViewTrees::WaitSearch(int milliseconds) {
    std::shared_ptr<WorkerThread> thread;
    {
        std::lock_guard hold(m_searchLock);
        thread = m_searchThread;
    }
    return !thread || thread->Join(std::chrono::milliseconds(milliseconds));
}

// ---- Check marks

void QXViewTrees::setNodeState(OpNodeData* folder, const std::vector<IFileNode*>& nodes) {
    if (folder == nullptr) return;
    std::int64_t sum = 0, count = 0;
    for (IFileNode* node : nodes) {
        if (node == nullptr || node->IsNodeShow() == 0) continue;
        const int state = OpNodeData::fileNodeState(node);
        sum += state;
        ++count;
        if (state >= 1)
            folder->setState(1);
        else if (sum >= 1 && folder->state() == 1)
            break;
    }
    if (sum == 0)
        folder->setState(0);
    else if (sum == 2 * count)
        folder->setState(2);
    else
        folder->setState(1);
}

void QXViewTrees::RefreshTimeTreeState(int changeTable) {
    QXTreeManagers managers = Managers();
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    if (changeTable == 1) {
        if (!managers.timeTreeNeedsRefresh || !managers.timeTreeNeedsRefresh()) return;
        if (managers.resetTimeTreeNeedRefresh) managers.resetTimeTreeNeedRefresh();
    }
    // A month's mark comes from the files filed in it; a year's and the
    // root's from all the files below them.
    for (int list : {kRootsCreate, kRootsModify}) {
        for (OpNodeData* root : m_store.Roots(list)) {
            std::vector<IFileNode*> all;
            for (const OpChild& year : root->children()) {
                if (year.obj == nullptr) continue;
                std::vector<IFileNode*> inYear;
                for (const OpChild& month : year.obj->children()) {
                    if (month.obj == nullptr) continue;
                    std::vector<IFileNode*> files;
                    for (const OpChild& file : month.obj->children())
                        if (file.file != nullptr) files.push_back(file.file);
                    setNodeState(month.obj, files);
                    inYear.insert(inYear.end(), files.begin(), files.end());
                }
                setNodeState(year.obj, inYear);
                all.insert(all.end(), inYear.begin(), inYear.end());
            }
            setNodeState(root, all);
        }
    }
}

void QXViewTrees::RefreshTypeTreeState(OpNodeData* folder) {
    QXTreeManagers managers = Managers();
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    if (folder != nullptr) {
        if (managers.setTypeNodeState) managers.setTypeNodeState(folder);
    } else if (managers.refreshTypeTreeState) {
        managers.refreshTypeTreeState();
    }
}

void QXViewTrees::UnselectedAllNodes() { m_scan.UnselectAllNodes(); }

void QXViewTrees::QXCleanOpNodeSate() {
    std::lock_guard lock(m_store.Lock());
    Hold hold(*this, kHoldBuilder);
    // Through setNodeState, which passes the mark down to every folder and
    // engine node below each root.
    for (int list = 0; list < kRootListCount; ++list)
        for (OpNodeData* root : m_store.Roots(list)) root->setNodeState(CHECKED_NONE);
}

void QXViewTrees::QXTableViewCellCilck() {
    if (auto mark = Managers().setNeedRefreshTree) mark();
}
