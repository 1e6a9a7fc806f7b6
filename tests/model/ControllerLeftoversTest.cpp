// The controller on roads the other controller tests leave out: device-list
// requests that arrive while a listing runs (and one that fails), a DMG image
// opened through the controller, listed and scanned deep, and a loop disk
// whose image is cut to nothing while a scan of it runs (root).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/SkipOutsideCi.h"

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";
const std::string kScanTool = std::string(QUILLORY_BINARY_DIR) + "/cli/quillory-scan";

using model_test::SpinUntil;

// Posts of one name seen on the main thread.
class Posts {
public:
    explicit Posts(const QString& name) {
        NotificationBus::instance()->observe(name, &m_context, [this](const QVariant&) { ++count; });
    }
    // Lets queued posts arrive, then says how many came.
    int Settle() {
        SpinUntil([] { return false; }, 50);
        return count;
    }
    int count = 0;

private:
    QObject m_context;
};

// An enumerator whose Init waits until the test opens the gate: a listing
// the test can hold in the middle.
class GatedEnumerator : public model_test::FakeEnumerator {
public:
    EngineResult Init() override {
        entered = true;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_open; });
        return FakeEnumerator::Init();
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_cv.notify_all();
    }
    std::atomic<bool> entered{false};

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

// Requests while a listing runs return at once and each key is posted once,
// when it ends; after a failed listing the next request lists again, after a
// good one it is answered at once.
TEST(ControllerDeviceList, RequestsWhileAListingRunsArePostedWhenItEnds) {
    for (const bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "failing listing" : "good listing");
        GatedEnumerator enumerator;
        enumerator.AddDisk(model_test::MakeDisk("Disk", "sdz", 1, 1));
        enumerator.failInit = fail;
        QXUIDeviceData& model = QXUIDeviceData::instance();
        model.SetEnumerator(&enumerator);
        Posts drives("DrivesReady"), other("DrivesReadyAgain");

        QXUIController::NotifiyDeviceInfoAfterInit("DrivesReady");
        ASSERT_TRUE(SpinUntil([&] { return enumerator.entered.load(); }, 10000));
        // The listing holds the device list; these must not wait for it.
        QXUIController::NotifiyDeviceInfoAfterInit("DrivesReady");
        QXUIController::NotifiyDeviceInfoAfterInit("DrivesReadyAgain");
        EXPECT_EQ(drives.Settle(), 0);
        EXPECT_EQ(other.count, 0);

        enumerator.Open();
        ASSERT_TRUE(SpinUntil([&] { return drives.count > 0 && other.count > 0; }, 10000));
        EXPECT_EQ(drives.Settle(), 1);
        EXPECT_EQ(other.count, 1);
        EXPECT_EQ(enumerator.inits, 1);
        EXPECT_EQ(model.GetInitState(), fail ? 0u : 2u);

        QXUIController::NotifiyDeviceInfoAfterInit("DrivesReady");
        ASSERT_TRUE(SpinUntil([&] { return drives.count == 2; }, 10000));
        EXPECT_EQ(enumerator.inits, fail ? 2 : 1);
        EXPECT_EQ(drives.Settle(), 2);
        model.SetEnumerator(nullptr);
    }
}

using Listing = std::multiset<std::pair<std::string, int64_t>>;

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Name and size of every file quillory-scan lists for the device.
Listing ToolListing(const std::string& mode, const std::string& device) {
    bool ok = false;
    std::istringstream out(devlist_test::Capture("'" + kScanTool + "' " + mode + " '" + device + "'", &ok));
    EXPECT_TRUE(ok) << device;
    Listing listing;
    std::string state, size, path, line;
    while (std::getline(out, line)) {
        std::istringstream fields(line);
        if (std::getline(fields, state, '\t') && std::getline(fields, size, '\t') && std::getline(fields, path))
            listing.emplace(BaseName(path), std::stoll(size));
    }
    return listing;
}

Listing BridgeListing() {
    Listing listing;
    for (const auto& [type, nodes] : QXUIScan::instance().GetTypeMap())
        for (IFileNode* node : nodes) listing.emplace(node->GetFileName(), node->GetFileSize());
    return listing;
}

bool ScanOver() { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }

class ControllerImages : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool types = (initFileType(), true);
        (void)types;
        ASSERT_FALSE(dir.path().empty());
        ASSERT_TRUE(devlist_test::Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
    }
    void TearDown() override {
        QXUIController::StopScan(1);
        EXPECT_TRUE(SpinUntil(ScanOver, 60000));
        QXUIScan::instance().SetDeepScan(0);
        QXUIDeviceData::instance().SetEnumerator(nullptr);
    }
    std::vector<std::unique_ptr<DiskVolumeNodeData>> Rows() {
        std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
        QXUIController::GetDeviceInfoToArray(rows);
        return rows;
    }

    devlist_test::ScratchDir dir;
    std::string image = dir / "model-disk.img";
};

// The DMG is listed as a row of its own (after the disks, of which there are
// none here) and its deep scan finds what quillory-scan finds in it.
TEST_F(ControllerImages, OpenedDmgIsListedAndScannedDeep) {
    model_test::FakeEnumerator none;
    QXUIDeviceData::instance().SetEnumerator(&none);
    ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    const std::string dmg = dir / "model-disk.dmg";
    ASSERT_TRUE(devlist_test::Shell("/usr/bin/python3 " + kFixtures + "make_udif.py '" + image + "' '" + dmg + "'"));
    EXPECT_EQ(QXUIController::QXOpenDmgFile(QString::fromStdString(dir / "missing.dmg")), 0);
    ASSERT_EQ(QXUIController::QXOpenDmgFile(QString::fromStdString(dmg)), 1);
    auto rows = Rows();
    const DiskVolumeNodeData* row = nullptr;
    for (const auto& r : rows)
        if (r->isAppleDmg() != 0 && r->name() == "model-disk.dmg") row = r.get();
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->capacity(), 24u * 1024 * 1024);
    EXPECT_EQ(row->numberOfChildren(), 0u);  // an image has no volumes

    const Listing expected = ToolListing("--deep", dmg);
    ASSERT_FALSE(expected.empty());
    Posts news("NormalScranValue");
    QXUIController::DoDeepScanWithData(row, "", nullptr);
    ASSERT_TRUE(SpinUntil([&] { return news.count > 0 && ScanOver(); }, 120000));
    EXPECT_TRUE(QXUIController::IsDeepScan());
    EXPECT_EQ(BridgeListing(), expected);
}

// The loop disk's image is cut to nothing while its deep scan, under way, is
// paused:
// the rest of the scan reads nothing, ends, and the windows get their final
// news; nothing crashes (the address checker would report a bad read).
TEST_F(ControllerImages, DeviceThatVanishesMidScanEndsTheScan) {
    if (!devlist_test::CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
    devlist_test::LoopDevice loop(image);
    ASSERT_TRUE(loop.ok());
    CEnumDeviceEx enumerator(devlist_test::OnlyDisk(loop.name()));
    QXUIDeviceData::instance().SetEnumerator(&enumerator);
    ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    auto rows = Rows();
    const DiskVolumeNodeData* disk = nullptr;
    for (const auto& r : rows)
        if (r->diskPath().toStdString() == loop.path()) disk = r.get();
    ASSERT_NE(disk, nullptr);

    // The scan reads this loop device and holds a pin of this enumerator's
    // list: both outlive it, whatever the outcome.
    struct EndScan {
        ~EndScan() {
            QXUIController::StopScan(1);
            SpinUntil(ScanOver, 60000);
        }
    } endScan;

    Posts news("NormalScranValue");
    QXUIController::DoDeepScanWithData(disk, "", nullptr);
    ASSERT_TRUE(QXUIController::IsScanRunning());
    double percent = 0;
    std::uint64_t found = 0;
    ASSERT_TRUE(SpinUntil(
        [&] {
            QXUIController::GetScanProgress(&percent, &found);
            return percent > 0 || ScanOver();
        },
        60000));
    QXUIController::PauseOrResumeScan();
    ASSERT_TRUE(QXUIController::IsPause()) << "the scan ended before it could be paused";
    QXUIController::GetScanProgress(&percent, &found);
    EXPECT_LT(percent, 100.0) << "the scan had read the whole disk before it was paused";

    ASSERT_TRUE(devlist_test::Shell("truncate -s 0 '" + image + "' && losetup -c " + loop.path()));
    const int before = news.Settle();
    QXUIController::PauseOrResumeScan();
    ASSERT_TRUE(SpinUntil([&] { return ScanOver() && news.count > before; }, 120000));
    EXPECT_FALSE(QXUIController::IsScanRunning());
}

}  // namespace
