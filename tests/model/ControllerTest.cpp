// The controller's device and scan side over a scripted enumerator and a
// scripted scan controller: the remaining-time text, the throttle of scan
// news, the device list on demand, a scan's start, pause, resume and stop,
// and closing the application during a scan (in a child process).
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "ModelTestSupport.h"
#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/WorkerThread.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "support/FakeController.h"

using namespace model_test;
using namespace fake_controller;

namespace {

// Posts of one name seen on the main thread.
class PostCounter {
public:
    explicit PostCounter(const QString& name) {
        NotificationBus::instance()->observe(name, &m_context, [this](const QVariant& v) {
            ++count;
            last = v;
        });
    }
    int Settle(int ms = 50) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return count;
    }
    int count = 0;
    QVariant last;

private:
    QObject m_context;
};

// Batches of one file until the scan is stopped.
Step Endless(IFilesystemNode* root, IFileNode* file, std::atomic<int>* batches) {
    return [=](IStorageDevice*, IProgress* progress, IDrirectoryTree* tree) -> EngineResult {
        tree->ShowFilesystemNode(root);
        _PROGRESS_INFO info;
        while (progress->Continued() != 0) {
            IFileNode* batch[] = {file};
            tree->ShowNodes(batch, 1, 0);
            ++*batches;
            MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 1000, 1);
            progress->UpdateProgress(&info);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        MakeProgressInfo(&info, PROGRESS_STATE_FINISHED, 1000, 1);
        progress->UpdateProgress(&info);
        return kFakeFailure;
    };
}

using model_test::SpinUntil;

TEST(Controller, RemainingTimeText) {
    struct Case {
        uint64_t total, current;
        int64_t elapsed;
        const char* text;
        double percent;
    } cases[] = {
        {1000, 100, 50, "00:03:45", 10.0},   {1000, 300, 30, "00:00:49", 30.0}, {1000, 600, 30, "00:00:20", 60.0},
        {2, 1, 360000, "100:00:00", 50.0},   {2, 1, 363600, "-:-:-", 50.0},     {0, 5, 10, "00:00:00", 500.0},
        {1000, 0, 10, "-:-:-", 0.0},         {1000, 5, 10, "-:-:-", 0.5},       {1000, 100, 0, "-:-:-", 10.0},
        {1000, 1200, 10, "00:00:00", 120.0},
    };
    for (const Case& c : cases) {
        double percent = -1;
        EXPECT_EQ(ScanRemainingTimeText(c.total, c.current, c.elapsed, &percent).toStdString(), c.text)
            << c.total << " " << c.current << " " << c.elapsed;
        EXPECT_DOUBLE_EQ(percent, c.percent);
    }
}

TEST(Controller, ScanNewsThrottledToOnePerTwoSecondsExceptFinal) {
    std::atomic<int64_t> now{1000};
    SetControllerClock([&] { return now.load(); });
    int built = 0;
    SetTreeBuildHook([&](int) { ++built; });
    PostCounter posts("NormalScranValue");
    g_timeCount = 0;
    struct Step {
        int64_t at;
        int final;
        int postsAfter;
    } steps[] = {{1000, 0, 1}, {1001, 0, 1}, {1001, 1, 2}, {1001, 0, 2}, {1002, 0, 3}, {1002, 1, 4}};
    for (const Step& s : steps) {
        now = s.at;
        QXNotifyUIUpdateData(s.final);
        EXPECT_EQ(posts.Settle(), s.postsAfter) << s.at << " final " << s.final;
    }
    EXPECT_EQ(built, 6);  // the trees grow on every batch; only the post waits

    // While another pass holds the trees, news is dropped but a final call
    // waits for the lock.
    QXUIScan::instance().SetOpTreeFinished(0);
    now = 2000;
    QXNotifyUIUpdateData(0);
    EXPECT_EQ(posts.Settle(), 4);
    std::unique_lock trees(g_lockerAddData);
    std::thread final([] { QXNotifyUIUpdateData(1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(posts.Settle(), 4);
    trees.unlock();
    final.join();
    EXPECT_EQ(posts.Settle(), 5);
    QXUIScan::instance().SetOpTreeFinished(1);
    SetTreeBuildHook(nullptr);
    SetControllerClock(nullptr);
}

TEST(Controller, DeviceListOnDemandPostsItsKeyAndRetriesAfterAFailure) {
    FakeEnumerator enumerator;
    enumerator.AddDisk(MakeDisk("Disk", "sdz", 1, 1));
    enumerator.failInit = true;
    QXUIDeviceData& model = QXUIDeviceData::instance();
    model.SetEnumerator(&enumerator);
    PostCounter posts("DrivesReady");
    QXUIController::NotifiyDeviceInfoAfterInit("DrivesReady");
    ASSERT_TRUE(SpinUntil([&] { return posts.count == 1; }, 5000));
    EXPECT_EQ(model.GetInitState(), 0u);  // failed: the next request tries again
    enumerator.failInit = false;
    QXUIController::NotifiyDeviceInfoAfterInit("DrivesReady");
    ASSERT_TRUE(SpinUntil([&] { return posts.count == 2; }, 5000));
    EXPECT_EQ(enumerator.inits, 2);
    EXPECT_EQ(model.GetInitState(), 2u);
    QXUIController::NotifiyDeviceInfoAfterInit("DrivesReady");  // done: at once
    EXPECT_EQ(posts.Settle(), 3);
    EXPECT_EQ(enumerator.inits, 2);
    std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
    QXUIController::GetDeviceInfoToArray(rows);
    EXPECT_EQ(rows.size(), 1u);
    model.SetEnumerator(nullptr);
}

class ControllerScan : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        disk = enumerator.AddDisk(MakeDisk("Disk", "sdz", 1, 1));
        enumerator.AddVolume(disk, MakeVolume(disk, "Vol", "sdz1"));
        QXUIDeviceData::instance().SetEnumerator(&enumerator);
        ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
        QXUIScan::instance().SetControllerFactory(Factory(script));
        root = tree.Root("Vol", SEARCHER_FAT);
        file = tree.Add(root, "a.txt", false);
    }
    void TearDown() override {
        QXUIController::StopScan(1);
        EXPECT_TRUE(SpinUntil([] { return !IsScanWorkerAlive(); }, 10000));
        QXUIScan::instance().SetControllerFactory(nullptr);
        // The fake disk and nodes die with the test: the bridge must keep
        // neither for the tests that follow.
        QXUIScan::instance().SaveScanSorage(nullptr);
        QXUIScan::instance().ClearData();
        QXUIDeviceData::instance().SetEnumerator(nullptr);
    }

    FakeEnumerator enumerator;
    MemDevice* disk = nullptr;
    std::shared_ptr<Script> script = std::make_shared<Script>();
    NodeTree tree;
    FakeRoot* root = nullptr;
    FakeNode* file = nullptr;
};

TEST_F(ControllerScan, PauseResumeStopAndARequestWhileAliveIsIgnored) {
    std::atomic<int> batches{0};
    script->steps = {Endless(root, file, &batches), Endless(root, file, &batches)};
    PostCounter news("NormalScranValue");
    QXUIController::DoScanWithDiskIndex(0, 0, "", nullptr);
    EXPECT_TRUE(QXUIController::IsScanRunning());
    ASSERT_TRUE(SpinUntil([&] { return batches.load() > 3; }, 5000));
    QXUIController::DoScanWithDiskIndex(0, 0, "", nullptr);  // ignored
    EXPECT_EQ(script->made.size(), 1u);

    QXUIController::PauseOrResumeScan();
    EXPECT_TRUE(QXUIController::IsPause());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int held = batches.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(batches.load(), held + 1);  // the engine waits in Continued()
    QXUIController::PauseOrResumeScan();
    EXPECT_FALSE(QXUIController::IsPause());
    ASSERT_TRUE(SpinUntil([&] { return batches.load() > held + 3; }, 5000));

    double percent = 0;
    uint64_t count = 0;
    QXUIController::GetScanProgress(&percent, &count);
    EXPECT_DOUBLE_EQ(percent, 0.1);
    EXPECT_GT(count, 0u);

    const int before = news.count;
    QXUIController::StopScan(0);
    ASSERT_TRUE(SpinUntil([] { return !IsScanWorkerAlive(); }, 5000));
    EXPECT_GT(news.Settle(100), before);
    EXPECT_FALSE(QXUIController::IsScanRunning());
    EXPECT_EQ(script->made.size(), 1u);

    // Once the worker has ended a new scan starts.
    batches = 0;
    QXUIController::DoScanWithDiskIndex(0, 0, "", nullptr);
    ASSERT_TRUE(SpinUntil([&] { return batches.load() > 0; }, 5000));
    EXPECT_EQ(script->made.size(), 2u);
}

TEST_F(ControllerScan, DeepScanAgainOfTheLastDeviceAndNoDeviceDoesNothing) {
    std::atomic<int> batches{0};
    script->steps = {Volume(root, {{file}}), Volume(root, {{file}})};
    QXUIController::DoScanWithDiskIndex(5, 0, "", nullptr);  // no such disk
    EXPECT_FALSE(QXUIController::IsScanRunning());
    QXUIScan::instance().SetDeepScan(0);
    QXUIController::DoScanWithDiskIndex(0, 0, "", nullptr);
    ASSERT_TRUE(SpinUntil([] { return !IsScanWorkerAlive(); }, 5000));
    QXUIController::DoDeepScan(nullptr, "");
    ASSERT_TRUE(SpinUntil([&] { return script->made.size() == 2 && !IsScanWorkerAlive(); }, 5000));
    EXPECT_EQ(script->made,
              (std::vector<_RECOVERY_CONTROLLER_TYPE>{RECOVERY_CONTROLLER_QUICK, RECOVERY_CONTROLLER_DEEP_VOLUME}));
    EXPECT_TRUE(QXUIController::IsDeepScan());
    uint64_t size = 0, count = 0;
    QXUIController::GetScanFileSize(&size, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(size, 100u);
    QXUIScan::instance().SetDeepScan(0);
    (void)batches;
}

}  // namespace

// Helper mode: starts an endless scripted scan, says "scanning", then closes
// the application; the parent checks how the process ended.
bool RunControllerHelperMode(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) != "--close-during-scan") return false;
    QCoreApplication app(argc, argv);
    CatchExeception::SetConsoleEcho(false);  // standard output carries "scanning"
    initFileType();
    FakeEnumerator* enumerator = new FakeEnumerator;
    MemDevice* disk = enumerator->AddDisk(MakeDisk("Disk", "sdz", 1, 1));
    enumerator->AddVolume(disk, MakeVolume(disk, "Vol", "sdz1"));
    QXUIDeviceData::instance().SetEnumerator(enumerator);
    QXUIDeviceData::instance().InitDeviceInfo();
    auto script = std::make_shared<Script>();
    auto* tree = new NodeTree;
    FakeRoot* root = tree->Root("Vol", SEARCHER_FAT);
    FakeNode* file = tree->Add(root, "a.txt", false);
    static std::atomic<int> batches{0};
    script->steps = {Endless(root, file, &batches)};
    QXUIScan::instance().SetControllerFactory(Factory(script));
    QXUIController::DoScanWithDiskIndex(0, 0, "", nullptr);
    while (batches.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("scanning\n");
    std::fflush(stdout);
    QXUIController::CloseApp();
}

namespace {

TEST(Controller, CloseAppDuringAScanStopsJoinsAndExitsWithZero) {
    HelperChild child({"--close-during-scan"});
    ASSERT_GT(child.pid(), 0);
    EXPECT_EQ(child.ReadLine(), "scanning");
    int status = -1;
    QElapsedTimer timer;
    timer.start();
    pid_t done = 0;
    while ((done = waitpid(child.pid(), &status, WNOHANG)) == 0 && timer.elapsed() < 10000)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(done, child.pid()) << "still running after 10 s";
    child.Forget();
    EXPECT_LT(timer.elapsed(), 8000);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
