#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "FakeNode.h"
#include "recovery/RecoveryFilter.h"

namespace {

class RecoveryFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::map<int, std::string> lists = {
            {FILTER_DOCUMENT, "doc;docx;pdf;txt"}, {FILTER_PICTURES, "jpg;png;gif"},
            {FILTER_MOVIES, "mov;mp4;avi"},        {FILTER_MUSIC, "mp3;wav"},
            {FILTER_ARCHIVES, "zip;gz;rar"},       {FILTER_EMAIL, "eml;pst"},
        };
        CFileTypeManager::Initialze(lists);
        filter = std::make_unique<CRecoveryFilter>();
    }
    void TearDown() override {
        std::map<int, std::string> none;
        CFileTypeManager::Initialze(none);
    }
    std::unique_ptr<CRecoveryFilter> filter;
};

TEST_F(RecoveryFilterTest, PassesByCategoryBits) {
    struct Case {
        unsigned bits;
        const char* name;
        bool dir;
        int pass;
    } cases[] = {
        {FILTER_PICTURES, "IMG.JPG", false, 1},
        {FILTER_PICTURES, "photos", true, 1},   // folders always pass
        {FILTER_PICTURES, "README", false, 0},  // no extension: "other"
        {FILTER_PICTURES, "a.doc", false, 0},
        {FILTER_OTHER, "x.qqq", false, 1},
        {FILTER_OTHER, "IMG.jpg", false, 0},
        {FILTER_OTHER, "README", false, 1},
        {FILTER_ARCHIVES, "a.tar.gz", false, 1},  // judged by the last extension
        {FILTER_DOCUMENT, "a.pdf.gz", false, 0},
        {FILTER_ALL, "anything.xyz", false, 1},
        {0, "anything.xyz", false, 1},  // nothing selected filters nothing
        {FILTER_MUSIC | FILTER_MOVIES, "song.MP3", false, 1},
        {FILTER_MUSIC | FILTER_MOVIES, "clip.Mov", false, 1},
        {FILTER_MUSIC | FILTER_MOVIES, "IMG.png", false, 0},
        {FILTER_EMAIL | 0x80, "box.pst", false, 1},  // bits above the seventh are ignored
    };
    for (const Case& c : cases) {
        filter->SetFilterTypes(c.bits);
        FakeNode node(10, 5, c.name, c.dir);
        EXPECT_EQ(filter->IsFileNodeValid(&node), c.pass) << c.bits << " " << c.name;
    }
    EXPECT_EQ(filter->IsFileNodeValid(nullptr), 0);
}

TEST_F(RecoveryFilterTest, NodeFileTypeIsTheFilterBit) {
    struct Case {
        const char* name;
        unsigned bit;
    } cases[] = {
        {"clip.mov", FILTER_MOVIES}, {"song.mp3", FILTER_MUSIC},  {"a.DOCX", FILTER_DOCUMENT},
        {"a.png", FILTER_PICTURES},  {"a.zip", FILTER_ARCHIVES},  {"m.eml", FILTER_EMAIL},
        {"noext", FILTER_OTHER},     {"a.unknown", FILTER_OTHER}, {"trailingdot.", FILTER_OTHER},
    };
    for (const Case& c : cases) {
        FakeNode node(10, 5, c.name, false);
        EXPECT_EQ(filter->GetNodeFileType(&node), c.bit) << c.name;
    }
    EXPECT_EQ(filter->GetNodeType(nullptr), FILE_TYPE_UNKNOWN);
}

TEST_F(RecoveryFilterTest, Utf8ExtensionsAreHashedAsUnsignedBytes) {
    std::map<int, std::string> lists = {{FILTER_DOCUMENT, "\xC3\xA9t\xC3\xA9;\xE6\x96\x87"}};
    CFileTypeManager::Initialze(lists);
    CRecoveryFilter f;
    FakeNode accented(1, 0, "r\xC3\xA9sum\xC3\xA9.\xC3\xA9T\xC3\xA9", false);  // only ASCII folds case
    FakeNode cjk(2, 0, "\xE6\x96\x87\xE4\xBB\xB6.\xE6\x96\x87", false);
    FakeNode other(3, 0, "x.\xFF\xFE", false);
    EXPECT_EQ(f.GetNodeType(&accented), FILE_TYPE_DOCUMENT);
    EXPECT_EQ(f.GetNodeType(&cjk), FILE_TYPE_DOCUMENT);
    EXPECT_EQ(f.GetNodeType(&other), FILE_TYPE_UNKNOWN);
}

TEST_F(RecoveryFilterTest, ScanTypeDecidesWhetherExistingFilesShow) {
    EXPECT_EQ(filter->ShowNormalFiles(), 0);
    filter->SetScanType(SCAN_TYPE_DEEP);
    EXPECT_EQ(filter->ShowNormalFiles(), 1);
    filter->SetScanType(SCAN_TYPE_QUICK);
    EXPECT_EQ(filter->ShowNormalFiles(), 0);
}

TEST(FileTypeManagerTest, MissingKeysLeaveListsEmptyAndFirstInsertionWins) {
    std::map<int, std::string> lists = {{FILTER_PICTURES, "dup"}, {FILTER_DOCUMENT, "dup;txt"}};
    CFileTypeManager::Initialze(lists);
    EXPECT_EQ(lists.size(), 2u);  // nothing inserted into the caller's map
    CFileTypeManager manager;
    manager.Initialize();
    EXPECT_EQ(manager.GetFileTypeID("dup"), FILE_TYPE_PICTURES);  // pictures go in first
    EXPECT_EQ(manager.GetFileTypeID("TXT"), FILE_TYPE_DOCUMENT);
    EXPECT_EQ(manager.GetFileTypeID("mp3"), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(manager.GetFileTypeID(nullptr), FILE_TYPE_UNKNOWN);
    std::map<int, std::string> none;
    CFileTypeManager::Initialze(none);
}

TEST(KeHashTableTest, HashMatchesThePublishedValues) {
    CKeHashTable<FILE_TYPE_ID, 2048u> table;
    // Values worked out independently from the definition of the table and
    // the hash (seed 0x100001, a = 0x7FED7FED, b = 0xEEEEEEEE, b = b*97 + c + a).
    EXPECT_EQ(table.GetHashCode("", 0), 0x7FED7FEDu);
    EXPECT_EQ(table.GetHashCode("jpg", 0), 0xF0A995B3u);
    EXPECT_EQ(table.GetHashCode("JPG", 1), 0x1990C748u);
    EXPECT_EQ(table.GetHashCode("jpg", 2), 0x19382409u);
    EXPECT_EQ(table.GetHashCode("\xC3\xA9", 0), 0xD3314574u);
    EXPECT_EQ(table.GetHashCode("\xC3\xA9", 2), 0x94839BE4u);
    EXPECT_EQ(table.GetHashCode("abc", 1), table.GetHashCode("ABC", 1));
    EXPECT_NE(table.GetHashCode("abc", 1), table.GetHashCode("abc", 2));
    EXPECT_EQ(table.GetHashTablePos(nullptr, 0), -1);
    EXPECT_EQ(table.GetHashTablePos("jpg", 0), -1);
    EXPECT_EQ(table.InsertNode("jpg", FILE_TYPE_PICTURES), 1);
    FILE_TYPE_ID id = FILE_TYPE_UNKNOWN;
    EXPECT_EQ(table.FindNode("JPG", id), 1);
    EXPECT_EQ(id, FILE_TYPE_PICTURES);
}

TEST(KeHashTableTest, FullTableStoresNothingAndLookupsStillEnd) {
    CKeHashTable<FILE_TYPE_ID, 8u> table;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(table.InsertNode(std::to_string(i).c_str(), FILE_TYPE_MUSIC), 1);
    EXPECT_EQ(table.InsertNode("more", FILE_TYPE_MUSIC), 0);
    FILE_TYPE_ID id;
    EXPECT_EQ(table.FindNode("more", id), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(table.FindNode(std::to_string(i).c_str(), id), 1);
}

TEST(CreateFilterTest, IsOneObjectForTheProcess) {
    IRecoveryFilter* a = CreateFilter();
    IRecoveryFilter* b = CreateFilter();
    EXPECT_EQ(a, b);
    a->Release();  // does nothing: the filter stays
    a->SetFilterTypes(FILTER_ALL);
    FakeNode n(1, 0, "x.y", false);
    EXPECT_EQ(b->IsFileNodeValid(&n), 1);
}

}  // namespace
