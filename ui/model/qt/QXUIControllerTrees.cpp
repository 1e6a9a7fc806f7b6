// The controller's outlines: the facade over QXViewTrees, and its wiring to
// the scan's updates, the main thread's posts and the type and date
// managers.
#include <QCoreApplication>
#include <memory>
#include <mutex>
#include <string>

#include "model/OpNodeData.h"
#include "model/QXPublic.h"
#include "model/QXTimeMgr.h"
#include "model/QXUIScan.h"
#include "model/QXViewTrees.h"
#include "model/TreeStore.h"
#include "model/qt/NameMatcher.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "model/qt/TextLookup.h"

namespace {

// The shared store is made over the tree lock; set before anything can ask
// for the store (static initialisation of the controller's objects).
const bool g_storeLockSet = (TreeStore::SetSharedLock(TreeLockRef(g_lockerAddData)), true);

QXViewTrees& Trees() { return QXViewTrees::shared(); }

void OnMainThread(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

// The search's name test: the needle folded and the user's setting read
// once per search thread (each search runs on a new one), not once per node.
bool SearchNameMatch(const char* key, IFileNode* node) {
    thread_local std::string folded;
    thread_local std::unique_ptr<NameMatcher> matcher;
    if (key == nullptr || *key == 0) return true;
    if (!matcher || folded != key) {
        matcher = std::make_unique<NameMatcher>(key);
        folded = key;
    }
    return matcher->MatchesNode(node);
}

QXTreeManagers Managers() {
    QXTreeManagers m;
    m.refreshTypeTree = [] { QXTypeMgr::share().refreshTypeTree(); };
    m.typeRoots = [] { return QXTypeMgr::share().getRootNode(); };
    m.refreshTimeTree = [](OpNodeData* root, int key) { QXTimeMgr::share().refreshTimeTree(root, key); };
    m.setSearch = [](int on) {
        QXTypeMgr::share().setSearch(on != 0);
        QXTimeMgr::share().setSearch(on);
    };
    m.clear = [] {
        QXTypeMgr::share().clear();
        QXTimeMgr::share().clear();
    };
    m.isOtherNode = [](OpNodeData* row) { return QXTypeMgr::share().isOtherNode(row); };
    m.setTypeNodeState = [](OpNodeData* folder) { QXTypeMgr::share().setNodeState(folder); };
    m.refreshTypeTreeState = [] { QXTypeMgr::share().refreshTypeTreeState(); };
    m.setNeedRefreshTree = [] {
        QXTypeMgr::share().QXSetNeedRefreshTree();
        QXTimeMgr::share().QXSetNeedRefreshTree();
    };
    m.timeTreeNeedsRefresh = [] { return QXTimeMgr::share().QXGetNeedRefreshTree() != 0; };
    m.resetTimeTreeNeedRefresh = [] { QXTimeMgr::share().QXResetNeedRefreshTree(); };
    return m;
}

}  // namespace

void QXUIController::InstallViewTrees() {
    (void)g_storeLockSet;
    OpNodeData::SetLookups(OpNodeData::Lookups{
        [](const char* key) { return LText(key); },
        [](const char* title) { return QXCPPPublic::StringToFilterType(title); },
        [](std::int64_t time) { return QXUIPublic::FormatFileTimeToString(time); },
    });
    QXViewTrees::Hooks hooks;
    hooks.post = [](const std::string& name) { QXUIPublic::NotifyMainThread(name); };
    hooks.onMainThread = &OnMainThread;
    hooks.resetThrottle = [] { g_timeCount = 0; };
    Trees().SetHooks(std::move(hooks));
    {
        // The managers make their folders in the shared store's generations.
        std::lock_guard lock(g_lockerAddData);
        QXTypeMgr::share().SetTreeStore(&Trees().Store());
        QXTimeMgr::share().SetTreeStore(&Trees().Store());
        // A scan's batch can bring thousands of files at once: the type and
        // date refreshes file them a slice at a time, letting the windows'
        // reads in between, so that no paint waits for a whole batch.
        constexpr std::size_t kSliceNodes = 4096;
        QXTypeMgr::share().SetSlicing(kSliceNodes, [] { return QXViewTrees::shared().SliceExtension(); });
        QXTimeMgr::share().SetSlicing(kSliceNodes, [] { return QXViewTrees::shared().SliceExtension(); });
    }
    Trees().SetManagers(Managers());
    QXUIScan::instance().SetNameMatcher(&SearchNameMatch);
    SetTreeBuildHook([](int final) { QXViewTrees::shared().QXGetTreeNodeData(final); });
}

TreeStore& QXUIController::QXTreeStore() { return Trees().Store(); }

void QXUIController::QXResetTreeNodeData() { Trees().QXResetTreeNodeData(); }

void QXUIController::QXGetTreeNodeData(int flag) {
    std::lock_guard lock(g_lockerAddData);
    Trees().QXGetTreeNodeData(flag);
}

void QXUIController::QXGetTreeNodeDataPath(int flag) {
    std::lock_guard lock(g_lockerAddData);
    Trees().QXGetTreeNodeDataPath(flag);
}

void QXUIController::QXGetNewPathOpNode(std::vector<OpNodeData*>& out, int flag) {
    std::lock_guard lock(g_lockerAddData);
    Trees().QXGetNewPathOpNode(out, flag);
}

int QXUIController::GetScanTreeNodeData(int clearNodeState) { return Trees().GetScanTreeNodeData(clearNodeState); }

void QXUIController::SetViewType(int type) { Trees().SetViewType(type); }

int QXUIController::GetFileNodeToArray(std::vector<IFileNode*>& out, OpNodeData* row) {
    return Trees().GetFileNodeToArray(out, row);
}

std::uint64_t QXUIController::GetNodeChildrenCnt(OpNodeData* row) { return Trees().GetNodeChildrenCnt(row); }

// The post object of the original call carries nothing the windows read:
// the key alone is posted.
bool QXUIController::DoSearchWithString(const QString& text, QObject*, const QString& key) {
    return Trees().DoSearchWithString(text.toStdString(), key.toStdString());
}

QString QXUIController::GetSearchString() { return QString::fromStdString(Trees().GetSearchString()); }

void QXUIController::StopSearch() { Trees().StopSearch(); }

bool QXUIController::QXGetIsSearching() { return Trees().QXGetIsSearching(); }

void QXUIController::GetSearchResultToArr(std::vector<IFileNode*>& out) { Trees().GetSearchResultToArr(out); }

void QXUIController::setNodeState(OpNodeData* folder, const std::vector<IFileNode*>& nodes) {
    std::lock_guard lock(g_lockerAddData);
    QXViewTrees::setNodeState(folder, nodes);
}

void QXUIController::RefreshTimeTreeState(int changeTable) { Trees().RefreshTimeTreeState(changeTable); }

void QXUIController::RefreshTypeTreeState(OpNodeData* folder) { Trees().RefreshTypeTreeState(folder); }

void QXUIController::UnselectedAllNodes() { Trees().UnselectedAllNodes(); }

void QXUIController::QXCleanOpNodeSate() { Trees().QXCleanOpNodeSate(); }

void QXUIController::QXTableViewCellCilck() { Trees().QXTableViewCellCilck(); }

void QXUIController::AddFileNode(IFileNode* node, OpNodeData* root) {
    if (node == nullptr || root == nullptr) return;
    std::lock_guard lock(g_lockerAddData);
    QXTimeMgr::share().AddFileNode(node, root);
}

QImage QXUIController::getImageForType(const QString& extension) {
    return QXTypeMgr::share().getImageForType(extension);
}
