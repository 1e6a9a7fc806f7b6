// The HFS+ deep search: lost volumes found by their headers, journal blocks
// and catalog nodes on disks whose partition table is there, gone, or seen
// through 4 KiB sectors; and the sector tests on hand-built sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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
#include "storage/DeviceData.h"
#include "storage/DiskDevice.h"
#include "storage/VolumeDevice.h"
#include "support/Fixture.h"

using namespace hfstest;

namespace {

constexpr std::int64_t kVolumeStart512 = 409640;
constexpr std::int64_t kVolumeSectors512 = 32768;  // 16 MiB

// The deep-scan disks, made once per build (ctest runs each case in a
// process of its own, several at once: the first one makes them under a lock).
const std::string& DeepImagesDir() {
    static const std::string dir = [] {
        // The script makes them once per folder, under a lock of its own.
        return quillory_test::MakeFixtures("make_hfsplus_deep_images.sh",
                                           std::string(QUILLORY_BINARY_DIR) + "/tests/hfsplus/deep-images");
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
        f.flush = [](IStorageDevice*) {};
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

// The deep controller's road for one searcher: the device behind the
// read-ahead cache, fed block by block.
void DriveSearcher(CHFSPlusCompleteFileSystemSearchController& searcher, IStorageDevice* device,
                   IDirecotryTreeBuilder& builder, TBitmap& bitmap, bool active) {
    CStorageDeviceWithCache cache(device);
    const int block = DeepScanBlockSectors(device->GetSectorSize());
    cache.SetBlockSize(static_cast<unsigned>(block));
    cache.BeginCache();
    TestProgress progress;
    searcher.SetIProgressSink(&progress);
    if (active) searcher.SetActivePartition(true);
    searcher.SetDevice(&cache);
    searcher.SetBlockSize(block);
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.SetBitmap(&bitmap);
    searcher.PreparetoSearch();
    const std::int64_t total = cache.GetTotalSectors();
    for (std::int64_t index = 0; index * block < total; ++index) {
        cache.SetCurCacheBlock(index);
        searcher.AnalyzeBlock(index * block, std::min<std::int64_t>(block, total - index * block));
    }
    cache.EndCache();
    searcher.EndSearch(1);
}

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
        // Names on disk are decomposed; nodes and the table spell them composed.
        const std::string& path = row.path;
        IFileNode* node = nullptr;
        auto range = files.equal_range(path);
        for (auto it = range.first; it != range.second; ++it)
            if (static_cast<std::uint64_t>(it->second->GetFileSize()) == row.size) node = it->second;
        if (!node) {
            ADD_FAILURE() << "not listed with its size: " << row.path;
            continue;
        }
        EXPECT_EQ(node->IsDeleted() != 0, row.deleted) << row.path;
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

// The same disks with the volume's primary header (its sector 2) zeroed: the
// alternate header at the volume's end and the copies in its journal place
// and open it, and the journal's stale catalog copies never stand for the
// live files.
TEST(HFSPlusDeepSearch, VolumeWithoutPrimaryHeaderOpenedFromItsCopies) {
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice((DeepImagesDir() + "/lost-gpt-sector2.img").c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    ExpectWholeVolume(disk.get(), kVolumeStart512, kVolumeSectors512);

    Loop loop(DeepImagesDir() + "/lost-gpt-sector2.img", 4096);
    ASSERT_FALSE(loop.Path().empty()) << "no loop device";
    std::unique_ptr<CDiskDevice> wide(CreateDiskDevice(loop.Path().c_str()));
    ASSERT_EQ(wide->Open(nullptr), 1);
    ExpectWholeVolume(wide.get(), kVolumeStart512 / 8, kVolumeSectors512 / 8);
}

// The volume registered as a known volume of the disk: it becomes a candidate
// of its own, its files are listed by its quick search and their space is
// marked used, and the walk skips what is marked.
TEST(HFSPlusDeepSearch, KnownVolumeOfTheDiskListedAndItsSpaceSkipped) {
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice((DeepImagesDir() + "/gpt.img").c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    CCollectedVolumeDeviceInfoStruct record{};
    record.fileSystemType = FILE_SYSTEM_HFSPLUS;
    record.sectorSize = 512;
    record.startSector = kVolumeStart512;
    record.totalSectors = kVolumeSectors512;
    disk->SetVolumes({record});

    DeepScan scan(disk.get());
    ASSERT_EQ(scan.result, ENGINE_OK);
    auto* searcher = dynamic_cast<CHFSPlusCompleteFileSystemSearchController*>(scan.searcher);
    ASSERT_NE(searcher, nullptr);
    EXPECT_TRUE(searcher->GetSkipFlag());
    const auto& candidates = searcher->GetCandidates();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0]->startSector, 40);
    EXPECT_EQ(candidates[0]->header, nullptr);
    EXPECT_EQ(candidates[1]->startSector, kVolumeStart512);
    EXPECT_EQ(candidates[1]->headerSector, kVolumeStart512 + 2);
    ASSERT_NE(candidates[1]->header, nullptr);
    EXPECT_GE(candidates[1]->fileCount, candidates[1]->header->fileCount);
    ExpectWholeVolume(disk.get(), kVolumeStart512, kVolumeSectors512);
}

// A deep scan of the HFS+ volume itself: its blocks are the bit map's units
// and the live files' blocks are marked used for the raw search.
TEST(HFSPlusDeepSearch, DeepScanOfTheVolumeItselfMarksLiveFileBlocks) {
    const std::string image = PrebuiltImage("hfsplus_journal");
    std::unique_ptr<CVolumeDevice> device(CreateVolumeDevice(image.c_str()));
    ASSERT_EQ(device->Open(nullptr), 1);
    auto* info = new CCollectedVolumeDeviceInfoStruct();
    std::memset(info, 0, sizeof(*info));
    info->sectorSize = 512;
    info->totalSectors = device->GetTotalSectors();
    info->fileSystemType = FILE_SYSTEM_HFSPLUS;
    device->SetPrivateData(CreateVolumeDeviceData(info));

    ExpectWholeVolume(device.get(), 0, kVolumeSectors512);

    // The bit map as the scan leaves it: keep/photo.jpg (166,304 bytes at
    // byte 1,413,120: blocks 345-385) marked, bar its last block; the
    // deleted keep/single-deleted.bin (block 332) is not.
    RecordingBuilder builder;
    TBitmap bitmap;
    CHFSPlusCompleteFileSystemSearchController searcher;
    DriveSearcher(searcher, device.get(), builder, bitmap, true);
    EXPECT_EQ(searcher.GetUnderlyingType(), STORAGE_DEVICE_VOLUME);
    EXPECT_EQ(bitmap.GetUnit(), 8u);
    EXPECT_EQ(bitmap.GetMaxBitIndex(), 4095);
    for (int b = 345; b <= 384; ++b) EXPECT_TRUE(bitmap.GetBit(b)) << b;
    EXPECT_FALSE(bitmap.GetBit(385));
    EXPECT_FALSE(bitmap.GetBit(332));
}

// ---------------------------------------------------------------------------
// Hand-built sectors

namespace {

struct HeaderFields {
    std::uint32_t blockSize = 4096;
    std::uint32_t totalBlocks = 64;
    std::uint64_t volumeId = 0x1122334455667788ull;
    std::uint32_t createDate = 1000;
    std::uint32_t modifyDate = 5000;
    std::uint32_t attributes = 0;
    std::uint32_t nextCatalogID = 50;
};

// A 512-byte volume header.
std::vector<std::uint8_t> VolumeHeader(const HeaderFields& f) {
    std::vector<std::uint8_t> h(512, 0);
    put16(h, 0, 0x482B);
    put16(h, 2, 4);
    put32(h, 4, f.attributes);
    put32(h, 16, f.createDate);
    put32(h, 20, f.modifyDate);
    put32(h, 40, f.blockSize);
    put32(h, 44, f.totalBlocks);
    put32(h, 64, f.nextCatalogID);
    put64(h, 104, f.volumeId);
    return h;
}

// A device of `sectors` sectors, zero but for what the test puts.
struct Disk {
    std::uint32_t sectorSize;
    MemoryDevice device;
    Disk(std::int64_t sectors, std::uint32_t ss)
        : sectorSize(ss), device(std::vector<std::uint8_t>(static_cast<std::size_t>(sectors) * ss, 0), ss) {}
    void Put(std::int64_t sector, std::size_t byte, const std::vector<std::uint8_t>& data) {
        std::memcpy(device.Bytes().data() + sector * sectorSize + byte, data.data(), data.size());
    }
    void ProtectiveMbr() {
        device.Bytes()[450] = 0xEE;
        device.Bytes()[510] = 0x55;
        device.Bytes()[511] = 0xAA;
    }
};

// A searcher prepared on `disk` (no read-ahead cache: the device counts as
// a disk).
struct Prepared {
    RecordingBuilder builder;
    CHFSPlusCompleteFileSystemSearchController searcher;
    explicit Prepared(Disk& disk) {
        searcher.SetDevice(&disk.device);
        searcher.SetDirecotryTreeBuilder(&builder);
        searcher.PreparetoSearch();
    }
    void Walk(Disk& disk) { searcher.AnalyzeBlock(0, disk.device.GetTotalSectors()); }
};

std::vector<std::uint8_t> JournalInfoSector(std::uint32_t sectorSize) {
    std::vector<std::uint8_t> s(sectorSize, 0);
    put32(s, 0, 1);          // journal in file system
    put64(s, 36, 3 * 4096);  // offset
    put64(s, 44, 1 << 20);   // size
    std::memset(s.data() + 180, 0xDB, 512 - 180);
    return s;
}

}  // namespace

TEST(HFSPlusDeepSearchSectors, FirstCandidateStartsBehindAProtectiveMbr) {
    struct Case {
        std::uint32_t sectorSize;
        bool mbr;
        std::int64_t first;
    } cases[] = {{512, true, 40}, {4096, true, 6}, {512, false, 0}, {4096, false, 0}};
    for (const Case& c : cases) {
        Disk disk(64, c.sectorSize);
        if (c.mbr) disk.ProtectiveMbr();
        Prepared p(disk);
        ASSERT_EQ(p.searcher.GetCandidates().size(), 1u);
        EXPECT_EQ(p.searcher.GetCandidates()[0]->startSector, c.first) << c.sectorSize << " " << c.mbr;
        EXPECT_EQ(p.searcher.GetCandidates()[0]->sectorCount, 64 - c.first);
        ASSERT_EQ(p.builder.searchers.size(), 1u);
        EXPECT_EQ(p.builder.searchers[0], std::make_pair(int{SEARCHER_HFSPLUS}, std::int64_t{2}));
    }
}

TEST(HFSPlusDeepSearchSectors, JournalInfoBlockNeedsItsFillerAndZeroReservedWords) {
    struct Case {
        const char* what;
        std::uint32_t sectorSize;
        std::function<void(std::vector<std::uint8_t>&)> change;
        bool taken;
    } cases[] = {
        {"512-byte sector", 512, [](std::vector<std::uint8_t>&) {}, true},
        {"one filler byte changed", 512, [](std::vector<std::uint8_t>& s) { s[300] = 0xDA; }, false},
        {"last filler byte changed", 512, [](std::vector<std::uint8_t>& s) { s[511] = 0; }, false},
        {"reserved word set", 512, [](std::vector<std::uint8_t>& s) { s[100] = 1; }, false},
        {"offset not on 512 bytes", 512, [](std::vector<std::uint8_t>& s) { put64(s, 36, 3 * 4096 + 1); }, false},
        {"4 KiB sector, filler in its first 512 bytes", 4096, [](std::vector<std::uint8_t>&) {}, true},
        {"4 KiB sector, filled whole", 4096,
         [](std::vector<std::uint8_t>& s) { std::memset(s.data() + 512, 0xDB, s.size() - 512); }, true},
        {"4 KiB sector, other bytes after 512", 4096, [](std::vector<std::uint8_t>& s) { s[2000] = 7; }, false},
    };
    for (const Case& c : cases) {
        Disk disk(16, c.sectorSize);
        std::vector<std::uint8_t> jib = JournalInfoSector(c.sectorSize);
        c.change(jib);
        disk.Put(5, 0, jib);
        Prepared p(disk);
        EXPECT_EQ(p.searcher.CheckJournalInfoBlock(5), c.taken) << c.what;
        EXPECT_EQ(p.searcher.GetCandidates()[0]->journalInfoBlockSector, c.taken ? 5 : -1) << c.what;
        // The walk sees it the same way.
        Prepared walked(disk);
        walked.Walk(disk);
        EXPECT_EQ(walked.searcher.GetCandidates()[0]->journalInfoBlockSector, c.taken ? 5 : -1) << c.what;
    }
}

TEST(HFSPlusDeepSearchSectors, HeaderInTheThirdSliceOfA4KSectorCountsOnce) {
    Disk disk(128, 4096);
    HeaderFields first;
    disk.Put(10, 1024, VolumeHeader(first));
    HeaderFields other;
    other.volumeId = 99;
    other.createDate = 77;
    disk.Put(30, 1024, VolumeHeader(other));
    Prepared p(disk);
    p.Walk(disk);
    const auto& c = p.searcher.GetCandidates();
    ASSERT_EQ(c.size(), 2u);
    // The first header goes to the first candidate; the second, of another
    // volume, makes one that starts in its own sector (1,024 bytes before
    // the header), not two sectors back.
    EXPECT_EQ(c[0]->headerSector, 10);
    EXPECT_EQ(c[0]->headerSlice, 1024u);
    EXPECT_EQ(c[1]->startSector, 30);
    EXPECT_EQ(c[1]->sectorCount, 64);
    EXPECT_EQ(c[1]->headerSector, 30);

    // Two headers in one sector are seen but recorded by neither; a slice of
    // other bytes before a header ends the look.
    Disk two(64, 4096);
    two.Put(10, 1024, VolumeHeader(first));
    two.Put(10, 1536, VolumeHeader(other));
    std::vector<std::uint8_t> noise(512, 0x5A);
    two.Put(20, 0, noise);
    two.Put(20, 1024, VolumeHeader(other));
    Prepared q(two);
    EXPECT_TRUE(q.searcher.CheckVolumeHeader(10));
    EXPECT_FALSE(q.searcher.CheckVolumeHeader(20));
    EXPECT_EQ(q.searcher.GetCandidates()[0]->header, nullptr);
}

TEST(HFSPlusDeepSearchSectors, PrimaryAndAlternateHeadersMakeOneCandidateWithTheLargerSize) {
    Disk disk(2048, 512);
    HeaderFields primary;
    primary.totalBlocks = 100;
    HeaderFields alternate = primary;
    alternate.totalBlocks = 150;
    disk.Put(2, 0, VolumeHeader(primary));
    disk.Put(800, 0, VolumeHeader(alternate));
    // Same volume identifier, or same creation date: the same volume.
    HeaderFields sameDate = primary;
    sameDate.volumeId = 0;
    disk.Put(900, 0, VolumeHeader(sameDate));
    Prepared p(disk);
    p.Walk(disk);
    const auto& c = p.searcher.GetCandidates();
    ASSERT_EQ(c.size(), 1u);
    ASSERT_NE(c[0]->header, nullptr);
    EXPECT_EQ(c[0]->headerSector, 2);
    EXPECT_EQ(c[0]->header->totalBlocks, 150u);
}

TEST(HFSPlusDeepSearchSectors, ThreeCandidatesReportedOnlyWhenTheyAllFit) {
    Disk disk(4096, 512);
    HeaderFields a, b, c;
    b.volumeId = 2;
    b.createDate = 2;
    c.volumeId = 3;
    c.createDate = 3;
    disk.Put(2, 0, VolumeHeader(a));
    disk.Put(1002, 0, VolumeHeader(b));
    disk.Put(2002, 0, VolumeHeader(c));
    Prepared p(disk);
    p.Walk(disk);
    ASSERT_EQ(p.searcher.GetCandidates().size(), 3u);
    CSearchedPartitionInfo* out[3] = {};
    EXPECT_EQ(p.searcher.GetSearchedPartitionInfo(out, 0), 3);
    EXPECT_EQ(p.searcher.GetSearchedPartitionInfo(out, 2), 3);
    EXPECT_EQ(out[0], nullptr);
    ASSERT_EQ(p.searcher.GetSearchedPartitionInfo(out, 3), 3);
    const std::int64_t starts[] = {0, 1000, 2000};
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<CSearchedPartitionInfo> info(out[i]);
        EXPECT_EQ(info->GetPartitionIndex(), i);
        EXPECT_EQ(info->GetStartSector(), starts[i]);
        EXPECT_EQ(info->GetCluster0Sector(), starts[i]);
        EXPECT_EQ(info->GetSectorsPerCluster(), 8u);
        EXPECT_EQ(info->GetFileSystemType(), static_cast<std::uint32_t>(FILE_SYSTEM_HFSPLUS));
    }
}

// A catalog record is given to a volume only when its ID is one the volume
// can have handed out, unless the volume says IDs wrapped (bits 2 and 3).
TEST(HFSPlusDeepSearchSectors, CatalogIdAboveNextCatalogIdNeedsBothAttributeBits) {
    for (std::uint32_t attributes : {0x0u, 0x4u, 0x8u, 0xCu}) {
        Disk disk(512, 512);
        HeaderFields h;
        h.nextCatalogID = 50;
        h.attributes = attributes;
        disk.Put(2, 0, VolumeHeader(h));
        std::vector<std::uint8_t> low = FileRecord(40, 10, 1, {{20, 1}});
        std::vector<std::uint8_t> high = FileRecord(60, 10, 1, {{21, 1}});
        disk.Put(100, 0,
                 MakeNode(-1, 1, {Concat(CatalogKey(2, u"low"), low), Concat(CatalogKey(2, u"high"), high)}, 1024));
        Prepared p(disk);
        p.Walk(disk);
        std::set<std::int64_t> ids;
        for (IFileNode* n : p.builder.nodes) ids.insert(n->GetCurrentNodeID());
        const std::set<std::int64_t> want =
            attributes == 0xC ? std::set<std::int64_t>{40, 60} : std::set<std::int64_t>{40};
        EXPECT_EQ(ids, want) << attributes;
        EXPECT_EQ(p.searcher.GetCandidates()[0]->fileCount, want.size());
    }
}

// A header with a block size of 0 (or not a power of two) names no volume:
// nothing is sized or divided by it. A bit map whose unit is 0 is read as
// one of 1.
TEST(HFSPlusDeepSearchSectors, BlockSizeZeroAndBitmapUnitZeroDoNotCrash) {
    for (std::uint32_t blockSize : {0u, 1536u}) {
        Disk disk(256, 512);
        HeaderFields h;
        h.blockSize = blockSize;
        disk.Put(2, 0, VolumeHeader(h));
        disk.Put(100, 0, MakeNode(-1, 1, {Concat(CatalogKey(2, u"f"), FileRecord(20, 10, 1, {{3, 1}}))}, 512));
        Prepared p(disk);
        p.Walk(disk);
        EXPECT_EQ(p.searcher.GetCandidates()[0]->header, nullptr) << blockSize;
        EXPECT_TRUE(p.builder.nodes.empty());
        p.searcher.EndSearch(1);
        CSearchedPartitionInfo* out[1] = {};
        ASSERT_EQ(p.searcher.GetSearchedPartitionInfo(out, 1), 1);
        std::unique_ptr<CSearchedPartitionInfo> info(out[0]);
        EXPECT_EQ(info->GetSectorsPerCluster(), 8u);
    }

    // Sector 2 holds a header, but the bit map says its space is used.
    Disk disk(256, 512);
    disk.Put(2, 0, VolumeHeader(HeaderFields{}));
    TBitmap bitmap;
    ASSERT_EQ(bitmap.CreateBitmap(256, 0), 1);
    bitmap.SetBit(0, 1, 10);
    CHFSPlusCompleteFileSystemSearchController searcher;
    RecordingBuilder builder;
    searcher.SetDevice(&disk.device);
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.SetBitmap(&bitmap);
    searcher.SetActivePartition(true);
    searcher.PreparetoSearch();
    searcher.AnalyzeBlock(0, 256);
    EXPECT_EQ(searcher.GetCandidates()[0]->header, nullptr);
}
