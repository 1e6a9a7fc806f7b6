// The outlines as a scripted scan grows them: folders whose parent arrives
// later, the root level of the path view, listing and counts, the search
// thread with its posts, and the marks of virtual folders.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/QXViewTrees.h"
#include "model/TreeStore.h"
#include "model/qt/QXTypeMgr.h"
#include "support/FakeController.h"

using namespace model_test;
using namespace fake_controller;

namespace {

// A node whose sibling chain is set by hand (a damaged chain may loop).
class ChainNode : public FakeNode {
public:
    using FakeNode::FakeNode;
    CFileNode* GetNextNode() override { return next; }
    CFileNode* GetFirstChild() override { return first; }
    CFileNode* next = nullptr;
    CFileNode* first = nullptr;
};

class ViewTrees : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        MemDevice* disk = enumerator.AddDisk(MakeDisk("Disk", "sdz", 1, 1));
        enumerator.AddVolume(disk, MakeVolume(disk, "Vol", "sdz1"));
        ASSERT_EQ(model.InitDeviceInfo(), 1);
        scan.SetDeviceData(&model);
        scan.SetControllerFactory(Factory(script));
        // As the controller does: every batch extends the outlines under the lock.
        scan.SetNotifyHook([this](int final) {
            std::lock_guard hold(lock);
            trees.QXGetTreeNodeData(final);
            carriedAfterCall.push_back(trees.CarriedCount());
        });
        QXViewTrees::Hooks hooks;
        hooks.post = [this](const std::string& name) { Record("post:" + name); };
        hooks.log = [this](const std::string& line) { Record("log:" + line); };
        hooks.onMainThread = [this](std::function<void()> fn) {
            std::lock_guard hold(eventLock);
            mainCalls.push_back(std::move(fn));
        };
        trees.SetHooks(hooks);
        root = nodes.Root("Vol", SEARCHER_FAT);
    }
    void TearDown() override {
        trees.WaitSearch(10000);
        for (auto& fn : mainCalls) fn();
        EXPECT_EQ(store.RetiredCount(), 0u);
    }
    void Record(const std::string& event) {
        std::lock_guard hold(eventLock);
        events.push_back(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard hold(eventLock);
        return events;
    }
    EngineResult Run() {
        scan.SetStatus(QXOP_RUNNING);
        return scan.DoScan(model.GetStorageByDiskVolumeIndex(0, 0), nullptr);
    }
    // The outline as text: name{children} for folder rows, files left out.
    std::string Outline(int list) {
        std::lock_guard hold(lock);
        std::string text;
        for (OpNodeData* row : store.Roots(list)) text += Render(row);
        return text;
    }
    static std::string Render(const OpNodeData* row) {
        std::string text = row->name().empty() ? "/" : row->name();
        std::string inner;
        for (const OpChild& child : row->children())
            if (child.obj != nullptr) inner += Render(child.obj);
        return inner.empty() ? text + ";" : text + "{" + inner + "}";
    }
    OpNodeData* RowOf(IFileNode* node) {
        std::lock_guard hold(lock);
        return store.ViewOf(node);
    }

    FakeEnumerator enumerator;
    QXUIDeviceData model{&enumerator};
    QXUIScan scan;
    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::mutex lock;
    TreeStore store{TreeLockRef(lock)};
    QXViewTrees trees{scan, store};
    NodeTree nodes;
    FakeRoot* root = nullptr;
    std::mutex eventLock;
    std::vector<std::string> events;
    std::vector<std::function<void()>> mainCalls;
    std::vector<std::size_t> carriedAfterCall;
};

TEST_F(ViewTrees, FolderWaitsForItsParentAndTheLastCallPlacesIt) {
    FakeNode* a = nodes.Add(root, "a", true);
    FakeNode* b = nodes.Add(a, "b", true);
    FakeNode* c = nodes.Add(b, "c", true);
    FakeNode* file = nodes.Add(c, "f.txt", false);
    // Children before their parents, as a file system's record order may have it.
    script->steps = {Volume(root, {{c, file}, {b}, {a}})};
    Run();
    // After each batch: c waits; b and c wait; a is placed and b with it,
    // c still waits (one pass over the carried list per call); the scan's
    // last call retries until c is placed.
    EXPECT_EQ(carriedAfterCall, (std::vector<std::size_t>{1, 2, 1, 0}));
    EXPECT_EQ(Outline(kRootsPath), "/{a{b{c;}}}");
    EXPECT_EQ(Events().back(), "log:ykmark: lost filenode:0");
    // Each folder has one row, under its parent's row.
    EXPECT_EQ(RowOf(c)->parent(), RowOf(b));
    EXPECT_EQ(RowOf(b)->isExpandAble(), 1u);
    EXPECT_EQ(RowOf(c)->isExpandAble(), 0u);
    EXPECT_EQ(RowOf(root)->isFileSystem(), 1u);
}

TEST_F(ViewTrees, FolderWhoseParentNeverComesIsGivenUp) {
    FakeNode* hidden = nodes.Add(root, "hidden", true);
    FakeNode* orphan = nodes.Add(hidden, "orphan", true);
    script->steps = {Volume(root, {{orphan}})};
    Run();
    EXPECT_EQ(Outline(kRootsPath), "/;");
    EXPECT_EQ(Events().back(), "log:ykmark: lost filenode:1");
    EXPECT_EQ(trees.CarriedCount(), 1u);
}

TEST_F(ViewTrees, RootLevelOfThePathViewAddsEachFolderOnce) {
    FakeNode* a = nodes.Add(root, "a", true);
    FakeNode* b = nodes.Add(root, "b", true);
    nodes.Add(a, "x.txt", false);
    script->steps = {Volume(root, {{a}})};
    Run();
    root->SetCheck(CHECKED_ALL);
    trees.SetViewType(0);
    // b was never handed over; the walk of the root's children finds it.
    for (int i = 0; i < 2; ++i) EXPECT_EQ(trees.GetScanTreeNodeData(1), 0);
    EXPECT_EQ(Outline(kRootsPath), "/{a;b;}");
    EXPECT_EQ(root->GetCheckedStatus(), CHECKED_NONE);
    // Later passes know b has its row.
    {
        std::lock_guard hold(lock);
        trees.QXGetTreeNodeDataPath(2);
    }
    EXPECT_EQ(Outline(kRootsPath), "/{a;b;}");
    (void)b;
}

TEST_F(ViewTrees, ListingOfAFolderEndsAtALoopInItsSiblingChain) {
    auto* dir = new ChainNode(50, root->GetCurrentNodeID(), "loop", true);
    auto* one = new ChainNode(51, 50, "one.txt", false);
    auto* two = new ChainNode(52, 50, "two.txt", false);
    auto* sub = new ChainNode(53, 50, "sub", true);
    std::unique_ptr<CFileNode> owned[] = {std::unique_ptr<CFileNode>(dir), std::unique_ptr<CFileNode>(one),
                                          std::unique_ptr<CFileNode>(two), std::unique_ptr<CFileNode>(sub)};
    dir->first = one;
    one->next = sub;
    sub->next = two;
    two->next = one;  // back to the first
    two->ShowNode(1);
    OpNodeData* row = nullptr;
    {
        std::lock_guard hold(lock);
        row = store.Create(__TreeNodeData__{1, 0, 0, dir});
    }
    std::vector<IFileNode*> listed{root};
    EXPECT_EQ(trees.GetFileNodeToArray(listed, row), 1);
    EXPECT_EQ(listed, (std::vector<IFileNode*>{one, two}));
    {
        std::lock_guard hold(lock);
        EXPECT_TRUE(row->isHasFolderChildren());
    }
}

// Date and type folders made by hand, as their managers file them.
struct Folders {
    OpNodeData *dateRoot, *year, *month, *typeRoot, *ext, *other;
};

Folders MakeFolders(TreeStore& store, const std::vector<FakeNode*>& files) {
    Folders f{};
    f.dateRoot = store.CreateFolder("Modified", 3, 1);
    f.year = store.CreateFolder("2019", 3, 1);
    f.month = store.CreateFolder("03", 3, 0);
    f.dateRoot->setSubNode({{f.year, nullptr}});
    f.year->setSubNode({{f.month, nullptr}});
    for (FakeNode* file : files) f.month->addChildFile(file);
    store.Roots(kRootsModify).push_back(f.dateRoot);
    f.typeRoot = store.CreateFolder("Documents", 1, 1);
    f.ext = store.CreateFolder("txt", 1, 0);
    f.typeRoot->setSubNode({{f.ext, nullptr}});
    for (FakeNode* file : files) f.ext->addChildFile(file);
    f.other = store.CreateFolder("Other", 1, 1);
    f.other->addChildFile(files.front());
    store.Roots(kRootsType) = {f.typeRoot, f.other};
    return f;
}

TEST_F(ViewTrees, ListingAndCountsOfDateAndTypeFolders) {
    FakeNode* dir = nodes.Add(root, "d", true);
    std::vector<FakeNode*> files;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) files.push_back(nodes.Add(dir, name, false));
    Folders f;
    {
        std::lock_guard hold(lock);
        f = MakeFolders(store, files);
    }
    QXTreeManagers managers;
    managers.isOtherNode = [&](OpNodeData* row) { return row == f.other; };
    trees.SetManagers(managers);
    const std::vector<IFileNode*> all(files.begin(), files.end());
    struct Case {
        OpNodeData* row;
        std::vector<IFileNode*> listed;
        std::uint64_t count;
        const char* what;
    } cases[] = {
        {f.dateRoot, {}, 3, "date root"},      {f.year, {}, 3, "year"},
        {f.month, all, 3, "month"},            {f.typeRoot, {}, 3, "category root"},
        {f.ext, all, 3, "extension folder"},   {f.other, {files[0]}, 1, "other root"},
    };
    for (const Case& c : cases) {
        std::vector<IFileNode*> listed{root};
        trees.GetFileNodeToArray(listed, c.row);
        EXPECT_EQ(listed, c.listed) << c.what;
        EXPECT_EQ(trees.GetNodeChildrenCnt(c.row), c.count) << c.what;
    }
    EXPECT_EQ(trees.GetNodeChildrenCnt(nullptr), 0u);
}

TEST_F(ViewTrees, DateFolderMarkFromItsShownFiles) {
    struct Case {
        std::vector<int> states;
        std::vector<bool> shown;
        int mark;
    } cases[] = {
        {{2, 2, 2}, {true, true, true}, 2}, {{2, 0, 2}, {true, true, true}, 1},
        {{0, 0, 0}, {true, true, true}, 0}, {{2, 0, 2}, {true, false, true}, 2},
        {{0, 2, 0}, {true, true, true}, 1}, {{0, 2}, {true, false}, 0},
    };
    for (const Case& c : cases) {
        NodeTree own;
        FakeRoot* r = own.Root("V", SEARCHER_FAT);
        std::vector<IFileNode*> files;
        for (std::size_t i = 0; i < c.states.size(); ++i) {
            FakeNode* n = own.Add(r, "f" + std::to_string(i), false);
            n->SetCheck(static_cast<_tagCheckedStatus>(c.states[i]));
            n->ShowNode(c.shown[i] ? 1 : 0);
            files.push_back(n);
        }
        OpNodeData folder(__TreeNodeData__{1, 1, 0, nullptr});
        folder.setType(3);
        folder.setState(2);
        QXViewTrees::setNodeState(&folder, files);
        EXPECT_EQ(folder.state(), c.mark) << ::testing::PrintToString(c.states);
    }
}

TEST_F(ViewTrees, MarksOfDateFoldersAndClearingEveryOutline) {
    FakeNode* dir = nodes.Add(root, "d", true);
    std::vector<FakeNode*> files;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) files.push_back(nodes.Add(dir, name, false));
    script->steps = {Volume(root, {{dir}})};
    Run();
    Folders f;
    {
        std::lock_guard hold(lock);
        f = MakeFolders(store, files);
    }
    bool needsRefresh = false;
    QXTreeManagers managers;
    managers.timeTreeNeedsRefresh = [&] { return needsRefresh; };
    managers.resetTimeTreeNeedRefresh = [&] { needsRefresh = false; };
    managers.setNeedRefreshTree = [&] { needsRefresh = true; };
    trees.SetManagers(managers);

    files[0]->SetCheck(CHECKED_ALL);
    files[2]->SetCheck(CHECKED_ALL);
    trees.RefreshTimeTreeState(1);  // nothing changed by a click yet
    EXPECT_EQ(f.month->state(), 0);
    trees.QXTableViewCellCilck();
    trees.RefreshTimeTreeState(1);
    EXPECT_FALSE(needsRefresh);
    EXPECT_EQ(f.month->state(), 1);
    EXPECT_EQ(f.year->state(), 1);
    EXPECT_EQ(f.dateRoot->state(), 1);
    files[1]->SetCheck(CHECKED_ALL);
    trees.RefreshTimeTreeState(0);
    EXPECT_EQ(f.month->state(), 2);
    EXPECT_EQ(f.dateRoot->state(), 2);

    // Clearing sets every root to 0, which reaches every folder and node.
    f.other->setState(2);
    trees.QXCleanOpNodeSate();
    for (OpNodeData* row : {f.dateRoot, f.year, f.month, f.typeRoot, f.ext, f.other}) EXPECT_EQ(row->state(), 0);
    for (FakeNode* file : files) EXPECT_EQ(file->GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(root->GetCheckedStatus(), CHECKED_NONE);
}

// The managers' calls, the posts and the path outline's end, in order.
QXTreeManagers RecordingManagers(std::function<void(const std::string&)> record) {
    QXTreeManagers managers;
    managers.refreshTypeTree = [record] { record("type"); };
    managers.refreshTimeTree = [record](OpNodeData*, int key) { record("date" + std::to_string(key)); };
    managers.setSearch = [record](int on) { record("search" + std::to_string(on)); };
    managers.clear = [record] { record("clear"); };
    return managers;
}

TEST_F(ViewTrees, SearchBuildsTheShownOutlineFirstThenPostsTheKey) {
    FakeNode* docs = nodes.Add(root, "docs", true);
    nodes.Add(docs, "alpha.txt", false);
    nodes.Add(docs, "beta.txt", false);
    script->steps = {Volume(root, {{docs, docs->GetFirstChild(), docs->GetFirstChild()->GetNextNode()}})};
    Run();
    trees.SetManagers(RecordingManagers([this](const std::string& e) { Record(e); }));
    const std::vector<std::string> head = {"clear", "search1"};
    struct Case {
        int view;
        std::vector<std::string> order;
    } cases[] = {
        {0, {"path", "post:DoSearchValue", "type", "date2", "date3"}},
        {1, {"type", "post:DoSearchValue", "date2", "date3", "path"}},
        {2, {"date2", "post:DoSearchValue", "type", "date3", "path"}},
        {3, {"date3", "post:DoSearchValue", "type", "date2", "path"}},
        {4, {}},
    };
    for (const Case& c : cases) {
        {
            std::lock_guard hold(eventLock);
            events.clear();
        }
        trees.SetViewType(c.view);
        ASSERT_TRUE(trees.DoSearchWithString("alp", "DoSearchValue"));
        ASSERT_TRUE(trees.WaitSearch(10000));
        std::vector<std::string> seen;
        for (const std::string& e : Events())
            seen.push_back(e.rfind("log:ykmark: lost filenode with search", 0) == 0 ? "path" : e);
        std::vector<std::string> expected = head;
        expected.insert(expected.end(), c.order.begin(), c.order.end());
        expected.push_back("post:DoSearchFinished");
        EXPECT_EQ(seen, expected) << "view " << c.view;
        EXPECT_FALSE(trees.QXGetIsSearching());
    }
    // The path outline holds the hit's folder; the hit alone is listed.
    trees.SetViewType(0);
    ASSERT_TRUE(trees.DoSearchWithString("alp", "DoSearchValue"));
    ASSERT_TRUE(trees.WaitSearch(10000));
    EXPECT_EQ(Outline(kRootsPath), "/{docs;}");
    std::vector<IFileNode*> listed;
    trees.GetFileNodeToArray(listed, RowOf(docs));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_STREQ(listed[0]->GetFileName(), "alpha.txt");
    std::vector<IFileNode*> results;
    trees.GetSearchResultToArr(results);
    EXPECT_EQ(results, listed);
    EXPECT_EQ(trees.GetSearchString(), "alp");
    // An empty key shows everything again.
    ASSERT_TRUE(trees.DoSearchWithString("", "DoSearchValue"));
    ASSERT_TRUE(trees.WaitSearch(10000));
    trees.GetFileNodeToArray(listed, RowOf(docs));
    EXPECT_EQ(listed.size(), 2u);
    results.clear();
    trees.GetSearchResultToArr(results);
    EXPECT_TRUE(results.empty());
}

TEST_F(ViewTrees, SecondSearchWhileOneRunsIsRefusedAndReadersDoNotWait) {
    FakeNode* docs = nodes.Add(root, "docs", true);
    FakeNode* file = nodes.Add(docs, "alpha.txt", false);
    script->steps = {Volume(root, {{docs, file}})};
    Run();
    const std::uint64_t before = store.Generation();
    ASSERT_GT(store.RowCount(before, kRootsPath, nullptr), 0);

    std::mutex gate;
    std::condition_variable opened;
    bool open = false, entered = false;
    scan.SetNameMatcher([&](const char*, IFileNode*) {
        std::unique_lock hold(gate);
        entered = true;
        opened.notify_all();
        opened.wait(hold, [&] { return open; });
        return true;
    });
    ASSERT_TRUE(trees.DoSearchWithString("alp", "DoSearchValue"));
    {
        std::unique_lock hold(gate);
        opened.wait(hold, [&] { return entered; });
    }
    EXPECT_TRUE(trees.QXGetIsSearching());
    EXPECT_FALSE(trees.DoSearchWithString("bet", "DoSearchValue"));
    EXPECT_EQ(Events().back(), "log:++++++++++skip search key:bet++++++++");
    // The search holds the tree lock: readers of the old and of the new
    // outline answer at once instead of waiting for it.
    EXPECT_EQ(store.RowCount(before, kRootsPath, nullptr), 0);
    EXPECT_EQ(store.RowCount(store.Generation(), kRootsPath, nullptr), 0);
    {
        std::lock_guard hold(gate);
        open = true;
    }
    opened.notify_all();
    ASSERT_TRUE(trees.WaitSearch(10000));
    EXPECT_EQ(store.RowCount(store.Generation(), kRootsPath, nullptr), 1);
    EXPECT_EQ(store.RowCount(before, kRootsPath, nullptr), 0);  // retired
    EXPECT_TRUE(trees.DoSearchWithString("bet", "DoSearchValue"));
    EXPECT_TRUE(trees.WaitSearch(10000));  // its matcher uses this test's locals
}

}  // namespace
