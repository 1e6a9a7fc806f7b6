// Roads that cross the outlines, the previews and the recovery, over a real
// quick scan of a FAT loop disk (root): checking one extension folder of the
// type outline checks exactly its files in the engine and the recovery then
// writes exactly those, byte for byte; previews of pictures taken on another
// thread while the same scan's files are recovered change no recovered byte.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "ModelTestSupport.h"
#include "model/OpNodeData.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIRecovery.h"
#include "model/QXUIScan.h"
#include "model/TreeStore.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/QXUIController.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/SkipOutsideCi.h"

using namespace devlist_test;
namespace fs = std::filesystem;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";

QByteArray Sha256(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

// The SHA-256 of every regular file below `folder`, by file name (the
// fixtures never repeat a name).
std::map<std::string, QByteArray> HashesByName(const std::string& folder) {
    std::map<std::string, QByteArray> hashes;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) {
            EXPECT_TRUE(hashes.emplace(entry.path().filename().string(), Sha256(entry.path().string())).second)
                << entry.path() << " twice";
        }
    return hashes;
}

using model_test::SpinUntil;

// A deleted FAT entry has lost the first byte of its short name; the
// engine shows "#" in its place.
std::string DeletedName(const std::string& name) { return "#" + name.substr(1); }

// Every file node the scan found.
std::vector<IFileNode*> FoundFiles() {
    std::vector<IFileNode*> files;
    for (const auto& [type, found] : QXUIScan::instance().GetTypeMap())
        files.insert(files.end(), found.begin(), found.end());
    return files;
}

// A loop disk made by a fixture script, quick-scanned whole through the
// controller as the browser starts it, its outlines built.
class RoadsLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        static const bool types = (initFileType(), true);
        (void)types;
        fs::create_directories(out);
    }
    void TearDown() override {
        if (!scanned) return;
        QXUIController::StopScan(1);
        SpinUntil([] { return !IsScanWorkerAlive(); }, 30000);
        QXUIController::ReleaseDataRecovery();
        QXUIScan::instance().ReleaseDataRecovery();
        QXUIDeviceData::instance().SetEnumerator(nullptr);
    }
    void ScanImage(const std::string& script, const std::string& extra) {
        ASSERT_TRUE(Shell(kFixtures + script + " '" + image + "' " + extra));
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p1"));
        enumerator = std::make_unique<CEnumDeviceEx>(OnlyDisk(loop->name()));
        QXUIDeviceData::instance().SetEnumerator(enumerator.get());
        scanned = true;
        ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
        std::list<_DiskVolumeData> records;
        QXUIDeviceData::instance().GetAllDeviceInfo(records);
        ASSERT_EQ(records.size(), 1u);
        ASSERT_FALSE(records.front().volumes.empty());
        const DiskVolumeNodeData volume(records.front().volumes.front());
        QXUIController::InstallViewTrees();  // another test may have taken the scan's updates
        QXUIController::SetViewType(0);
        QXUIController::DoScanWithData(&volume, "", nullptr);
        ASSERT_TRUE(SpinUntil([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 60000));
        QCoreApplication::processEvents();
        QXUIController::UnselectedAllNodes();
    }
    // Recovers what is checked into `folder` through the controller, to its end.
    void Recover(const std::string& folder) {
        const std::vector<IFileNode*> roots;
        ASSERT_EQ(QXUIController::DoRecovery(&roots, QString::fromStdString(folder), "DoRecovery", nullptr), 0u);
        ASSERT_TRUE(SpinUntil(
            [] { return !QXUIController::IsRecoveryRunning() && !QXUIController::IsRecoveryWorkerAlive(); }, 60000));
        EXPECT_EQ(QXUIController::GetRecoveryFailedFiles(), 0u);
    }

    ScratchDir dir;
    std::string image = dir / "disk.img";
    std::string originals = dir / "originals";
    std::string out = dir / "out";
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<CEnumDeviceEx> enumerator;
    bool scanned = false;
};

// The browser's check box on the ".txt" folder of the type outline: the
// deleted text file is checked in the engine and nothing else is (the other
// text file is not deleted, so the quick scan does not list it); the
// recovery writes that file and only that one, as it was written.
TEST_F(RoadsLoop, CheckedExtensionFolderIsExactlyWhatIsRecovered) {
    ASSERT_NO_FATAL_FAILURE(ScanImage("make_dated_fat_disk.sh", "'" + originals + "'"));
    std::set<IFileNode*> listed;
    {
        std::lock_guard lock(g_lockerAddData);
        OpNodeData* folder = QXTypeMgr::share().folderOf("txt");
        ASSERT_NE(folder, nullptr);
        for (const OpChild& child : folder->children())
            if (child.file != nullptr) listed.insert(child.file);
        folder->setNodeState(CHECKED_ALL);
    }
    QXUIController::QXTableViewCellCilck();
    QXUIController::RefreshTypeTreeState(nullptr);

    std::set<std::string> names;
    for (IFileNode* node : listed) names.insert(OpNodeData::fileNodeName(node));
    EXPECT_EQ(names, std::set<std::string>{DeletedName("notes.txt")});
    std::set<IFileNode*> checked;
    ASSERT_EQ(FoundFiles().size(), 10u);  // the nine deleted files and the one in the deleted folder
    for (IFileNode* node : FoundFiles())
        if (OpNodeData::fileNodeState(node) != CHECKED_NONE) checked.insert(node);
    EXPECT_EQ(checked, listed);
    int count = 0;
    uint64_t size = 0;
    QXUIController::GetSelectedFilesAmout(&count, &size);
    EXPECT_EQ(count, 1);

    ASSERT_NO_FATAL_FAILURE(Recover(out));
    EXPECT_EQ(QXUIController::GetRecoveridedFiles(), 1u);
    EXPECT_EQ(QXUIController::GetRecoveridedSize(), size);
    const auto recovered = HashesByName(out);
    const std::map<std::string, QByteArray> expected{{DeletedName("notes.txt"), Sha256(originals + "/notes.txt")}};
    EXPECT_EQ(recovered, expected);
}

// Previews of the deleted pictures looped on another thread, on the
// previews' own writers, while everything the scan found is recovered
// again and again: every recovered file keeps the bytes it was written with.
TEST_F(RoadsLoop, PreviewsDuringARecoveryLeaveTheRecoveredFilesIntact) {
    const std::string samples = dir / "samples";
    ASSERT_TRUE(Shell(kFixtures + "make_thumb_samples.sh '" + samples + "'"));
    ASSERT_NO_FATAL_FAILURE(ScanImage("make_thumbs_disk.sh", "'" + samples + "'"));
    std::vector<IFileNode*> pictures;
    for (IFileNode* node : FoundFiles()) {
        const std::string ext = QXUIScan::GetNodeExt(node);
        if (ext == "png" || ext == "jpg" || ext == "dng") pictures.push_back(node);
    }
    ASSERT_EQ(pictures.size(), 3u);
    for (IFilesystemNode* root : QXUIScan::instance().GetFileSystemNode()) root->SetCheck(CHECKED_ALL);

    // Previews that began and ended while a recovery was running.
    std::atomic<bool> stop{false};
    std::atomic<int> previews{0}, blank{0}, during{0};
    std::thread previewer([&] {
        while (!stop) {
            for (IFileNode* node : pictures) {
                const bool before = QXUIController::IsRecoveryWorkerAlive();
                if (QXUIController::GetNSImageByFildNode(node).isNull()) ++blank;
                if (before && QXUIController::IsRecoveryWorkerAlive()) ++during;
                ++previews;
            }
        }
    });
    struct Join {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Join() {
            stop = true;
            thread.join();
        }
    } join{stop, previewer};
    // Rounds go on until some previews have met a recovery in flight (the
    // files are small, so one round may slip between two previews).
    int rounds = 0;
    while (rounds < 4 || (during < 3 && rounds < 40)) {
        ASSERT_NO_FATAL_FAILURE(Recover(out + "/" + std::to_string(rounds)));
        ++rounds;
    }
    EXPECT_GE(during.load(), 3);
    EXPECT_EQ(blank.load(), 0);

    // The deleted files, which are what the quick scan lists.
    std::map<std::string, QByteArray> expected;
    for (const std::string name : {"x.png", "x.jpg", "camera.dng", "clip.mp4"})
        expected[DeletedName(name)] = Sha256(samples + "/" + name);
    for (int round = 0; round < rounds; ++round)
        EXPECT_EQ(HashesByName(out + "/" + std::to_string(round)), expected) << "round " << round;
}

// The outlines' rows: a virtual folder and a missing row have no image; a
// row over a found file gives that file's preview.
TEST_F(RoadsLoop, RowImagesForwardToTheirFileNode) {
    const std::string samples = dir / "samples";
    ASSERT_TRUE(Shell(kFixtures + "make_thumb_samples.sh '" + samples + "'"));
    ASSERT_NO_FATAL_FAILURE(ScanImage("make_thumbs_disk.sh", "'" + samples + "'"));
    EXPECT_TRUE(QXUIController::GetNSImageByNode(nullptr).isNull());
    OpNodeData fade(static_cast<IFileNode*>(nullptr));
    fade.setType(kOpTreeType);
    fade.setFadeName("Pictures");
    ASSERT_TRUE(fade.isFadeNode());
    EXPECT_TRUE(QXUIController::GetNSImageByNode(&fade).isNull());
    int seen = 0;
    for (IFileNode* node : FoundFiles())
        if (QXUIScan::GetNodeExt(node) == "png") {
            OpNodeData row(node);
            EXPECT_EQ(QXUIController::GetNSImageByNode(&row).size(), QSize(320, 240));
            ++seen;
        }
    EXPECT_EQ(seen, 1);
}

}  // namespace
