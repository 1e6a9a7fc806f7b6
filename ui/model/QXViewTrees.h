#pragma once
// The result outlines as the scan, the search and the windows grow them:
// the path outline with its waiting and carried lists, the root level of the
// path view, listing and counts under a selected folder, the name search on a
// thread of its own, and the check marks of the virtual date and type
// folders. The outlines live in a TreeStore; the type and date folders are
// filed by their managers, reached through the hooks below.
//
// Locking: methods marked "lock held" expect the caller to hold the store's
// lock (the tree lock); the others take it themselves. Nothing here takes the
// lock while holding the scan bridge's mutex.
//
// Plain C++: posts, main-thread calls and the managers are injected.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/OpNodeData.h"
#include "model/TreeStore.h"

class QXUIScan;
class WorkerThread;

// The type and date folder managers, as the outlines call them.
struct QXTreeManagers {
    std::function<void()> refreshTypeTree;                       // files new nodes by type
    std::function<std::vector<OpNodeData*>()> typeRoots;         // the seven category roots
    std::function<void(OpNodeData* root, int key)> refreshTimeTree;  // files new nodes by date
    std::function<void(int on)> setSearch;                       // both managers
    std::function<void()> clear;                                 // both: forget every folder
    std::function<bool(OpNodeData* row)> isOtherNode;
    std::function<void(OpNodeData* folder)> setTypeNodeState;    // a type folder's mark from its files
    std::function<void()> refreshTypeTreeState;
    std::function<void()> setNeedRefreshTree;                    // both: marks changed outside
    std::function<bool()> timeTreeNeedsRefresh;
    std::function<void()> resetTimeTreeNeedRefresh;
};

class QXViewTrees {
public:
    struct Hooks {
        std::function<void(const std::string& name)> post;  // a notification for the windows
        std::function<void(std::function<void()>)> onMainThread;  // queued, never waits
        std::function<void(const std::string& line)> log;
        std::function<void()> resetThrottle;  // the next scan post goes out at once
    };

    // Hold times of the tree lock by kind, for the benchmark.
    enum HoldKind { kHoldExtend, kHoldSearch, kHoldBuilder, kHoldKinds };
    struct HoldStats {
        std::uint64_t count = 0;
        std::int64_t totalNs = 0;
        std::int64_t longestNs = 0;
    };

    // The process-wide outlines over the scan bridge and the shared store.
    static QXViewTrees& shared();
    QXViewTrees(QXUIScan& scan, TreeStore& store);
    ~QXViewTrees();

    void SetHooks(Hooks hooks);
    void SetManagers(QXTreeManagers managers);
    TreeStore& Store() { return m_store; }
    QXUIScan& Scan() { return m_scan; }

    // ---- Building (lock held unless said).

    // Extends every outline with what the scan found since the last call;
    // flag 1 is the scan's last call (retries the carried folders), 2 takes
    // every folder again.
    void QXGetTreeNodeData(int flag);
    void QXGetTreeNodeDataPath(int flag);
    // The path rows made for new folders of the scan; rows whose parent has
    // none yet wait for a later call.
    void QXGetNewPathOpNode(std::vector<OpNodeData*>& out, int flag);
    // One pass; false when the outlines were reset while it gave the lock away.
    bool QXGetNewPathOpNodeImp(std::vector<OpNodeData*>& out, const std::vector<IFileNode*>& nodes);
    // Retires the outlines (a new generation), empties the waiting lists and
    // the node-to-row map, and resets the post throttle. Takes the lock.
    void QXResetTreeNodeData();
    void ResetLocked();
    // The root level of the path view (main thread); takes the lock.
    int GetScanTreeNodeData(int clearNodeState);
    void AddNodeToArr();
    void AddPathNodeToArray();
    void AddTypeNodeToArr();
    void AddDateNodeToArray(int key);
    void SetViewType(int type);

    // Lock held. Between two slices of a type or date refresh: when the lock
    // is held to extend the outlines, ends that hold, letting the lock go so
    // that waiting readers get in, and takes it again; false when the
    // outlines were reset meanwhile (the refresh must stop). Under any other
    // hold (a search holds the lock throughout; main-thread builders) it
    // keeps the lock and answers true.
    bool SliceExtension();

    // Nodes waiting for their parent's row: this pass's and the carried ones.
    std::size_t WaitingCount() const { return m_waiting.size(); }
    std::size_t CarriedCount() const { return m_carried.size(); }

    // ---- Listing and counts (take the lock).

    int GetFileNodeToArray(std::vector<IFileNode*>& out, OpNodeData* row);
    int GetPathInfoToArray(std::vector<IFileNode*>& out, OpNodeData* row);
    int GetTypeInfoToArray(std::vector<IFileNode*>& out, OpNodeData* row);
    int GetDateInfoToArray(std::vector<IFileNode*>& out, OpNodeData* row);
    std::uint64_t GetNodeChildrenCnt(OpNodeData* row);

    // ---- Search.

    // Starts a search for `text` on its own thread; false (and a log line)
    // while one runs. `postKey` is posted once the current view's outline
    // holds the hits, "DoSearchFinished" at the end.
    bool DoSearchWithString(const std::string& text, const std::string& postKey);
    void DoSearchFn(const std::string& postKey);
    std::string GetSearchString();
    void StopSearch();
    bool QXGetIsSearching();
    void GetSearchResultToArr(std::vector<IFileNode*>& out);
    // Waits for the search thread to end; true when it did.
    bool WaitSearch(int milliseconds);

    // ---- Check marks (take the lock).

    // A date folder's mark from its shown nodes: all checked 2, none 0,
    // else 1. Lock held.
    static void setNodeState(OpNodeData* folder, const std::vector<IFileNode*>& nodes);
    void RefreshTimeTreeState(int changeTable);
    void RefreshTypeTreeState(OpNodeData* folder);
    void UnselectedAllNodes();
    void QXCleanOpNodeSate();
    void QXTableViewCellCilck();

    // Lock-hold figures since the last call.
    std::vector<HoldStats> TakeHoldStats();
    // Where the last search spent its time: matching the names, the shown
    // outline, the other outlines.
    struct SearchTimes {
        std::int64_t matchNs = 0, shownNs = 0, otherNs = 0;
    };
    SearchTimes LastSearchTimes();

private:
    class Hold;
    QXTreeManagers Managers();
    void RecordHold(HoldKind kind, std::int64_t ns);
    OpNodeData* MakeRootRow(IFileNode* node);
    void LinkRow(OpNodeData* row);
    // Gives the lock away for a moment during a long pass; false when the
    // outlines were reset meanwhile (the pass must stop).
    bool Breathe(std::int64_t& sliceStartNs);
    void BuildSearchTree(int viewType);
    void QXGetTreeNodeDataPathWithSearch();
    OpNodeData* QXAddSearchFileNodeToOpTree(IFileNode* node);
    void Post(const std::string& name);
    void FreeRetiredLater();
    void Log(const std::string& line);

    QXUIScan& m_scan;
    TreeStore& m_store;
    std::mutex m_seamLock;
    Hooks m_hooks;
    QXTreeManagers m_managers;

    // Guarded by the tree lock.
    std::vector<IFileNode*> m_waiting;
    std::vector<IFileNode*> m_carried;
    std::vector<IFileNode*> m_hits;
    HoldStats m_holds[kHoldKinds];
    SearchTimes m_searchTimes;
    int m_holdDepth = 0;
    HoldKind m_holdKind = kHoldExtend;
    std::int64_t m_holdStartNs = 0;
    std::thread::id m_holdThread;

    std::mutex m_searchLock;
    std::shared_ptr<WorkerThread> m_searchThread;
};
