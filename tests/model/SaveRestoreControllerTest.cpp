// The controller's save and restore entries: the poll that posts news and
// the finish, the progress getters, the proposed name and the remembered
// folder; and (as root) loop volumes scanned, saved and restored through the
// controller after a refill of the device list.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>

#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/SaveRestoreResult.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/SkipOutsideCi.h"
#include "ModelTestSupport.h"
#include "SaveRestoreTestSupport.h"

using namespace save_restore_test;
using namespace devlist_test;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";

bool Spin(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Runs one save (save != 0) or restore through the controller as the result
// window does, until "QueryProgressFinish"; the end record's error code.
std::uint64_t RunThroughController(int save, const std::string& file, int* news = nullptr) {
    QObject context;
    int posted = 0, finished = 0;
    NotificationBus::instance()->observe("QueryProgressInfo", &context, [&](const QVariant&) { ++posted; });
    NotificationBus::instance()->observe("QueryProgressFinish", &context, [&](const QVariant&) { ++finished; });
    QXUIController::RestorPostUIUpdate("QueryProgressInfo", save);
    EXPECT_EQ(QXUIController::beginSaveOrRestoreNode(save, QString::fromStdString(file), {}), 0);
    EXPECT_TRUE(Spin([&] { return finished > 0; }, 120000));
    // Nothing after the finish.
    Spin([] { return false; }, 300);
    EXPECT_EQ(finished, 1);
    if (news) *news = posted;
    std::uint64_t total = 0, current = 0, error = 99;
    QXUIController::GetSaveorRestoreProgress(&total, &current, &error, save);
    EXPECT_EQ(total, 100u);
    EXPECT_EQ(current, 100u);
    return error;
}

}  // namespace

TEST(SaveRestoreController, ProposedNameNeverHoldsAFolderSeparator) {
    model_test::FakeEnumerator fake;
    MemDevice* disk = fake.AddDisk(model_test::MakeDisk("Disk", "sdz", DISK_BUS_SATA, PARTITION_SCHEME_MBR));
    MemDevice* volume = fake.AddVolume(disk, model_test::MakeVolume(disk, "Data/Backup", "sdz1"));
    QXUIDeviceData::instance().SetEnumerator(&fake);
    ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    QXUIScan::instance().SaveScanSorage(volume);
    const QString name = QXUIController::GetSaveFileName();
    QXUIScan::instance().SaveScanSorage(nullptr);
    QXUIDeviceData::instance().SetEnumerator(nullptr);
    EXPECT_TRUE(QRegularExpression(R"(^Data_Backup_\d\d-\d\d-\d{4} at \d\d:\d\d:\d\d$)").match(name).hasMatch())
        << name.toStdString();
}

TEST(SaveRestoreController, SaveFolderIsRemembered) {
    ASSERT_TRUE(QXUIController::SavePathToPList("/home/someone/Results"));
    EXPECT_EQ(QXUIController::GetSavePath(), "/home/someone/Results");
}

TEST(SaveRestoreController, UnwritableFolderEndsWithCode2AndOneFinish) {
    EXPECT_EQ(RunThroughController(1, "/nonexistent-folder/result.Quillory"), 2u);
    EXPECT_EQ(QXSaveAndRestoreNodeOperate::instance().GetStatus(), QXOP_IDLE);
}

namespace {

class SaveRestoreControllerLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        static const bool types = (initFileType(), true);
        (void)types;
    }
    void TearDown() override {
        Spin([] { return !IsScanWorkerAlive(); }, 30000);
        QXUIDeviceData::instance().SetEnumerator(nullptr);
    }
    void Attach(const std::string& image) {
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p1"));
        EnumDeviceConfig config;
        const std::string name = loop->name();
        config.acceptDisk = [name](const std::string& n) { return n == name; };
        enumerator = std::make_unique<CEnumDeviceEx>(config);
        QXUIDeviceData::instance().SetEnumerator(enumerator.get());
        ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    }
    // A quick scan of the volume through the controller, saved, the device
    // list refilled, the file restored: the same trees and recovered bytes.
    void RoundTrip(int volume, const std::string& what) {
        SCOPED_TRACE(what);
        QXUIScan& scan = QXUIScan::instance();
        QXUIController::DoScanWithDiskIndex(0, volume, "", nullptr);
        ASSERT_TRUE(Spin([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 60000));
        const auto before = Snapshot(scan);
        ASSERT_GT(before.size(), 1u);
        const auto recovered = Recover(scan, dir.Path());
        ASSERT_FALSE(recovered.empty());
        const std::string file = dir / (what + ".Quillory");
        int news = 0;
        ASSERT_EQ(RunThroughController(1, file, &news), 0u);
        EXPECT_GE(news, 1);

        QXUIController::RefreshDeviceInfo();
        ASSERT_TRUE(Spin([] { return QXUIDeviceData::instance().GetInitState() == 2; }, 60000));
        ASSERT_EQ(RunThroughController(0, file), 0u);
        EXPECT_EQ(Snapshot(scan), before);
        EXPECT_EQ(Recover(scan, dir.Path()), recovered);

        // The restored result saved again: the same records, once each
        // volume's nodes are in node-ID order.
        const std::string again = dir / (what + "-again.Quillory");
        ASSERT_EQ(RunThroughController(1, again), 0u);
        const auto records = CanonicalRecords(file);
        EXPECT_GT(records.size(), 3u);
        EXPECT_EQ(CanonicalRecords(again), records);
    }

    ScratchDir dir;
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<CEnumDeviceEx> enumerator;
};

}  // namespace

TEST_F(SaveRestoreControllerLoop, FatVolumeRoundTrips) {
    const std::string image = dir / "model-disk.img";
    ASSERT_TRUE(Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
    Attach(image);
    RoundTrip(1, "fat");
}

TEST_F(SaveRestoreControllerLoop, NtfsVolumeRoundTrips) {
    ASSERT_TRUE(Shell(kFixtures + "make_ntfs_multi_images.sh '" + dir.path() + "'"));
    Attach(dir / "two.img");
    RoundTrip(0, "ntfs");
}
