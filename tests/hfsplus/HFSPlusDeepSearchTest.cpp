// The HFS+ deep search: lost volumes found by their headers, journal blocks
// and catalog nodes on disks whose partition table is there, gone, or seen
// through 4 KiB sectors; and the sector tests on hand-built sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "HfsTestUtil.h"
#include "foundation/Bitmap.h"
#include "foundation/SearchedPartitionInfo.h"
#include "hfsplus/HFSPlusDeepSearch.h"
#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryController.h"
#include "recovery/RecoveryFilter.h"
#include "storage/DeviceWithCache.h"
#include "storage/DiskDevice.h"

using namespace hfstest;

namespace {

constexpr std::int64_t kVolumeStart512 = 409640;
constexpr std::int64_t kVolumeSectors512 = 32768;  // 16 MiB

// The deep-scan disks, made once per build (ctest runs each case in a
// process of its own, several at once: the first one makes them under a lock).
const std::string& DeepImagesDir() {
    static const std::string dir = [] {
        const std::string d = std::string(QUILLORY_BINARY_DIR) + "/tests/hfsplus/deep-images";
        const std::string script = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/make_hfsplus_deep_images.sh";
        RunCommand("mkdir -p '" + d + "' && flock '" + d + ".lock' sh -c '[ -f \"" + d + "/made\" ] || { \"" +
                   script + "\" \"" + d + "\" && touch \"" + d + "/made\"; }' 2>&1");
        return d;
    }();
    return dir;
}

// A loop device over an image, detached when it goes.
class Loop {
public:
    Loop(const std::string& image, unsigned sectorSize) {
        std::string out = RunCommand("losetup -f --show --sector-size " + std::to_string(sectorSize) + " '" + image +
                                     "' 2>/dev/null");
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        if (out.rfind("/dev/loop", 0) == 0) m_path = out;
    }
    ~Loop() {
        if (!m_path.empty()) RunCommand("losetup -d " + m_path + " 2>/dev/null");
    }
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

struct Sink : IDrirectoryTree {
    void ShowNodes(IFileNode** nodes, unsigned count, int) override {
        for (unsigned i = 0; i < count; ++i) shown.push_back(nodes[i]);
    }
    void ShowFilesystemNode(IFilesystemNode* root) override { roots.push_back(root); }
    std::vector<IFileNode*> shown;
    std::vector<IFilesystemNode*> roots;
};

std::string TreePath(IFileNode* n) {
    std::string path = n->GetFileName();
    for (IFileNode* p = n->GetParent(); p && p->GetParent(); p = p->GetParent())
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

// A deep scan of `device` by the disk controller with the HFS+ searcher as
// its only searcher.
struct DeepScan {
    CRecoveryFilter filter;
    Sink sink;
    TestProgress progress;
    IRecoveryController* controller = nullptr;
    ICompleteFileSystemSearchController* searcher = nullptr;  // the controller's
    EngineResult result = 0;

    explicit DeepScan(IStorageDevice* device) {
        GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};
        ScanControllerFactories& f = GetScanControllerFactories();
        f.flush = [] {};
        f.hfsplusDeep = [this] { return searcher = CreateHFSPlusSearcher(); };
        f.exfatDeep = nullptr;
        f.fatDeep = nullptr;
        f.rawDeep = nullptr;
        f.ntfsDeep = nullptr;
        f.apfsDeep = nullptr;
        filter.SetFilterTypes(FILTER_ALL);
        filter.SetScanType(SCAN_TYPE_DEEP);
        controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
        controller->Initialize(&filter);
        result = controller->StartDataRecovery(device, &progress, &sink);
        ResetScanControllerFactories();
        ResetTreeBuilderTiming();
    }
    ~DeepScan() { controller->Release(); }

    // The searcher's partition records (owned by the caller).
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> Partitions() const {
        std::vector<std::unique_ptr<CSearchedPartitionInfo>> out;
        if (!searcher) return out;
        const int n = searcher->GetSearchedPartitionInfo(nullptr, 0);
        std::vector<CSearchedPartitionInfo*> raw(static_cast<std::size_t>(n), nullptr);
        const int got = searcher->GetSearchedPartitionInfo(raw.data(), n);
        for (int i = 0; i < got; ++i) out.emplace_back(raw[i]);
        return out;
    }

    // Files by tree path. A deep scan may list older versions of a file too
    // (catalog nodes left in the journal).
    std::multimap<std::string, IFileNode*> Files() const {
        std::multimap<std::string, IFileNode*> files;
        for (IFileNode* n : sink.shown)
            if (!n->IsDirectory()) files.emplace(TreePath(n), n);
        return files;
    }
};

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::vector<std::uint8_t> data;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return data;
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return data;
}

// Every file of the journaled volume, live and deleted, listed and
// recovered byte-exact; the volume reported at its true start and size.
void ExpectWholeVolume(IStorageDevice* device, std::int64_t start, std::int64_t sectors) {
    DeepScan scan(device);
    ASSERT_EQ(scan.result, ENGINE_OK);

    IDataRecovery* writer = scan.controller->GetDataRecovery(SEARCHER_HFSPLUS);
    ASSERT_NE(writer, nullptr);

    // The volume's record: at its true start, of its true size, with the
    // files attributed to it.
    bool found = false;
    for (const auto& p : scan.Partitions()) {
        if (p->GetStartSector() != start) continue;
        found = true;
        EXPECT_EQ(p->GetTotalSectors(), static_cast<std::uint64_t>(sectors));
        EXPECT_EQ(p->GetCluster0Sector(), start);
        EXPECT_EQ(p->GetFileSystemType(), static_cast<std::uint32_t>(FILE_SYSTEM_HFSPLUS));
        EXPECT_EQ(p->GetSectorsPerCluster() * device->GetSectorSize(), 4096u);
    }
    EXPECT_TRUE(found) << "no volume at sector " << start;

    const std::multimap<std::string, IFileNode*> files = scan.Files();
    const std::string dest = ScratchDir() + "/deep-out";
    RunCommand("rm -rf '" + dest + "' && mkdir -p '" + dest + "'");
    int n = 0;
    for (const TruthRow& row : ReadTruth("hfsplus_journal")) {
        // Names on disk are decomposed; the table spells this one composed.
        const std::string path = row.path.find("sum") == std::string::npos
                                     ? row.path
                                     : "keep/Re\xCC\x81sume\xCC\x81 \xE2\x80\x93 long name u\xCC\x88ni\xCC\x88"
                                       "code.txt";
        IFileNode* node = nullptr;
        auto range = files.equal_range(path);
        for (auto it = range.first; it != range.second; ++it)
            if (static_cast<std::uint64_t>(it->second->GetFileSize()) == row.size) node = it->second;
        if (!node) {
            ADD_FAILURE() << "not listed with its size: " << row.path;
            continue;
        }
        IFileReader* clone = writer->SetRecoverNode(node);
        ASSERT_NE(clone, nullptr) << row.path;
        clone->Release();
        const std::string out = dest + "/" + std::to_string(n++);
        ASSERT_EQ(writer->RecoverTo(out.c_str(), nullptr, 0), ENGINE_OK) << row.path;
        EXPECT_EQ(Sha256Of(ReadFile(out)), row.sha256) << row.path;
    }
    writer->Release();
}

}  // namespace

TEST(HFSPlusDeepSearch, LostVolumeOnGptDiskFoundAtItsStartAndRecovered) {
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice((DeepImagesDir() + "/gpt.img").c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    ExpectWholeVolume(disk.get(), kVolumeStart512, kVolumeSectors512);
}

TEST(HFSPlusDeepSearch, LostVolumeWithoutPartitionTableFoundAtItsStart) {
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice((DeepImagesDir() + "/nogpt.img").c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    ExpectWholeVolume(disk.get(), kVolumeStart512, kVolumeSectors512);
}

// The same disk through 4 KiB sectors: the header lies in the third 512-byte
// slice of the volume's first sector, not two sectors in.
TEST(HFSPlusDeepSearch, LostVolumeOn4KSectorDeviceFoundAtItsStart) {
    Loop loop(DeepImagesDir() + "/gpt.img", 4096);
    ASSERT_FALSE(loop.Path().empty()) << "no loop device";
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice(loop.Path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    ASSERT_EQ(disk->GetSectorSize(), 4096u);
    ExpectWholeVolume(disk.get(), kVolumeStart512 / 8, kVolumeSectors512 / 8);
}
