// The autostart entry: written for the program, removed only when it is ours.
#include <gtest/gtest.h>

#include <QFile>

#include "model/qt/LoginItems.h"

namespace {

QString Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TEST(LoginItems, AddAndRemoveOnlyOurEntry) {
    LKLoginItemRegistry registry;
    const QString path = LKLoginItemRegistry::AutostartFile();
    ASSERT_TRUE(registry.addAppAsLoginItem("/opt/My \"Apps\"/quillory"));
    const QString entry = Read(path);
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(entry.contains("Exec=\"/opt/My \\\"Apps\\\"/quillory\"\n")) << entry.toStdString();
    // Another program's entry of that name is left alone.
    EXPECT_TRUE(registry.deleteAppFromLoginItem("/usr/bin/other"));
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_TRUE(registry.deleteAppFromLoginItem("/opt/My \"Apps\"/quillory"));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(registry.deleteAppFromLaunchAgents());
    ASSERT_TRUE(registry.addAppAsLaunchAgents());
    EXPECT_TRUE(Read(path).contains("test_model"));
    EXPECT_TRUE(registry.deleteAppFromLoginItem());
    EXPECT_FALSE(QFile::exists(path));
}

}  // namespace
