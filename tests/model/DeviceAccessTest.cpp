// Devices the desktop user may not open, obtained from a fake UDisks2 on a
// private bus (python3-dbusmock). The plain open is refused through the
// engine's test seam, since these tests run as root.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonDocument>
#include <QJsonObject>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <fstream>
#include <sstream>

#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "model/qt/TextLookup.h"
#include "model/qt/UDisksAccess.h"
#include "storage/DeviceAccess.h"
#include "support/DeviceListTestSupport.h"
#include "support/FakeController.h"
#include "support/SkipOutsideCi.h"

using namespace devlist_test;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";

class DeviceAccess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        bool ok = false;
        std::istringstream out(Capture("dbus-daemon --session --fork --print-address=1 --print-pid=1", &ok));
        ASSERT_TRUE(ok);
        std::getline(out, address);
        out >> busPid;
        ASSERT_FALSE(address.empty());
        ASSERT_GT(busPid, 0);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        UDisksAccess::instance().Reset();
    }
    void TearDown() override {
        UDisksAccess::instance().Uninstall();
        SetPlainOpenRefusalForTest({});
        if (mockPid > 0) kill(mockPid, SIGTERM);
        UDisksAccess::instance().Reset();
        if (busPid > 0) kill(busPid, SIGTERM);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    // Starts the fake UDisks2 with devices {name: file} and waits for it.
    void StartFake(const QJsonObject& devices, const QString& mode) {
        QJsonObject parameters{{"devices", devices}, {"mode", mode}};
        const std::string json = QJsonDocument(parameters).toJson(QJsonDocument::Compact).toStdString();
        const std::string cmd = "DBUS_SYSTEM_BUS_ADDRESS='" + address + "' /usr/bin/python3 -m dbusmock -t " +
                                kFixtures + "fake_udisks2.py -p '" + json + "' -l '" + log + "' > '" +
                                (dir / "mock.out") + "' 2>&1 & echo $!";
        mockPid = std::atoi(Capture(cmd).c_str());
        ASSERT_GT(mockPid, 0);
        QDBusConnection probe = QDBusConnection::connectToBus(QString::fromStdString(address), "probe");
        for (int i = 0; i < 200 && !probe.interface()->isServiceRegistered("org.freedesktop.UDisks2"); ++i)
            QThread::msleep(50);
        ASSERT_TRUE(probe.interface()->isServiceRegistered("org.freedesktop.UDisks2"))
            << Capture("cat '" + (dir / "mock.out") + "'");
        QDBusConnection::disconnectFromBus("probe");
    }

    // The mock's log lines that name `method`.
    std::vector<std::string> Calls(const std::string& method) {
        std::vector<std::string> lines;
        std::ifstream in(log);
        // "<time> <method> <arguments>"; failures are logged as "<time>
        // <method> raised: ..." and are no calls.
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string time, name, next;
            words >> time >> name >> next;
            if (name == method && next != "raised:") lines.push_back(line);
        }
        return lines;
    }

    static std::string ReadAll(int fd, size_t bytes) {
        std::string data(bytes, '\0');
        const ssize_t n = pread(fd, data.data(), bytes, 0);
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return data;
    }

    ScratchDir dir;
    std::string address;
    pid_t busPid = -1;
    pid_t mockPid = -1;
    std::string log = dir / "mock.log";
};

TEST_F(DeviceAccess, DescriptorsFromTheFakeWithoutInteraction) {
    const std::string image = dir / "fake0.img";
    ASSERT_TRUE(Shell("head -c 65536 /dev/urandom > '" + image + "'"));
    std::ifstream in(image, std::ios::binary);
    const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    StartFake({{"fake0", QString::fromStdString(image)}}, "grant");

    EXPECT_TRUE(UDisksAccess::instance().IsAvailable());
    const int fd = UDisksAccess::instance().Open("/dev/fake0", false);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadAll(fd, 65536), expected);
    close(fd);
    const auto asked = Calls("OpenForBackup");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].find("\"auth.no_user_interaction\": True"), std::string::npos) << asked[0];
    // Granted once, kept for the process: the bus is not asked again.
    const int again = UDisksAccess::instance().Open("/dev/fake0", false);
    EXPECT_GE(again, 0);
    close(again);
    EXPECT_EQ(Calls("OpenForBackup").size(), 1u);
    // Unknown devices and anything that is no device node get nothing.
    EXPECT_EQ(UDisksAccess::instance().Open("/dev/other9", false), -1);
    EXPECT_EQ(UDisksAccess::instance().Open(QString::fromStdString(image), false), -1);
    _DiskVolumeData refused;
    refused.beCanOpen = 0;
    EXPECT_EQ(DeviceAccessHelp(refused), L("DEVICE_ACCESS_WILL_ASK"));
    _DiskVolumeData readable;
    EXPECT_EQ(DeviceAccessHelp(readable), "");
}

TEST_F(DeviceAccess, BusyBackupFallsBackToOpenDeviceRead) {
    const std::string image = dir / "fake1.img";
    ASSERT_TRUE(Shell("printf 'device bytes' > '" + image + "'"));
    StartFake({{"fake1", QString::fromStdString(image)}}, "busy");
    const int fd = UDisksAccess::instance().Open("/dev/fake1", false);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadAll(fd, 100), "device bytes");
    close(fd);
    EXPECT_EQ(Calls("OpenForBackup").size(), 1u) << Capture("cat '" + log + "'");
    const auto plain = Calls("OpenDevice");
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_NE(plain[0].find("\"r\""), std::string::npos) << plain[0];
}

TEST_F(DeviceAccess, InteractionOnlyWhenAskedAndNoneWithoutUDisks) {
    const std::string image = dir / "fake2.img";
    ASSERT_TRUE(Shell("printf 'secret' > '" + image + "'"));
    // No UDisks2 on the bus yet: nothing to ask, and the help says how to
    // get access otherwise.
    EXPECT_FALSE(UDisksAccess::instance().IsAvailable());
    EXPECT_EQ(UDisksAccess::instance().Open("/dev/fake2", true), -1);
    _DiskVolumeData refused;
    refused.beCanOpen = 0;
    EXPECT_EQ(DeviceAccessHelp(refused), L("DEVICE_ACCESS_DISK_GROUP"));
    EXPECT_TRUE(DeviceAccessHelp(refused).contains("\"disk\" group"));

    StartFake({{"fake2", QString::fromStdString(image)}}, "interactive");
    EXPECT_EQ(UDisksAccess::instance().Open("/dev/fake2", false), -1);
    const int fd = UDisksAccess::instance().Open("/dev/fake2", true);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadAll(fd, 100), "secret");
    close(fd);
    // A refused authorisation is not asked again through OpenDevice.
    EXPECT_EQ(Calls("OpenDevice").size(), 0u);
}

// The listing of a loop disk whose nodes this process "may not open": the
// fake hands out the real nodes, the listing reads through them (the
// partition table and labels too), and asks without interaction.
class DeviceAccessLoop : public DeviceAccess {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        DeviceAccess::SetUp();
        ASSERT_TRUE(Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        const std::string name = loop->name();
        devices = {{QString::fromStdString(name), QString::fromStdString(loop->path())},
                   {QString::fromStdString(name + "p1"), QString::fromStdString(loop->path() + "p1")},
                   {QString::fromStdString(name + "p2"), QString::fromStdString(loop->path() + "p2")}};
        SetPlainOpenRefusalForTest([name](const std::string& path) { return path.rfind("/dev/" + name, 0) == 0; });
        EnumDeviceConfig config;
        config.acceptDisk = [name](const std::string& n) { return n == name; };
        enumerator = std::make_unique<CEnumDeviceEx>(config);
        UDisksAccess::instance().Install();
    }

    std::list<_DiskVolumeData> List(QXUIDeviceData& model) {
        model.Clear();
        model.InitDeviceInfo();
        std::list<_DiskVolumeData> records;
        model.GetAllDeviceInfo(records);
        return records;
    }

    std::string image = dir / "model-disk.img";
    std::unique_ptr<LoopDevice> loop;
    QJsonObject devices;
    std::unique_ptr<CEnumDeviceEx> enumerator;
};

TEST_F(DeviceAccessLoop, ListedReadableThroughTheFake) {
    // The first partition's descriptor is of another file system: what the
    // listing names it shows that the label was read through the descriptor
    // and not by opening the path.
    const std::string standIn = dir / "stand-in.img";
    ASSERT_TRUE(Shell("mkfs.fat -C -F 16 -n VIAFAKE '" + standIn + "' 10240"));
    devices[QString::fromStdString(loop->name() + "p1")] = QString::fromStdString(standIn);
    StartFake(devices, "grant");
    QXUIDeviceData model(enumerator.get());
    const auto records = List(model);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.front().beCanOpen, 1u);
    ASSERT_EQ(records.front().volumes.size(), 2u);
    EXPECT_EQ(records.front().volumes.front().beCanOpen, 1u);
    EXPECT_EQ(records.front().volumes.front().name, "VIAFAKE");
    EXPECT_NE(records.front().volumes.back().name.find("MODELTWO"), std::string::npos);
    IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(0, 1);
    ASSERT_NE(volume, nullptr);
    std::vector<char> sector(512);
    ASSERT_EQ(volume->ReadSector(sector.data(), 0, 1), 1);
    EXPECT_EQ(std::string(sector.data() + 43, 8), "MODELTWO");  // the FAT boot sector's label
    for (const std::string& call : Calls("OpenForBackup"))
        EXPECT_NE(call.find("\"auth.no_user_interaction\": True"), std::string::npos) << call;
    EXPECT_GE(Calls("OpenForBackup").size(), 3u);
}

TEST_F(DeviceAccessLoop, UnreadableUntilAccessIsRequested) {
    StartFake(devices, "interactive");
    QXUIDeviceData model(enumerator.get());
    auto records = List(model);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.front().beCanOpen, 0u);
    EXPECT_EQ(DeviceAccessHelp(records.front()), L("DEVICE_ACCESS_WILL_ASK"));

    EXPECT_EQ(RequestDeviceAccess(model, 0, -1), 1);
    records = List(model);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.front().beCanOpen, 1u);
    ASSERT_EQ(records.front().volumes.size(), 2u);
    EXPECT_NE(records.front().volumes.back().name.find("MODELTWO"), std::string::npos)
        << records.front().volumes.back().name;
    EXPECT_EQ(RequestDeviceAccess(model, 5, -1), 0);
}

// A scan of a device listed unreadable asks for access first, off the main
// thread: granted, the list is rebuilt and the same indexes are scanned;
// refused, nothing starts and the windows hear why.
class DeviceAccessScan : public DeviceAccessLoop {
protected:
    void ScanAfterAsking(const char* mode, bool scans) {
        static const bool types = (initFileType(), true);
        (void)types;
        StartFake(devices, mode);
        QXUIDeviceData& model = QXUIDeviceData::instance();
        model.SetEnumerator(enumerator.get());
        ASSERT_EQ(model.InitDeviceInfo(), 1);
        std::list<_DiskVolumeData> records;
        model.GetAllDeviceInfo(records);
        ASSERT_EQ(records.size(), 1u);
        ASSERT_EQ(records.front().volumes.front().beCanOpen, 0u);
        auto script = std::make_shared<fake_controller::Script>();
        script->steps = {fake_controller::Volume(nullptr, {})};
        QXUIScan::instance().SetControllerFactory(fake_controller::Factory(script));
        QObject context;
        QVariant denied;
        NotificationBus::instance()->observe("DeviceAccessDenied", &context, [&](const QVariant& v) { denied = v; });
        QXUIController::DoScanWithDiskIndex(0, 0, "", nullptr);
        EXPECT_FALSE(QXUIController::IsScanRunning());  // not at once
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000 && script->scanned.empty() && !denied.isValid())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        while (IsScanWorkerAlive()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (scans) {
            ASSERT_EQ(script->scanned.size(), 1u);
            EXPECT_EQ(script->scanned.front(), model.GetStorageByDiskVolumeIndex(0, 0));
            EXPECT_FALSE(denied.isValid());
        } else {
            EXPECT_TRUE(script->scanned.empty());
            EXPECT_EQ(denied.toList(), (QVariantList{0, 0}));
        }
        QXUIScan::instance().SetControllerFactory(nullptr);
        model.SetEnumerator(nullptr);
    }
};

TEST_F(DeviceAccessScan, GrantedThenScanned) { ScanAfterAsking("interactive", true); }
TEST_F(DeviceAccessScan, RefusedAndToldSo) { ScanAfterAsking("refuse", false); }

}  // namespace
