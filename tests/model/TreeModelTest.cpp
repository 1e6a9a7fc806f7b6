// The outlines read by item models while other threads change them: Qt's
// model tester over the four outlines while a scripted scan grows them and
// a search replaces them, and a reader and a writer thread on the store's
// locked readers (also run under ThreadSanitizer in a local build).
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QStringList>
#include <atomic>
#include <random>
#include <mutex>
#include <thread>

#include "ModelTestSupport.h"
#include "StoreTreeModel.h"
#include "model/QXTimeMgr.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/QXViewTrees.h"
#include "model/TreeStore.h"
#include "model/qt/QXTypeMgr.h"
#include "support/FakeController.h"

using namespace model_test;
using namespace fake_controller;

namespace {

int64_t FileTimeOf(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return (static_cast<int64_t>(mktime(&t)) + 11644473600LL) * 10000000LL;
}

// The model tester's complaints, collected instead of printed.
QStringList* g_complaints = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void CollectComplaints(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (g_complaints != nullptr && context.category != nullptr && QByteArray(context.category) == "qt.modeltest" &&
        type != QtDebugMsg)
        g_complaints->append(text);
    else if (g_previousHandler != nullptr)
        g_previousHandler(type, context, text);
}

// Walks every row a view could show, as painting and expanding would.
int Walk(QAbstractItemModel& model, const QModelIndex& parent = {}) {
    int seen = 0;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        model.data(index, Qt::DisplayRole);
        model.data(model.index(row, 1, parent), Qt::DisplayRole);
        seen += 1 + Walk(model, index);
    }
    return seen;
}

// The main thread's queue of calls posted by the worker threads, run in
// order when the main thread drains it (as queued calls run on Qt's loop;
// kept apart from Qt so that ThreadSanitizer sees every hand-over).
class MainQueue {
public:
    void Post(std::function<void()> fn) {
        std::lock_guard hold(m_lock);
        m_calls.push_back(std::move(fn));
    }
    void Drain() {
        std::vector<std::function<void()>> calls;
        {
            std::lock_guard hold(m_lock);
            calls.swap(m_calls);
        }
        for (auto& fn : calls) fn();
    }

private:
    std::mutex m_lock;
    std::vector<std::function<void()>> m_calls;
};

// A scan of 120 folders and 2,400 files of every category and 20 years,
// handed over in 60 batches, most folders before their parents.
struct ScanContent {
    explicit ScanContent(NodeTree& tree) {
        root = tree.Root("Vol", SEARCHER_FAT);
        const char* extensions[] = {"txt", "jpg", "mp4", "mp3", "zip", "eml", "qzx", "pdf", "png"};
        std::vector<FakeNode*> folders;
        for (int f = 0; f < 120; ++f) {
            CFileNode* parent = f < 10 ? static_cast<CFileNode*>(root) : folders[static_cast<std::size_t>(f / 10 - 1)];
            folders.push_back(tree.Add(parent, "dir" + std::to_string(f), true));
        }
        std::vector<IFileNode*> files;
        for (int i = 0; i < 2400; ++i) {
            FakeNode* file = tree.Add(folders[static_cast<std::size_t>(i % 120)],
                                      "file" + std::to_string(i) + "." + extensions[i % 9], false);
            file->SetMTime(FileTimeOf(2000 + i % 20, 1 + i % 12, 1 + i % 28));
            file->SetCTime(FileTimeOf(2001 + i % 17, 1 + i % 11, 2));
            files.push_back(file);
        }
        for (int b = 0; b < 60; ++b)
            batches.emplace_back(files.begin() + b * 40, files.begin() + (b + 1) * 40);
        // The folders below the top level two per batch; the top level last,
        // so that most folders wait for their parents.
        for (int f = 10; f < 120; ++f) batches[static_cast<std::size_t>((f - 10) / 2)].push_back(folders[static_cast<std::size_t>(f)]);
        for (int f = 0; f < 10; ++f) batches.back().push_back(folders[static_cast<std::size_t>(f)]);
    }
    FakeRoot* root = nullptr;
    std::vector<std::vector<IFileNode*>> batches;
};

TEST(TreeModel, ModelTesterPassesWhileAScanAndASearchChangeTheOutlines) {
    static const bool types = (initFileType(), true);
    (void)types;
    FakeEnumerator enumerator;
    MemDevice* disk = enumerator.AddDisk(MakeDisk("Disk", "sdz", 1, 1));
    enumerator.AddVolume(disk, MakeVolume(disk, "Vol", "sdz1"));
    QXUIDeviceData devices(&enumerator);
    ASSERT_EQ(devices.InitDeviceInfo(), 1);
    QXUIScan scan;
    scan.SetDeviceData(&devices);
    auto script = std::make_shared<Script>();
    scan.SetControllerFactory(Factory(script));
    NodeTree nodes;
    ScanContent content(nodes);
    // A pause per batch, so that the main thread reads between them.
    std::vector<std::vector<IFileNode*>> batches = content.batches;
    script->steps = {[&](IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) {
        return Volume(content.root, batches)(device, progress, tree);
    }};

    std::mutex lock;
    TreeStore store{TreeLockRef(lock)};
    QXViewTrees trees(scan, store);
    QXTimeMgr dates;
    dates.SetScan(&scan);
    QXTypeMgr& types_ = QXTypeMgr::share();
    TreeStore* previousStore = nullptr;
    {
        std::lock_guard hold(lock);
        dates.SetTreeStore(&store);
        previousStore = types_.SetTreeStore(&store);
        types_.SetScan(&scan);
        types_.clear();
    }
    QXTreeManagers managers;
    managers.refreshTypeTree = [&] { types_.refreshTypeTree(); };
    managers.typeRoots = [&] { return types_.getRootNode(); };
    managers.refreshTimeTree = [&](OpNodeData* root, int key) { dates.refreshTimeTree(root, key); };
    managers.setSearch = [&](int on) {
        types_.setSearch(on != 0);
        dates.setSearch(on);
    };
    managers.clear = [&] {
        types_.clear();
        dates.clear();
    };
    trees.SetManagers(managers);

    MainQueue mainQueue;
    std::vector<std::unique_ptr<StoreTreeModel>> models;
    for (int list = 0; list < kRootListCount; ++list) models.push_back(std::make_unique<StoreTreeModel>(store, list));
    auto reloadAll = [&] {
        for (auto& model : models) model->Reload();
    };
    QXViewTrees::Hooks hooks;
    std::atomic<int> searchPosts{0};
    hooks.post = [&](const std::string& name) {
        if (name == "DoSearchValue" || name == "DoSearchFinished") ++searchPosts;
        mainQueue.Post(reloadAll);
    };
    hooks.onMainThread = [&](std::function<void()> fn) { mainQueue.Post(std::move(fn)); };
    hooks.log = [](const std::string&) {};
    trees.SetHooks(hooks);
    std::atomic<int> calls{0};
    scan.SetNotifyHook([&](int final) {
        {
            std::lock_guard hold(lock);
            trees.QXGetTreeNodeData(final);
        }
        // As the controller throttles its posts: not after every batch.
        if (final != 0 || ++calls % 7 == 0) mainQueue.Post(reloadAll);
    });

    QStringList complaints;
    g_complaints = &complaints;
    g_previousHandler = qInstallMessageHandler(&CollectComplaints);
    std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
    for (auto& model : models)
        testers.push_back(std::make_unique<QAbstractItemModelTester>(
            model.get(), QAbstractItemModelTester::FailureReportingMode::Warning));

    std::atomic<bool> scanned{false};
    std::thread worker([&] {
        scan.SetStatus(QXOP_RUNNING);
        scan.DoScan(devices.GetStorageByDiskVolumeIndex(0, 0), nullptr);
        scanned = true;
    });
    QElapsedTimer timer;
    timer.start();
    int walks = 0;
    while (!scanned.load() && timer.elapsed() < 60000) {
        mainQueue.Drain();
        for (auto& model : models) Walk(*model);
        ++walks;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    worker.join();
    mainQueue.Drain();
    reloadAll();
    // Every folder has its row, and the date and type outlines their roots.
    EXPECT_EQ(Walk(*models[kRootsPath]), 121);
    EXPECT_EQ(models[kRootsType]->rowCount(), 7);
    EXPECT_EQ(models[kRootsModify]->rowCount(), 1);
    EXPECT_EQ(models[kRootsModify]->rowCount(models[kRootsModify]->index(0, 0)), 20);  // 2000 .. 2019

    // A search replaces the outlines while the models read them.
    scan.SetNameMatcher([](const char* key, IFileNode* node) {
        return std::string(node->GetFileName()).find(key) != std::string::npos;
    });
    trees.SetViewType(0);
    ASSERT_TRUE(trees.DoSearchWithString("file7", "DoSearchValue"));
    timer.restart();
    while ((searchPosts.load() < 2 || trees.QXGetIsSearching()) && timer.elapsed() < 60000) {
        mainQueue.Drain();
        for (auto& model : models) Walk(*model);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(trees.WaitSearch(10000));
    mainQueue.Drain();
    // Hits: file7, file70..79, file700..799: in 111 files, spread over
    // folders dir7, dir70..dir79, and the ancestors of those.
    int hitFiles = 0;
    std::vector<IFileNode*> listed;
    for (int row = 0; row < models[kRootsPath]->rowCount(); ++row) {
        std::function<void(const QModelIndex&)> count = [&](const QModelIndex& index) {
            trees.GetFileNodeToArray(listed, static_cast<OpNodeData*>(index.internalPointer()));
            hitFiles += static_cast<int>(listed.size());
            for (int r = 0; r < models[kRootsPath]->rowCount(index); ++r) count(models[kRootsPath]->index(r, 0, index));
        };
        count(models[kRootsPath]->index(row, 0));
    }
    EXPECT_EQ(hitFiles, 111);
    testers.clear();
    qInstallMessageHandler(g_previousHandler);
    g_complaints = nullptr;
    EXPECT_TRUE(complaints.isEmpty()) << complaints.join('\n').toStdString();
    EXPECT_GT(walks, 0);
    for (auto& model : models) model->Reload();
    mainQueue.Drain();
    store.FreeRetired();
    {
        std::lock_guard hold(lock);
        types_.clear();
        types_.SetScan(nullptr);
        types_.SetTreeStore(previousStore);
    }
}

// A writer growing and resetting the outline against a reader walking it
// through the locked readers only, and the main thread freeing retired
// generations meanwhile.
TEST(TreeModel, ReaderAndWriterThreadsOnTheStore) {
    std::mutex lock;
    TreeStore store{TreeLockRef(lock)};
    NodeTree nodes;
    FakeRoot* root = nodes.Root("Vol", SEARCHER_FAT);
    std::vector<FakeNode*> folders;
    for (int i = 0; i < 400; ++i) folders.push_back(nodes.Add(root, "d" + std::to_string(i), true));
    std::atomic<bool> done{false};
    std::atomic<int> resets{0};
    std::atomic<int> rowsRead{0};
    std::thread writer([&] {
        std::mt19937 random(7);
        // At least 30 generations, and on until the reader has seen rows.
        for (int round = 0; round < 30 || (rowsRead.load() < 2000 && round < 100000); ++round) {
            std::vector<OpNodeData*> made;
            for (FakeNode* folder : folders) {
                std::lock_guard hold(lock);
                OpNodeData* row = store.Create(__TreeNodeData__{1, 0, 0, folder});
                if (made.empty() || random() % 4 == 0) {
                    store.Roots(kRootsPath).push_back(row);
                } else {
                    OpNodeData* parent = made[random() % made.size()];
                    row->setParent(parent);
                    parent->addChildObject(row);
                    parent->addChildFile(folder);
                }
                store.SetView(folder, row);
                made.push_back(row);
                if (made.size() % 64 == 0) std::this_thread::yield();
            }
            std::lock_guard hold(lock);
            store.Retire();
            ++resets;
        }
        done = true;
    });
    std::thread reader([&] {
        while (!done.load()) {
            const std::uint64_t generation = store.Generation();
            std::vector<OpChild> pending;
            for (int i = 0, n = store.RowCount(generation, kRootsPath, nullptr); i < n; ++i)
                pending.push_back(store.ChildAt(generation, kRootsPath, nullptr, i));
            while (!pending.empty()) {
                OpChild entry = pending.back();
                pending.pop_back();
                OpRowFields fields;
                if (!store.Fields(generation, entry, fields)) continue;
                ++rowsRead;
                if (entry.obj == nullptr) continue;
                OpNodeData* parent = nullptr;
                int index = -1;
                store.ParentOf(generation, kRootsPath, entry.obj, &parent, &index);
                for (int i = 0, n = store.RowCount(generation, kRootsPath, entry.obj); i < n; ++i)
                    pending.push_back(store.ChildAt(generation, kRootsPath, entry.obj, i));
            }
        }
    });
    // The main thread frees what was retired, as the queued calls do.
    while (!done.load()) {
        store.FreeRetired(store.Generation());
        std::this_thread::yield();
    }
    writer.join();
    reader.join();
    store.FreeRetired();
    EXPECT_EQ(store.RetiredCount(), 0u);
    EXPECT_GE(rowsRead.load(), 2000);
    EXPECT_GE(resets.load(), 30);
    EXPECT_EQ(store.Generation(), static_cast<std::uint64_t>(resets.load()) + 1);
}

}  // namespace
