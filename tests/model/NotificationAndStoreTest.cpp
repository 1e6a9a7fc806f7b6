// Notifications posted from worker threads reach observers on the main
// thread without the worker waiting; the private-data store keeps defaults
// and the user's values, and survives a damaged user file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <atomic>
#include <thread>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/PrivateDataStore.h"

using namespace model_test;

namespace {

TEST(Notifications, PostedFromAWorkerRunOnTheMainThread) {
    QThread* mainThread = QCoreApplication::instance()->thread();
    QObject context;
    std::atomic<int> calls{0};
    std::atomic<bool> onMain{true};
    NotificationBus::instance()->observe("NormalScranValue", &context, [&](const QVariant&) {
        ++calls;
        if (QThread::currentThread() != mainThread) onMain = false;
    });
    std::atomic<bool> returned{false};
    // The worker returns at once although the main thread is not running its
    // event loop yet: posting never waits.
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) QXUIPublic::NotifyMainThread("NormalScranValue");
        QXUIPublic::NotifyMainThread("OtherName");
        returned = true;
    });
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(WaitForNotification("NormalScranValue", 2000, 3), 3);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(onMain);
}

TEST(Notifications, ObserverEndsWithItsContext) {
    int calls = 0;
    {
        QObject context;
        NotificationBus::instance()->observe("Gone", &context, [&](const QVariant& object) {
            ++calls;
            EXPECT_EQ(object.toInt(), 7);
        });
        NotificationBus::instance()->post("Gone", 7);
    }
    NotificationBus::instance()->post("Gone", 7);
    EXPECT_EQ(calls, 1);
}

class PrivateData : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(PrivateDataStore::UserFilePath());
        PrivateDataStore::instance().reload();
    }
    void TearDown() override {
        QFile::remove(PrivateDataStore::UserFilePath());
        PrivateDataStore::instance().reload();
    }
    static void WriteUserFile(const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(PrivateDataStore::UserFilePath()).absolutePath());
        QFile file(PrivateDataStore::UserFilePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
};

TEST_F(PrivateData, DefaultsAndUserValues) {
    EXPECT_TRUE(PrivateDataStore::UserFilePath().startsWith(
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)));
    EXPECT_EQ(QXPublicUtilities::getProductName(), "Quillory");
    EXPECT_EQ(QXPublicUtilities::getUpDataTimeStr(), "");
    ASSERT_TRUE(QXPublicUtilities::writeUpDataTimeStr("2024-07-31 10:00"));
    ASSERT_TRUE(PrivateDataStore::instance().setValue("SavePath", "/home/u/Scans"));
    // Read back from the file by a fresh load.
    PrivateDataStore::instance().reload();
    EXPECT_EQ(QXPublicUtilities::getUpDataTimeStr(), "2024-07-31 10:00");
    EXPECT_EQ(PrivateDataStore::instance().value("SavePath"), "/home/u/Scans");
    EXPECT_EQ(QXPublicUtilities::getProductName(), "Quillory");
    QMap<QString, QString> onDisk;
    QFile file(PrivateDataStore::UserFilePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ASSERT_TRUE(ParsePrivateDataPlist(file.readAll(), onDisk));
    EXPECT_EQ(onDisk.size(), 2);  // the defaults stay in the resource
}

TEST_F(PrivateData, DamagedUserFileIgnoredThenReplaced) {
    const QByteArray damaged[] = {
        QByteArray("<?xml version=\"1.0\"?><plist><dict><key>SavePath</key><string>/x"),
        QByteArray("bplist00\xff\xff\xff", 11),
        QByteArray("<?xml version=\"1.0\"?><plist><array><string>a</string></array></plist>"),
        QByteArray(),
    };
    for (const QByteArray& bytes : damaged) {
        WriteUserFile(bytes);
        PrivateDataStore::instance().reload();
        EXPECT_EQ(PrivateDataStore::instance().value("SavePath"), "");
        EXPECT_EQ(QXPublicUtilities::getProductName(), "Quillory");
    }
    ASSERT_TRUE(PrivateDataStore::instance().setValue("SavePath", "/new"));
    PrivateDataStore::instance().reload();
    EXPECT_EQ(PrivateDataStore::instance().value("SavePath"), "/new");
}

// Hand-built bytes (found by fuzzing): a string holding a NUL byte made
// libplist's copying getter abort the process.
TEST(PrivateDataParse, StringWithANulByteIsCutThere) {
    const QByteArray bytes(
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>PRODUCTNAME</key>"
        "<string>Qui\0ory</string><key>SavePath</key><string>/x</string></dict></plist>",
        147);
    QMap<QString, QString> out;
    ASSERT_TRUE(ParsePrivateDataPlist(bytes, out));
    EXPECT_EQ(out.value("PRODUCTNAME"), "Qui");
    EXPECT_EQ(out.value("SavePath"), "/x");
}

}  // namespace
