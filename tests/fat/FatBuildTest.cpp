// The folder walk of mkfs.fat/mtools images against The Sleuth Kit: deleted
// files and folders with their long names and folders, and their data read
// back through the run lists.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "FatTestSupport.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "fat/FATTable.h"
#include "foundation/DataRun.h"

using namespace fattest;

namespace {

// The quick road over an image, set up as the quick searcher sets it up.
struct QuickRun {
    explicit QuickRun(const std::string& image, bool includeExisting = true) : dev(image) {
        auto boot = ReadBytes(image, 0, 512);
        CTempFATDBR dbr(boot.data(), 512);
        type = dbr.GetFileSystemType();
        spc = dbr.GetSectorsperCluster();
        const std::uint32_t reserved = dbr.GetReservedSector();
        const std::uint32_t spf = dbr.GetSectorsPerFat();
        fat = IFATTableFactory::CreateFATTable(&dev, reserved, type, spf, true, true);
        std::int64_t rootStart;
        std::uint32_t rootSectors = 0, rootCluster = 0;
        if (type == 2) {
            dataStart = reserved + 2 * spf;
            rootCluster = dbr.GetRootDirStartCluster();
            rootStart = dataStart + (rootCluster - 2) * spc;
        } else {
            rootStart = reserved + 2 * spf;
            rootSectors = dbr.GetRootEntries() * 32 / 512;
            dataStart = rootStart + rootSectors;
        }
        record = CreateFATSearchedPartitionInfo(512);
        record->SetPartitionIndex(0);
        CFATBuildWorker worker(&builder, &progress, record, &dev, type, 0, spc, rootStart, rootSectors, rootCluster,
                               true, dataStart, dbr.GetTotalSectors(), fat);
        result = worker.QuickBuildDirectoryTree(includeExisting);
    }
    ~QuickRun() {
        IFATTableFactory::DestroyFATTable(fat);
        DestroyFATSearchedPartitionInfo(record);
    }
    std::vector<std::uint8_t> Data(const std::string& path) {
        IFileNode* n = builder.Find(path);
        return n ? ReadRuns(dev, n, dataStart, spc) : std::vector<std::uint8_t>{};
    }
    ImageDevice dev;
    RecordingBuilder builder;
    RecordingProgress progress;
    IFATTable* fat = nullptr;
    CFATSearchedPartitionInfo* record = nullptr;
    std::uint32_t type = 0, spc = 0;
    std::int64_t dataStart = 0;
    EngineResult result = 1;
};

std::set<std::string> Comparable(const std::set<std::string>& paths) {
    std::set<std::string> out;
    for (const auto& p : paths)
        if (p.rfind("$OrphanFiles", 0) != 0) out.insert(ComparableName(p));
    return out;
}

}  // namespace

TEST(FatQuickBuild, Fat16DeletedFilesMatchTheOracle) {
    QuickRun run(Fixture("fat16.img"));
    ASSERT_EQ(run.result, ENGINE_OK);
    const auto ours = run.builder.DeletedPaths();
    EXPECT_EQ(Comparable(ours), Comparable(FlsDeleted(Fixture("fat16.img"))));
    // Long names joined, including the group that straddles two runs of DirA.
    EXPECT_TRUE(ours.count("DirA/A Rather Long File Name Number 4.dat"));
    IFileNode* dirA = run.builder.Find("DirA");
    ASSERT_NE(dirA, nullptr);
    const auto a = static_cast<std::uint32_t>(dirA->GetCurrentNodeID());
    const std::uint32_t second = run.fat->GetNextCluster(a);
    EXPECT_TRUE(second >= 2 && second < 0xFFF0 && second != a + 1);  // DirA is fragmented
    EXPECT_TRUE(ours.count("DirB/Sub/Lost Photo Of The Sea.raw"));
    // Children of a deleted folder are deleted even when their own entry is
    // intact (mdeltree marks them all, so the folder decides here).
    IFileNode* photo = run.builder.Find("DirB/Sub/Lost Photo Of The Sea.raw");
    ASSERT_NE(photo, nullptr);
    EXPECT_TRUE(photo->IsDeleted());

    // Every deleted file with data reads back byte for byte.
    for (const auto& path : ours) {
        IFileNode* n = run.builder.Find(path);
        if (n->IsDirectory()) continue;
        EXPECT_EQ(run.Data(path), Original("fat16", path)) << path;
    }
    // Existing files reach the builder too (the tree's filter hides them).
    EXPECT_NE(run.builder.FindLike("DirB/keep.txt"), nullptr);
    EXPECT_EQ(run.Data("DirB/keep.txt"), ReadFile(FixtureDir() + "/orig/fat16/DirB/keep.txt"));
    // Progress ends at 100 percent.
    ASSERT_FALSE(run.progress.records.empty());
    EXPECT_EQ(run.progress.records.back().current, 100);
}

TEST(FatQuickBuild, EmptyFilesGetDistinctVirtualClusters) {
    QuickRun run(Fixture("fat16.img"));
    IFileNode* a = run.builder.Find("DirA/#mpty1.txt");
    IFileNode* b = run.builder.Find("DirA/Empty Two.dat");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_GE(a->GetCurrentNodeID(), 0x100000000LL);
    EXPECT_GE(b->GetCurrentNodeID(), 0x100000000LL);
    EXPECT_NE(a->GetCurrentNodeID(), b->GetCurrentNodeID());
    EXPECT_EQ(static_cast<CFileNode*>(a)->GetDataRunList(), nullptr);
    EXPECT_EQ(static_cast<CFileNode*>(b)->GetDataRunList(), nullptr);
}

TEST(FatQuickBuild, IncludeExistingClearGivesDeletedFilesOnly) {
    QuickRun run(Fixture("fat16.img"), false);
    for (IFileNode* n : run.builder.nodes)
        if (!n->IsDirectory()) {
            EXPECT_TRUE(n->IsDeleted()) << n->GetFileName();
        }
    EXPECT_EQ(run.builder.FindLike("DirB/keep.txt"), nullptr);
}

TEST(FatQuickBuild, Fat32RepairsClearedHighWords) {
    QuickRun run(Fixture("fat32.img"));
    ASSERT_EQ(run.result, ENGINE_OK);
    const auto ours = Comparable(run.builder.DeletedPaths());
    for (const auto& p : Comparable(FlsDeleted(Fixture("fat32.img")))) EXPECT_TRUE(ours.count(p)) << p;
    // The oracle cannot place the child of a folder whose high word is gone.
    EXPECT_TRUE(ours.count("high/gone folder/nner.txt"));
    for (const char* path : {"Setup Program.exe", "Docs/Helper Tool.exe", "High/Late Tool.exe",
                             "High/Gone Folder/#nner.txt", "Docs/Quarterly Report Final Version.txt",
                             "Docs/Old/Ancient Letter To Grandma.txt", "Docs/Old/old notes.txt"}) {
        IFileNode* n = run.builder.Find(path);
        ASSERT_NE(n, nullptr) << path;
        EXPECT_TRUE(n->IsDeleted()) << path;
        EXPECT_EQ(run.Data(path), Original("fat32", path)) << path;
    }
    EXPECT_GE(run.builder.Find("High/Late Tool.exe")->GetCurrentNodeID(), 0x10000);
}

// The deep road from recorded folder sectors, with no root: the fixed root's
// sectors lie in the window before the data start and are read as root
// sectors; folders whose parents are unknown become made-up "DIR%d" folders,
// one per folder however many of its sectors were recorded.
TEST(FatCompleteBuild, MadeUpFoldersAndLostRoot) {
    std::uint64_t dirA = 0, dirB = 0;
    {
        QuickRun probe(Fixture("fat16.img"));
        dirA = static_cast<std::uint64_t>(probe.builder.Find("DirA")->GetCurrentNodeID());
        dirB = static_cast<std::uint64_t>(probe.builder.Find("DirB")->GetCurrentNodeID());
    }
    ImageDevice dev(Fixture("fat16.img"));
    auto boot = ReadBytes(Fixture("fat16.img"), 0, 512);
    CTempFATDBR dbr(boot.data(), 512);
    const std::int64_t rootStart = dbr.GetReservedSector() + 2 * dbr.GetSectorsPerFat();
    const std::uint32_t rootSectors = dbr.GetRootEntries() * 32 / 512;
    const std::int64_t dataStart = rootStart + rootSectors;
    IFATTable* fat =
        IFATTableFactory::CreateFATTable(&dev, dbr.GetReservedSector(), 1, dbr.GetSectorsPerFat(), true, false);
    std::unique_ptr<CFATSearchedPartitionInfo> record(CreateFATSearchedPartitionInfo(512));
    RecordingBuilder rootOnly;
    {
        // Alone, the fixed root's first sector gives the root's entries.
        CFATBuildWorker w(&rootOnly, nullptr, record.get(), &dev, 1, 0, 1, rootStart, rootSectors, 0, false, dataStart,
                          dbr.GetTotalSectors(), fat);
        FolderSectorSet root;
        root.insert({rootStart, 0xFFFFFFFF, 0});
        EXPECT_EQ(w.CompleteBuildDirectoryTree(root), 1);
        IFileNode* doc = rootOnly.Find("Deleted Root Document.txt");
        ASSERT_NE(doc, nullptr);
        EXPECT_EQ(doc->GetParentNodeID(), 0);
        EXPECT_NE(rootOnly.Find("DirA"), nullptr);
    }
    RecordingBuilder builder;
    auto sectorOf = [&](std::uint64_t c) {
        return static_cast<std::int64_t>(c - 2) + dataStart;  // one sector per cluster
    };
    const std::uint32_t dirASecond = fat->GetNextCluster(static_cast<std::uint32_t>(dirA));
    FolderSectorSet sectors;
    sectors.insert({sectorOf(dirA), static_cast<std::uint32_t>(dirA), 0});
    sectors.insert({sectorOf(dirASecond), 0xFFFFFFFF, static_cast<std::uint32_t>(dirA)});
    sectors.insert({sectorOf(dirB), static_cast<std::uint32_t>(dirB), 0});
    ResetFATMadeUpFolderCounter();
    // A stopped deep scan still builds what it found: the deep road does not
    // ask whether to go on.
    RecordingProgress stopped;
    stopped.allowed = 0;
    CFATBuildWorker worker(&builder, &stopped, record.get(), &dev, 1, 0, 1, rootStart, rootSectors, 0, false, dataStart,
                           dbr.GetTotalSectors(), fat);
    EXPECT_EQ(worker.CompleteBuildDirectoryTree(sectors), 1);
    EXPECT_EQ(stopped.asked, 0);

    std::vector<IFileNode*> madeUp;
    for (IFileNode* n : builder.nodes)
        if (std::string(n->GetFileName()).rfind("DIR", 0) == 0 && n->IsDirectory() && n->GetParentNodeID() == 0 &&
            n->IsDeleted())
            madeUp.push_back(n);
    ASSERT_EQ(madeUp.size(), 2u);
    EXPECT_STREQ(madeUp[0]->GetFileName(), "DIR0");
    EXPECT_EQ(static_cast<std::uint64_t>(madeUp[0]->GetCurrentNodeID()), dirA);
    EXPECT_STREQ(madeUp[1]->GetFileName(), "DIR1");
    EXPECT_EQ(static_cast<std::uint64_t>(madeUp[1]->GetCurrentNodeID()), dirB);
    // DirA's entries, the straddling long name included, under the made-up folder.
    IFileNode* four = builder.Find("DIR0/A Rather Long File Name Number 4.dat");
    ASSERT_NE(four, nullptr);
    EXPECT_EQ(ReadRuns(dev, four, dataStart, 1), Original("fat16", "DirA/A Rather Long File Name Number 4.dat"));
    // The counter goes on growing across builds.
    CFATFileNode* next = worker.CreateTempFileNode(999, 0);
    EXPECT_STREQ(next->GetFileName(), "DIR2");
    next->Release();
    IFATTableFactory::DestroyFATTable(fat);
}
