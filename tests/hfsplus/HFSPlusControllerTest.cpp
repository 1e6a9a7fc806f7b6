// The whole quick-scan road on the journaled HFS+ image: a volume device,
// recognition, the quick-scan controller, the HFS+ quick searcher and the
// real tree builder.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "HfsTestUtil.h"
#include "foundation/VolumeAnalyze.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DeletedRecoveryController.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/RecoveryController.h"
#include "recovery/RecoveryFilter.h"
#include "storage/DeviceData.h"
#include "storage/VolumeDevice.h"

using namespace hfstest;

namespace {
struct Sink : IDrirectoryTree {
    void ShowNodes(IFileNode** nodes, unsigned count, int) override {
        for (unsigned i = 0; i < count; ++i) shown.push_back(nodes[i]);
    }
    void ShowFilesystemNode(IFilesystemNode* root) override { roots.push_back(root); }
    std::vector<IFileNode*> shown;
    std::vector<IFilesystemNode*> roots;
};
}  // namespace

TEST(HFSPlusQuickScanController, JournaledImageThroughTheController) {
    const std::string image = PrebuiltImage("hfsplus_journal");
    std::unique_ptr<CVolumeDevice> device(CreateVolumeDevice(image.c_str()));
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->Open(nullptr), 1);
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    std::memset(info, 0, sizeof(*info));
    info->sectorSize = device->GetSectorSize();
    info->totalSectors = device->GetTotalSectors();
    info->fileSystemType = FILE_SYSTEM_UNKNOWN;
    {
        std::unique_ptr<IVolumeAnalyzeController> recognition(CreateVolumeAnalyzeController(device.get(), 0));
        IVolumeAnalyze* analyzer = recognition->GetVolumeAnzlyzer();
        ASSERT_NE(analyzer, nullptr);
        info->fileSystemType = analyzer->GetFileSystemType();
        EXPECT_EQ(analyzer->GetTotalSector(), 32768);
    }
    std::strcpy(info->volumeName, "QJOURNAL");
    device->SetPrivateData(CreateVolumeDeviceData(info));
    ASSERT_EQ(GetVolumeFileSystemType(device.get()), FILE_SYSTEM_HFSPLUS);

    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};
    GetScanControllerFactories().flush = [](IStorageDevice*) {};
    CRecoveryFilter filter;
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetScanType(SCAN_TYPE_QUICK);
    Sink sink;
    TestProgress progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
    controller->Initialize(&filter);
    const EngineResult result = controller->StartDataRecovery(device.get(), &progress, &sink);
    ResetScanControllerFactories();
    ResetTreeBuilderTiming();
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(progress.last.state, PROGRESS_STATE_FINISHED);
    ASSERT_EQ(sink.roots.size(), 1u);

    std::set<std::string> files;
    for (IFileNode* n : sink.shown) {
        if (n->IsDirectory()) continue;
        EXPECT_TRUE(n->IsDeleted()) << n->GetFileName();
        std::string path = n->GetFileName();
        for (IFileNode* p = n->GetParent(); p && p->GetParent(); p = p->GetParent())
            path = std::string(p->GetFileName()) + "/" + path;
        files.insert(path);
    }
    std::set<std::string> expected;
    for (const auto& row : ReadTruth("hfsplus_journal"))
        if (row.deleted) expected.insert(row.path);
    EXPECT_EQ(files, expected);
    controller->Release();
}
