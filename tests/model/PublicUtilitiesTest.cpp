// The shared texts and helpers of the model: sizes, file-system names, type
// titles, name matching (with desktop mode), conversions, the filter owner
// and the single-instance lock.
#include <gtest/gtest.h>

#include <QSettings>
#include <set>
#include <cwchar>

#include "ModelTestSupport.h"
#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/qt/AppInstance.h"
#include "model/qt/NameMatcher.h"
#include "model/qt/TextLookup.h"
#include "support/TempDir.h"

using namespace model_test;

namespace {

TEST(PublicUtilities, SizeTexts) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0 byte"},
        {999, "999 byte"},
        {1000, "1.00 KB"},
        {1500000, "1.50 MB"},
        {999999999, "1000.00 MB"},
        {1000000000, "1.00 GB"},
        {2000000000000, "2.00 TB"},
        {-5, "-5 byte"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(QXPublicUtilities::longlongDiskSize(bytes), text) << bytes;
        EXPECT_EQ(QXPublicUtilities::longlongConvertVolSpace(bytes), text) << bytes;
    }
}

TEST(PublicUtilities, FileSystemTexts) {
    const std::tuple<int, int, int, const char*> cases[] = {
        {3, 1, 0, "Disk Image"}, {3, 0, 1, "NTFS"}, {0, 0, 0, "FAT12"},    {2, 0, 0, "FAT32"}, {7, 0, 0, "EXFAT"},
        {8, 0, 0, "HFS+"},       {9, 0, 0, "APFS"}, {10, 0, 0, "Unknown"}, {11, 0, 0, "Disk"}, {-1, 0, 0, "Disk"},
    };
    for (const auto& [type, dmg, qvx, text] : cases)
        EXPECT_EQ(QXPublicUtilities::fileSystemTypeForInt(type, dmg, qvx), text) << type;
}

// Titles are never empty and never equal, so each type folder maps back to
// its own type.
TEST(PublicUtilities, TypeTitlesRoundTrip) {
    const unsigned types[] = {1, 2, 4, 8, 16, 32, 64};
    std::set<std::string> seen;
    for (unsigned type : types) {
        const std::string title = QXCPPPublic::FilterTypeToString(type);
        EXPECT_FALSE(title.empty()) << type;
        EXPECT_TRUE(seen.insert(title).second) << title;
        EXPECT_EQ(QXCPPPublic::StringToFilterType(title.c_str()), type) << title;
        EXPECT_TRUE(QXCPPPublic::IsTypeString(title.c_str(), type));
    }
    EXPECT_EQ(QXCPPPublic::FilterTypeToString(1), "Documents");
    for (unsigned other : {0u, 3u, 127u, 128u}) EXPECT_EQ(QXCPPPublic::FilterTypeToString(other), "") << other;
    EXPECT_EQ(QXCPPPublic::StringToFilterType("jpg"), 64u);
    EXPECT_EQ(QXCPPPublic::StringToFilterType(""), 64u);
    EXPECT_EQ(QXCPPPublic::StringToFilterType(nullptr), 64u);
    EXPECT_FALSE(QXCPPPublic::IsTypeString(nullptr, 1));
    // An unknown language falls back to English; an unknown key is empty.
    SetTextLanguage("xx");
    EXPECT_EQ(L("DEVICE_NAME_UNTITILED"), "Untitled");
    EXPECT_EQ(L("NO_SUCH_KEY"), "");
    SetTextLanguage("");
}

TEST(PublicUtilities, StringInString) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"PHOTO", "my photo.jpg", true},
        {"photo", "MY PHOTO.JPG", true},
        {"", "anything", true},
        {nullptr, nullptr, true},
        {"x", nullptr, false},
        {"pho", "ph-o", false},
        {"ÄPFEL", "grüne äpfel.txt", true},  // case folded beyond ASCII
        {"äpfel", "ÄPFEL", true},
        // Not UTF-8: never matched, not even by a replacement character.
        {"\xEF\xBF\xBD", "bad\xFFname", false},
        {"bad", "bad\xFFname", false},
        {"a", "\xC0\xAF", false},  // an overlong "/"
    };
    for (const auto& [needle, text, match] : cases)
        EXPECT_EQ(QXUIPublic::IsStringInString(needle, text), match)
            << (needle ? needle : "(null)") << " in " << (text ? text : "(null)");
}

TEST(PublicUtilities, StringInFileNodeAndDesktopMode) {
    NodeTree tree;
    FakeRoot* root = tree.Root("Vol", SEARCHER_FAT);
    FakeNode* desktop = tree.Add(root, "Desktop", true);
    FakeNode* lower = tree.Add(root, "desktop", true);
    FakeNode* deep = tree.Add(tree.Add(root, "Deep", true), "Deeper", true);
    FakeNode* onDesktop = tree.Add(desktop, "a.txt", false);
    FakeNode* onLower = tree.Add(lower, "a.txt", false);
    tree.Add(deep, "Holiday Photo.JPG", false);
    FakeNode* empty = tree.Add(root, "Empty", true);

    struct Case {
        bool desktopMode;
        const char* needle;
        IFileNode* node;
        bool match;
    };
    const Case cases[] = {
        {false, "photo", root, true},  // found three levels down
        {false, "photo", desktop, false}, {false, "a.t", onDesktop, true}, {false, "zzz", onDesktop, false},
        {false, "Empty", empty, false},  // a folder matches by what it holds
        {true, "zzz", onDesktop, true},  // any needle, in a folder named exactly "Desktop"
        {true, "a", onLower, false},      {true, "zzz", desktop, true},    {true, "zzz", lower, false},
        {true, "zzz", root, true},        {true, "", nullptr, true},       {false, "a", nullptr, false},
    };
    QSettings settings("Quillory", "Quillory");
    for (const Case& c : cases) {
        settings.setValue("isSelectDesktopDisk", c.desktopMode);
        settings.sync();
        EXPECT_EQ(QXUIPublic::IsStringInFileNode(c.needle, c.node), c.match)
            << c.desktopMode << " " << c.needle << " " << (c.node ? c.node->GetFileName() : "(null)");
        EXPECT_EQ(NameMatcher(c.needle, c.desktopMode).MatchesNode(c.node), c.match);
    }
    settings.remove("isSelectDesktopDisk");
}

TEST(PublicUtilities, Conversions) {
    // 2024-07-31 00:00:00 UTC as a FILETIME.
    const int64_t filetime = (1722384000LL + 11644473600LL) * 10000000LL;
    EXPECT_EQ(convertWindowsTimeToUnixTime(filetime), 1722384000);
    int year = 0, month = 0;
    QXCPPPublic::GetYearMonthByFileTime(&year, &month, filetime + 12 * 3600 * 10000000LL);
    EXPECT_EQ(std::make_pair(year, month), std::make_pair(2024, 7));
    QXCPPPublic::GetYearMonthByTimeT(nullptr, &month, 0);
    EXPECT_FALSE(QXUIPublic::FormatFileTimeToString(filetime).empty());

    wchar_t wide[8] = {};
    const char* text = "a\xC3\xA4\xE2\x82\xAC";  // "aä€"
    EXPECT_EQ(UTF82WCHAR(text, std::strlen(text), reinterpret_cast<char*>(wide), sizeof wide), 0);
    EXPECT_EQ(std::wstring(wide), L"a\u00E4\u20AC");
    EXPECT_EQ(UTF82WCHAR("\xFF", 1, reinterpret_cast<char*>(wide), sizeof wide), -1);
    EXPECT_EQ(UTF82WCHAR(nullptr, 0, reinterpret_cast<char*>(wide), sizeof wide), -1);

    const std::pair<const char*, bool> strings[] = {
        {"plain", true}, {"gr\xC3\xBCn", true},   {"\xF0\x9F\x98\x80", true},
        {"", true},      {nullptr, false},        {"\xFF", false},
        {"\xC3", false}, {"\xED\xA0\x80", false}, {"\xF4\x90\x80\x80", false},
    };
    for (const auto& [s, valid] : strings) EXPECT_EQ(isValidString(s), valid) << (s ? s : "(null)");

    EXPECT_EQ(QXPublicUtilities::getSystemVersion(), 1015);
    unsigned major = 0, minor = 0, bugFix = 9;
    QXPublicUtilities::getSystemVersionMajor(&major, &minor, &bugFix);
    EXPECT_EQ(std::make_tuple(major, minor, bugFix), std::make_tuple(10u, 15u, 0u));
    QXPublicUtilities::getSystemVersionMajor(nullptr, nullptr, nullptr);
    EXPECT_EQ(GetAppWorkPathString(), GetAppWorkPath());
}

class RecordingFilter : public IRecoveryFilter {
public:
    int ShowNormalFiles() const override { return 0; }
    void SetScanType(int) override {}
    int IsFileNodeValid(IFileNode*) override { return 1; }
    void SetFilterTypes(unsigned bits) override { masks.push_back(bits); }
    unsigned GetNodeFileType(IFileNode*) override { return 64; }
    void Release() override {}
    std::vector<unsigned> masks;
};

TEST(PublicUtilities, FilterOwnerSetsTheMask) {
    QXUIFilter& owner = QXUIFilter::instance();
    IRecoveryFilter* engineFilter = owner.GetFilter();
    EXPECT_EQ(engineFilter, CreateFilter());
    RecordingFilter recording;
    owner.SetFilterForTest(&recording);
    owner.ResetFilter(127);
    owner.ResetFilter(3);
    EXPECT_EQ(recording.masks, (std::vector<unsigned>{127, 3}));
    owner.SetFilterForTest(engineFilter);
}

// Another process holding the lock counts; a process merely named like the
// product does not; a lock left by a killed process is taken over.
TEST(PublicUtilities, SingleInstanceLock) {
    quillory_test::TempDir dir("quillory-lock");
    const QString held = QString::fromStdString(dir.File("held.lock"));
    HelperChild holder({"--hold-lock", held.toStdString()});
    ASSERT_EQ(holder.ReadLine(), "locked");
    EXPECT_TRUE(IsAppRunningAt(held));

    HelperChild named({"--named", "quill"});
    ASSERT_EQ(named.ReadLine(), "named");
    const QString free = QString::fromStdString(dir.File("free.lock"));
    EXPECT_FALSE(IsAppRunningAt(free));
    EXPECT_FALSE(IsAppRunningAt(free));  // this process holds it now

    const QString stale = QString::fromStdString(dir.File("stale.lock"));
    {
        HelperChild killed({"--hold-lock", stale.toStdString()});
        ASSERT_EQ(killed.ReadLine(), "locked");
        killed.Kill();
    }
    EXPECT_FALSE(IsAppRunningAt(stale));
    EXPECT_TRUE(AppInstanceLockPath().endsWith("/quillory.lock"));
}

}  // namespace
