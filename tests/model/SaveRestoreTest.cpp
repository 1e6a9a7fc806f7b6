// Saving and restoring scan results through the scan bridge: the progress
// records, failures that must never read as saved, and (as root) real loop
// volumes scanned, saved, restored and recovered.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>

#include "foundation/SearchedPartitionInfo.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/SaveRestoreResult.h"
#include "model/qt/QXTypeMgr.h"
#include "recovery/DataRecovery.h"
#include "recovery/FileReader.h"
#include "recovery/FilesystemNode.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/SkipOutsideCi.h"
#include "support/TempDir.h"
#include "SaveRestoreTestSupport.h"

using namespace devlist_test;
using namespace scanresult;
using namespace save_restore_test;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";

// Keeps every record it is sent.
class RecordingProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        std::lock_guard lock(m_lock);
        records.push_back({info->state, info->total, info->current, info->error});
    }
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
    struct Record {
        std::uint32_t state;
        std::int64_t total, current, error;
        bool operator==(const Record&) const = default;
    };
    std::vector<Record> Records() {
        std::lock_guard lock(m_lock);
        return records;
    }

private:
    std::mutex m_lock;
    std::vector<Record> records;
};

class PlainNode : public CFileNode {
public:
    PlainNode(std::int64_t id, std::int64_t parent, bool dir) : m_dir(dir) {
        m_nodeId = id;
        m_parentNodeId = parent;
    }
    const char* GetFileName() override { return "a-file-name-of-some-length.txt"; }
    std::int64_t GetFileSize() override { return 4096; }
    std::uint32_t GetAttribute() override { return 0; }
    std::int64_t GetCreationTime() override { return 1; }
    std::int64_t GetModificationTime() override { return 2; }
    std::int64_t GetLastAccessTime() override { return 3; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return 1; }
    IFileNode* Clone() override { return nullptr; }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}

private:
    bool m_dir;
};

}  // namespace

TEST(SaveRestore, NullArgumentsStartNothing) {
    RecordingProgress progress;
    EXPECT_EQ(DoSaveScanResult(nullptr, &progress), -1);
    EXPECT_EQ(DoSaveScanResult("/tmp/x.Quillory", nullptr), -1);
    EXPECT_EQ(DoRestoreScanResult(nullptr, &progress, nullptr), -1);
    EXPECT_EQ(DoRestoreScanResult("/tmp/x.Quillory", nullptr, nullptr), -1);
    EXPECT_TRUE(progress.Records().empty());
}

// Begins at 5 of 100, at most one step per 100 ms of a monotonic clock,
// never past 98 while steps run, and ends at 100 of 100 with the code.
TEST(SaveRestore, ProgressStepsAreThrottledAndBounded) {
    using Clock = std::chrono::steady_clock;
    // Far from the clock's origin: a difference, never a wrap, decides.
    Clock::time_point now = Clock::time_point{} + std::chrono::hours(24 * 60);
    SaveRestoreResult::SetStepClock([&now] { return now; });
    RecordingProgress progress;
    SaveRestoreResult::IncProgress(&progress, false, true);
    SaveRestoreResult::IncProgress(&progress, false, false);  // first step: sent
    now += std::chrono::milliseconds(99);
    SaveRestoreResult::IncProgress(&progress, false, false);  // too soon
    now += std::chrono::milliseconds(1);
    SaveRestoreResult::IncProgress(&progress, false, false);
    for (int i = 0; i < 200; ++i) {
        now += std::chrono::milliseconds(100);
        SaveRestoreResult::IncProgress(&progress, false, false);
    }
    SaveRestoreResult::IncProgress(&progress, true, false);
    SaveRestoreResult::SetStepClock(nullptr);

    const auto records = progress.Records();
    ASSERT_EQ(records.size(), 1u + 2u + 200u + 1u);
    EXPECT_EQ(records[0], (RecordingProgress::Record{2, 100, 5, 0}));
    EXPECT_EQ(records[1].current, 6);
    EXPECT_EQ(records[2].current, 7);
    for (std::size_t i = 1; i + 1 < records.size(); ++i) {
        EXPECT_EQ(records[i].state, 2u);
        EXPECT_LE(records[i].current, 98);
    }
    EXPECT_EQ(records[records.size() - 2].current, 98);
    EXPECT_EQ(records.back(), (RecordingProgress::Record{3, 100, 100, 0}));
}

TEST(SaveRestore, UnwritableFileEndsWithCode2Twice) {
    RecordingProgress progress;
    ASSERT_EQ(DoSaveScanResult("/nonexistent-folder/result.Quillory", &progress), 0);
    ASSERT_TRUE(SaveRestoreResult::Join(std::chrono::seconds(30)));
    const auto records = progress.Records();
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(records[records.size() - 2], (RecordingProgress::Record{3, 100, 100, 2}));
    EXPECT_EQ(records.back(), (RecordingProgress::Record{3, 100, 100, 2}));
}

TEST(SaveRestore, RestoreOfAMissingOrDamagedFileEndsWithItsCode) {
    quillory_test::TempDir dir("restore-bad");
    const std::string junk = dir.File("junk.Quillory");
    quillory_test::WriteAll(junk, std::vector<std::uint8_t>(500, 'j'));
    const struct {
        std::string path;
        std::int64_t code;
    } rows[] = {
        {dir.File("missing.Quillory"), kResultNotOpened}, {dir.Path(), kResultNotOpened}, {junk, kResultBadHeader}};
    for (const auto& row : rows) {
        RecordingProgress progress;
        ASSERT_EQ(DoRestoreScanResult(row.path.c_str(), &progress, nullptr), 0);
        ASSERT_TRUE(SaveRestoreResult::Join(std::chrono::seconds(30)));
        const auto records = progress.Records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back(), (RecordingProgress::Record{3, 100, 100, row.code})) << row.path;
    }
}

// A save that fails midway (the file-size limit of the process) reports
// failure and leaves no partial file.
TEST(SaveRestore, SaveCutShortByTheFileSizeLimitFailsAndLeavesNoFile) {
    quillory_test::TempDir dir("save-fsize");
    const std::string path = dir.File("cut.Quillory");
    CFilesystemNode root("root", "vol", SEARCHER_FAT, 2);
    std::vector<std::unique_ptr<PlainNode>> nodes;
    for (int i = 0; i < 30000; ++i) {
        nodes.push_back(std::make_unique<PlainNode>(10 + i, 2, false));
        root.AddChild(nodes.back().get());
    }
    CSearchedPartitionInfo partition;
    VolumeToSave volume{&root, SEARCHER_FAT, "vol", {&partition}};
    StoredHead head;

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(WriteScanResult(path.c_str(), head, {volume}, {}));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kResultNotOpened);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    // Unlimited, the same result is written whole and reads back.
    EXPECT_EQ(WriteScanResult(path.c_str(), head, {volume}, {}), kResultOk);
    EXPECT_GT(quillory_test::ReadAll(path).size(), 30000u * 100u);
    for (auto& n : nodes) root.RemoveChild(n.get());
}

namespace {

class SaveRestoreLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        static const bool types = (initFileType(), true);
        (void)types;
    }
    void TearDown() override { QXUIDeviceData::instance().SetEnumerator(nullptr); }
    void Attach(const std::string& image) {
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p1"));
        enumerator = std::make_unique<CEnumDeviceEx>(OnlyDisk(loop->name()));
        QXUIDeviceData::instance().SetEnumerator(enumerator.get());
        ASSERT_EQ(QXUIDeviceData::instance().InitDeviceInfo(), 1);
    }
    void Scan(IStorageDevice* device, int deep = 0) {
        QXUIScan& scan = QXUIScan::instance();
        scan.SetDeepScan(deep);
        scan.SetStatus(QXOP_RUNNING);
        scan.DoScan(device, nullptr);
        ASSERT_EQ(scan.GetStatus(), QXOP_IDLE);
    }
    static std::int64_t Save(const std::string& path) {
        QXSaveAndRestoreNodeOperate& sink = QXSaveAndRestoreNodeOperate::instance();
        sink.SetStatus(QXOP_RUNNING);
        EXPECT_EQ(DoSaveScanResult(path.c_str(), &sink), 0);
        EXPECT_TRUE(SaveRestoreResult::Join(std::chrono::seconds(60)));
        EXPECT_EQ(sink.GetStatus(), QXOP_IDLE);
        const _PROGRESS_INFO end = sink.GetProgressInfo();
        EXPECT_EQ(end.state, PROGRESS_STATE_FINISHED);
        return end.error;
    }
    static std::int64_t Restore(const std::string& path, const char* qvx = nullptr) {
        QXUIScan& scan = QXUIScan::instance();
        scan.SetStatus(QXOP_RUNNING);
        EXPECT_EQ(DoRestoreScanResult(path.c_str(), &scan, qvx), 0);
        EXPECT_TRUE(SaveRestoreResult::Join(std::chrono::seconds(60)));
        EXPECT_EQ(scan.GetStatus(), QXOP_IDLE);
        return scan.GetProgressInfo().error;
    }
    // Scan, save (twice: the same bytes), restore in the same process after a
    // refill of the device list: the same result, and the same bytes
    // recovered from it.
    void RoundTrip(IStorageDevice* device, const std::string& what, int deep = 0, const char* qvx = nullptr) {
        SCOPED_TRACE(what);
        QXUIScan& scan = QXUIScan::instance();
        Scan(device, deep);
        const auto before = Snapshot(scan);
        ASSERT_GT(before.size(), 1u);
        const auto recoveredBefore = Recover(scan, dir.Path());
        ASSERT_FALSE(recoveredBefore.empty());
        const std::string file = dir / (what + ".Quillory");
        const std::string again = dir / (what + "-again.Quillory");
        ASSERT_EQ(Save(file), 0);
        ASSERT_EQ(Save(again), 0);
        EXPECT_EQ(quillory_test::ReadAll(file), quillory_test::ReadAll(again));

        QXUIDeviceData::instance().InitDeviceInfo();
        ASSERT_EQ(Restore(file, qvx), 0);
        EXPECT_EQ(scan.IsDeepScan(), deep);
        EXPECT_EQ(Snapshot(scan), before);
        EXPECT_EQ(Recover(scan, dir.Path()), recoveredBefore);
        // Saved again: the same records, once each volume's nodes are in
        // node-ID order.
        const std::string resaved = dir / (what + "-resaved.Quillory");
        ASSERT_EQ(Save(resaved), 0);
        EXPECT_EQ(CanonicalRecords(resaved), CanonicalRecords(file));
    }

    ScratchDir dir;
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<CEnumDeviceEx> enumerator;
};

}  // namespace

// Needs no loop device: a QVX image of the FAT disk, opened again from the
// stored record and the image's path, as the result window does.
TEST_F(SaveRestoreLoop, DeepResultOfAQvxImageRestoresAgainstTheReopenedImage) {
    const std::string image = dir / "model-disk.img";
    const std::string qvx = dir / "model-disk.qvx";
    ASSERT_TRUE(Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
    ASSERT_TRUE(Shell("/usr/bin/python3 " + kFixtures + "make_qvx.py '" + image + "' '" + qvx + "'"));
    const std::vector<std::uint8_t> bytes = quillory_test::ReadAll(qvx);
    ASSERT_GT(bytes.size(), 1200u);
    IStorageDevice* device = QXUIDeviceData::instance().GetStorageByQvxInfo(bytes.data() + 8, 1192, qvx.c_str());
    ASSERT_NE(device, nullptr);
    RoundTrip(device, "qvx-deep", 1, qvx.c_str());
    QXUIScan::instance().SetDeepScan(0);
}

TEST_F(SaveRestoreLoop, FatVolumesAndTheWholeDiskRoundTrip) {
    const std::string image = dir / "model-disk.img";
    ASSERT_TRUE(Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
    Attach(image);
    QXUIDeviceData& devices = QXUIDeviceData::instance();
    RoundTrip(devices.GetStorageByDiskVolumeIndex(0, 0), "fat-volume-1");
    RoundTrip(devices.GetStorageByDiskVolumeIndex(0, 1), "fat-volume-2");
    RoundTrip(devices.GetDiskStorageByIndex(0), "fat-disk");
}

TEST_F(SaveRestoreLoop, NtfsVolumeRoundTrips) {
    ASSERT_TRUE(Shell(kFixtures + "make_ntfs_multi_images.sh '" + dir.path() + "'"));
    Attach(dir / "two.img");
    RoundTrip(QXUIDeviceData::instance().GetStorageByDiskVolumeIndex(0, 1), "ntfs-volume-2");
}
