// Destination paths of recovered files: numbered folders per file system,
// collision counters, names from the disk that must stay inside the numbered
// folder, and trees too deep to have a root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/RecoveryPaths.h"
#include "support/TempDir.h"

using namespace model_test;
namespace fs = std::filesystem;

namespace {

// 2024-07-31 12:00 local time.
std::time_t July31() {
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 6;
    tm.tm_mday = 31;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

class RecoveryPaths : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        destination = dir.Path() + "/Out/";
        fs::create_directories(destination);
        now = July31();
        SetRecoveryClock([this] { return now; });
        RecoveryFolderIndex::instance().ClearCreateDirIndex();
    }
    void TearDown() override {
        SetRecoveryClock(nullptr);
        RecoveryFolderIndex::instance().ClearCreateDirIndex();
    }

    // The path given for the node, made as a file the way a recovery would.
    std::string Recover(IFileNode* node) {
        char* path = CreateRecoveryFilePathByNode(node, destination.c_str());
        if (path == nullptr) return "";
        std::string out = path;
        free(path);
        std::ofstream(out) << "x";
        return out.substr(destination.size());
    }

    quillory_test::TempDir dir{"quillory-paths"};
    std::string destination;
    std::time_t now = 0;
    NodeTree tree;
};

TEST_F(RecoveryPaths, LabelsPerSearcherType) {
    const std::pair<int, std::string> cases[] = {
        {SEARCHER_HFSPLUS, "HFS+_Recovered Data2024-07-31_"},
        {SEARCHER_FAT, "Fat_Recovered Data2024-07-31_"},
        {SEARCHER_EXFAT, "ExFat_Recovered Data2024-07-31_"},
        {SEARCHER_RAW, "RAW_"},
        {SEARCHER_NTFS, ""},
        {SEARCHER_RAW_TAG, "Lable_RAW_Recovered Data2024-07-31_"},
        {SEARCHER_APFS, "APFS_Recovered Data2024-07-31_"},
        {SEARCHER_DEFAULT, ""},
        {0, ""},
    };
    for (const auto& [type, label] : cases) EXPECT_EQ(QXUIPublic::GetFileSystemStrByType(type), label) << type;
}

TEST_F(RecoveryPaths, NumberedFoldersAndCollisionCounters) {
    fs::create_directories(destination + "HFS+_Recovered Data2024-07-31_0001");
    fs::create_directories(destination + "HFS+_Recovered Data2024-07-31_0002");
    FakeRoot* hfs = tree.Root("Mac HD", SEARCHER_HFSPLUS);
    FakeNode* docs = tree.Add(hfs, "a", true);
    FakeNode* reports[3];
    for (FakeNode*& r : reports) r = tree.Add(docs, "report.doc", false);
    FakeNode* readme1 = tree.Add(docs, "README", false);
    FakeNode* readme2 = tree.Add(docs, "README", false);
    FakeRoot* ntfs = tree.Root("C", SEARCHER_NTFS);
    FakeNode* ntfsFile = tree.Add(ntfs, "x.txt", false);
    FakeRoot* raw = tree.Root("Raw", SEARCHER_RAW);
    FakeNode* rawFile = tree.Add(raw, "f.jpg", false);

    const std::string hfsFolder = "HFS+_Recovered Data2024-07-31_0003/Mac HD/a/";
    EXPECT_EQ(Recover(reports[0]), hfsFolder + "report.doc");
    EXPECT_EQ(Recover(reports[1]), hfsFolder + "report_0001.doc");
    EXPECT_EQ(Recover(reports[2]), hfsFolder + "report_0002.doc");
    EXPECT_EQ(Recover(readme1), hfsFolder + "README");
    EXPECT_EQ(Recover(readme2), hfsFolder + "README_0001");
    EXPECT_EQ(Recover(ntfsFile), "0001/C/x.txt");
    EXPECT_EQ(Recover(rawFile), "RAW_0001/Raw/f.jpg");

    // The folder and its dated label stay for the rest of the recovery, past
    // midnight too.
    now += 24 * 3600;
    FakeNode* late = tree.Add(docs, "late.txt", false);
    EXPECT_EQ(Recover(late), hfsFolder + "late.txt");
    // A new recovery opens the next folder, with the new day's date.
    RecoveryFolderIndex::instance().ClearCreateDirIndex();
    EXPECT_EQ(Recover(late), "HFS+_Recovered Data2024-08-01_0001/Mac HD/a/late.txt");
}

TEST_F(RecoveryPaths, CounterGoesIntoTheFileNameEvenWithADottedFolder) {
    destination = dir.Path() + "/My.Recovered.Files/";
    fs::create_directories(destination);
    FakeRoot* fat = tree.Root("USB.STICK", SEARCHER_FAT);
    FakeNode* folder = tree.Add(fat, "v1.2", true);
    FakeNode* noExt1 = tree.Add(folder, "Makefile", false);
    FakeNode* noExt2 = tree.Add(folder, "Makefile", false);
    const std::string base = "Fat_Recovered Data2024-07-31_0001/USB.STICK/v1.2/";
    EXPECT_EQ(Recover(noExt1), base + "Makefile");
    EXPECT_EQ(Recover(noExt2), base + "Makefile_0001");
}

// Names read off a damaged or hostile disk stay components of the path.
TEST_F(RecoveryPaths, NamesFromTheDiskStayInsideTheNumberedFolder) {
    const std::pair<std::string, std::string> cases[] = {
        {"..", "__"}, {".", "_"}, {"", "_"}, {"a/b", "a_b"}, {"../../etc/passwd", ".._.._etc_passwd"}, {"/", "_"},
    };
    for (const auto& [name, safe] : cases) {
        RecoveryFolderIndex::instance().ClearCreateDirIndex();
        FakeRoot* root = tree.Root(name, SEARCHER_FAT);
        FakeNode* folder = tree.Add(root, name, true);
        FakeNode* file = tree.Add(folder, name, false);
        const std::string got = Recover(file);
        SCOPED_TRACE("name \"" + name + "\" gave " + got);
        ASSERT_FALSE(got.empty());
        const std::string numbered = got.substr(0, got.find('/'));
        EXPECT_EQ(got, numbered + "/" + safe + "/" + safe + "/" + safe);
        const fs::path made = fs::weakly_canonical(destination + got);
        EXPECT_EQ(made.parent_path().parent_path().parent_path(), fs::weakly_canonical(destination + numbered));
    }
    // The display path stays as the names are.
    FakeRoot* root = tree.Root("Vol", SEARCHER_FAT);
    FakeNode* up = tree.Add(root, "..", true);
    EXPECT_EQ(QXUIPublic::GetPathByFileNode(tree.Add(up, "a/b", false)), "/Vol/../a/b");
    EXPECT_EQ(QXUIPublic::GetPathByFileNode(nullptr), "");
}

TEST_F(RecoveryPaths, FoldersAreCreatedAndFilesInThemNamed) {
    FakeRoot* root = tree.Root("Vol", SEARCHER_EXFAT);
    FakeNode* folder = tree.Add(root, "Photos", true);
    EXPECT_EQ(CreateRecoveryFilePathByNode(folder, destination.c_str()), nullptr);
    EXPECT_TRUE(fs::is_directory(destination + "ExFat_Recovered Data2024-07-31_0001/Vol/Photos"));
    // A folder whose place is taken by a file cannot take files.
    std::ofstream(destination + "ExFat_Recovered Data2024-07-31_0001/Vol/Blocked") << "file";
    FakeNode* blocked = tree.Add(root, "Blocked", true);
    EXPECT_EQ(Recover(tree.Add(blocked, "in.txt", false)), "");
}

TEST_F(RecoveryPaths, NoRootNoHiddenNodeNoPath) {
    // 1,024 levels below the root still find it; 1,025 do not.
    for (const int depth : {1024, 1025}) {
        RecoveryFolderIndex::instance().ClearCreateDirIndex();
        CFileNode* at = tree.Root("Deep", SEARCHER_FAT);
        for (int i = 0; i < depth; ++i) at = tree.Add(at, "d", i + 1 < depth);
        const bool found = depth <= 1024;
        EXPECT_EQ(QXCPPPublic::GetNodeSearcheType(at), found ? SEARCHER_FAT : SEARCHER_DEFAULT) << depth;
        EXPECT_EQ(QXCPPPublic::GetFileSystemNode(at) != nullptr, found);
        char* path = CreateRecoveryFilePathByNode(at, destination.c_str());
        EXPECT_EQ(path != nullptr, found) << depth;
        free(path);
    }
    fs::remove_all(destination);
    FakeNode* hidden = tree.Add(tree.Root("Vol", SEARCHER_FAT), "h.txt", false);
    hidden->ShowNode(0);
    EXPECT_EQ(CreateRecoveryFilePathByNode(hidden, destination.c_str()), nullptr);
    // A tree whose root kept the default type (no file system found).
    FakeNode orphan(1, -1, "o.txt", false, true, 10, SEARCHER_DEFAULT);
    EXPECT_EQ(QXCPPPublic::GetNodeSearcheType(&orphan), SEARCHER_DEFAULT);
    EXPECT_EQ(CreateRecoveryFilePathByNode(&orphan, destination.c_str()), nullptr);
    EXPECT_EQ(QXCPPPublic::GetNodeSearcheType(nullptr), SEARCHER_DEFAULT);
    EXPECT_EQ(CreateRecoveryFilePathByNode(nullptr, destination.c_str()), nullptr);
    // Nothing was touched on disk for any of them.
    EXPECT_FALSE(fs::exists(destination));
}

}  // namespace
