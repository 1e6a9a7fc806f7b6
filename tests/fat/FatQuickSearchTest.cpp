// The FAT recogniser and the quick searcher on volume devices over images.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "FatTestSupport.h"
#include "fat/FATBuildWorker.h"
#include "fat/FATFileNode.h"
#include "fat/FATQuickSearcher.h"
#include "fat/FATStructures.h"
#include "foundation/ByteOrder.h"
#include "foundation/VolumeAnalyze.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryController.h"
#include "recovery/RecoveryFilter.h"
#include "storage/DeviceData.h"
#include "storage/DiskDevice.h"
#include "storage/PartitionDevice.h"
#include "storage/VolumeDevice.h"
#include "support/RecordingSink.h"

using namespace fattest;

namespace {

// An image opened as a volume whose record carries `type`.
std::unique_ptr<ImageDevice> Volume(const std::string& path, std::uint32_t type) {
    auto dev = std::make_unique<ImageDevice>(path);
    auto* rec = new CCollectedVolumeDeviceInfoStruct{};
    rec->fileSystemType = type;
    rec->sectorSize = 512;
    rec->totalSectors = dev->GetTotalSectors();
    dev->SetPrivateData(CreateVolumeDeviceData(rec));
    return dev;
}

struct Searched {
    Searched(IStorageDevice* dev, bool withBuilder = true) {
        searcher.reset(static_cast<CFATQuickSearcher*>(CreateFATQuickSearcher()));
        if (withBuilder) searcher->SetDirecotryTreeBuilder(&builder);
        result = searcher->QuickSearchFiles(dev, &progress);
    }
    CFATSearchedPartitionInfo* Record() {
        CSearchedPartitionInfo* out[1] = {nullptr};
        if (searcher->GetSearchedPartitionInfo(out, 1) != 1) return nullptr;
        record.reset(static_cast<CFATSearchedPartitionInfo*>(out[0]));
        return record.get();
    }
    RecordingBuilder builder;
    RecordingProgress progress;
    std::unique_ptr<CFATQuickSearcher> searcher;
    std::unique_ptr<CFATSearchedPartitionInfo> record;
    EngineResult result = 1;
};

}  // namespace

TEST(FatRecogniser, TypesTotalsAndLabels) {
    struct Case {
        const char* image;
        std::uint32_t type;
        const char* label;
    };
    for (const Case& c : {Case{"fat16.img", 1, "LBL16"}, Case{"fat32.img", 2, "TESTVOL"}, Case{"fat12.img", 10, ""}}) {
        ImageDevice dev(Fixture(c.image));
        std::unique_ptr<IVolumeAnalyze> a(CreateFatVolumeAnalyze(&dev, 0));
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->GetFileSystemType(), c.type) << c.image;
        char label[101] = {};
        a->GetLabel(label, 100);
        EXPECT_STREQ(label, c.label) << c.image;
        if (c.type != 10) {
            EXPECT_EQ(a->GetTotalSector(), dev.GetTotalSectors());
        }
    }
    // A length of 8 copies exactly 8 bytes and adds no terminator.
    ImageDevice dev(Fixture("fat32.img"));
    std::unique_ptr<IVolumeAnalyze> a(CreateFatVolumeAnalyze(&dev, 0));
    char buf[12];
    std::memset(buf, 'X', sizeof buf);
    a->GetLabel(buf, 8);
    EXPECT_EQ(std::string(buf, 8), std::string("TESTVOL\0", 8));
    EXPECT_EQ(buf[8], 'X');
    // Volume recognition asks the FAT recogniser first.
    std::unique_ptr<IVolumeAnalyzeController> ctl(CreateVolumeAnalyzeController(&dev, 0));
    ASSERT_NE(ctl->GetVolumeAnzlyzer(), nullptr);
    EXPECT_EQ(ctl->GetVolumeAnzlyzer()->GetFileSystemType(), 2u);
}

TEST(FatQuickSearch, Fat16AndFat32Records) {
    struct Case {
        const char* image;
        std::uint32_t type;
        std::uint32_t flags;
    };
    for (const Case& c : {Case{"fat16.img", 1, 0x3C3}, Case{"fat32.img", 2, 0x3CC}}) {
        auto dev = Volume(Fixture(c.image), c.type);
        Searched s(dev.get());
        ASSERT_EQ(s.result, ENGINE_OK) << c.image;
        ASSERT_EQ(s.builder.searchers.size(), 1u);
        EXPECT_EQ(s.builder.searchers[0], std::make_pair(32, std::int64_t{0}));
        EXPECT_EQ(s.builder.flashed, std::vector<int>{32});
        EXPECT_EQ(s.builder.device, dev.get());
        ASSERT_FALSE(s.progress.records.empty());
        EXPECT_EQ(s.progress.records.back().state, 3u);
        EXPECT_EQ(s.progress.records.back().total, 100);
        EXPECT_EQ(s.progress.records.back().current, 100);
        CFATSearchedPartitionInfo* r = s.Record();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->GetFileSystemType(), c.type);
        EXPECT_EQ(r->GetFlag(), c.flags);
        EXPECT_EQ(r->GetStartSector(), 0);
        EXPECT_EQ(r->GetPartitionIndex(), 0);
        EXPECT_EQ(r->GetTotalSectors(), static_cast<std::uint64_t>(dev->GetTotalSectors()));
        auto boot = ReadBytes(Fixture(c.image), 0, 512);
        CTempFATDBR dbr(boot.data(), 512);
        std::int64_t data = dbr.GetReservedSector() + 2 * dbr.GetSectorsPerFat();
        if (c.type == 1) data += dbr.GetRootEntries() * 32 / 512;
        EXPECT_EQ(r->GetCluster0Sector(), data);
        EXPECT_EQ(r->GetTotalCluster(), (dev->GetTotalSectors() - data) / dbr.GetSectorsperCluster());
        EXPECT_EQ(r->GetRootInfo(), c.type == 2 ? 2u : dbr.GetRootEntries() * 32 / 512);
        // Too small an array: the count, nothing stored.
        EXPECT_EQ(s.searcher->GetSearchedPartitionInfo(nullptr, 0), 1);
    }
}

TEST(FatQuickSearch, ResultCodes) {
    auto fat16 = Volume(Fixture("fat16.img"), 1);
    RecordingBuilder builder;
    RecordingProgress progress;
    std::unique_ptr<IQuickFileSystemSearchController> s(CreateFATQuickSearcher());
    EXPECT_EQ(s->QuickSearchFiles(nullptr, &progress), 0x010A004E00000005ull);
    EXPECT_EQ(s->QuickSearchFiles(fat16.get(), nullptr), 0x010A004E00000005ull);
    EXPECT_EQ(s->QuickSearchFiles(fat16.get(), &progress), 0x010A005300000007ull);
    s->SetDirecotryTreeBuilder(&builder);
    ImageDevice disk(Fixture("fat16.img"), 512, 0);
    EXPECT_EQ(s->QuickSearchFiles(&disk, &progress), 0x010A008100000003ull);
    ImageDevice bare(Fixture("fat16.img"));
    EXPECT_EQ(s->QuickSearchFiles(&bare, &progress), 0x010A008800000007ull);
    bare.SetPrivateData(CreateVolumeDeviceData(nullptr));
    EXPECT_EQ(s->QuickSearchFiles(&bare, &progress), 0x010A008F00000007ull);
    auto fat12 = Volume(Fixture("fat12.img"), 0);
    EXPECT_EQ(s->QuickSearchFiles(fat12.get(), &progress), 0x010A00610000000Cull);
    // A FAT12 volume wrongly recorded as FAT16 has no valid FAT16 boot sector.
    auto liar = Volume(Fixture("fat12.img"), 1);
    EXPECT_EQ(s->QuickSearchFiles(liar.get(), &progress), 0x010A00CA0000000Cull);
    EXPECT_EQ(builder.flashed, std::vector<int>{32});  // only the searched one
    // Every call ended with the finished record.
    EXPECT_EQ(progress.records.size(), 7u);
    for (const auto& r : progress.records) EXPECT_EQ(r.state, 3u);
    // No search made a record.
    CSearchedPartitionInfo* out[1] = {reinterpret_cast<CSearchedPartitionInfo*>(0x1)};
    EXPECT_EQ(s->GetSearchedPartitionInfo(out, 1), 0);
    EXPECT_EQ(out[0], reinterpret_cast<CSearchedPartitionInfo*>(0x1));
}

TEST(FatQuickSearch, Fat32BackupBootSector) {
    std::string img = ScratchCopy("fat32.img");
    std::vector<std::uint8_t> zero(512, 0);
    PatchBytes(img, 0, zero.data(), zero.size());
    auto dev = Volume(img, 2);
    Searched s(dev.get());
    ASSERT_EQ(s.result, ENGINE_OK);
    EXPECT_NE(s.builder.FindLike("Setup Program.exe"), nullptr);
    ASSERT_NE(s.Record(), nullptr);
    EXPECT_EQ(s.Record()->GetRootInfo(), 2u);
}

TEST(FatQuickSearch, BootSectorClaimingMoreThanTheDevice) {
    std::string img = ScratchCopy("fat16.img");
    ASSERT_EQ(truncate(img.c_str(), 24 << 20), 0);
    auto dev = Volume(img, 1);
    Searched s(dev.get());
    ASSERT_EQ(s.result, ENGINE_OK);
    CFATSearchedPartitionInfo* r = s.Record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetTotalSectors(), (24u << 20) / 512);
    EXPECT_EQ(r->GetTotalCluster(), ((24u << 20) / 512 - r->GetCluster0Sector()) / 1);
}

TEST(FatQuickSearch, StopRequestEndsTheWalk) {
    auto dev = Volume(Fixture("fat16.img"), 1);
    RecordingBuilder builder;
    RecordingProgress progress;
    progress.allowed = 1;
    std::unique_ptr<IQuickFileSystemSearchController> s(CreateFATQuickSearcher());
    s->SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(s->QuickSearchFiles(dev.get(), &progress), 0x010A00980000000Dull);
    EXPECT_EQ(builder.flashed, std::vector<int>{32});
}

// A folder chain that loops back to its own first cluster is read once.
TEST(FatQuickSearch, LoopedFolderChainStops) {
    std::string img = ScratchCopy("fat16.img");
    {
        ImageDevice probe(img);
        auto dev = Volume(img, 1);
        Searched s(dev.get());
        IFileNode* dirA = s.builder.Find("DirA");
        ASSERT_NE(dirA, nullptr);
        auto boot = ReadBytes(img, 0, 512);
        CTempFATDBR dbr(boot.data(), 512);
        // DirA: first cluster -> second cluster -> first cluster.
        const std::uint16_t a = static_cast<std::uint16_t>(dirA->GetCurrentNodeID());
        const std::uint64_t fat = dbr.GetReservedSector() * 512ull;
        const auto next = ReadBytes(img, fat + 2 * a, 2);
        const std::uint16_t second = byteorder::LE16(next.data());
        for (int copy = 0; copy < 2; ++copy)
            PatchBytes(img, fat + copy * dbr.GetSectorsPerFat() * 512ull + 2 * second, &a, 2);
    }
    auto dev = Volume(img, 1);
    Searched s(dev.get());
    // The table now fails its chain test, so the second copy (also looped)
    // is refused as well and chains end after their first cluster; either
    // way the walk ends and DirA's first cluster is read once.
    EXPECT_EQ(s.result, ENGINE_OK);
    int count = 0;
    for (IFileNode* n : s.builder.nodes)
        if (std::string(n->GetFileName()) == "A Rather Long File Name Number 1.dat") ++count;
    EXPECT_EQ(count, 1);
}

// The whole road through the real tree builder: only deleted files are shown
// in a quick scan, under their folders.
TEST(FatQuickSearch, ThroughTheTreeBuilder) {
    quillory_test::RecordingSink sink;
    CRecoveryFilter filter;
    filter.SetScanType(SCAN_TYPE_QUICK);
    IDirecotryTreeBuilder* builder = CreateTreeBuilder(false);
    ASSERT_EQ(builder->Initialize("Vol", &sink, &filter), 1);
    auto dev = Volume(Fixture("fat16.img"), 1);
    RecordingProgress progress;
    std::unique_ptr<IQuickFileSystemSearchController> s(CreateFATQuickSearcher());
    s->SetDirecotryTreeBuilder(builder);
    ASSERT_EQ(s->QuickSearchFiles(dev.get(), &progress), ENGINE_OK);
    ASSERT_EQ(sink.roots.size(), 1u);
    EXPECT_STREQ(sink.roots[0]->GetFileName(), "Vol(FAT/FAT32)");
    std::set<std::string> files;
    for (IFileNode* n : sink.shown) {
        if (n->IsDirectory()) continue;
        EXPECT_TRUE(n->IsDeleted()) << n->GetFileName();
        std::string path = n->GetFileName();
        for (IFileNode* p = n->GetParent(); p && p->GetParent(); p = p->GetParent())
            path = std::string(p->GetFileName()) + "/" + path;
        files.insert(path);
    }
    EXPECT_TRUE(files.count("DirA/A Rather Long File Name Number 4.dat"));
    EXPECT_TRUE(files.count("DirB/Sub/Lost Photo Of The Sea.raw"));
    EXPECT_TRUE(files.count("Deleted Root Document.txt"));
    builder->Release();
}

// 4,096-byte sectors: tables, roots and runs scale with the sector size.
TEST(FatQuickSearch, FourKibSectors) {
    auto dev = std::make_unique<ImageDevice>(Fixture("fat16-4k.img"), 4096);
    auto* rec = new CCollectedVolumeDeviceInfoStruct{};
    rec->fileSystemType = 1;
    rec->sectorSize = 4096;
    rec->totalSectors = dev->GetTotalSectors();
    dev->SetPrivateData(CreateVolumeDeviceData(rec));
    std::unique_ptr<IVolumeAnalyze> a(CreateFatVolumeAnalyze(dev.get(), 0));
    EXPECT_EQ(a->GetFileSystemType(), 1u);
    char label[100] = {};
    a->GetLabel(label, 100);
    EXPECT_STREQ(label, "SEC4K");
    Searched s(dev.get());
    ASSERT_EQ(s.result, ENGINE_OK);
    CFATSearchedPartitionInfo* r = s.Record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetSectorSize(), 4096u);
    IFileNode* big = s.builder.Find("Folder/Big Sector File.bin");
    ASSERT_NE(big, nullptr);
    EXPECT_TRUE(big->IsDeleted());
    EXPECT_EQ(ReadRuns(*dev, big, r->GetCluster0Sector(), r->GetSectorsPerCluster()),
              Original("fat16-4k", "Folder/Big Sector File.bin"));
    std::set<std::string> oracle;
    for (const auto& p : FlsDeleted(Fixture("fat16-4k.img"))) oracle.insert(ComparableName(p));
    std::set<std::string> ours;
    for (const auto& p : s.builder.DeletedPaths()) ours.insert(ComparableName(p));
    EXPECT_EQ(ours, oracle);
}

// The same search through the engine's own volume device over the image file.
TEST(FatQuickSearch, ThroughAVolumeDevice) {
    std::unique_ptr<CVolumeDevice> dev(CreateVolumeDevice(Fixture("fat32.img").c_str()));
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(dev->Open(nullptr), 1);
    auto* rec = new CCollectedVolumeDeviceInfoStruct{};
    rec->fileSystemType = 2;
    rec->sectorSize = 512;
    rec->totalSectors = dev->GetTotalSectors();
    dev->SetPrivateData(CreateVolumeDeviceData(rec));
    Searched s(dev.get());
    ASSERT_EQ(s.result, ENGINE_OK);
    IFileNode* tool = s.builder.Find("Docs/Helper Tool.exe");
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(ReadRuns(*dev, tool, s.Record()->GetCluster0Sector(), 1), Original("fat32", "Docs/Helper Tool.exe"));
}

// A quick scan run by the quick scan controller, as the front end runs it:
// the FAT searcher is chosen by the volume record and its finished tree holds
// the deleted files under their folders; a FAT12 volume is refused.
TEST(FatQuickSearch, ThroughTheQuickScanController) {
    using Sink = quillory_test::RecordingSink;
    CRecoveryFilter filter;
    filter.SetScanType(SCAN_TYPE_QUICK);
    {
        Sink sink;
        IRecoveryController* ctl = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
        ASSERT_NE(ctl, nullptr);
        ASSERT_EQ(ctl->Initialize(&filter), 1);
        auto dev = Volume(Fixture("fat32.img"), 2);
        RecordingProgress progress;
        EXPECT_EQ(ctl->StartDataRecovery(dev.get(), &progress, &sink), ENGINE_OK);
        std::set<std::string> names;
        for (IFileNode* n : sink.shown) {
            EXPECT_TRUE(n->IsDeleted() || n->IsDirectory()) << n->GetFileName();
            names.insert(n->GetFileName());
        }
        for (const char* want : {"Setup Program.exe", "Helper Tool.exe", "Late Tool.exe",
                                 "Ancient Letter To Grandma.txt", "Quarterly Report Final Version.txt"})
            EXPECT_TRUE(names.count(want)) << want;
        EXPECT_FALSE(names.count("FILLER.BIN"));
        ctl->Release();
    }
    {
        Sink sink;
        IRecoveryController* ctl = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
        ASSERT_EQ(ctl->Initialize(&filter), 1);
        auto dev = Volume(Fixture("fat12.img"), 0);
        RecordingProgress progress;
        EXPECT_EQ(ctl->StartDataRecovery(dev.get(), &progress, &sink), 0x010A00610000000Cull);
        ctl->Release();
    }
}

// A partition of a disk image shown as a volume: sectors are relative to the
// partition, as on a volume device of its own.
TEST(FatQuickSearch, PartitionShownAsAVolume) {
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice(Fixture("disk-fat16.img").c_str()));
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(disk->Open(nullptr), 1);
    const std::int64_t count = (20 * 1024 * 1024 / 512 - 2048) / 2 * 2;
    CPartitionVirtualVolumeDevice part(disk.get(), 2048, count);
    auto* rec = new CCollectedVolumeDeviceInfoStruct{};
    rec->fileSystemType = 1;
    rec->sectorSize = 512;
    rec->totalSectors = count;
    part.SetPrivateData(CreateVolumeDeviceData(rec));
    std::unique_ptr<IVolumeAnalyze> a(CreateFatVolumeAnalyze(&part, 0));
    EXPECT_EQ(a->GetFileSystemType(), 1u);
    char label[100] = {};
    a->GetLabel(label, 100);
    EXPECT_STREQ(label, "PARTVOL");
    Searched s(&part);
    ASSERT_EQ(s.result, ENGINE_OK);
    IFileNode* lost = s.builder.Find("Inside/Partitioned Loss.bin");
    ASSERT_NE(lost, nullptr);
    EXPECT_TRUE(lost->IsDeleted());
    EXPECT_EQ(ReadRuns(part, lost, s.Record()->GetCluster0Sector(), 1),
              Original("disk-fat16", "Inside/Partitioned Loss.bin"));
}
