// The outlines by creation and by modification date: year and month folders
// in ascending order, incremental filing from the scan bridge's date lists,
// the month folders' times, and the need-refresh flags. Then both the date
// and the type outline of a real quick scan of a FAT volume whose files
// carry chosen times (root, loop devices).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "ModelTestSupport.h"
#include "model/QXTimeMgr.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/TreeStore.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/SkipOutsideCi.h"

using namespace model_test;

namespace {

std::time_t LocalTime(int year, int month, int day, int hour = 12) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_isdst = -1;
    return mktime(&t);
}

int64_t FileTime(int year, int month, int day = 15) {
    return (static_cast<int64_t>(LocalTime(year, month, day)) + 11644473600LL) * 10000000LL;
}

class DateTree : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        dates.SetScan(&scan);
        dates.SetTreeStore(&store);
        std::lock_guard lock(treeLock);
        created = store.CreateFolder("Created", kOpTreeCreate, 1);
        modified = store.CreateFolder("Modified", kOpTreeModify, 1);
    }
    // A file with a modification time and, when given, a creation time.
    FakeNode* File(const std::string& name, int64_t mtime, int64_t ctime = 0) {
        FakeNode* node = tree.Add(nullptr, name, false);
        node->SetMTime(mtime);
        node->SetCTime(ctime);
        return node;
    }
    void Show(std::vector<IFileNode*> batch) { scan.ShowNodesResult(batch.data(), static_cast<unsigned>(batch.size())); }
    void Refresh() {
        std::lock_guard lock(treeLock);
        dates.refreshTimeTree(created, kOpTreeCreate);
        dates.refreshTimeTree(modified, kOpTreeModify);
    }
    // "year/month: files" of a date root, in outline order.
    static std::vector<std::string> Outline(const OpNodeData* root) {
        std::vector<std::string> lines;
        for (const OpChild& year : root->children()) {
            EXPECT_EQ(year.obj->parent(), root);
            EXPECT_EQ(year.obj->type(), root->type());
            EXPECT_EQ(year.obj->isExpandAble(), 1u);
            for (const OpChild& month : year.obj->children()) {
                EXPECT_EQ(month.obj->parent(), year.obj);
                EXPECT_EQ(month.obj->isExpandAble(), 0u);
                std::string line = year.obj->name() + "/" + month.obj->name() + ":";
                for (const OpChild& file : month.obj->children()) line += " " + std::string(file.file->GetFileName());
                lines.push_back(line);
            }
        }
        return lines;
    }

    QXTimeMgr dates;
    QXUIScan scan;
    std::mutex treeLock;
    TreeStore store{TreeLockRef(treeLock)};
    NodeTree tree;
    OpNodeData* created = nullptr;
    OpNodeData* modified = nullptr;
};

// A refresh filed a few nodes at a time ends with the outlines one refresh
// makes, each file once, whatever happens between two slices: nothing, a
// reset that stops it (the next refresh goes on from the processed counts),
// or other refreshes that take the lock meanwhile.
TEST_F(DateTree, SlicedRefreshEndsWithTheSameOutlines) {
    std::vector<IFileNode*> batch;
    for (int i = 0; i < 40; ++i)
        batch.push_back(File("f" + std::to_string(i), FileTime(2001 + i % 3, 1 + i % 5),
                             i % 4 == 0 ? 0 : FileTime(2010 + i % 2, 12 - i % 7)));
    batch[9]->ShowNode(0);
    Show(batch);
    auto outlines = [&] {
        std::lock_guard lock(treeLock);
        return std::make_pair(Outline(created), Outline(modified));
    };
    Refresh();
    const auto whole = outlines();
    ASSERT_EQ(whole.first.size(), 14u);
    ASSERT_EQ(whole.second.size(), 15u);

    enum Between { kGoOn, kStopOnce, kOtherRefresh };
    for (Between between : {kGoOn, kStopOnce, kOtherRefresh}) {
        {
            // New roots, as a reset of the outlines makes them.
            std::lock_guard lock(treeLock);
            created = store.CreateFolder("Created", kOpTreeCreate, 1);
            modified = store.CreateFolder("Modified", kOpTreeModify, 1);
        }
        int calls = 0;
        dates.SetSlicing(3, [&] {
            if (++calls != 2) return true;
            if (between == kOtherRefresh) {
                dates.refreshTimeTree(created, kOpTreeCreate);
                dates.refreshTimeTree(modified, kOpTreeModify);
            }
            return between != kStopOnce;
        });
        Refresh();
        if (between == kStopOnce) {
            EXPECT_NE(outlines(), whole);
            Refresh();
        }
        dates.SetSlicing(0, {});
        EXPECT_GE(calls, 2) << between;
        EXPECT_EQ(outlines(), whole) << between;
    }
}

// Years and months in ascending order whatever the order the files arrive
// in, each file in its own month, and refreshes with nothing new add
// nothing.
TEST_F(DateTree, FoldersInAscendingOrderWhateverTheArrival) {
    Show({File("a", FileTime(2014, 3)), File("b", FileTime(1999, 12))});
    Refresh();
    Show({File("c", FileTime(2003, 7)), File("d", FileTime(2014, 1)), File("e", FileTime(1999, 2))});
    Refresh();
    Show({File("f", FileTime(2014, 12)), File("g", FileTime(2014, 3)), File("h", FileTime(2014, 10))});
    Refresh();
    const std::vector<std::string> expected = {
        "1999/02: e", "1999/12: b", "2003/07: c", "2014/01: d", "2014/03: a g", "2014/10: h", "2014/12: f",
    };
    std::lock_guard lock(treeLock);
    EXPECT_EQ(Outline(modified), expected);
    // Two more refreshes with no new files.
    dates.refreshTimeTree(modified, kOpTreeModify);
    dates.refreshTimeTree(modified, kOpTreeModify);
    EXPECT_EQ(Outline(modified), expected);
    EXPECT_EQ(dates.getIndex(2014, 3, kOpTreeModify), 2);
    EXPECT_EQ(dates.getIndex(2014, 3, kOpTreeCreate), 0);
    // Years get the year icon, months the month icon, the root the year's.
    EXPECT_EQ(modified->nodeType(), 9);
    EXPECT_EQ(modified->children()[0].obj->nodeType(), 9);
    EXPECT_EQ(modified->children()[0].obj->children()[0].obj->nodeType(), 10);
}

// Each tree sorts by its own time; a file without a creation time is in no
// creation folder; a hidden file is passed (and counted as processed); a
// refresh by last-access time, or of a root of another kind, files nothing.
TEST_F(DateTree, EachTreeFilesByItsOwnTime) {
    FakeNode* both = File("both", FileTime(2021, 5), FileTime(2019, 2));
    FakeNode* noCreation = File("modified-only", FileTime(2021, 5));
    FakeNode* hidden = File("hidden", FileTime(2021, 5), FileTime(2019, 2));
    hidden->ShowNode(0);
    // The view shown is the path: the date trees are filled all the same.
    scan.SetScanType(kOpTreePath);
    Show({both, noCreation, hidden});
    Refresh();
    hidden->ShowNode(1);
    Refresh();
    std::lock_guard lock(treeLock);
    EXPECT_EQ(Outline(created), (std::vector<std::string>{"2019/02: both"}));
    EXPECT_EQ(Outline(modified), (std::vector<std::string>{"2021/05: both modified-only"}));

    OpNodeData* access = store.CreateFolder("Accessed", kOpTreeAccess, 1);
    dates.refreshTimeTree(access, kOpTreeAccess);
    dates.refreshTimeTree(modified, kOpTreeCreate);  // a root of the other kind
    EXPECT_TRUE(access->children().empty());
    EXPECT_EQ(Outline(modified), (std::vector<std::string>{"2021/05: both modified-only"}));
    EXPECT_EQ(dates.getIndex(2021, 5, kOpTreeAccess), 0);

    // Filing one node directly goes by the root's own kind.
    FakeNode* extra = File("extra", FileTime(2020, 6), FileTime(2018, 8));
    dates.AddFileNode(extra, created);
    dates.AddFileNode(extra, modified);
    dates.AddFileNode(extra, access);
    EXPECT_EQ(Outline(created), (std::vector<std::string>{"2018/08: extra", "2019/02: both"}));
    EXPECT_EQ(Outline(modified), (std::vector<std::string>{"2020/06: extra", "2021/05: both modified-only"}));
    EXPECT_TRUE(access->children().empty());
}

// A month folder's time is "now" moved to the 1st of that month: a "now" on
// a day the month lacks does not carry it into the next month.
TEST_F(DateTree, MonthFolderTimeStaysInItsMonth) {
    struct Case {
        std::time_t now;
        int year, month;
    };
    const Case cases[] = {
        {LocalTime(2024, 5, 31, 10), 2019, 4},  // April has 30 days
        {LocalTime(2024, 3, 31, 23), 2021, 2},  // February, not a leap year
        {LocalTime(2024, 1, 30, 0), 2020, 2},   // February of a leap year
        {LocalTime(2024, 7, 15, 8), 2019, 12},
    };
    for (const Case& c : cases) {
        dates.SetClock([&c] { return c.now; });
        std::lock_guard lock(treeLock);
        dates.clear();
        OpNodeData* root = store.CreateFolder("Modified", kOpTreeModify, 1);
        FakeNode* file = File("f", FileTime(c.year, c.month, 28));
        dates.AddFileNode(file, root);
        ASSERT_EQ(root->children().size(), 1u);
        OpNodeData* year = root->children()[0].obj;
        OpNodeData* month = year->children()[0].obj;
        for (std::time_t t : {month->modifytime(), year->modifytime()}) {
            std::tm local{};
            localtime_r(&t, &local);
            EXPECT_EQ(local.tm_year + 1900, c.year);
            EXPECT_EQ(local.tm_mon + 1, c.month);
        }
        // The creation tree's folders get the creation time instead.
        OpNodeData* root2 = store.CreateFolder("Created", kOpTreeCreate, 1);
        file->SetCTime(FileTime(c.year, c.month, 3));
        dates.AddFileNode(file, root2);
        const std::time_t t = root2->children()[0].obj->children()[0].obj->createtime();
        std::tm local{};
        localtime_r(&t, &local);
        EXPECT_EQ(local.tm_mon + 1, c.month);
    }
    dates.SetClock(nullptr);
}

// Clearing, a search and a reset of the outlines each start the trees over.
TEST_F(DateTree, ClearSearchAndResetFileEverythingAnew) {
    Show({File("a", FileTime(2020, 1)), File("b", FileTime(2020, 1)), File("c", FileTime(2022, 9))});
    Refresh();
    const std::vector<std::string> expected = {"2020/01: a b", "2022/09: c"};
    for (int restart = 0; restart < 3; ++restart) {
        {
            std::lock_guard lock(treeLock);
            if (restart == 0) dates.clear();
            if (restart == 1) dates.setSearch(1);
            if (restart == 0 || restart == 1) {
                modified->free();  // the controller's reset drops the old rows
                created->free();
                EXPECT_EQ(dates.getIndex(2020, 1, kOpTreeModify), 0);
            }
            if (restart == 2) {
                store.Retire();  // a new generation with a new root
                created = store.CreateFolder("Created", kOpTreeCreate, 1);
                modified = store.CreateFolder("Modified", kOpTreeModify, 1);
            }
        }
        Refresh();
        Refresh();
        std::lock_guard lock(treeLock);
        EXPECT_EQ(Outline(modified), expected) << restart;
    }
}

TEST_F(DateTree, NeedRefreshFlagsByTheViewShown) {
    struct Case {
        int view;
        int createAfterSet, modifyAfterSet;  // both cleared first
    };
    const Case cases[] = {{0, 1, 1}, {1, 1, 1}, {2, 0, 1}, {3, 1, 0}, {4, 0, 0}};
    for (const Case& c : cases) {
        scan.SetScanType(2);
        dates.QXResetNeedRefreshTree();
        scan.SetScanType(3);
        dates.QXResetNeedRefreshTree();
        scan.SetScanType(c.view);
        dates.QXSetNeedRefreshTree();
        scan.SetScanType(2);
        EXPECT_EQ(dates.QXGetNeedRefreshTree(), c.createAfterSet) << c.view;
        scan.SetScanType(3);
        EXPECT_EQ(dates.QXGetNeedRefreshTree(), c.modifyAfterSet) << c.view;
        scan.SetScanType(c.view);
        if (c.view < 2 || c.view > 3) EXPECT_EQ(dates.QXGetNeedRefreshTree(), 1) << c.view;
    }
    std::lock_guard lock(treeLock);
    dates.clear();
    for (int view : {2, 3}) {
        scan.SetScanType(view);
        EXPECT_EQ(dates.QXGetNeedRefreshTree(), 1);
    }
}

TEST_F(DateTree, InsertIndexComparesNamesWithoutCase) {
    std::lock_guard lock(treeLock);
    OpNodeData* parent = store.CreateFolder("p", kOpTreeModify, 1);
    for (const char* name : {"1999", "2003", "ab"}) parent->addChildObject(store.CreateFolder(name, kOpTreeModify, 1));
    struct Case {
        const char* name;
        int index;
    };
    for (const Case& c : {Case{"1998", 0}, Case{"2000", 1}, Case{"2003", 2}, Case{"2014", 2}, Case{"AA", 2},
                          Case{"AB", -1}, Case{"b", -1}})
        EXPECT_EQ(QXTimeMgr::GetDateInsertIndex(c.name, parent->children()), c.index) << c.name;
}

// A quick scan of a FAT volume, through the controller as the windows start
// it, which grows the outlines while it runs: each
// extension folder under its category, the unknown extension directly under
// "other", and exactly the years and months the files were touched to, in
// ascending order, each file in its month.
TEST(TypeAndDateTreesLoop, QuickScanOfADatedFatVolume) {
    using namespace devlist_test;
    if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
    static const bool types = (initFileType(), true);
    (void)types;
    ScratchDir dir;
    const std::string image = dir / "dated.img";
    ASSERT_TRUE(Shell(std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/make_dated_fat_disk.sh '" + image + "'"));
    // name -> "YYYY-MM" and state, as the fixture wrote them.
    std::map<std::string, std::pair<std::string, std::string>> manifest;
    {
        std::ifstream in(image + ".manifest");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string name, month, state;
            ASSERT_TRUE(std::getline(fields, name, '\t') && std::getline(fields, month, '\t') &&
                        std::getline(fields, state));
            manifest[name] = {month, state};
        }
    }
    ASSERT_EQ(manifest.size(), 11u);

    LoopDevice loop(image);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(Shell("test -b " + loop.path() + "p1"));
    CEnumDeviceEx enumerator(OnlyDisk(loop.name()));
    QXUIDeviceData::instance().SetEnumerator(&enumerator);
    // Whatever fails below, no later test meets this test's devices.
    struct Restore {
        ~Restore() {
            QXUIController::StopScan(1);
            QElapsedTimer wait;
            wait.start();
            while (IsScanWorkerAlive() && wait.elapsed() < 30000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QXUIDeviceData::instance().SetEnumerator(nullptr);
        }
    } restore;
    ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    std::list<_DiskVolumeData> records;
    QXUIDeviceData::instance().GetAllDeviceInfo(records);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records.front().volumes.size(), 1u);
    const DiskVolumeNodeData volume(records.front().volumes.front());
    QXUIController::DoScanWithData(&volume, "", nullptr);
    QElapsedTimer timer;
    timer.start();
    while ((QXUIController::IsScanRunning() || IsScanWorkerAlive()) && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_FALSE(QXUIController::IsScanRunning());
    ASSERT_FALSE(IsScanWorkerAlive());

    // The found files by the manifest's name: a deleted FAT entry has lost
    // its first letter.
    QXUIScan& scan = QXUIScan::instance();
    std::map<std::string, IFileNode*> found;
    for (const auto& [type, nodes] : scan.GetTypeMap())
        for (IFileNode* node : nodes) {
            const std::string seen = node->GetFileName();
            for (const auto& [wanted, entry] : manifest)
                if (seen.size() == wanted.size() && seen.substr(1) == wanted.substr(1)) found[wanted] = node;
        }
    for (const auto& [wanted, entry] : manifest)
        if (entry.second != "kept") EXPECT_EQ(found.count(wanted), 1u) << wanted;

    // The outlines the controller grew while the scan ran.
    std::lock_guard lock(g_lockerAddData);
    TreeStore& store = QXUIController::QXTreeStore();
    QXTypeMgr& typeTree = QXTypeMgr::share();
    EXPECT_EQ(store.Roots(kRootsType), typeTree.getRootNode());
    ASSERT_EQ(store.Roots(kRootsModify).size(), 1u);
    const OpNodeData* modified = store.Roots(kRootsModify).front();
    EXPECT_EQ(modified->type(), kOpTreeModify);

    // Type: each extension's folder under its category, holding its file.
    const std::map<std::string, unsigned> categories = {
        {"pdf", 1}, {"txt", 1}, {"doc", 1}, {"jpg", 2}, {"png", 2},
        {"mp4", 4}, {"mp3", 8}, {"zip", 16}, {"eml", 32},
    };
    for (const auto& [wanted, node] : found) {
        const std::string extension = wanted.substr(wanted.rfind('.') + 1);
        const OpNodeData* holder = typeTree.folderOf(extension);
        if (extension == "qzx") {
            EXPECT_EQ(holder, nullptr);
            holder = typeTree.rootOf(64);
        } else {
            const auto category = categories.find(extension);
            if (holder == nullptr || category == categories.end()) {
                ADD_FAILURE() << "no folder or no category for " << wanted;
                continue;
            }
            EXPECT_EQ(holder->parent(), typeTree.rootOf(category->second)) << wanted;
        }
        const auto& files = holder->children();
        EXPECT_EQ(std::count_if(files.begin(), files.end(), [node = node](const OpChild& c) { return c.file == node; }),
                  1)
            << wanted;
    }
    EXPECT_EQ(typeTree.rootOf(64)->children().size(), 1u);

    // Modification dates: exactly the fixture's years and months, ascending.
    std::map<std::string, std::set<IFileNode*>> expected;  // "YYYY/MM" -> files
    for (const auto& [wanted, node] : found) {
        std::string month = manifest.at(wanted).first;
        month[4] = '/';
        expected[month].insert(node);
    }
    EXPECT_EQ(expected.size(), 5u);  // 2017/05, 2019/01, 2019/08, 2022/02, 2022/10
    std::map<std::string, std::set<IFileNode*>> filed;
    std::vector<std::string> order;
    for (const OpChild& year : modified->children())
        for (const OpChild& month : year.obj->children()) {
            order.push_back(year.obj->name() + "/" + month.obj->name());
            for (const OpChild& file : month.obj->children()) filed[order.back()].insert(file.file);
        }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(filed, expected);
}

}  // namespace
