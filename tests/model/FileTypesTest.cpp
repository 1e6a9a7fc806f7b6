// The file-type categories: the shipped list covers the engine's raw types,
// reaches the engine's table, and a damaged or partial list is handled.
#include <gtest/gtest.h>

#include <QFile>
#include <cctype>
#include <set>

#include "ModelTestSupport.h"
#include "model/qt/QXTypeMgr.h"
#include "raw/RawFileAnalyser.h"
#include "recovery/RecoveryFilter.h"

using namespace model_test;

namespace {

TEST(FileTypes, ShippedListReachesTheEngineTable) {
    const std::map<int, std::string> handed = initFileType();
    ASSERT_EQ(handed.size(), 6u);
    for (const auto& [bit, list] : handed) EXPECT_FALSE(list.empty()) << bit;

    // A filter made after initFileType files extensions by the lists.
    CRecoveryFilter filter;
    const std::pair<const char*, FILE_TYPE_ID> cases[] = {
        {"report.DOCX", FILE_TYPE_DOCUMENT}, {"a.jpg", FILE_TYPE_PICTURES}, {"clip.mov", FILE_TYPE_MOVIES},
        {"song.mp3", FILE_TYPE_MUSIC},       {"b.zip", FILE_TYPE_ARCHIVES}, {"box.mbox", FILE_TYPE_EMAIL},
        {"tool.exe", FILE_TYPE_UNKNOWN},     {"README", FILE_TYPE_UNKNOWN},
    };
    for (const auto& [name, id] : cases) {
        FakeNode node(1, -1, name, false);
        EXPECT_EQ(filter.GetNodeType(&node), id) << name;
    }
}

// Every extension the raw search gives its files has a category or is
// knowingly left to "other"; none is listed twice.
TEST(FileTypes, RawExtensionsHaveOneCategoryEach) {
    QXTypeMgr& types = QXTypeMgr::share();
    std::set<std::string> other = {"dll", "exe", "ole",   "riff", "ttf",    "csl",  "mof",
                                   "itl", "gpx", "plist", "jks",  "psafe3", "ngrr", "trec"};
    std::map<std::string, int> count;
    for (unsigned bit : {1u, 2u, 4u, 8u, 16u, 32u})
        for (const QString& e : types.getTypeString(bit).split(';', Qt::SkipEmptyParts)) ++count[e.toStdString()];
    for (const auto& [extension, n] : count) EXPECT_EQ(n, 1) << extension;
    for (unsigned type = 1; type < RAW_FILE_TYPE_COUNT; ++type) {
        std::string extension = g_s_strFileExtName[type];
        for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const unsigned bit = types.typeOfExtension(QString::fromStdString(extension));
        if (other.count(extension))
            EXPECT_EQ(bit, 64u) << extension;
        else
            EXPECT_NE(bit, 64u) << extension << " has no category";
    }
    EXPECT_EQ(types.typeOfExtension("JPG"), 2u);
    EXPECT_EQ(types.typeOfExtension("nothing"), 64u);
}

TEST(FileTypes, PartialAndDamagedLists) {
    QXTypeMgr& types = QXTypeMgr::share();
    const QString shipped = types.getTypeString(2);
    const QByteArray partial = R"(<?xml version="1.0"?><plist version="1.0"><dict>
        <key>1</key><array><string>doc</string><string>odt</string></array>
        <key>2</key><string>png;jpg</string>
        <key>4</key><array/>
        <key>8</key><array><string>mp3</string></array>
        <key>16</key><array><string>mp3</string></array>
        </dict></plist>)";
    ASSERT_TRUE(types.init(partial));
    EXPECT_EQ(types.getTypeString(1), "doc;odt");
    EXPECT_EQ(types.getTypeString(2), "png;jpg");
    EXPECT_EQ(types.getTypeString(4), "");
    EXPECT_FALSE(types.getTypeString(4).isNull());
    EXPECT_TRUE(types.getTypeString(32).isNull());
    EXPECT_EQ(types.typeOfExtension("mp3"), 16u);  // the higher bit wins

    for (const QByteArray& bad : {QByteArray("<plist><dict><key>1</key>"), QByteArray("bplist00", 8),
                                  QByteArray("<plist version=\"1.0\"><array/></plist>"), QByteArray()}) {
        EXPECT_FALSE(types.init(bad));
        EXPECT_EQ(types.getTypeString(1), "doc;odt");  // the last good lists stay
    }
    QFile file(":/quillory/model/FileType.plist");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ASSERT_TRUE(types.init(file.readAll()));
    EXPECT_EQ(types.getTypeString(2), shipped);
}

}  // namespace
