#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "FakeNode.h"
#include "foundation/VolumeAnalyze.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DeletedRecoveryController.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "storage/DeviceData.h"
#include "storage/VolumeDevice.h"
#include "support/Fixture.h"

namespace {

std::string ImagePath() {
    return std::string(QUILLORY_BINARY_DIR) + "/tests/recovery/quickscan-" + std::to_string(getpid()) + ".img";
}

// A path compared without regard to case and to the first character of each
// name: a deleted FAT entry loses its first character, and tools restore it
// differently.
std::string Normalised(const std::string& path) {
    std::string out;
    bool first = true;
    for (char c : path) {
        if (c == '/') {
            out += '/';
            first = true;
            continue;
        }
        if (first) {
            out += '?';
            first = false;
            continue;
        }
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// Deleted files (not folders) that The Sleuth Kit lists.
std::set<std::string> FlsDeletedFiles(const std::string& image) {
    std::set<std::string> files;
    FILE* p = popen(("fls -r -d -p " + image).c_str(), "r");
    if (p == nullptr) return files;
    char line[4096];
    while (fgets(line, sizeof(line), p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (s.rfind("r/r", 0) != 0) continue;
        const size_t tab = s.find('\t');
        if (tab != std::string::npos) files.insert(Normalised(s.substr(tab + 1)));
    }
    pclose(p);
    return files;
}

TEST(QuickScanImageTest, DeletedFilesOfARealFatVolumeMatchTheSleuthKit) {
    const std::string image = ImagePath();
    const quillory_test::FixtureRun made = quillory_test::RunFixtureScript("make_quickscan_fat.sh", {image});
    ASSERT_TRUE(made.Ok()) << made.Report();

    std::unique_ptr<CVolumeDevice> device(CreateVolumeDevice(image.c_str()));
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->Open(nullptr), 1);
    // The volume record, as the device list fills it: type and label from recognition.
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    std::memset(info, 0, sizeof(*info));
    info->sectorSize = device->GetSectorSize();
    info->totalSectors = device->GetTotalSectors();
    info->fileSystemType = FILE_SYSTEM_UNKNOWN;
    {
        std::unique_ptr<IVolumeAnalyzeController> recognition(CreateVolumeAnalyzeController(device.get(), 0));
        if (IVolumeAnalyze* analyzer = recognition->GetVolumeAnzlyzer()) {
            info->fileSystemType = analyzer->GetFileSystemType();
            analyzer->GetLabel(info->label, sizeof(info->label));
        }
    }
    std::strcpy(info->volumeName, "USBSTICK");
    device->SetPrivateData(CreateVolumeDeviceData(info));
    // An unrecognised volume is a broken recogniser, not a reason to skip.
    ASSERT_EQ(GetVolumeFileSystemType(device.get()), FILE_SYSTEM_FAT16);

    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};
    GetScanControllerFactories().flush = [](IStorageDevice*) {};
    CRecoveryFilter filter;
    filter.SetFilterTypes(FILTER_ALL);
    filter.SetScanType(SCAN_TYPE_QUICK);
    RecordingTree sink;
    FakeProgress progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
    controller->Initialize(&filter);
    const EngineResult result = controller->StartDataRecovery(device.get(), &progress, &sink);
    ResetScanControllerFactories();
    ResetTreeBuilderTiming();
    EXPECT_EQ(result, ENGINE_OK);
    ASSERT_FALSE(progress.records.empty());
    EXPECT_EQ(progress.records.front().state, PROGRESS_STATE_RUNNING);
    EXPECT_EQ(progress.records.back().state, PROGRESS_STATE_FINISHED);
    ASSERT_EQ(sink.roots.size(), 1u);
    EXPECT_STREQ(sink.roots[0]->GetFileName(), "USBSTICK(FAT/FAT32)");

    std::set<std::string> shown;
    for (IFileNode* n : sink.all) {
        if (n->IsDirectory()) continue;
        EXPECT_EQ(n->IsDeleted(), 1) << n->GetFileName();  // a quick scan shows deleted files only
        std::string path = RecordingTree::PathOf(n);
        const std::string root = "/USBSTICK(FAT/FAT32)/";
        ASSERT_EQ(path.rfind(root, 0), 0u) << path;
        shown.insert(Normalised(path.substr(root.size())));
    }
    EXPECT_EQ(shown, FlsDeletedFiles(image));
    controller->Release();
    std::remove(image.c_str());
}

}  // namespace
