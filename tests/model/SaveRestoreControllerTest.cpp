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

using model_test::SpinUntil;

// Runs one save (save != 0) or restore through the controller as the result
// window does, until "QueryProgressFinish"; the end record's error code.
std::uint64_t RunThroughController(int save, const std::string& file, int* news = nullptr) {
    QObject context;
    int posted = 0, finished = 0;
    NotificationBus::instance()->observe("QueryProgressInfo", &context, [&](const QVariant&) { ++posted; });
    NotificationBus::instance()->observe("QueryProgressFinish", &context, [&](const QVariant&) { ++finished; });
    QXUIController::RestorPostUIUpdate("QueryProgressInfo", save);
    EXPECT_EQ(QXUIController::beginSaveOrRestoreNode(save, QString::fromStdString(file), {}), 0);
    EXPECT_TRUE(SpinUntil([&] { return finished > 0; }, 120000));
    // Nothing after the finish.
    SpinUntil([] { return false; }, 300);
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
        SpinUntil([] { return !IsScanWorkerAlive(); }, 30000);
        QXUIDeviceData::instance().SetEnumerator(nullptr);
    }
    void Attach(const std::string& image) {
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p1"));
        enumerator = std::make_unique<CEnumDeviceEx>(OnlyDisk(loop->name()));
        QXUIDeviceData::instance().SetEnumerator(enumerator.get());
        ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    }
    // A quick scan of the volume through the controller, saved, the device
    // list refilled, the file restored: the same trees and recovered bytes.
    void RoundTrip(int volume, const std::string& what) {
        SCOPED_TRACE(what);
        QXUIScan& scan = QXUIScan::instance();
        QXUIController::DoScanWithDiskIndex(0, volume, "", nullptr);
        ASSERT_TRUE(SpinUntil([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 60000));
        const auto before = Snapshot(scan);
        ASSERT_GT(before.size(), 1u);
        const auto recovered = Recover(scan, dir.Path());
        ASSERT_FALSE(recovered.empty());
        const std::string file = dir / (what + ".Quillory");
        int news = 0;
        ASSERT_EQ(RunThroughController(1, file, &news), 0u);
        EXPECT_GE(news, 1);

        QXUIController::RefreshDeviceInfo();
        ASSERT_TRUE(SpinUntil([] { return QXUIDeviceData::instance().GetInitState() == 2; }, 60000));
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

// Finding the stored device again: by the stored indexes only when size and
// name agree, else by name, file system and size; never a different disk
// that happens to sit at the stored index with the stored size.
TEST(SaveRestoreDevices, StoredDeviceIsFoundAgainByIndexOrByName) {
    model_test::FakeEnumerator fake;
    MemDevice* alpha = fake.AddDisk(model_test::MakeDisk("Alpha", "sda", DISK_BUS_SATA, PARTITION_SCHEME_MBR, 4096));
    MemDevice* beta = fake.AddDisk(model_test::MakeDisk("Beta", "sdb", DISK_BUS_SATA, PARTITION_SCHEME_MBR, 4096));
    MemDevice* data = fake.AddVolume(beta, model_test::MakeVolume(beta, "Data", "sdb1", 2));
    QXUIDeviceData devices(&fake);
    ASSERT_EQ(devices.InitDeviceInfo(), 1);
    auto stored = [](std::int32_t disk, std::int32_t volume, const char* name, std::int32_t fs, std::uint64_t size) {
        scanresult::StoredDevice d;
        d.diskIndex = disk;
        d.volumeIndex = volume;
        d.name = name;
        d.fileSystem = fs;
        d.size = size;
        return d;
    };
    const std::uint64_t disk = 4096 * 512, volume = 1000 * 512;
    const struct {
        const char* what;
        scanresult::StoredDevice device;
        IStorageDevice* expected;
    } rows[] = {
        {"disk at its index", stored(0, -1, "Alpha", -1, disk), alpha},
        {"disk moved to another index", stored(0, -1, "Beta", -1, disk), beta},
        {"same size at the index, another name", stored(0, -1, "Gamma", -1, disk), nullptr},
        {"index with another size", stored(1, -1, "Alpha", -1, disk * 2), nullptr},
        {"volume at its indexes", stored(1, 0, "Data", 2, volume), data},
        {"volume at stale indexes", stored(0, 0, "Data", 2, volume), data},
        {"volume of another file system", stored(3, 0, "Data", 3, volume), nullptr},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SaveRestoreResult::GetFromDiskVolumeData(row.device, nullptr, nullptr, devices), row.expected)
            << row.what;
}

// Which stored volumes a device takes: a whole disk every one; a volume
// those stored under its name, each once, one per searcher type per replay.
TEST(SaveRestoreDevices, VolumesMatchTheirDeviceByName) {
    model_test::FakeEnumerator fake;
    MemDevice* disk = fake.AddDisk(model_test::MakeDisk("Disk", "sdc", DISK_BUS_SATA, PARTITION_SCHEME_MBR));
    MemDevice* first = fake.AddVolume(disk, model_test::MakeVolume(disk, "SAME", "sdc1"));
    MemDevice* second = fake.AddVolume(disk, model_test::MakeVolume(disk, "SAME", "sdc2"));
    MemDevice* other = fake.AddVolume(disk, model_test::MakeVolume(disk, "OTHER", "sdc3"));
    const std::vector<scanresult::StoredVolume> stored = {
        {0, 2, SEARCHER_FAT, "SAME"}, {1, 2, SEARCHER_FAT, "SAME"}, {2, 5, SEARCHER_NTFS, "OTHER"}};
    // One replay per device, as a whole-disk quick restore runs them.
    auto replay = [&stored](scanresult::CaptionMatcher& match, IStorageDevice* device) {
        std::vector<std::uint64_t> taken;
        for (const auto& v : stored)
            if (match(v, device)) taken.push_back(v.index);
        return taken;
    };
    scanresult::CaptionMatcher perVolume(false);
    EXPECT_EQ(replay(perVolume, first), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(replay(perVolume, second), (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(replay(perVolume, other), (std::vector<std::uint64_t>{2}));
    scanresult::CaptionMatcher wholeDisk(false);
    EXPECT_EQ(replay(wholeDisk, disk), (std::vector<std::uint64_t>{0, 1, 2}));
}
