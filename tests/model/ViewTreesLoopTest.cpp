// The outlines of a real quick scan (root, loop devices): a FAT volume with
// deleted files and a folder deleted whole, scanned through the controller
// as the windows start it. The path outline must hold the folders of the
// found files as quillory-scan paths them, and a search for part of a name
// must list exactly the matching files.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "ModelTestSupport.h"
#include "model/OpNodeData.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/TreeStore.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/SkipOutsideCi.h"

namespace {

using namespace devlist_test;

const std::string kScanTool = std::string(QUILLORY_BINARY_DIR) + "/cli/quillory-scan";

// The paths quillory-scan lists for the device.
std::set<std::string> ToolPaths(const std::string& device) {
    bool ok = false;
    std::istringstream out(Capture("'" + kScanTool + "' --quick '" + device + "'", &ok));
    EXPECT_TRUE(ok) << device;
    std::set<std::string> paths;
    std::string line;
    while (std::getline(out, line)) {
        const size_t tab = line.find('\t', line.find('\t') + 1);
        if (tab != std::string::npos) paths.insert(line.substr(tab + 1));
    }
    return paths;
}

// The path of every file listed under every row of the path outline, and
// the path of each row that lists files.
void ListPathOutline(std::set<std::string>& files, std::set<std::string>& folders) {
    std::vector<OpNodeData*> pending;
    {
        std::lock_guard lock(g_lockerAddData);
        pending = QXUIController::QXTreeStore().Roots(kRootsPath);
    }
    while (!pending.empty()) {
        OpNodeData* row = pending.back();
        pending.pop_back();
        std::vector<IFileNode*> listed;
        QXUIController::GetFileNodeToArray(listed, row);
        std::lock_guard lock(g_lockerAddData);
        for (IFileNode* file : listed) files.insert(QXUIPublic::GetPathByFileNode(file));
        if (!listed.empty()) folders.insert(row->path());
        for (const OpChild& child : row->children())
            if (child.obj != nullptr) pending.push_back(child.obj);
    }
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The paths below the volume: the tool names a volume by its partition and
// file system, the model by its label.
std::set<std::string> Below(const std::set<std::string>& paths, const std::string& volume) {
    std::set<std::string> below;
    for (const std::string& path : paths)
        below.insert(path.compare(0, volume.size(), volume) == 0 ? path.substr(volume.size()) : "?" + path);
    return below;
}

std::string VolumeOf(const std::set<std::string>& folders) {
    std::string shortest;
    for (const std::string& f : folders)
        if (shortest.empty() || f.size() < shortest.size()) shortest = f;
    return shortest;
}

using model_test::SpinUntil;

TEST(ViewTreesLoop, PathOutlineAndSearchOfAQuickScannedFatVolume) {
    if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
    static const bool types = (initFileType(), true);
    (void)types;
    ScratchDir dir;
    const std::string image = dir / "dated.img";
    ASSERT_TRUE(Shell(std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/make_dated_fat_disk.sh '" + image + "'"));
    LoopDevice loop(image);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(Shell("test -b " + loop.path() + "p1"));
    const std::set<std::string> expected = ToolPaths(loop.path() + "p1");
    ASSERT_EQ(expected.size(), 10u);

    CEnumDeviceEx enumerator(OnlyDisk(loop.name()));
    QXUIDeviceData::instance().SetEnumerator(&enumerator);
    ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    std::list<_DiskVolumeData> records;
    QXUIDeviceData::instance().GetAllDeviceInfo(records);
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records.front().volumes.size(), 1u);
    const DiskVolumeNodeData volume(records.front().volumes.front());
    QXUIController::InstallViewTrees();  // another test may have taken the scan's updates
    QXUIController::SetViewType(0);
    QXUIController::DoScanWithData(&volume, "", nullptr);
    ASSERT_TRUE(SpinUntil([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 60000));
    QCoreApplication::processEvents();

    // The path outline as the scan built it: each found file listed under
    // its own folder's row, the deleted folder included.
    std::set<std::string> files, folders, expectedFolders;
    ListPathOutline(files, folders);
    for (const std::string& path : expected) expectedFolders.insert(Folder(path));
    ASSERT_EQ(expectedFolders.size(), 3u);  // the volume, Work and the deleted Old
    const std::string toolVolume = VolumeOf(expectedFolders);
    const std::string volumeRow = VolumeOf(folders);
    EXPECT_EQ(Below(files, volumeRow), Below(expected, toolVolume));
    EXPECT_EQ(Below(folders, volumeRow), Below(expectedFolders, toolVolume));

    // A search for part of a name: only the matching file is listed, under
    // its folder, in the path and the modification-date outlines.
    int finished = 0;
    QObject context;
    NotificationBus::instance()->observe("DoSearchFinished", &context, [&](const QVariant&) { ++finished; });
    ASSERT_TRUE(QXUIController::DoSearchWithString("ACK.z", nullptr, "DoSearchValue"));
    ASSERT_TRUE(SpinUntil([&] { return finished == 1; }, 30000));
    files.clear();
    folders.clear();
    ListPathOutline(files, folders);
    EXPECT_EQ(Below(files, volumeRow), std::set<std::string>{"/Work/#ack.zip"});
    EXPECT_EQ(Below(folders, volumeRow), std::set<std::string>{"/Work"});
    std::vector<IFileNode*> results;
    QXUIController::GetSearchResultToArr(results);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(QXUIPublic::GetPathByFileNode(results[0]), *files.begin());
    {
        std::lock_guard lock(g_lockerAddData);
        const auto& roots = QXUIController::QXTreeStore().Roots(kRootsModify);
        ASSERT_EQ(roots.size(), 1u);
        ASSERT_EQ(roots[0]->children().size(), 1u);
        const OpNodeData* year = roots[0]->children()[0].obj;
        EXPECT_EQ(year->name(), "2022");
        ASSERT_EQ(year->children().size(), 1u);
        EXPECT_EQ(year->children()[0].obj->name(), "02");
        EXPECT_EQ(year->children()[0].obj->children().size(), 1u);
    }

    // An empty key shows every file again.
    ASSERT_TRUE(QXUIController::DoSearchWithString("", nullptr, "DoSearchValue"));
    ASSERT_TRUE(SpinUntil([&] { return finished == 2; }, 30000));
    files.clear();
    folders.clear();
    ListPathOutline(files, folders);
    EXPECT_EQ(Below(files, volumeRow), Below(expected, toolVolume));
    QXUIDeviceData::instance().SetEnumerator(nullptr);
}

}  // namespace
