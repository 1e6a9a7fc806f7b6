// Recovery over the real engine and real devices (root): a loop disk with an
// NTFS, a FAT32 and an exFAT volume holding files of known bytes that were
// deleted, quick-scanned whole through the controller, everything checked and
// recovered into a folder. Every file must come back byte for byte in the
// numbered folder of its file system. Also a write failure (a file-size limit
// in a child process) that pauses the recovery until it is resumed, and the
// same-device guard over a btrfs mount of a scanned loop disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include "ModelTestSupport.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIRecovery.h"
#include "model/QXUIScan.h"
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

// The bytes the fixture scripts write for a seed (fixture_common.sh).
std::string Pattern(size_t size, int seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    return bytes;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The deleted files of mixed_mbr.img (make_ntfs_multi_images.sh) by the
// numbered folder of their file system and their size: their seed.
std::map<std::pair<std::string, int64_t>, int> DeletedFiles() {
    const std::string fat = QXUIPublic::GetFileSystemStrByType(SEARCHER_FAT) + "0001";
    const std::string exfat = QXUIPublic::GetFileSystemStrByType(SEARCHER_EXFAT) + "0001";
    return {
        {{"0001", 24576}, 152},  // gone3.dat
        {{"0001", 12000}, 154},  // Docs3/lost.bin
        {{"0001", 20000}, 157},  // System Volume Information/{3808876b-...}
        {{"0001", 30000}, 159},  // Old3/old.bin
        {{fat, 30000}, 32},      // GONE.BIN
        {{fat, 14000}, 34},      // SUB1/LOST.DAT
        {{exfat, 20000}, 42},    // exgone.bin
        {{exfat, 11000}, 44},    // exdir/exlost.bin
    };
}

using model_test::SpinUntil;

void CheckAll(QXUIScan& scan) {
    for (IFilesystemNode* root : scan.GetFileSystemNode()) root->SetCheck(CHECKED_ALL);
}

class RecoveryLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        static const bool types = (initFileType(), true);
        (void)types;
        out = dir / "out";
        fs::create_directories(out);
    }
    // The three-volume disk on a loop device. The images are made once per
    // build folder (the script stamps and locks them); each test reads a copy.
    void AttachMixedDisk() {
        const std::string images = std::string(QUILLORY_BINARY_DIR) + "/tests/model/ntfs-multi-images";
        ASSERT_TRUE(Shell(kFixtures + "make_ntfs_multi_images.sh '" + images + "'"));
        ASSERT_TRUE(Shell("cp --sparse=always '" + images + "/mixed_mbr.img' '" + image + "'"));
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p3"));
        enumerator = std::make_unique<CEnumDeviceEx>(OnlyDisk(loop->name()));
    }

    ScratchDir dir;
    std::string image = dir / "disk.img";
    std::string out;
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<CEnumDeviceEx> enumerator;
};

// Every recovered file under `out` is one of the deleted files, byte for
// byte, in its file system's numbered folder; their number.
size_t ExpectRecoveredIntact(const std::string& out) {
    const auto expected = DeletedFiles();
    size_t files = 0;
    std::set<std::pair<std::string, int64_t>> seen;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const std::string rel = fs::relative(entry.path(), out).string();
        const std::string top = rel.substr(0, rel.find('/'));
        const auto size = static_cast<int64_t>(entry.file_size());
        auto it = expected.find({top, size});
        if (it == expected.end()) {
            ADD_FAILURE() << "unexpected file " << rel << " of " << size << " bytes";
            continue;
        }
        EXPECT_TRUE(seen.insert(it->first).second) << rel << " twice";
        EXPECT_TRUE(ReadAll(entry.path().string()) == Pattern(static_cast<size_t>(size), it->second))
            << rel << " differs from what was written";
    }
    return files;
}

// The whole road as the browser takes it: quick scan of the disk, check all,
// totals, DoRecovery with its key, progress to the end.
TEST_F(RecoveryLoop, QuickScanCheckAllRecoverThroughTheController) {
    ASSERT_NO_FATAL_FAILURE(AttachMixedDisk());
    QXUIDeviceData::instance().SetEnumerator(enumerator.get());
    ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    QXUIScan::instance().SetDeepScan(0);
    QXUIController::DoScanWithDiskIndex(0, -1, "", nullptr);
    ASSERT_TRUE(SpinUntil([] { return !QXUIController::IsScanRunning() && !IsScanWorkerAlive(); }, 60000));
    CheckAll(QXUIScan::instance());

    int count = 0;
    uint64_t size = 0;
    QXUIController::GetSelectedFilesAmout(&count, &size);
    ASSERT_EQ(count, static_cast<int>(DeletedFiles().size()));
    EXPECT_EQ(size, 24576u + 12000 + 20000 + 30000 + 30000 + 14000 + 20000 + 11000);
    // The destination is elsewhere: no volume of the scanned disk holds it.
    EXPECT_FALSE(QXUIController::IsRecoveryToSameDevice(QString::fromStdString(out)));

    QObject context;
    int posts = 0;
    NotificationBus::instance()->observe("DoRecovery", &context, [&](const QVariant&) { ++posts; });
    const std::vector<IFileNode*> roots;
    EXPECT_EQ(QXUIController::DoRecovery(nullptr, QString::fromStdString(out), "DoRecovery", nullptr),
              0x0102052400000001ULL);
    EXPECT_EQ(QXUIController::DoRecovery(&roots, QString(), "DoRecovery", nullptr), 0x0102052400000001ULL);
    ASSERT_EQ(QXUIController::DoRecovery(&roots, QString::fromStdString(out), "DoRecovery", nullptr), 0u);
    EXPECT_TRUE(QXUIController::IsRecoveryRunning());
    ASSERT_TRUE(SpinUntil(
        [&] { return posts > 0 && !QXUIController::IsRecoveryRunning() && !QXUIController::IsRecoveryWorkerAlive(); },
        60000));

    uint64_t total = 0, current = 0, error = 0;
    QXUIController::GetRecoveryProgressTotal(&total, &current, &error);
    EXPECT_EQ(total, size);
    EXPECT_EQ(current, size);
    EXPECT_EQ(QXUIController::GetRecoveridedSize(), size);
    EXPECT_EQ(QXUIController::GetRecoveridedFiles(), static_cast<uint64_t>(count));
    EXPECT_EQ(QXUIController::GetRecoveryFailedFiles(), 0u);
    EXPECT_EQ(ExpectRecoveredIntact(out), static_cast<size_t>(count));
    // The poll has ended: no more posts once the recovery is over.
    const int after = posts;
    SpinUntil([] { return false; }, 300);
    EXPECT_EQ(posts, after);

    // A folder on a volume of the scanned disk is refused: the NTFS volume
    // mounted read-only through ntfs-3g (a FUSE block mount, whose st_dev is
    // the partition's own number).
    const std::string mnt = dir / "mnt";
    fs::create_directories(mnt);
    ASSERT_TRUE(Shell("ntfs-3g -o ro '" + loop->path() + "p1' '" + mnt + "'"));
    const bool onDisk = QXUIController::IsRecoveryToSameDevice(QString::fromStdString(mnt));
    Shell("umount '" + mnt + "' || umount -l '" + mnt + "'");
    EXPECT_TRUE(onDisk);

    QXUIController::ReleaseDataRecovery();
    EXPECT_TRUE(QXUIRecovery::instance().CheckWhetherNeedReset());
    QXUIDeviceData::instance().SetEnumerator(nullptr);
}

// A destination that refuses to grow past 16 KiB (the file-size limit, with
// its signal ignored, in a child): the recovery pauses at the file too big
// for it, and once the limit is lifted and the user resumes, that file is
// written whole and the walk goes on.
TEST_F(RecoveryLoop, WriteFailurePausesUntilResumed) {
    ASSERT_NO_FATAL_FAILURE(AttachMixedDisk());
    QXUIDeviceData model(enumerator.get());
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    QXUIScan scan;
    scan.SetDeviceData(&model);
    QXUIRecovery recovery(scan);
    scan.SetDeepScan(0);
    scan.SetStatus(QXOP_RUNNING);
    (void)scan.DoScan(model.GetStorageByDiskVolumeIndex(0, 1), nullptr);  // the FAT32 volume
    ASSERT_EQ(scan.GetScanFileCnt(), 2u);
    CheckAll(scan);
    recovery.SetRecoveryPath((out + "/").c_str());
    recovery.SetRecoveryTotalSize(30000 + 14000);
    std::fflush(nullptr);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes tell the parent which step went wrong.
        struct rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit lifted = limit;
        limit.rlim_cur = 16384;
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        recovery.SetStatus(QXOP_RUNNING);
        std::string tags, raws;
        int flags[3] = {0, 0, 0};
        std::thread worker([&] { recovery.DoRecovery(tags, raws, flags); });
        bool paused = false;
        for (int i = 0; i < 20000 && !paused; ++i) {
            paused = recovery.GetStatus() == QXOP_PAUSED;
            if (!paused) usleep(1000);
        }
        if (!paused) _exit(11);
        IFileNode* node = recovery.GetCurrentRecoveryNode();
        if (node == nullptr || node->GetFileSize() != 30000) _exit(12);
        if (setrlimit(RLIMIT_FSIZE, &lifted) != 0) _exit(13);
        recovery.PauseOrResumeOperation();
        worker.join();
        if (recovery.GetStatus() != QXOP_IDLE) _exit(14);
        if (recovery.GetRecoveryFailedFilesCnt() != 0 || recovery.GetRecoveriedFilesCnt() != 2) _exit(15);
        if (recovery.GetRecoveriedFileSize() != 44000) _exit(16);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ExpectRecoveredIntact(out), 2u);
}

// btrfs reports device numbers that name no block device, so st_dev alone
// says "elsewhere" for a folder on the scanned disk's btrfs mount; the
// mount's source says otherwise. tmpfs, the build folder and a missing path
// are not the scanned disk.
TEST_F(RecoveryLoop, SameDeviceThroughABtrfsMountOfTheScannedDisk) {
    const std::string fsImage = dir / "btrfs.img";
    ASSERT_TRUE(Shell("truncate -s 128M '" + fsImage + "'"));
    LoopDevice btrfs(fsImage, 512, false);
    ASSERT_TRUE(btrfs.ok());
    ASSERT_TRUE(Shell("mkfs.btrfs -q -f '" + btrfs.path() + "'"));
    const std::string mnt = dir / "mnt";
    fs::create_directories(mnt);
    ASSERT_TRUE(Shell("mount -t btrfs '" + btrfs.path() + "' '" + mnt + "'"));
    struct Unmount {
        std::string at;
        ~Unmount() { Shell("umount '" + at + "' || umount -l '" + at + "'"); }
    } unmount{mnt};
    fs::create_directories(mnt + "/Out");

    CEnumDeviceEx btrfsDisks(OnlyDisk(btrfs.name()));
    QXUIDeviceData model(&btrfsDisks);
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    IStorageDevice* disk = model.GetDiskStorageByIndex(0);
    ASSERT_NE(disk, nullptr);
    QXUIScan scan;
    scan.SetDeviceData(&model);
    QXUIRecovery recovery(scan);
    recovery.SetDeviceData(&model);
    scan.SaveScanSorage(disk);

    struct stat folder {};
    ASSERT_EQ(stat((mnt + "/Out").c_str(), &folder), 0);
    EXPECT_NE(major(folder.st_dev), 7u) << "btrfs gave the loop device's own number";
    struct Case {
        std::string path;
        int same;
    } cases[] = {
        {mnt + "/Out", 1}, {mnt, 1}, {QUILLORY_BINARY_DIR, 0}, {"/dev/shm", 0}, {mnt + "/Out/not-there", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(recovery.RecoveryPathIsSameDevice(c.path.c_str()), c.same) << c.path;
    scan.SaveScanSorage(nullptr);
}

}  // namespace
