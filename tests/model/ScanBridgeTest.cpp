// The scan bridge over a scripted controller: which controller a device
// gets, how a scan of a volume or of a whole disk ends, how found nodes are
// filed, and the queries and search over the store.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/qt/QXTypeMgr.h"
#include "support/FakeController.h"

using namespace model_test;
using namespace fake_controller;

namespace {

int64_t FileTimeOf(int year, int month) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = 15;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return (static_cast<int64_t>(mktime(&t)) + 11644473600LL) * 10000000LL;
}

class ScanBridge : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        ASSERT_NE(QXUIFilter::instance().GetFilter(), nullptr);
        scan.SetDeviceData(&model);
        scan.SetControllerFactory(Factory(script));
        scan.SetNameMatcher(&QXUIPublic::IsStringInFileNode);
        scan.SetNotifyHook([this](int final) {
            std::lock_guard<std::mutex> hold(postLock);
            posts.push_back(final);
        });
    }
    int Finals() {
        std::lock_guard<std::mutex> hold(postLock);
        return static_cast<int>(std::count(posts.begin(), posts.end(), 1));
    }
    // As the controller does before it starts the scan thread.
    EngineResult Run(IStorageDevice* device) {
        scan.SetStatus(QXOP_RUNNING);
        return scan.DoScan(device, nullptr);
    }
    // A disk of the fake enumerator with volumes of the given file systems
    // (10 unknown); an APM disk's "Apple_partition_map" entry is unsupported.
    MemDevice* Disk(std::vector<std::pair<uint32_t, const char*>> volumes, uint32_t scheme = 1) {
        MemDevice* disk = enumerator.AddDisk(MakeDisk("Disk", "sdz", 1, scheme));
        int n = 0;
        for (auto& [fs, apm] : volumes) {
            const std::string bsd = "sdz" + std::to_string(++n);
            enumerator.AddVolume(disk, MakeVolume(disk, "Vol", bsd.c_str(), fs, nullptr, apm));
        }
        return disk;
    }

    FakeEnumerator enumerator;
    QXUIDeviceData model{&enumerator};
    QXUIScan scan;
    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::mutex postLock;
    std::vector<int> posts;
    NodeTree tree;
};

TEST_F(ScanBridge, ControllerTypeByDeviceAndDepth) {
    MemDevice* disk = Disk({{2, ""}, {10, ""}});
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    IStorageDevice* known = model.GetStorageByDiskVolumeIndex(0, 0);
    std::unique_ptr<IStorageDevice> unknown(MakeVolume(disk, "Raw", "sdz9", 10));
    // An opened image is never a whole disk.
    MemDevice qvx(8, 512, STORAGE_DEVICE_QVX), dmg(8, 512, STORAGE_DEVICE_DMG);
    struct Case {
        IStorageDevice* device;
        int deep;
        _RECOVERY_CONTROLLER_TYPE type;
    } cases[] = {
        {nullptr, 0, RECOVERY_CONTROLLER_NONE},
        {nullptr, 1, RECOVERY_CONTROLLER_NONE},
        {disk, 0, RECOVERY_CONTROLLER_QUICK},
        {disk, 1, RECOVERY_CONTROLLER_DEEP_DISK},
        {known, 0, RECOVERY_CONTROLLER_QUICK},
        {known, 1, RECOVERY_CONTROLLER_DEEP_VOLUME},
        {unknown.get(), 0, RECOVERY_CONTROLLER_DEEP_VOLUME},
        {&qvx, 1, RECOVERY_CONTROLLER_DEEP_VOLUME},
        {&dmg, 1, RECOVERY_CONTROLLER_DEEP_VOLUME},
    };
    for (const Case& c : cases) {
        scan.SaveScanSorage(c.device);
        scan.SetDeepScan(c.deep);
        EXPECT_EQ(scan.GetScanControllerType(c.device), c.type) << c.device << " deep " << c.deep;
    }
    EXPECT_TRUE(scan.IsStorageVolumeUnknow(unknown.get()));
    EXPECT_FALSE(scan.IsStorageVolumeUnknow(disk));
    EXPECT_EQ(scan.IsStorageMounted(disk), 1);
    EXPECT_EQ(scan.IsStorageMounted(nullptr), 0);
}

// Every way a scan can end without running leaves it idle with a final post.
TEST_F(ScanBridge, ScansThatCannotRunEndIdleWithAFinalPost) {
    Disk({});                                                  // disk 0: no volume
    Disk({{2, "Apple_partition_map"}, {2, "Apple_Free"}}, 3);  // disk 1: APM, nothing supported
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    IStorageDevice* cases[] = {nullptr, model.GetDiskStorageByIndex(0), model.GetDiskStorageByIndex(1)};
    for (IStorageDevice* device : cases) {
        posts.clear();
        scan.SetDeepScan(0);
        const EngineResult result = Run(device);
        EXPECT_EQ(result, kScanNothingRan) << device;
        EXPECT_EQ(scan.GetStatus(), QXOP_IDLE) << device;
        EXPECT_GE(Finals(), 1) << device;
        EXPECT_EQ(scan.IsDeepScan(), 0);
    }
    EXPECT_TRUE(script->scanned.empty());
}

// A scan while the main thread holds the operation mutex (reading progress)
// still runs: nothing gives up on a busy mutex.
TEST_F(ScanBridge, RunsWhileTheMainThreadReadsProgress) {
    Disk({{2, ""}});
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    auto* root = tree.Root("Vol", SEARCHER_FAT);
    FakeNode* file = tree.Add(root, "a.txt", false);
    script->steps = {Volume(root, {{file}})};
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) (void)scan.GetProgressInfo();
    });
    const EngineResult result = Run(model.GetStorageByDiskVolumeIndex(0, 0));
    reading = false;
    reader.join();
    EXPECT_EQ(result, ENGINE_OK);
    EXPECT_EQ(scan.GetScanFileCnt(), 1u);
    EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
}

TEST_F(ScanBridge, WholeDiskQuickScanRunsEachSupportedVolumeAndEndsIdle) {
    // APM: the map and free-space entries are skipped.
    Disk({{2, "Apple_partition_map"}, {2, "Apple_HFS"}, {2, "Apple_Free"}, {2, "Apple_HFS"}}, 3);
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    IStorageDevice* disk = model.GetDiskStorageByIndex(0);
    ASSERT_TRUE(model.IsDiskStorage(disk));
    auto* r1 = tree.Root("One", SEARCHER_HFSPLUS);
    auto* r2 = tree.Root("Two", SEARCHER_HFSPLUS);
    FakeNode* f1 = tree.Add(r1, "one.jpg", false);
    FakeNode* f2 = tree.Add(r2, "two.doc", false);
    std::vector<int> statusAtStart;
    auto watch = [&](Step inner) -> Step {
        return [&, inner](IStorageDevice* d, IProgress* p, IDrirectoryTree* t) {
            statusAtStart.push_back(scan.GetStatus());
            return inner(d, p, t);
        };
    };
    script->steps = {watch(Volume(r1, {{f1}})), watch(Volume(r2, {{f2}}))};
    EXPECT_EQ(Run(disk), ENGINE_OK);
    std::list<IStorageDevice*> volumes;
    model.GetDiskVolumeStorage(disk, volumes);
    std::vector<IStorageDevice*> listed(volumes.begin(), volumes.end());
    EXPECT_EQ(script->scanned, (std::vector<IStorageDevice*>{listed[1], listed[3]}));
    // Still running after the first volume's finishing report.
    EXPECT_EQ(statusAtStart, (std::vector<int>{QXOP_RUNNING, QXOP_RUNNING}));
    EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
    EXPECT_EQ(scan.GetScanFileCnt(), 2u);
    EXPECT_EQ(scan.GetFileSystemNode(), (std::vector<IFilesystemNode*>{r1, r2}));
    // One controller, quick, and a reader per volume found from any node.
    EXPECT_EQ(script->made, (std::vector<_RECOVERY_CONTROLLER_TYPE>{RECOVERY_CONTROLLER_QUICK}));
    ASSERT_NE(scan.GetFileNodeDataRecover(f1), nullptr);
    EXPECT_NE(scan.GetFileNodeDataRecover(f1), scan.GetFileNodeDataRecover(f2));
    EXPECT_EQ(scan.GetFileNodeDataRecover(r2), scan.GetFileNodeDataRecover(f2));
    scan.ReleaseDataRecovery();
    EXPECT_EQ(scan.GetFileNodeDataRecover(f1), nullptr);
    EXPECT_EQ(script->readersReleased.load(), script->readersMade.load());
}

// The last volume fails before its finishing report, or the user stops
// during the first: either way the scan ends idle with a final post.
TEST_F(ScanBridge, WholeDiskScanEndsOnLastFailureAndOnStop) {
    Disk({{2, ""}, {2, ""}});
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    IStorageDevice* disk = model.GetDiskStorageByIndex(0);
    auto* root = tree.Root("One", SEARCHER_FAT);

    script->steps = {Volume(root, {}), Volume(nullptr, {}, false)};
    EXPECT_EQ(Run(disk), kFakeFailure);
    EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
    EXPECT_GE(Finals(), 1);
    EXPECT_EQ(script->scanned.size(), 2u);

    auto stopped = std::make_shared<Script>();
    scan.SetControllerFactory(Factory(stopped));
    posts.clear();
    stopped->steps = {[this](IStorageDevice*, IProgress*, IDrirectoryTree*) {
        scan.StopOperation(0);
        return kFakeFailure;
    }};
    EXPECT_EQ(Run(disk), kFakeFailure);
    EXPECT_EQ(stopped->scanned.size(), 1u);  // the second volume never started
    EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
    EXPECT_GE(Finals(), 1);
}

TEST_F(ScanBridge, FilesNodesByPathTypeAndDate) {
    Disk({{2, ""}});
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    auto* root = tree.Root("Vol", SEARCHER_NTFS);
    FakeNode* docs = tree.Add(root, "Docs", true);
    FakeNode* letter = tree.Add(docs, "Letter.DOCX", false);
    FakeNode* photo = tree.Add(root, "photo.jpg", false);
    FakeNode* timeless = tree.Add(root, "notes", false);
    letter->SetCTime(FileTimeOf(2019, 3));
    letter->SetMTime(FileTimeOf(2021, 11));
    photo->SetMTime(FileTimeOf(2021, 11));
    letter->SetSize(1000), photo->SetSize(2000), timeless->SetSize(30);

    EXPECT_EQ(scan.ShowNodesResult(nullptr, 0), 0);
    script->steps = {Volume(root, {{docs, letter}, {photo, timeless}})};
    scan.SetDeepScan(1);
    EXPECT_EQ(Run(model.GetStorageByDiskVolumeIndex(0, 0)), ENGINE_OK);
    EXPECT_EQ(scan.GetScanFileCnt(), 3u);
    EXPECT_EQ(scan.GetScanFileSize(), 3030u);

    const QXTypeMap types = scan.GetTypeMap();
    EXPECT_EQ(types.at(FILTER_DOCUMENT), (std::list<IFileNode*>{letter}));
    EXPECT_EQ(types.at(FILTER_PICTURES), (std::list<IFileNode*>{photo}));
    EXPECT_EQ(types.at(FILTER_OTHER), (std::list<IFileNode*>{timeless}));
    const QXTimeMap created = scan.GetCreateTimeMap(), modified = scan.GetModifyTimeMap();
    EXPECT_EQ(created.size(), 1u);
    EXPECT_EQ(created.at(2019).at(3), (std::list<IFileNode*>{letter}));
    EXPECT_EQ(modified.at(2021).at(11), (std::list<IFileNode*>{letter, photo}));
    EXPECT_TRUE(scan.GetAccessTimeMap().empty());

    // Takes empty what they give; copies do not.
    EXPECT_EQ(scan.QXGetNewPathNode(), (std::vector<IFileNode*>{root, docs}));
    EXPECT_TRUE(scan.QXGetNewPathNode().empty());
    EXPECT_EQ(scan.GetTypeNode().size(), 3u);
    EXPECT_TRUE(scan.GetTypeNode().empty());
    EXPECT_EQ(scan.QXGetAllPathNode(), (std::vector<IFileNode*>{root, docs}));
    // A deep scan keeps no readers of its own.
    for (IFileNode* node : std::vector<IFileNode*>{root, docs, letter})
        EXPECT_EQ(scan.GetFileNodeDataRecover(node), nullptr);
    EXPECT_EQ(QXUIScan::GetNodeExt(letter), "docx");
    EXPECT_EQ(QXUIScan::GetNodeExt(timeless), "");
    EXPECT_EQ(QXUIScan::GetNodeExt(nullptr), "");

    // The next scan starts from nothing and releases the previous controller.
    script->steps.push_back(Volume(nullptr, {}));
    EXPECT_EQ(Run(model.GetStorageByDiskVolumeIndex(0, 0)), ENGINE_OK);
    EXPECT_EQ(scan.GetScanFileCnt(), 0u);
    EXPECT_TRUE(scan.GetTypeMap().empty());
    EXPECT_TRUE(scan.GetFileSystemNode().empty());
    EXPECT_EQ(script->released.load(), 1);
}

TEST_F(ScanBridge, SearchShowsMatchesAndHidesTheRest) {
    Disk({{2, ""}});
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    auto* root = tree.Root("Vol", SEARCHER_FAT);
    FakeNode* docs = tree.Add(root, "Docs", true);
    FakeNode* pics = tree.Add(root, "Pics", true);
    FakeNode* report = tree.Add(docs, "report.txt", false);
    FakeNode* holiday = tree.Add(pics, "holiday.jpg", false);
    FakeNode* beach = tree.Add(pics, "beach.jpg", false);
    report->SetSize(10), holiday->SetSize(200), beach->SetSize(3000);
    script->steps = {Volume(root, {{docs, pics, report, holiday, beach}})};
    scan.SetDeepScan(1);
    ASSERT_EQ(Run(model.GetStorageByDiskVolumeIndex(0, 0)), ENGINE_OK);

    struct Case {
        const char* key;
        std::set<IFileNode*> found;
        bool docsShown, picsShown;
        uint64_t size;
    } cases[] = {
        {"", {report, holiday, beach}, true, true, 3210},
        {"HOLI", {holiday}, false, true, 200},
        {"zzz", {}, false, false, 0},
        {"", {report, holiday, beach}, true, true, 3210},
    };
    for (const Case& c : cases) {
        scan.SetSearchKey(c.key);
        std::vector<IFileNode*> found;
        scan.DoSearch(found);
        EXPECT_EQ(std::set<IFileNode*>(found.begin(), found.end()), c.found) << c.key;
        EXPECT_EQ(docs->IsNodeShow() != 0, c.docsShown) << c.key;
        EXPECT_EQ(pics->IsNodeShow() != 0, c.picsShown) << c.key;
        scan.ReCalTotalSize();
        EXPECT_EQ(scan.GetScanFileSize(), c.size) << c.key;
    }
    EXPECT_EQ(scan.FindRemoveData(nullptr), 0);
    EXPECT_EQ(scan.FindRemoveData(docs), 1);
    EXPECT_EQ(scan.FindRemoveData(report), 0);
}

TEST_F(ScanBridge, ViewMapAndUnselectAll) {
    auto* root = tree.Root("Vol", SEARCHER_FAT);
    FakeNode* file = tree.Add(root, "a.txt", false);
    int view = 0;
    scan.QXSetFileNode(root, &view);
    scan.QXSetFileNode(file, nullptr);
    scan.QXSetFileNode(nullptr, &view);
    EXPECT_EQ(scan.QXGetFileNode(root), &view);
    EXPECT_EQ(scan.QXGetFileNode(file), nullptr);
    scan.QXResetFileNode();
    EXPECT_EQ(scan.QXGetFileNode(root), nullptr);

    scan.ShowFilesystemNodeResult(root);
    root->SetCheck(CHECKED_ALL);
    ASSERT_EQ(file->GetCheckedStatus(), CHECKED_ALL);
    scan.UnselectAllNodes();
    EXPECT_EQ(file->GetCheckedStatus(), CHECKED_NONE);
    EXPECT_EQ(scan.ShowFilesystemNodeResult(nullptr), 0);
    EXPECT_EQ(scan.ShowFilesystemNodeResult(file), 0);  // a file is no root
}

// A restore hands its replay sink to the controller for one scan only: the
// sink lives on the restore thread's stack and dies when the scan returns.
TEST_F(ScanBridge, ReplaySinkIsTheControllersForOneScanOnly) {
    class Sink : public IRestoreScanSink {
    public:
        int SetDirecotryTreeBuilder(IDirecotryTreeBuilder*, IProgress*, IStorageDevice*) override { return 1; }
        std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int) override { return m_none; }

    private:
        std::vector<CSearchedPartitionInfo*> m_none;
    } sink;
    Disk({{2, ""}});
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    IRestoreScanSink* during = nullptr;
    script->steps = {[&](IStorageDevice*, IProgress* progress, IDrirectoryTree*) {
        during = scan.GetRecoveryController()->m_pRestoreScanSink;
        _PROGRESS_INFO info;
        MakeProgressInfo(&info, PROGRESS_STATE_FINISHED, 1, 1);
        progress->UpdateProgress(&info);
        return ENGINE_OK;
    }};
    scan.SetStatus(QXOP_RUNNING);
    EXPECT_EQ(scan.DoScan(model.GetStorageByDiskVolumeIndex(0, 0), &sink), ENGINE_OK);
    EXPECT_EQ(during, &sink);
    ASSERT_NE(scan.GetRecoveryController(), nullptr);
    EXPECT_EQ(scan.GetRecoveryController()->m_pRestoreScanSink, nullptr);
}

}  // namespace
