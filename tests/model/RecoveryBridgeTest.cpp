// The recovery bridge over scripted writers: which files a recovery writes
// and in what order, the raw and tag folder lists and the path flags, the
// bytes it counts, pause on a failed write, resume and stop, the files it
// counts as failed, the writers it takes and releases, and the same-device
// test over records of the device list.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIRecovery.h"
#include "model/QXUIScan.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "recovery/DataRecovery.h"
#include "support/TempDir.h"

using namespace model_test;
namespace fs = std::filesystem;

namespace {

// What the scripted writers saw, shared by every writer of one test.
struct WriterLog {
    std::mutex lock;
    std::vector<std::string> written;       // file name of each RecoverTo, in order
    std::vector<std::string> paths;         // its destination
    std::vector<const void*> writers;       // the writer of each RecoverTo
    std::map<std::string, int> attempts;    // RecoverTo calls per file name
    std::map<std::string, int> failWrites;  // failed write rounds to report per file name
    std::atomic<int> made{0}, released{0};
    std::vector<int> madeTypes;
};

// A writer that records what it is asked, writes the node's name as the
// file's bytes and reports progress as the real writer does: a first record
// at 0, then the size; a failed write reports the write-failure code and
// asks Continued() before the same chunk is tried again.
class ScriptedWriter : public IDataRecovery {
public:
    ScriptedWriter(std::shared_ptr<WriterLog> log, int type) : m_log(std::move(log)) {
        ++m_log->made;
        std::lock_guard<std::mutex> hold(m_log->lock);
        m_log->madeTypes.push_back(type);
    }
    EngineResult Initialize(IFileSystemSearchController*, IStorageDevice*) override { return ENGINE_OK; }
    EngineResult Initialize(std::vector<CSearchedPartitionInfo*>&, IStorageDevice*) override { return ENGINE_OK; }
    IFileReader* SetRecoverNode(IFileNode* node) override {
        m_node = node;
        return nullptr;
    }
    EngineResult RecoverTo(const char* path, IProgress* progress, int) override {
        EXPECT_NE(path, nullptr);
        if (path == nullptr || m_node == nullptr) return DATA_RECOVERY_NO_PATH;
        const std::string name = m_node->GetFileName();
        const int64_t size = m_node->GetFileSize();
        int failures = 0;
        {
            std::lock_guard<std::mutex> hold(m_log->lock);
            m_log->written.push_back(name);
            m_log->paths.push_back(path);
            m_log->writers.push_back(this);
            ++m_log->attempts[name];
            failures = m_log->failWrites[name];
        }
        _PROGRESS_INFO info;
        MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 0, 0);
        progress->UpdateProgress(&info);
        for (int round = 0;; ++round) {
            if (!progress->Continued()) return DATA_RECOVERY_WRITE_FAILED;
            if (round < failures) {
                MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, size, 0,
                                 static_cast<int64_t>(DATA_RECOVERY_WRITE_FAILED));
                progress->UpdateProgress(&info);
                continue;
            }
            break;
        }
        std::ofstream(path) << name;
        MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, size, size);
        progress->UpdateProgress(&info);
        return ENGINE_OK;
    }
    unsigned ReadSmallJPG(char*, unsigned) override { return 0; }
    void Release() override {
        ++m_log->released;
        delete this;
    }

private:
    std::shared_ptr<WriterLog> m_log;
    IFileNode* m_node = nullptr;
};

class ScriptedController : public IRecoveryController {
public:
    ScriptedController(std::shared_ptr<WriterLog> log, _RECOVERY_CONTROLLER_TYPE type)
        : m_log(std::move(log)), m_type(type) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_type; }
    int Initialize(IRecoveryFilter* filter) override { return filter != nullptr; }
    EngineResult StartDataRecovery(IStorageDevice*, IProgress*, IDrirectoryTree*) override { return ENGINE_OK; }
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override { return new ScriptedWriter(m_log, type); }
    void Release() override { delete this; }

private:
    std::shared_ptr<WriterLog> m_log;
    _RECOVERY_CONTROLLER_TYPE m_type;
};

bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class RecoveryBridge : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        ASSERT_FALSE(out.Path().empty());
        scan.SetDeviceData(&model);
        scan.SetControllerFactory([this](_RECOVERY_CONTROLLER_TYPE type) { return new ScriptedController(log, type); });
        recovery.SetDeviceData(&model);
        recovery.SetRecoveryPath((out.Path() + "/").c_str());
    }
    // A scan's result as the bridge files it, with the controller of `type`.
    void Found(_RECOVERY_CONTROLLER_TYPE type, std::vector<FakeRoot*> roots, std::vector<IFileNode*> files) {
        scan.SetDeepScan(type == RECOVERY_CONTROLLER_QUICK ? 0 : 1);
        scan.ResetRecoveryController(type);
        scan.ClearData();
        for (FakeRoot* root : roots) scan.ShowFilesystemNodeResult(root);
        scan.ShowNodesResult(files.data(), static_cast<unsigned>(files.size()));
        recovery.ResetParam();
    }
    FakeNode* File(CFileNode* parent, const std::string& name, int64_t size, bool checked = true, bool shown = true) {
        FakeNode* node = tree.Add(parent, name, false);
        node->SetSize(size);
        if (checked) node->SetCheck(CHECKED_ALL);
        if (!shown) node->ShowNode(0);
        return node;
    }
    EngineResult Run() {
        recovery.ClearCreateDirIndex();
        recovery.SetStatus(QXOP_RUNNING);
        return recovery.DoRecovery(tagFolders, rawFolders, flags);
    }
    std::vector<std::string> Written() {
        std::lock_guard<std::mutex> hold(log->lock);
        return log->written;
    }

    quillory_test::TempDir out{"quillory-recovery"};
    FakeEnumerator enumerator;
    QXUIDeviceData model{&enumerator};
    QXUIScan scan;
    QXUIRecovery recovery{scan};
    std::shared_ptr<WriterLog> log = std::make_shared<WriterLog>();
    NodeTree tree;
    std::string tagFolders, rawFolders;
    int flags[3] = {0, 0, 0};
};

// The mix of a deep scan: only shown, checked files are written, in type
// order, each through the writer of its searcher type; raw and tag folder
// names are listed once; "/System" sets the second flag only.
TEST_F(RecoveryBridge, DeepScanWritesCheckedShownFilesInTypeOrder) {
    FakeRoot* fat = tree.Root("Vol", SEARCHER_FAT);
    FakeNode* docs = tree.Add(fat, "Docs", true);
    FakeNode* system = tree.Add(fat, "System", true);
    FakeRoot* raw = tree.Root("Raw", SEARCHER_RAW);
    FakeNode* jpg = tree.Add(raw, "jpg", true);
    FakeNode* jp = tree.Add(raw, "jp", true);
    FakeRoot* tag = tree.Root("Tagged", SEARCHER_RAW_TAG);
    FakeNode* tagFolder = tree.Add(tag, "Tag1", true);
    std::vector<IFileNode*> files = {
        File(docs, "a.txt", 10),        File(docs, "b.jpg", 20, true, false),  // hidden: not written
        File(docs, "c.doc", 30, false),                                        // unchecked: not written
        File(system, "s.txt", 40),      File(jpg, "r1.jpg", 50),
        File(jpg, "r2.jpg", 60),        File(jp, "r3.jpg", 70),  // "jp" is inside "jpg,": listed once only
        File(tagFolder, "t1.jpg", 80),
    };
    Found(RECOVERY_CONTROLLER_DEEP_VOLUME, {fat, raw, tag}, files);
    recovery.SetRecoveryTotalSize(10 + 40 + 50 + 60 + 70 + 80);

    EXPECT_EQ(Run(), ENGINE_OK);
    EXPECT_EQ(recovery.GetStatus(), QXOP_IDLE);
    // Documents (1) before pictures (2), each in filing order.
    const std::vector<std::string> expected = {"a.txt", "s.txt", "r1.jpg", "r2.jpg", "r3.jpg", "t1.jpg"};
    EXPECT_EQ(Written(), expected);
    EXPECT_EQ(rawFolders, "jpg,");
    EXPECT_EQ(tagFolders, "Tag1,");
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags[1], 1);
    EXPECT_EQ(flags[2], 0);
    EXPECT_EQ(recovery.GetRecoveriedFilesCnt(), expected.size());
    EXPECT_EQ(recovery.GetRecoveryFailedFilesCnt(), 0u);
    // Progress is the bytes of the files, summed across files.
    EXPECT_EQ(recovery.GetRecoveriedFileSize(), 310u);
    const _PROGRESS_INFO progress = recovery.GetProgressInfo();
    EXPECT_EQ(progress.total, 310);
    EXPECT_EQ(progress.current, 310);
    EXPECT_EQ(scan.GetCurrentScanRecoveryCnt(), 1);

    // Each file in its numbered folder, at its path on the volume.
    const std::string day = QXUIPublic::GetFileSystemStrByType(SEARCHER_FAT);
    std::lock_guard<std::mutex> hold(log->lock);
    EXPECT_EQ(log->paths[0], out.Path() + "/" + day + "0001/Vol/Docs/a.txt");
    EXPECT_EQ(log->paths[2], out.Path() + "/RAW_0001/Raw/jpg/r1.jpg");
    EXPECT_TRUE(fs::exists(out.Path() + "/" + QXUIPublic::GetFileSystemStrByType(SEARCHER_RAW_TAG) +
                           "0001/Tagged/Tag1/t1.jpg"));
    // Raw-by-tag files go through a writer of the raw search of their own.
    EXPECT_NE(log->writers[5], log->writers[2]);
    EXPECT_EQ(log->writers[5], recovery.GetDataRecoveryByType(SEARCHER_RAW_TAG));
    EXPECT_EQ(log->writers[2], recovery.GetDataRecoveryByType(SEARCHER_RAW));
}

TEST_F(RecoveryBridge, NothingCheckedWritesNothing) {
    FakeRoot* fat = tree.Root("Vol", SEARCHER_FAT);
    Found(RECOVERY_CONTROLLER_DEEP_VOLUME, {fat}, {File(fat, "a.txt", 10, false), File(fat, "b.txt", 5, false)});
    EXPECT_EQ(Run(), ENGINE_OK);
    EXPECT_EQ(recovery.GetStatus(), QXOP_IDLE);
    EXPECT_TRUE(Written().empty());
    EXPECT_EQ(recovery.GetRecoveriedFilesCnt(), 0u);
    EXPECT_TRUE(fs::is_empty(out.Path()));
}

// A quick scan reads each file through its volume's writer. A file that
// gets no destination path (no file system of origin) is never handed to
// the writer and counts as failed, as does a file whose volume has no writer.
TEST_F(RecoveryBridge, FilesWithoutDestinationOrWriterCountAsFailed) {
    FakeRoot* fat = tree.Root("Vol", SEARCHER_FAT);
    FakeRoot* unknown = tree.Root("Odd", SEARCHER_DEFAULT);
    FakeRoot* unlisted = tree.Root("Gone", SEARCHER_FAT);  // never announced: no writer
    std::vector<IFileNode*> files = {File(fat, "a.txt", 10), File(unknown, "b.txt", 20), File(fat, "c.txt", 30),
                                     File(unlisted, "d.txt", 40)};
    Found(RECOVERY_CONTROLLER_QUICK, {fat, unknown}, files);
    EXPECT_EQ(Run(), ENGINE_OK);
    EXPECT_EQ(Written(), (std::vector<std::string>{"a.txt", "c.txt"}));
    EXPECT_EQ(recovery.GetRecoveriedFilesCnt(), 3u);  // handed to a writer
    EXPECT_EQ(recovery.GetRecoveryFailedFilesCnt(), 2u);
    std::string name;
    EXPECT_EQ(recovery.GetLastRecoveryFailure(&name), kRecoveryNoWriter);
    EXPECT_EQ(name, "d.txt");
    EXPECT_EQ(recovery.GetRecoveriedFileSize(), 40u);
}

// A failed write pauses the recovery at that file; resume writes the same
// file with the same writer and goes on; stop ends the walk there.
TEST_F(RecoveryBridge, FailedWritePausesResumeGoesOnStopEnds) {
    struct Case {
        bool resume;
        std::vector<std::string> written;
        uint64_t failed;
    } cases[] = {
        {true, {"a.txt", "b.txt", "c.txt"}, 0},
        {false, {"a.txt", "b.txt"}, 1},
    };
    FakeRoot* fat = tree.Root("Vol", SEARCHER_FAT);
    Found(RECOVERY_CONTROLLER_DEEP_VOLUME, {fat},
          {File(fat, "a.txt", 10), File(fat, "b.txt", 20), File(fat, "c.txt", 30)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.resume ? "resume" : "stop");
        {
            std::lock_guard<std::mutex> hold(log->lock);
            log->written.clear();
            log->attempts.clear();
            log->failWrites["b.txt"] = 1;
        }
        EngineResult result = ENGINE_OK;
        recovery.ClearCreateDirIndex();
        recovery.SetStatus(QXOP_RUNNING);
        std::thread worker([&] { result = recovery.DoRecovery(tagFolders, rawFolders, flags); });
        ASSERT_TRUE(WaitFor([&] { return recovery.GetStatus() == QXOP_PAUSED; })) << "never paused";
        ASSERT_NE(recovery.GetCurrentRecoveryNode(), nullptr);
        EXPECT_STREQ(recovery.GetCurrentRecoveryNode()->GetFileName(), "b.txt");
        EXPECT_EQ(recovery.GetProgressInfo().error, static_cast<int64_t>(DATA_RECOVERY_WRITE_FAILED));
        if (c.resume)
            recovery.PauseOrResumeOperation();
        else
            recovery.StopOperation(1);
        worker.join();
        EXPECT_EQ(recovery.GetStatus(), QXOP_IDLE);
        // One RecoverTo per file: the writer itself tries the failed chunk
        // again, the file is not started over.
        EXPECT_EQ(Written(), c.written);
        EXPECT_EQ(recovery.GetRecoveryFailedFilesCnt(), c.failed);
        if (c.resume) {
            EXPECT_EQ(result, ENGINE_OK);
            EXPECT_EQ(recovery.GetRecoveriedFileSize(), 60u);
        }
    }
}

// Every writer taken is released once: type 36 has its own, a refill
// releases the writers it replaces, a release empties the map.
TEST_F(RecoveryBridge, WritersAreReleasedOnceAndNeverLeak) {
    FakeRoot* fat = tree.Root("Vol", SEARCHER_FAT);
    Found(RECOVERY_CONTROLLER_DEEP_DISK, {fat}, {File(fat, "a.txt", 10)});
    EXPECT_FALSE(recovery.CheckWhetherNeedReset());
    EXPECT_EQ(log->made - log->released, 7);
    std::set<IDataRecovery*> distinct;
    for (int type : {31, 32, 33, 34, 35, 36, 37}) distinct.insert(recovery.GetDataRecoveryByType(type));
    EXPECT_EQ(distinct.size(), 7u);
    EXPECT_EQ(distinct.count(nullptr), 0u);
    EXPECT_EQ(recovery.GetDataRecoveryByType(SEARCHER_DEFAULT), nullptr);
    {
        std::lock_guard<std::mutex> hold(log->lock);
        EXPECT_EQ(std::count(log->madeTypes.begin(), log->madeTypes.end(), SEARCHER_RAW), 2);
        EXPECT_EQ(std::count(log->madeTypes.begin(), log->madeTypes.end(), SEARCHER_RAW_TAG), 0);
    }
    for (int i = 0; i < 5; ++i) recovery.ResetParam();
    recovery.InitDataRecoveryController();
    EXPECT_EQ(log->made - log->released, 7);
    recovery.ReleaseDataRecovery();
    EXPECT_TRUE(recovery.CheckWhetherNeedReset());
    EXPECT_EQ(log->made.load(), log->released.load());
    // A new scan's start and end reach the bridge through the scan's hooks.
    scan.SetStatus(QXOP_RUNNING);
    (void)scan.DoScan(nullptr, nullptr);
    EXPECT_EQ(log->made.load(), log->released.load() + 7);
}

// Readers of the writer map meet the scan's release and reset from other
// threads (the address checker watches).
TEST_F(RecoveryBridge, WriterMapTakesConcurrentRetakes) {
    FakeRoot* fat = tree.Root("Vol", SEARCHER_FAT);
    Found(RECOVERY_CONTROLLER_DEEP_VOLUME, {fat}, {File(fat, "a.txt", 10)});
    std::atomic<bool> stop{false};
    std::thread retakes([&] {
        for (int i = 0; i < 300; ++i) (i % 2 ? recovery.ResetParam() : recovery.ReleaseDataRecovery());
        stop = true;
    });
    int seen = 0;
    while (!stop.load()) seen += recovery.CheckWhetherNeedReset() ? 0 : 1;
    retakes.join();
    recovery.ReleaseDataRecovery();
    EXPECT_EQ(log->made.load(), log->released.load());
    (void)seen;
}

// The writer's records: state 1 only raises news; bytes are summed over
// files from each file's own count.
TEST_F(RecoveryBridge, ProgressSumsBytesAcrossFiles) {
    recovery.SetRecoveryTotalSize(1000);
    recovery.SetStatus(QXOP_RUNNING);
    struct Step {
        uint32_t state;
        int64_t current;
        uint64_t bytes;
    } steps[] = {{2, 0, 0}, {2, 300, 300}, {2, 600, 600}, {1, 900, 600}, {2, 0, 600}, {2, 400, 1000}};
    for (const Step& s : steps) {
        _PROGRESS_INFO info;
        MakeProgressInfo(&info, s.state, 600, s.current);
        recovery.SetNeedUIUpdate(0);
        recovery.UpdateProgress(&info);
        EXPECT_EQ(recovery.IsNeedUIUpdate(), 1);
        EXPECT_EQ(recovery.GetRecoveriedFileSize(), s.bytes) << s.state << " " << s.current;
    }
    EXPECT_EQ(recovery.GetProgressInfo().total, 1000);
    recovery.UpdateProgress(nullptr);
    recovery.SetStatus(QXOP_IDLE);
}

// st_dev of a folder against the device numbers of the scanned device's
// volume records; images and missing paths are never the same device.
TEST_F(RecoveryBridge, SameDeviceByVolumeRecords) {
    struct stat st {};
    ASSERT_EQ(stat(out.Path().c_str(), &st), 0);
    MemDevice* disk = enumerator.AddDisk(MakeDisk("Disk", "nosuchdisk", 1, 1));
    MemDevice* other = enumerator.AddVolume(disk, MakeVolume(disk, "Other", "nosuchdisk1"));
    MemDevice* here = enumerator.AddVolume(disk, MakeVolume(disk, "Here", "nosuchdisk2"));
    QXUIDeviceData::GetVolumeInfo(other)->deviceNumber = static_cast<int32_t>(st.st_dev + 1);
    QXUIDeviceData::GetVolumeInfo(here)->deviceNumber = static_cast<int32_t>(st.st_dev);
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    MemDevice qvx(8, 512, STORAGE_DEVICE_QVX);
    const std::string missing = out.Path() + "/not/there";
    struct Case {
        IStorageDevice* scanned;
        const char* path;
        int same;
    } cases[] = {
        {disk, out.Path().c_str(), 1},   // one of the disk's volumes
        {here, out.Path().c_str(), 1},   // the volume itself
        {other, out.Path().c_str(), 0},  // another volume
        {here, missing.c_str(), 0},      // nothing there
        {here, nullptr, 0},
        {&qvx, out.Path().c_str(), 0},
        {nullptr, out.Path().c_str(), 0},
    };
    for (const Case& c : cases) {
        scan.SaveScanSorage(c.scanned);
        EXPECT_EQ(recovery.RecoveryPathIsSameDevice(c.path), c.same) << c.scanned << " " << (c.path ? c.path : "null");
    }
    scan.SaveScanSorage(nullptr);
}

}  // namespace

// Through the controller with nothing to recover: the key is posted once,
// when the recovery has ended, and the poll stops; nil arguments start
// nothing.
TEST(RecoveryController, PostsItsKeyOnceAtTheEndAndRefusesNilArguments) {
    quillory_test::TempDir out("quillory-recovery-poll");
    const std::vector<IFileNode*> roots;
    const QString folder = QString::fromStdString(out.Path());
    EXPECT_EQ(QXUIController::DoRecovery(nullptr, folder, "RecoveryPollKey", nullptr), 0x0102052400000001ULL);
    EXPECT_EQ(QXUIController::DoRecovery(&roots, QString(), "RecoveryPollKey", nullptr), 0x0102052400000001ULL);
    EXPECT_FALSE(QXUIController::IsRecoveryRunning());

    int count = -1;
    uint64_t size = 7;
    QXUIController::GetSelectedFilesAmout(&count, &size);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(size, 7u);  // added to, as the caller's running total
    ASSERT_EQ(QXUIController::DoRecovery(&roots, folder, "RecoveryPollKey", nullptr), 0u);
    EXPECT_EQ(WaitForNotification("RecoveryPollKey", 10000), 1);
    EXPECT_TRUE(WaitFor([] { return !QXUIController::IsRecoveryWorkerAlive(); }));
    // No second post: the poll ended with the recovery.
    EXPECT_EQ(WaitForNotification("RecoveryPollKey", 500), 0);
    EXPECT_FALSE(QXUIController::IsRecoveryRunning());
    EXPECT_EQ(QXUIController::GetRecoveridedFiles(), 0u);
    EXPECT_EQ(QXUIController::GetRecoveryFailedFiles(), 0u);
    uint64_t total = 1, current = 1, error = 1;
    EXPECT_TRUE(QXUIController::GetRecoveryProgressTotal(&total, &current, &error).isEmpty());
    EXPECT_EQ(QXUIRecovery::instance().GetRecoveryPath(), out.Path() + "/");
}
