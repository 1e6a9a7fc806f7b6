// The scan bridge over the real engine and real devices (root): the volumes
// of loop disks with deleted files, scanned one by one and as whole disks,
// and a QVX-wrapped NTFS image scanned deep. What the bridge files must be
// what quillory-scan lists for the same device, each file once.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <ctime>
#include <map>
#include <sstream>
#include <sys/stat.h>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/FakeController.h"
#include "support/SkipOutsideCi.h"

using namespace devlist_test;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";
const std::string kScanTool = std::string(QUILLORY_BINARY_DIR) + "/cli/quillory-scan";

using Listing = std::multiset<std::pair<std::string, int64_t>>;

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Name and size of every file quillory-scan lists for the device.
Listing ToolListing(const std::string& mode, const std::string& device) {
    bool ok = false;
    std::istringstream out(Capture("'" + kScanTool + "' " + mode + " '" + device + "'", &ok));
    EXPECT_TRUE(ok) << device;
    Listing listing;
    std::string state, size, path;
    std::string line;
    while (std::getline(out, line)) {
        std::istringstream fields(line);
        if (std::getline(fields, state, '\t') && std::getline(fields, size, '\t') && std::getline(fields, path))
            listing.emplace(BaseName(path), std::stoll(size));
    }
    return listing;
}

Listing BridgeListing(QXUIScan& scan) {
    Listing listing;
    for (const auto& [type, nodes] : scan.GetTypeMap())
        for (IFileNode* node : nodes) listing.emplace(node->GetFileName(), node->GetFileSize());
    return listing;
}

class ScanBridgeLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        static const bool types = (initFileType(), true);
        (void)types;
        scan.SetNotifyHook([this](int final) { finals += final; });
    }
    void Attach(const std::string& image) {
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p1"));
        enumerator = std::make_unique<CEnumDeviceEx>(OnlyDisk(loop->name()));
        model = std::make_unique<QXUIDeviceData>(enumerator.get());
        ASSERT_EQ(model->InitDeviceInfo(), 1);
        scan.SetDeviceData(model.get());
    }
    EngineResult Run(IStorageDevice* device, int deep) {
        finals = 0;
        scan.SetDeepScan(deep);
        scan.SetStatus(QXOP_RUNNING);
        return scan.DoScan(device, nullptr);
    }
    // Every file of the type map is in the time maps under its own dates.
    void ExpectDatesFiled() {
        const QXTimeMap modified = scan.GetModifyTimeMap();
        size_t filed = 0;
        for (const auto& [year, months] : modified)
            for (const auto& [month, nodes] : months)
                for (IFileNode* node : nodes) {
                    int y = 0, m = 0;
                    QXCPPPublic::GetYearMonthByFileTime(&y, &m, node->GetModificationTime());
                    EXPECT_EQ(std::make_pair(y, m), std::make_pair(year, month)) << node->GetFileName();
                    ++filed;
                }
        EXPECT_EQ(filed, scan.GetScanFileCnt());
    }

    ScratchDir dir;
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<CEnumDeviceEx> enumerator;
    std::unique_ptr<QXUIDeviceData> model;
    QXUIScan scan;
    std::atomic<int> finals{0};
};

TEST_F(ScanBridgeLoop, QuickScanOfEachFatVolumeAndOfTheWholeDisk) {
    const std::string image = dir / "model-disk.img";
    ASSERT_TRUE(Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
    Attach(image);
    Listing whole;
    for (int v = 0; v < 2; ++v) {
        const Listing expected = ToolListing("--quick", loop->path() + "p" + std::to_string(v + 1));
        ASSERT_EQ(expected.size(), 1u);
        EXPECT_EQ(Run(model->GetStorageByDiskVolumeIndex(0, v), 0), ENGINE_OK);
        EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
        EXPECT_GE(finals.load(), 1);
        EXPECT_EQ(BridgeListing(scan), expected);
        ExpectDatesFiled();
        // mcopy stamped the file now: it is under this year and month.
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        const QXTimeMap modified = scan.GetModifyTimeMap();
        ASSERT_EQ(modified.size(), 1u);
        EXPECT_EQ(modified.begin()->first, local.tm_year + 1900);
        // A quick scan keeps the reader of its volume, found from the file.
        IFileNode* file = scan.GetTypeMap().begin()->second.front();
        EXPECT_NE(scan.GetFileNodeDataRecover(file), nullptr);
        whole.insert(expected.begin(), expected.end());
    }
    EXPECT_EQ(Run(model->GetDiskStorageByIndex(0), 0), ENGINE_OK);
    EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
    EXPECT_EQ(scan.GetFileSystemNode().size(), 2u);
    EXPECT_EQ(BridgeListing(scan), whole);
}

TEST_F(ScanBridgeLoop, QuickScanOfEachNtfsVolume) {
    ASSERT_TRUE(Shell(kFixtures + "make_ntfs_multi_images.sh '" + dir.path() + "'"));
    Attach(dir / "two.img");
    ASSERT_TRUE(Shell("test -b " + loop->path() + "p2"));
    for (int v = 0; v < 2; ++v) {
        const Listing expected = ToolListing("--quick", loop->path() + "p" + std::to_string(v + 1));
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(Run(model->GetStorageByDiskVolumeIndex(0, v), 0), ENGINE_OK);
        EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
        EXPECT_GE(finals.load(), 1);
        EXPECT_EQ(BridgeListing(scan), expected) << "volume " << v;
        ExpectDatesFiled();
    }
}

// An image has no volumes: it is scanned deep, as one device.
TEST_F(ScanBridgeLoop, DeepScanOfAQvxWrappedNtfsImage) {
    ASSERT_TRUE(Shell(kFixtures + "make_ntfs_images.sh '" + dir.path() + "'"));
    const std::string qvx = dir / "ntfs.qvx";
    ASSERT_TRUE(
        Shell("/usr/bin/python3 " + kFixtures + "make_qvx.py '" + (dir / "ntfs_basic.img") + "' '" + qvx + "'"));
    QXUIDeviceData images(nullptr);
    scan.SetDeviceData(&images);
    ASSERT_EQ(images.QXOpenQvxFileImp(qvx.c_str()), 1);
    IStorageDevice* device = images.GetStorageByDiskVolumeIndex(0, -1);
    ASSERT_NE(device, nullptr);
    scan.SaveScanSorage(device);
    scan.SetDeepScan(1);
    EXPECT_EQ(scan.GetScanControllerType(device), RECOVERY_CONTROLLER_DEEP_VOLUME);
    const Listing expected = ToolListing("--deep", qvx);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Run(device, 1), ENGINE_OK);
    EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
    EXPECT_GE(finals.load(), 1);
    EXPECT_EQ(BridgeListing(scan), expected);
    // A deep scan keeps no readers of its own.
    EXPECT_EQ(scan.GetFileNodeDataRecover(scan.GetTypeMap().begin()->second.front()), nullptr);
}

// An image cut short ends the scan with status 0 and a final post.
TEST_F(ScanBridgeLoop, ImageCutShortEndsIdle) {
    ASSERT_TRUE(Shell(kFixtures + "make_ntfs_images.sh '" + dir.path() + "'"));
    const std::string cut = dir / "cut.img";
    ASSERT_TRUE(Shell("head -c 1048576 '" + (dir / "ntfs_basic.img") + "' > '" + cut + "'"));
    const std::string qvx = dir / "cut.qvx";
    ASSERT_TRUE(Shell("/usr/bin/python3 " + kFixtures + "make_qvx.py '" + cut + "' '" + qvx + "'"));
    QXUIDeviceData images(nullptr);
    scan.SetDeviceData(&images);
    ASSERT_EQ(images.QXOpenQvxFileImp(qvx.c_str()), 1);
    (void)Run(images.GetStorageByDiskVolumeIndex(0, -1), 1);
    EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
    EXPECT_GE(finals.load(), 1);
}

}  // namespace

// The same roads through the controller, as the windows take them.

namespace {

using model_test::SpinUntil;

class ControllerLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        static const bool types = (initFileType(), true);
        (void)types;
        ASSERT_TRUE(Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p2"));
        enumerator = std::make_unique<CEnumDeviceEx>(OnlyDisk(loop->name()));
        QXUIDeviceData::instance().SetEnumerator(enumerator.get());
        ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    }
    void TearDown() override {
        QXUIController::StopScan(1);
        EXPECT_TRUE(SpinUntil([] { return !IsScanWorkerAlive(); }, 30000));
        QXUIScan::instance().SetControllerFactory(nullptr);
        QXUIDeviceData::instance().SetEnumerator(nullptr);
    }
    std::vector<std::unique_ptr<DiskVolumeNodeData>> Rows() {
        std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
        QXUIController::GetDeviceInfoToArray(rows);
        return rows;
    }

    ScratchDir dir;
    std::string image = dir / "model-disk.img";
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<CEnumDeviceEx> enumerator;
};

TEST_F(ControllerLoop, QuickScanOfAVolumePostsNewsAndEnds) {
    std::list<_DiskVolumeData> records;
    QXUIDeviceData::instance().GetAllDeviceInfo(records);
    ASSERT_EQ(records.size(), 1u);
    const DiskVolumeNodeData volume(records.front().volumes.front());
    QObject context;
    int news = 0;
    NotificationBus::instance()->observe("NormalScranValue", &context, [&](const QVariant&) { ++news; });
    QXUIController::DoScanWithData(&volume, "", nullptr);
    EXPECT_TRUE(QXUIController::IsScanRunning());
    ASSERT_TRUE(SpinUntil([&] { return news > 0 && !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 30000));
    uint64_t size = 0, count = 0;
    QXUIController::GetScanFileSize(&size, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(size, 20000u);  // the deleted gone.bin
    EXPECT_FALSE(QXUIController::IsDeepScan());
}

// An opened image is listed after the disks and scanned deep.
TEST_F(ControllerLoop, OpenedQvxImageIsScannedDeep) {
    const std::string qvx = dir / "disk.qvx";
    ASSERT_TRUE(Shell("/usr/bin/python3 " + kFixtures + "make_qvx.py '" + image + "' '" + qvx + "'"));
    ASSERT_EQ(QXUIController::QXOpenQvxFile(QString::fromStdString(qvx)), 1);
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[1]->isQvx(), 1u);
    const Listing expected = ToolListing("--deep", qvx);
    ASSERT_FALSE(expected.empty());
    QObject context;
    int news = 0;
    NotificationBus::instance()->observe("NormalScranValue", &context, [&](const QVariant&) { ++news; });
    QXUIController::isQvxDoDeepScanWithData(rows[1].get(), "", nullptr);
    ASSERT_TRUE(
        SpinUntil([&] { return news > 0 && !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 120000));
    EXPECT_TRUE(QXUIController::IsDeepScan());
    EXPECT_EQ(BridgeListing(QXUIScan::instance()), expected);
    QXUIScan::instance().SetDeepScan(0);
}

// A scan that ignores the stop and goes on reading its device while the
// list is rebuilt: its pin keeps the device alive (the address checker
// would report a read of a freed one).
TEST_F(ControllerLoop, RefreshWhileAScanIgnoresStopFreesNoDevice) {
    auto script = std::make_shared<fake_controller::Script>();
    std::atomic<int> reads{0};
    std::atomic<bool> refreshed{false};
    script->steps = {[&](IStorageDevice* device, IProgress*, IDrirectoryTree*) -> EngineResult {
        std::vector<uint8_t> sector(512);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 3000 && !(refreshed.load() && reads.load() > 20)) {
            if (device->ReadSector(sector.data(), 0, 1) == 1) ++reads;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return fake_controller::kFakeFailure;
    }};
    QXUIScan::instance().SetControllerFactory(fake_controller::Factory(script));
    QXUIController::DoScanWithDiskIndex(0, 1, "", nullptr);
    ASSERT_TRUE(SpinUntil([&] { return reads.load() > 0; }, 5000));
    SetRefreshWaitSeconds(0);
    const int before = reads.load();
    QXUIController::RefreshDeviceInfo();
    SetRefreshWaitSeconds(30);
    refreshed = true;
    ASSERT_TRUE(SpinUntil([] { return !IsScanWorkerAlive(); }, 10000));
    EXPECT_GT(reads.load(), before);
    EXPECT_EQ(Rows().size(), 1u);
    EXPECT_EQ(QXUIScan::instance().GetSavedStorage(), nullptr);
}

}  // namespace
