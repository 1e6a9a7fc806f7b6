#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FakeNode.h"
#include "foundation/DataRun.h"
#include "foundation/SearchedPartitionInfo.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryFilter.h"
#include "recovery/RecyclerFilter.h"

namespace {

class TreeBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetTreeBuilderTiming() = {[this] { return clock; }, [this](unsigned s) { slept += s; }};
        filter.SetFilterTypes(FILTER_ALL);
        filter.SetScanType(SCAN_TYPE_QUICK);
        const char* home = std::getenv("HOME");
        savedHome = home ? home : "";
        hadHome = home != nullptr;
    }
    void TearDown() override {
        ResetTreeBuilderTiming();
        CRecyclerFilter::ResetIndexFileReader();
        if (hadHome)
            setenv("HOME", savedHome.c_str(), 1);
        else
            unsetenv("HOME");
    }

    std::unique_ptr<CDirectoryTreeBuilder, void (*)(CDirectoryTreeBuilder*)> Make(bool replay = false,
                                                                                  const char* caption = "") {
        auto b = std::unique_ptr<CDirectoryTreeBuilder, void (*)(CDirectoryTreeBuilder*)>(
            new CDirectoryTreeBuilder(replay), [](CDirectoryTreeBuilder* p) { p->Release(); });
        EXPECT_EQ(b->Initialize(caption, &sink, &filter), 1);
        return b;
    }

    // Adds a node; when the builder refuses it, frees it (the caller's duty).
    int Add(CDirectoryTreeBuilder& b, FakeNode* n, _tagSearcherType type = SEARCHER_NTFS) {
        const int r = b.AddNode(n, type);
        if (!r) delete n;
        return r;
    }

    std::set<std::string> ShownNames() const {
        std::set<std::string> names;
        for (IFileNode* n : sink.all) names.insert(n->GetFileName());
        return names;
    }

    int64_t clock = 1000;
    unsigned slept = 0;
    CRecoveryFilter filter;
    RecordingTree sink;
    std::string savedHome;
    bool hadHome = false;
};

TEST_F(TreeBuilderTest, InitializeRefusesNullArguments) {
    CDirectoryTreeBuilder b(false);
    EXPECT_EQ(b.Initialize(nullptr, &sink, &filter), 0);
    EXPECT_EQ(b.Initialize("x", nullptr, &filter), 0);
    EXPECT_EQ(b.Initialize("x", &sink, nullptr), 0);
    FakeNode n(10, 5, "a.txt", false);
    EXPECT_EQ(b.AddNode(&n, SEARCHER_NTFS), 0);  // no filter yet, no tree
}

TEST_F(TreeBuilderTest, RootsAreCaptionedByTypeAndAnEmptyCaptionIsDisk) {
    auto b = Make(false, "");
    const std::map<_tagSearcherType, std::string> names = {
        {SEARCHER_HFSPLUS, "Disk(HFS+)"}, {SEARCHER_FAT, "Disk(FAT/FAT32)"},
        {SEARCHER_EXFAT, "Disk(ExFat)"},  {SEARCHER_RAW, "Disk(RAW Files)"},
        {SEARCHER_NTFS, "Disk(NTFS)"},    {SEARCHER_RAW_TAG, "Disk(Label RAW Files)"},
        {SEARCHER_APFS, "Disk(APFS)"},    {SEARCHER_DEFAULT, "Disk"},
    };
    for (auto& [type, name] : names) {
        EXPECT_EQ(b->AddSearcherInfo(type, 5), 1);
        CFilesystemNode* root = b->GetRoot(type);
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(std::string(root->GetFileName()), name);
        EXPECT_STREQ(root->GetVolumeName(), "Disk");
        EXPECT_EQ(root->GetSearcheType(), type);
        EXPECT_EQ(root->GetCurrentNodeID(), 5);
        EXPECT_EQ(root->IsDirectory(), 1);
    }
    EXPECT_EQ(b->AddSearcherInfo(SEARCHER_NTFS, 7), 1);  // a second call only moves the root id
    EXPECT_EQ(b->FindTree(SEARCHER_NTFS)->rootFolderId, 7);
    auto c = Make(false, "Data");
    c->AddSearcherInfo(SEARCHER_NTFS, 5);
    EXPECT_STREQ(c->GetRoot(SEARCHER_NTFS)->GetFileName(), "Data(NTFS)");
}

TEST_F(TreeBuilderTest, FileFoundBeforeItsFolderIsLinkedWhenTheFolderArrives) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    auto* f = new FakeNode(20, 10, "report.doc", false);
    auto* d = new FakeNode(10, 5, "docs", true);
    ASSERT_EQ(Add(*b, f), 1);
    ASSERT_EQ(Add(*b, d), 1);
    EXPECT_TRUE(sink.all.empty());  // fewer than 1,024 nodes and no time passed: no build yet
    b->FlashBuild(SEARCHER_NTFS);
    ASSERT_EQ(sink.roots.size(), 1u);
    EXPECT_STREQ(sink.roots[0]->GetFileName(), "Disk(NTFS)");
    EXPECT_EQ(slept, 1u);  // the pause between the root and its first batch
    EXPECT_EQ(RecordingTree::PathOf(f), "/Disk(NTFS)/docs/report.doc");
    EXPECT_EQ(ShownNames(), (std::set<std::string>{"docs", "report.doc"}));
}

TEST_F(TreeBuilderTest, BuildsEvery1024NodesOrThreeSeconds) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    Add(*b, new FakeNode(10, 5, "d", true));
    for (int i = 0; i < 1022; ++i) Add(*b, new FakeNode(100 + i, 10, "f" + std::to_string(i) + ".txt", false));
    EXPECT_TRUE(sink.batches.empty());
    Add(*b, new FakeNode(5000, 10, "last.txt", false));  // the 1,024th accepted node
    ASSERT_EQ(sink.batches.size(), 1u);
    EXPECT_EQ(sink.batches[0].nodes.size(), 1024u);
    EXPECT_EQ(sink.batches[0].flag, 0);
    EXPECT_EQ(sink.roots.size(), 1u);
    clock += 3;  // later nodes build once three seconds have passed
    Add(*b, new FakeNode(6000, 10, "timed.txt", false));
    ASSERT_EQ(sink.batches.size(), 2u);
    EXPECT_EQ(sink.batches[1].nodes.size(), 1u);
    b->FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(sink.roots.size(), 1u);  // announced once
    EXPECT_EQ(sink.all.size(), 1025u);
}

TEST_F(TreeBuilderTest, DuplicatesMergeOrAreRefused) {
    struct Case {
        int64_t size;
        int64_t mtime;
        int expected;  // AddNode result for the second node
        int64_t keptSize;
    } cases[] = {
        {50, 100, 0, 50},  // later copy: refused, recorded node unchanged
        {0, 10, 0, 50},    // empty copy: refused
        {70, 10, 0, 70},   // older copy with data: its runs and size go to the recorded node
    };
    for (const Case& c : cases) {
        auto b = Make();
        b->AddSearcherInfo(SEARCHER_NTFS, 5);
        auto* first = new FakeNode(20, 5, "a.txt", false, true, 50);
        first->SetMTime(50);
        ASSERT_EQ(Add(*b, first), 1);
        auto* second = new FakeNode(20, 5, "a.txt", false, true, c.size);
        second->SetMTime(c.mtime);
        IDataRunList* runs = CreateDataRunList();
        DataRun run{1234, 1};
        runs->AddDataRun(&run);
        second->SetRuns(runs);
        EXPECT_EQ(b->AddNode(second, SEARCHER_NTFS), c.expected);
        EXPECT_EQ(first->GetFileSize(), c.keptSize);
        const bool merged = c.keptSize == 70;
        EXPECT_EQ(first->GetDataRunList() != nullptr, merged);
        if (!c.expected) delete second;
        // A node of another partition with the same id is a different file.
        auto* other = new FakeNode(20, 5, "a.txt", false, true, 50);
        other->SetPartition(3);
        EXPECT_EQ(Add(*b, other), 1);
    }
}

TEST_F(TreeBuilderTest, RefusalsAndQuickScanRules) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    EXPECT_EQ(Add(*b, new FakeNode(9, 9, "self.txt", false)), 0);  // its own parent
    EXPECT_EQ(b->AddNode(nullptr, SEARCHER_NTFS), 0);
    EXPECT_EQ(Add(*b, new FakeNode(12, 5, "x.txt", false), SEARCHER_FAT), 0);  // no such tree

    auto* existing = new FakeNode(20, 5, "existing.txt", false, /*deleted=*/false);
    auto* deleted = new FakeNode(21, 5, "deleted.txt", false, true);
    Add(*b, existing);
    Add(*b, deleted);
    Add(*b, new FakeNode(30, 5, "empty-folder", true));
    Add(*b, new FakeNode(31, 30, "empty-child", true));
    auto* delFolder = new FakeNode(40, 5, "gone", true, true);
    auto* kept = new FakeNode(41, 40, "inside.txt", false, /*deleted=*/false);
    Add(*b, kept);
    Add(*b, delFolder);
    b->FlashBuild(SEARCHER_NTFS);
    const auto names = ShownNames();
    EXPECT_EQ(names.count("existing.txt"), 0u);  // a quick scan shows deleted files only
    EXPECT_EQ(names.count("deleted.txt"), 1u);
    EXPECT_EQ(names.count("empty-folder"), 0u);  // no file beneath: never shown
    EXPECT_EQ(names.count("empty-child"), 0u);
    EXPECT_EQ(names.count("inside.txt"), 1u);  // inside a deleted folder, so deleted
    EXPECT_EQ(kept->IsDeleted(), 1);
    for (const auto& batch : sink.batches) EXPECT_EQ(batch.flag, 0);  // nothing was lost
}

// A scan that shows deleted files only refuses at once an existing file that
// could never be shown (its folders up to the root known, existing and no
// trash), so that a volume's live files are not all held to the end; it
// takes one that a folder may yet make deleted. A deep scan takes them all.
TEST_F(TreeBuilderTest, QuickScanRefusesExistingFilesUnderLiveFoldersAtOnce) {
    struct Case {
        std::int64_t parent;
        const char* name;
        int quick;  // AddNode's answer in a quick scan (a deep scan takes all)
    };
    const Case cases[] = {
        {5, "in-root.txt", 0},     {60, "in-live.txt", 0},  {61, "in-live-sub.txt", 0},    {70, "in-gone.txt", 1},
        {71, "under-gone.txt", 1}, {80, "in-trash.txt", 1}, {99, "unknown-folder.txt", 1},
    };
    for (int scan : {SCAN_TYPE_QUICK, SCAN_TYPE_DEEP}) {
        filter.SetScanType(scan);
        sink = RecordingTree();  // the last round's nodes went with its builder
        auto b = Make();
        b->AddSearcherInfo(SEARCHER_NTFS, 5);
        Add(*b, new FakeNode(60, 5, "live", true, false));
        Add(*b, new FakeNode(61, 60, "live-sub", true, false));
        Add(*b, new FakeNode(70, 5, "gone", true, true));
        Add(*b, new FakeNode(71, 70, "gone-sub", true, false));
        Add(*b, new FakeNode(80, 5, ".Trashes", true, false));
        std::int64_t id = 100;
        for (const Case& c : cases) {
            const int want = scan == SCAN_TYPE_DEEP ? 1 : c.quick;
            EXPECT_EQ(Add(*b, new FakeNode(id++, c.parent, c.name, false, false)), want) << c.name << " " << scan;
        }
        EXPECT_EQ(Add(*b, new FakeNode(id++, 60, "deleted.txt", false, true)), 1);
        b->FlashBuild(SEARCHER_NTFS);
        EXPECT_EQ(ShownNames().count("in-gone.txt"), 1u);  // deleted with its folder
        EXPECT_EQ(ShownNames().count("deleted.txt"), 1u);
    }
}

// A leading dot is part of a Linux name (.ssh, .config, .bashrc, .git): such
// files and folders are shown under their names as on disk, in every file
// system's tree. Only the clutter macOS leaves (AppleDouble "._name" files,
// .DS_Store) and a folder's "." and ".." links are refused.
TEST_F(TreeBuilderTest, HiddenNamesStayAsOnDiskAndOnlyMacClutterIsRefused) {
    struct Case {
        const char* name;
        bool dir;
        bool taken;
    } cases[] = {
        {".ssh", true, true},         {".config", true, true},  {".git", true, true},
        {"..dots", true, true},       {"._folder", true, true}, {".bashrc", false, true},
        {".id_rsa.pub", false, true}, {"..x", false, true},     {". x", false, true},
        {"._junk", false, false},     {"._", false, false},     {".DS_Store", false, false},
        {".ds_store", false, false},  {".", true, false},       {"..", true, false},
        {"..", false, false},
    };
    const std::pair<_tagSearcherType, int64_t> trees[] = {
        {SEARCHER_NTFS, 5}, {SEARCHER_FAT, 0}, {SEARCHER_EXFAT, 7}, {SEARCHER_HFSPLUS, 2}, {SEARCHER_APFS, 2}};
    for (const auto& [type, rootId] : trees) {
        sink = RecordingTree();
        auto b = Make();
        b->AddSearcherInfo(type, rootId);
        int64_t id = 100;
        std::vector<std::pair<const Case*, FakeNode*>> added;
        for (const Case& c : cases) {
            auto* n = new FakeNode(id++, rootId, c.name, c.dir, true, 100, type);
            EXPECT_EQ(Add(*b, n, type), c.taken ? 1 : 0) << c.name << " in tree " << type;
            if (!c.taken) continue;
            added.emplace_back(&c, n);
            // A folder is shown only with a file beneath it.
            if (c.dir) Add(*b, new FakeNode(id++, n->GetCurrentNodeID(), "id_rsa", false, true, 100, type), type);
        }
        b->FlashBuild(type);
        for (const auto& [c, n] : added) {
            EXPECT_STREQ(n->GetFileName(), c->name) << "in tree " << type;
            const std::string path = RecordingTree::PathOf(n);
            const size_t slash = path.rfind('/');
            ASSERT_NE(slash, std::string::npos) << c->name;
            EXPECT_EQ(path.substr(slash + 1), c->name) << "in tree " << type;
            EXPECT_EQ(path.find("Other lost files"), std::string::npos) << path;
        }
    }
}

// The journal files at an HFS+ volume's root belong to the file system; the
// same names elsewhere, or on another file system, are ordinary files.
TEST_F(TreeBuilderTest, HfsJournalFilesAtTheRootAreRefused) {
    filter.SetScanType(SCAN_TYPE_DEEP);
    for (const auto& [type, rootId] : {std::pair{SEARCHER_HFSPLUS, int64_t{2}}, std::pair{SEARCHER_FAT, int64_t{0}}}) {
        auto b = Make();
        b->AddSearcherInfo(type, rootId);
        const int atRoot = type == SEARCHER_HFSPLUS ? 0 : 1;
        EXPECT_EQ(Add(*b, new FakeNode(16, rootId, ".journal", false, false, 100, type), type), atRoot);
        EXPECT_EQ(Add(*b, new FakeNode(17, rootId, ".journal_info_block", false, false, 100, type), type), atRoot);
        Add(*b, new FakeNode(30, rootId, "home", true, false, 0, type), type);
        EXPECT_EQ(Add(*b, new FakeNode(31, 30, ".journal", false, false, 100, type), type), 1);
    }
}

TEST_F(TreeBuilderTest, DeepScanShowsExistingFilesAndMarksDeletedSubtrees) {
    filter.SetScanType(SCAN_TYPE_DEEP);
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    // A deleted folder holding an existing folder holding an existing file,
    // arriving children first.
    auto* file = new FakeNode(42, 41, "deep.txt", false, false);
    auto* mid = new FakeNode(41, 40, "mid", true, false);
    auto* top = new FakeNode(40, 5, "gone", true, true);
    auto* plain = new FakeNode(50, 5, "plain.txt", false, false);
    Add(*b, file);
    Add(*b, mid);
    Add(*b, top);
    Add(*b, plain);
    b->FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(RecordingTree::PathOf(file), "/Disk(NTFS)/gone/mid/deep.txt");
    EXPECT_EQ(mid->IsDeleted(), 1);
    EXPECT_EQ(file->IsDeleted(), 1);
    EXPECT_EQ(plain->IsDeleted(), 0);
    EXPECT_EQ(ShownNames().count("plain.txt"), 1u);
}

TEST_F(TreeBuilderTest, ChainsThatNeverReachTheRootGoUnderOtherLostFiles) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    // 99 is never found: its folder chain is lost.
    auto* orphanDir = new FakeNode(60, 99, "orphan", true);
    auto* orphanFile = new FakeNode(61, 60, "kept.bin", false, true, 10);
    auto* zero = new FakeNode(62, 60, "zero.bin", false, true, 0);
    auto* lonely = new FakeNode(70, 98, "lonely.txt", false, true, 5);
    auto* lonelyZero = new FakeNode(71, 98, "nothing.txt", false, true, 0);
    auto* inRoot = new FakeNode(80, 5, "ok.txt", false);
    for (FakeNode* n : {orphanDir, orphanFile, zero, lonely, lonelyZero, inRoot}) Add(*b, n);
    b->FlashBuild(SEARCHER_NTFS);
    ASSERT_FALSE(sink.batches.empty());
    const auto& last = sink.batches.back();
    EXPECT_EQ(last.flag, 1);
    ASSERT_FALSE(last.nodes.empty());
    IFileNode* lost = last.nodes.back();
    EXPECT_STREQ(lost->GetFileName(), "Other lost files");
    EXPECT_STREQ(lost->GetVolumeName(), "LostFiles");
    EXPECT_EQ(lost->GetCurrentNodeID(), -1);
    EXPECT_EQ(lost->GetSearcheType(), SEARCHER_NTFS);
    EXPECT_EQ(RecordingTree::PathOf(orphanFile), "/Disk(NTFS)/Other lost files/orphan/kept.bin");
    EXPECT_EQ(RecordingTree::PathOf(lonely), "/Disk(NTFS)/Other lost files/lonely.txt");
    const auto names = ShownNames();
    EXPECT_EQ(names.count("zero.bin"), 0u);  // empty files are dropped from lost chains
    EXPECT_EQ(names.count("nothing.txt"), 0u);
    EXPECT_EQ(names.count("ok.txt"), 1u);
}

TEST_F(TreeBuilderTest, NothingOutsideTheRootMeansNoLostFilesFolder) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    Add(*b, new FakeNode(80, 5, "ok.txt", false));
    b->FlashBuild(SEARCHER_NTFS);
    for (const auto& batch : sink.batches) {
        EXPECT_EQ(batch.flag, 0);
        for (IFileNode* n : batch.nodes) EXPECT_STRNE(n->GetFileName(), "Other lost files");
    }
    EXPECT_EQ(sink.roots.size(), 1u);
}

// Z (an empty file) under C (a folder) under T (a lost top folder): T must
// not be freed while a shown node still points to it.
TEST_F(TreeBuilderTest, LostSubtreeIsDecidedFromItsTop) {
    for (bool withFile : {false, true}) {
        sink = RecordingTree();
        auto b = Make();
        b->AddSearcherInfo(SEARCHER_NTFS, 5);
        Add(*b, new FakeNode(3, 2, "Z", false, true, 0));
        Add(*b, new FakeNode(2, 1, "C", true));
        Add(*b, new FakeNode(1, 999, "T", true));
        if (withFile) Add(*b, new FakeNode(4, 1, "F.txt", false, true, 9));
        b->FlashBuild(SEARCHER_NTFS);
        // Walking every shown node's parents must stay on live nodes (ASan).
        for (IFileNode* n : sink.all) RecordingTree::PathOf(n);
        const auto names = ShownNames();
        EXPECT_EQ(names.count("Z"), 0u);
        if (withFile) {
            EXPECT_EQ(RecordingTree::PathOf(sink.Find("F.txt")), "/Disk(NTFS)/Other lost files/T/F.txt");
            EXPECT_EQ(names.count("C"), 1u);
        } else {
            EXPECT_TRUE(names.empty());
        }
    }
}

TEST_F(TreeBuilderTest, LinkCyclesEndAmongLostFiles) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    auto* a = new FakeNode(100, 101, "A", true);
    auto* c = new FakeNode(101, 100, "B", true);
    auto* f = new FakeNode(102, 100, "f.txt", false);
    Add(*b, a);
    Add(*b, c);
    Add(*b, f);
    b->FlashBuild(SEARCHER_NTFS);
    const std::string path = RecordingTree::PathOf(f);
    EXPECT_EQ(path.rfind("/Disk(NTFS)/Other lost files/", 0), 0u) << path;
}

TEST_F(TreeBuilderTest, TrashUnderHomeIsTheTrashAndIdCyclesTerminate) {
    setenv("HOME", "/Users/alice", 1);
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    Add(*b, new FakeNode(100, 2, "Users", true, false), SEARCHER_HFSPLUS);
    Add(*b, new FakeNode(101, 100, "alice", true, false), SEARCHER_HFSPLUS);
    auto* trash = new FakeNode(102, 101, ".Trash", true, false);
    auto* inTrash = new FakeNode(103, 102, "thrown.txt", false, false);
    Add(*b, trash, SEARCHER_HFSPLUS);
    Add(*b, inTrash, SEARCHER_HFSPLUS);
    // A ".Trash" whose ancestors' ids form a cycle (10 -> 11 -> 10).
    Add(*b, new FakeNode(10, 11, "x", true, false), SEARCHER_HFSPLUS);
    Add(*b, new FakeNode(11, 10, "y", true, false), SEARCHER_HFSPLUS);
    auto* other = new FakeNode(12, 10, ".Trash", true, false);
    Add(*b, other, SEARCHER_HFSPLUS);
    b->FlashBuild(SEARCHER_HFSPLUS);
    EXPECT_EQ(trash->IsDeleted(), 1);
    EXPECT_EQ(trash->GetParentNodeID(), 2);  // moved to the root
    EXPECT_EQ(inTrash->IsDeleted(), 1);      // and everything in it is deleted
    EXPECT_EQ(RecordingTree::PathOf(inTrash), "/Disk(HFS+)/.Trash/thrown.txt");
    EXPECT_EQ(b->FindTree(SEARCHER_HFSPLUS)->trashId, 102);  // the other ".Trash" (freed, unshown) is not it
}

TEST_F(TreeBuilderTest, TrashDirectlyUnderTheRoot) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    auto* trash = new FakeNode(10, 5, ".Trashes", true, false);
    auto* f = new FakeNode(11, 10, "old.txt", false, false);
    Add(*b, f);
    Add(*b, trash);
    b->FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(trash->IsDeleted(), 1);
    EXPECT_EQ(RecordingTree::PathOf(f), "/Disk(NTFS)/.Trashes/old.txt");
}

TEST_F(TreeBuilderTest, HfsPrivateDataFoldersAreDropped) {
    filter.SetScanType(SCAN_TYPE_DEEP);
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    // A hard-link folder inside the private-data folder, with content linked
    // below it, arrives before the private-data folder.
    auto* linkDir = new FakeNode(50, 40, "dir_50", true);
    auto* sub = new FakeNode(51, 50, "sub", true);
    auto* inner = new FakeNode(52, 51, "inner.txt", false);
    Add(*b, linkDir, SEARCHER_HFSPLUS);
    Add(*b, sub, SEARCHER_HFSPLUS);
    Add(*b, inner, SEARCHER_HFSPLUS);
    auto* priv = new FakeNode(40, 2, "HFS+ Private Data", true);
    EXPECT_EQ(Add(*b, priv, SEARCHER_HFSPLUS), 0);
    EXPECT_EQ(Add(*b, new FakeNode(53, 40, "dir_53", true), SEARCHER_HFSPLUS), 0);
    Add(*b, new FakeNode(60, 2, "a.txt", false), SEARCHER_HFSPLUS);
    b->FlashBuild(SEARCHER_HFSPLUS);
    const auto names = ShownNames();
    EXPECT_EQ(names.count("dir_50"), 0u);
    EXPECT_EQ(names.count("a.txt"), 1u);
    // What lay below the dropped folder is kept, among the lost files.
    EXPECT_EQ(RecordingTree::PathOf(sink.Find("inner.txt")), "/Disk(HFS+)/Other lost files/sub/inner.txt");
}

TEST_F(TreeBuilderTest, HfsTreeWaitsForThePrivateDataFolder) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    for (int i = 0; i < 1100; ++i)
        Add(*b, new FakeNode(100 + i, 2, "f" + std::to_string(i) + ".txt", false), SEARCHER_HFSPLUS);
    EXPECT_TRUE(sink.batches.empty());
    b->FlashBuild(SEARCHER_HFSPLUS);
    EXPECT_EQ(sink.all.size(), 1100u);
}

TEST_F(TreeBuilderTest, ReplayKeepsDuplicatesAndFreesEverythingAtTheEnd) {
    auto b = Make(true);
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    EXPECT_EQ(Add(*b, new FakeNode(20, 5, "a.txt", false)), 1);
    EXPECT_EQ(Add(*b, new FakeNode(20, 5, "a.txt", false)), 1);
    EXPECT_EQ(Add(*b, new FakeNode(21, 5, "existing.txt", false, false)), 1);
    b->FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(sink.all.size(), 2u);
    // The unshown node is kept with the builder and freed with it (leak check).
}

TEST_F(TreeBuilderTest, GetCorrectParentPrefersLiveFoldersInTheTrash) {
    FakeNode trash(7, 5, "Trash", true);
    FakeNode inTrashDeleted(30, 7, "d", true, true);
    FakeNode inTrashLive(30, 7, "d", true, false);
    FakeNode outside(30, 5, "d", true, false);
    FakeNode otherPartition(30, 5, "d", true, false);
    otherPartition.SetPartition(4);
    trash.AddChild(&inTrashDeleted);
    trash.AddChild(&inTrashLive);
    FakeNode child(31, 30, "c.txt", false);
    _PARENT_INFO candidates;
    candidates.push(&otherPartition);
    candidates.push(&inTrashDeleted);
    candidates.push(&outside);
    candidates.push(&inTrashLive);
    EXPECT_EQ(CDirectoryTreeBuilder::GetCorrectParent(7, candidates, &child), &inTrashLive);
    EXPECT_EQ(CDirectoryTreeBuilder::GetCorrectParent(0, candidates, &child), &inTrashDeleted);
    EXPECT_EQ(CDirectoryTreeBuilder::GetCorrectParent(7, candidates, nullptr), nullptr);
    _PARENT_INFO none;
    EXPECT_EQ(CDirectoryTreeBuilder::GetCorrectParent(7, none, &child), nullptr);
    child.SetPartition(4);
    EXPECT_EQ(CDirectoryTreeBuilder::GetCorrectParent(7, candidates, &child), &otherPartition);
    trash.RemoveChild(&inTrashLive);
    trash.RemoveChild(&inTrashDeleted);
}

// ---- recycle bins ----

std::string Utf16(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

// A Vista-style index file (path at 24, 544 bytes) or a Windows 10 one
// (length at 24, path at 28).
std::string IndexFile(const std::u16string& path, bool win10) {
    std::string data(win10 ? 28 : 24, '\0');
    data[0] = win10 ? 2 : 1;
    if (win10) data[24] = static_cast<char>(path.size() + 1);
    data += Utf16(path);
    data.resize(win10 ? data.size() + 2 : 544, '\0');
    return data;
}

TEST(RecyclerFilterTest, NameFromIndexData) {
    struct Case {
        std::string data;
        std::string name;
    } cases[] = {
        {IndexFile(u"C:\\Users\\bob\\Documents\\report.docx", false), "report.docx"},
        {IndexFile(u"D:\\photos\\IMG_0001.JPG", true), "IMG_0001.JPG"},
        // U+5C0F has a 0x5C byte at an odd offset; U+4E5C has one at an even offset.
        {IndexFile(u"C:\\\u6587\u4EF6\\\u5C0F\u4E5C.txt", false), "\xE5\xB0\x8F\xE4\xB9\x9C.txt"},
        {IndexFile(u"no drive\\here.txt", false), ""},
        {IndexFile(u"C:nobackslash", true), ""},
        {std::string(100, '\0'), ""},
    };
    for (const Case& c : cases) EXPECT_EQ(CRecyclerFilter::NameFromIndexData(c.data.data(), c.data.size()), c.name);
    EXPECT_EQ(CRecyclerFilter::NameFromIndexData(nullptr, 10), "");
}

TEST(RecyclerFilterTest, RecognisesRecycleBinNames) {
    struct Case {
        const char* name;
        bool dir;
        int bin, index, entry;
    } cases[] = {
        // "$R..." names are recycled entries by name alone, recycle bins included.
        {"$Recycle.Bin", true, 1, 0, 1}, {"RECYCLER", true, 1, 0, 0},       {"recycled", true, 1, 0, 0},
        {"$RECYCLE.BI0", true, 1, 0, 1}, {"$Recycle.Bin", false, 0, 0, 1},  {"$IAB12CD.docx", false, 0, 1, 0},
        {"#Ixyz", false, 0, 1, 0},       {"$RAB12CD.docx", false, 0, 0, 1}, {"#R1", false, 0, 0, 1},
        {"$RmMetadata", true, 0, 0, 0},  {"$Repair", false, 0, 0, 0},       {"$R", false, 0, 0, 0},
        {"$", false, 0, 0, 0},           {"$iab", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        FakeNode n(10, 5, c.name, c.dir);
        EXPECT_EQ(CRecyclerFilter::IsRecycleBinSigleNode(&n), c.bin) << c.name;
        EXPECT_EQ(CRecyclerFilter::IsRecoverNode(&n), c.index) << c.name;
        EXPECT_EQ(CRecyclerFilter::IsRecoverNodeEx(&n), c.entry) << c.name;
    }
    FakeNode bin(1, 5, "$Recycle.Bin", true);
    FakeNode sid(2, 1, "S-1-5-21", true);
    bin.AddChild(&sid);
    EXPECT_EQ(CRecyclerFilter::IsRecycleBin(&sid), 1);
    bin.RemoveChild(&sid);
}

TEST_F(TreeBuilderTest, RecycledEntryGetsItsFormerNameFromTheIndexFile) {
    filter.SetScanType(SCAN_TYPE_DEEP);
    // The index file's data lies at cluster 3 of a partition whose run start 0
    // is at sector 100, with 2 sectors per cluster.
    MemDevice device(400);
    const std::string index = IndexFile(u"C:\\Users\\bob\\Desktop\\budget 2024.xlsx", true);
    std::memcpy(device.bytes.data() + (100 + 3 * 2) * 512, index.data(), index.size());
    CSearchedPartitionInfo partition(512);
    partition.SetCluster0Sector(100);
    partition.SetSectorsPerCluster(2);

    auto b = Make();
    b->SetPartitonDevice(&partition, &device);
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    auto* bin = new FakeNode(30, 5, "$Recycle.Bin", true, false);
    auto* sid = new FakeNode(31, 30, "S-1-5-21-1", true, false);
    auto* entry = new FakeNode(32, 31, "$RAB12CD.xlsx", false, false, 4000);
    auto* indexNode = new FakeNode(33, 31, "$IAB12CD.xlsx", false, false, static_cast<int64_t>(index.size()));
    IDataRunList* runs = CreateDataRunList();
    DataRun run{3, 1};
    runs->AddDataRun(&run);
    indexNode->SetRuns(runs);
    auto* income = new FakeNode(40, 5, "$Income.xls", false, false, 10);    // not in any recycle bin
    auto* stray = new FakeNode(41, 5, "$IZZZZZZ.txt", false, false, 3000);  // too large to be an index file
    for (FakeNode* n : {bin, sid, entry, indexNode, income, stray}) EXPECT_EQ(Add(*b, n), 1);
    EXPECT_EQ(entry->IsDeleted(), 1);  // diverted nodes are deleted at once
    b->FlashBuild(SEARCHER_NTFS);
    EXPECT_STREQ(entry->GetFileName(), "budget 2024.xlsx");
    EXPECT_EQ(RecordingTree::PathOf(entry), "/Disk(NTFS)/$Recycle.Bin/S-1-5-21-1/budget 2024.xlsx");
    const auto names = ShownNames();
    EXPECT_EQ(names.count("$IAB12CD.xlsx"), 0u);  // the index file was used up
    EXPECT_EQ(names.count("$Income.xls"), 1u);    // not dropped
    EXPECT_EQ(names.count("$IZZZZZZ.txt"), 1u);
    EXPECT_EQ(income->IsDeleted(), 1);
}

TEST_F(TreeBuilderTest, RecycledEntryNameNeedsADeviceAndAReadableIndexFile) {
    filter.SetScanType(SCAN_TYPE_DEEP);
    int calls = 0;
    CRecyclerFilter::SetIndexFileReader(
        [&calls](IStorageDevice*, CFileNode*, int64_t start, int spc, _tagSearcherType, char*, uint32_t) -> int64_t {
            ++calls;
            EXPECT_EQ(start, 0);  // no partition record: from the device's start
            EXPECT_EQ(spc, 2);
            return 0;  // unreadable
        });
    for (bool withDevice : {false, true}) {
        sink = RecordingTree();
        MemDevice device(10);
        auto b = Make();
        if (withDevice) b->SetPartitonDevice(nullptr, &device);
        b->AddSearcherInfo(SEARCHER_NTFS, 5);
        Add(*b, new FakeNode(30, 5, "RECYCLER", true));
        auto* entry = new FakeNode(32, 30, "$R123.txt", false);
        Add(*b, entry);
        Add(*b, new FakeNode(33, 30, "$I123.txt", false, true, 544));
        b->FlashBuild(SEARCHER_NTFS);
        EXPECT_STREQ(entry->GetFileName(), "$R123.txt");
    }
    EXPECT_EQ(calls, 1);
}

TEST_F(TreeBuilderTest, DivertedNodesRefusedOnReaddAreFreed) {
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_NTFS, 5);
    Add(*b, new FakeNode(30, 5, "$Recycle.Bin", true));
    Add(*b, new FakeNode(32, 30, "$RAAA.txt", false, true, 10));
    Add(*b, new FakeNode(32, 30, "$RAAA.txt", false, true, 10));  // a duplicate: refused on re-add
    Add(*b, new FakeNode(33, 30, "$IAAA.txt", false, true, 10));
    b->FlashBuild(SEARCHER_NTFS);
    // Leak checking (ASan) proves the refused duplicate was freed.
    EXPECT_EQ(ShownNames().count("$RAAA.txt"), 1u);
}

TEST_F(TreeBuilderTest, ManyNodesInRandomOrderAllArrive) {
    filter.SetScanType(SCAN_TYPE_DEEP);
    auto b = Make();
    b->AddSearcherInfo(SEARCHER_FAT, 0);
    // A balanced tree of folders and files, fed in a scrambled order.
    std::vector<FakeNode*> nodes;
    const int folders = 300;
    for (int i = 1; i <= folders; ++i) nodes.push_back(new FakeNode(i, i / 3, "d" + std::to_string(i), true, false));
    for (int i = 0; i < 3000; ++i)
        nodes.push_back(new FakeNode(10000 + i, 1 + i % folders, "f" + std::to_string(i), false, false));
    uint32_t seed = 12345;
    for (size_t i = nodes.size() - 1; i > 0; --i) {
        seed = seed * 1103515245u + 12345u;
        std::swap(nodes[i], nodes[(seed >> 8) % (i + 1)]);
    }
    for (FakeNode* n : nodes) ASSERT_EQ(b->AddNode(n, SEARCHER_FAT), 1);
    b->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(sink.all.size(), nodes.size());
    for (IFileNode* n : sink.all) {
        EXPECT_EQ(RecordingTree::PathOf(n).rfind("/Disk(FAT/FAT32)/", 0), 0u);
    }
}

}  // namespace
