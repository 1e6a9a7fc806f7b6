// The NTFS recogniser and quick search on real mkntfs volumes, with
// fls -r -d (The Sleuth Kit) as the oracle of what was deleted.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "NTFSTestSupport.h"
#include "foundation/DirectoryTree.h"
#include "foundation/VolumeAnalyze.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSQuickSearch.h"
#include "recovery/RecoveryController.h"
#include "recovery/RecoveryFilter.h"
#include "storage/DeviceData.h"
#include "support/RecordingSink.h"

using namespace ntfstest;

namespace {

std::unique_ptr<MemoryDevice> Volume(const std::string& image, std::uint32_t sectorSize = 512) {
    auto dev = std::make_unique<MemoryDevice>(ReadFile(image), sectorSize);
    auto* rec = new CCollectedVolumeDeviceInfoStruct{};
    rec->fileSystemType = FILE_SYSTEM_NTFS;
    rec->sectorSize = sectorSize;
    rec->totalSectors = static_cast<std::uint64_t>(dev->GetTotalSectors());
    dev->SetPrivateData(CreateVolumeDeviceData(rec));
    return dev;
}

struct Progress : IProgress {
    void UpdateProgress(_PROGRESS_INFO* info) override { states.push_back(info->state); }
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
    std::vector<std::uint32_t> states;
};

using Sink = quillory_test::RecordingSink;

using quillory_test::TreePath;

// Deleted entries as fls -r -d lists them, without its $OrphanFiles.
std::set<std::string> FlsDeleted(const std::string& image, bool directories) {
    std::set<std::string> out;
    std::istringstream lines(RunCommand("fls -r -d -p '" + image + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string path = line.substr(tab + 1);
        if (path.rfind("$OrphanFiles", 0) == 0) continue;
        if ((line.rfind("-/d", 0) == 0 || line.rfind("d/d", 0) == 0) != directories) continue;
        out.insert(path);
    }
    return out;
}

// istat's size of the unnamed $DATA per record, from the fixture dump.
std::map<std::int64_t, std::int64_t> IstatSizes(const std::string& image) {
    std::map<std::int64_t, std::int64_t> out;
    std::istringstream in(RunCommand("cat '" + image + ".istat'"));
    std::string line;
    std::int64_t current = -1;
    while (std::getline(in, line)) {
        if (line.rfind("=== ", 0) == 0)
            current = std::stoll(line.substr(4));
        else if (line.rfind("Type: $DATA (", 0) == 0 && line.find("Name: N/A") != std::string::npos)
            out[current] = std::stoll(line.substr(line.find("size: ") + 6));
    }
    return out;
}

struct QuickScan {
    explicit QuickScan(IStorageDevice* device) {
        filter.SetScanType(SCAN_TYPE_QUICK);
        IRecoveryController* ctl = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
        ctl->Initialize(&filter);
        result = ctl->StartDataRecovery(device, &progress, &sink);
        for (IFileNode* n : sink.shown) {
            if (n->IsDirectory()) {
                // Existing folders are shown too when they hold deleted files.
                if (n->IsDeleted()) dirs.insert(TreePath(n));
            } else {
                files.insert(TreePath(n));
                sizes[TreePath(n)] = {n->GetCurrentNodeID(), n->GetFileSize()};
                EXPECT_TRUE(n->IsDeleted()) << TreePath(n);
            }
        }
        controller = ctl;
    }
    ~QuickScan() { controller->Release(); }
    CRecoveryFilter filter;
    Sink sink;
    Progress progress;
    IRecoveryController* controller = nullptr;
    EngineResult result = 1;
    std::set<std::string> files, dirs;
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> sizes;
};

}  // namespace

TEST(NTFSRecogniser, BootSectorDecides) {
    auto dev = Volume(Fixture("ntfs_basic.img"));
    std::unique_ptr<IVolumeAnalyze> a(CreateNTFSVolumeAnalyze(dev.get(), 0));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetFileSystemType(), 3u);
    EXPECT_EQ(a->GetTotalSector(), 16 * 1024 * 1024 / 512 - 1);
    char label[64];
    std::memset(label, 'x', sizeof(label));
    a->GetLabel(label, sizeof(label));
    EXPECT_STREQ(label, "");
    dev->Bytes()[13] = 3;
    EXPECT_EQ(CreateNTFSVolumeAnalyze(dev.get(), 0), nullptr);
    EXPECT_EQ(CreateNTFSVolumeAnalyze(dev.get(), 1ull << 63), nullptr);
    EXPECT_EQ(CreateNTFSVolumeAnalyze(nullptr, 0), nullptr);
    // Recognition through the controller finds NTFS.
    auto fresh = Volume(Fixture("ntfs_basic.img"));
    std::unique_ptr<IVolumeAnalyzeController> ctl(CreateVolumeAnalyzeController(fresh.get(), 0));
    ASSERT_NE(ctl->GetVolumeAnzlyzer(), nullptr);
    EXPECT_EQ(ctl->GetVolumeAnzlyzer()->GetFileSystemType(), 3u);
}

TEST(NTFSQuickSearch, ListsWhatFlsListsAsDeleted) {
    const std::string image = Fixture("ntfs_basic.img");
    auto dev = Volume(image);
    QuickScan scan(dev.get());
    EXPECT_EQ(scan.result, ENGINE_OK);
    EXPECT_EQ(scan.files, FlsDeleted(image, false));
    EXPECT_EQ(scan.dirs, FlsDeleted(image, true));
    EXPECT_EQ(scan.progress.states.back(), 3u);
    const auto istat = IstatSizes(image);
    for (const auto& [path, idSize] : scan.sizes) {
        ASSERT_TRUE(istat.count(idSize.first)) << path;
        EXPECT_EQ(idSize.second, istat.at(idSize.first)) << path;
    }
    EXPECT_TRUE(scan.files.count("Trash/Inner/deep.txt"));
}

TEST(NTFSQuickSearch, DamagedMftRecordZeroFallsBackToTheMirror) {
    auto dev = Volume(Fixture("ntfs_mft0_zeroed.img"));
    QuickScan scan(dev.get());
    EXPECT_EQ(scan.result, ENGINE_OK);
    EXPECT_EQ(scan.files, FlsDeleted(Fixture("ntfs_basic.img"), false));
}

TEST(NTFSQuickSearch, FourKilobyteSectors) {
    auto dev = Volume(Fixture("ntfs_4k.img"), 4096);
    QuickScan scan(dev.get());
    EXPECT_EQ(scan.result, ENGINE_OK);
    EXPECT_EQ(scan.files, (std::set<std::string>{"gone.dat"}));
    EXPECT_EQ(scan.sizes["gone.dat"].second, 30000);
}

TEST(NTFSQuickSearch, RefusalsSendTheFinishedRecord) {
    std::unique_ptr<IQuickFileSystemSearchController> s(CreateNTFSQuickSearcher());
    Progress progress;
    auto zeros = std::make_unique<MemoryDevice>(std::vector<std::uint8_t>(64 * 512, 0));
    EXPECT_EQ(s->QuickSearchFiles(zeros.get(), &progress), NTFS_QUICK_ERR_NOT_NTFS);
    EXPECT_EQ(progress.states.back(), 3u);
    auto tiny = std::make_unique<MemoryDevice>(std::vector<std::uint8_t>(2 * 512, 0));
    EXPECT_EQ(s->QuickSearchFiles(tiny.get(), &progress), NTFS_QUICK_ERR_NOT_NTFS);
    EXPECT_EQ(s->QuickSearchFiles(zeros.get(), nullptr), NTFS_QUICK_ERR_NO_DEVICE_OR_PROGRESS);
    // A sound boot sector whose $MFT and $MFTMirr records are both gone.
    auto bytes = ReadFile(Fixture("ntfs_basic.img"));
    auto noMft = std::make_unique<MemoryDevice>(bytes);
    const std::uint64_t mftLcn = byteorder::LE64(&bytes[48]);
    const std::uint64_t mirrLcn = byteorder::LE64(&bytes[56]);
    std::memset(noMft->Bytes().data() + mftLcn * 4096, 0, 1024);
    std::memset(noMft->Bytes().data() + mirrLcn * 4096, 0, 1024);
    EXPECT_EQ(s->QuickSearchFiles(noMft.get(), &progress), NTFS_QUICK_ERR_NO_MFT_RUNS);
    // The partition record it hands out.
    auto dev = Volume(Fixture("ntfs_basic.img"));
    struct NullBuilder : IDirecotryTreeBuilder {
        int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
        int AddNode(IFileNode*, _tagSearcherType) override {
            ++nodes;
            return 0;
        }
        int AddSearcherInfo(_tagSearcherType, int64_t) override { return 1; }
        void FlashBuild(_tagSearcherType) override {}
        void Release() override {}
        void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
        int nodes = 0;
    } builder;
    s->SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(s->QuickSearchFiles(dev.get(), &progress), ENGINE_OK);
    EXPECT_GT(builder.nodes, 30);  // refused nodes are released, not leaked
    CSearchedPartitionInfo* out[1] = {nullptr};
    EXPECT_EQ(s->GetSearchedPartitionInfo(nullptr, 0), 1);
    ASSERT_EQ(s->GetSearchedPartitionInfo(out, 1), 1);
    std::unique_ptr<CSearchedPartitionInfo> info(out[0]);
    EXPECT_EQ(info->GetFileSystemType(), 3u);
    EXPECT_EQ(info->GetSectorsPerCluster(), 8u);
    EXPECT_EQ(info->GetStartSector(), 0);
    EXPECT_EQ(info->GetCluster0Sector(), 0);
    EXPECT_EQ(info->GetTotalSectors(), static_cast<std::uint64_t>(dev->GetTotalSectors()));
}
