#include "storage/PartitionTable.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "DeviceListTestSupport.h"
#include "storage/DiskDevice.h"
#include "support/SkipOutsideCi.h"

using namespace devlist_test;

namespace {

struct Row {
    int number;
    int64_t start;
    int64_t count;
    bool operator==(const Row& o) const { return number == o.number && start == o.start && count == o.count; }
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << "{" << r.number << ", " << r.start << ", " << r.count << "}";
}

std::vector<Row> Rows(const std::list<PartitionEntry>& entries) {
    std::vector<Row> rows;
    for (const auto& e : entries) rows.push_back({e.number, e.startSector, e.sectorCount});
    return rows;
}

// What partx reads from the same image (number, start, sectors, type), the
// test's independent opinion of the table.
// partx counts in 512-byte units whatever the sector size: `sectorSize`
// converts back.
std::vector<std::pair<Row, std::string>> PartxRows(const std::string& image, int64_t sectorSize = 512) {
    std::vector<std::pair<Row, std::string>> rows;
    std::istringstream in(Capture("partx -g -b -o NR,START,SECTORS,TYPE '" + image + "'"));
    Row r{};
    std::string type;
    while (in >> r.number >> r.start >> r.count >> type) {
        r.start = r.start * 512 / sectorSize;
        r.count = r.count * 512 / sectorSize;
        rows.push_back({r, type});
    }
    return rows;
}

// Writes an MBR with sfdisk's dump format, "N: start=...,size=...,type=..."
// lines, whose partition numbers place logicals explicitly.
bool Sfdisk(const std::string& target, const std::string& namePrefix, const std::vector<std::string>& lines) {
    std::string script = "label: dos\\n";
    for (const auto& l : lines) script += namePrefix + l + "\\n";
    return Shell("printf '" + script + "' | sfdisk -q '" + target + "'");
}

EngineResult Analyze(IStorageDevice* device, std::list<PartitionEntry>& entries) {
    std::unique_ptr<IPartitionTableAnalyze> reader(CreatePartitionTableAnalyze());
    return reader->AnalyzePartitionTable(device, entries);
}

uint32_t ErrorOf(EngineResult r) {
    EXPECT_TRUE(IsEngineFailure(r));
    EXPECT_EQ(EngineResultModule(r), ENGINE_MODULE_PARTITION_TABLE);
    return EngineResultError(r);
}

class PartitionTableImages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }

    std::string MakeImage(const std::string& name, const std::string& size) {
        std::string path = dir / name;
        EXPECT_TRUE(Shell("truncate -s " + size + " '" + path + "'"));
        return path;
    }

    ScratchDir dir;
};

TEST_F(PartitionTableImages, MbrPrimariesAndLogicalsInChainOrder) {
    std::string img = MakeImage("mbr.img", "64M");
    ASSERT_TRUE(Sfdisk(img, img,
                       {"1: start=2048,size=8192,type=83", "2: start=10240,size=8192,type=7", "3: start=20480,type=5",
                        "5: size=4096,type=83", "6: size=6144,type=7", "7: type=c"}));
    ImageDisk disk(img, 512);
    std::list<PartitionEntry> entries;
    ASSERT_EQ(Analyze(&disk, entries), ENGINE_OK);

    // partx lists the extended container too; we do not.
    std::vector<Row> expected;
    for (auto& [row, type] : PartxRows(img)) {
        if (type != "0x5") expected.push_back(row);
    }
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(Rows(entries), expected);
    std::vector<int> numbers;
    for (auto& e : entries) numbers.push_back(e.number);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 5, 6, 7}));
    for (auto& e : entries) {
        EXPECT_EQ(e.typeName[0], 0);
        EXPECT_EQ(e.typeGuid[0] | e.partGuid[0], 0);
    }
}

TEST_F(PartitionTableImages, ReadsThroughARealDiskDevice) {
    std::string img = MakeImage("disk.img", "64M");
    ASSERT_TRUE(Sfdisk(
        img, img, {"1: start=2048,size=8192,type=83", "2: start=10240,type=f", "5: size=4096,type=7", "6: type=c"}));
    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice(img.c_str()));
    ASSERT_TRUE(disk);
    ASSERT_EQ(disk->Open(nullptr), 1);
    std::list<PartitionEntry> entries;
    // A disk without its record is refused before anything is read.
    EXPECT_EQ(ErrorOf(Analyze(disk.get(), entries)), PARTITION_TABLE_ERR_NO_RECORD);
    auto* rec = new CCollectDiskDeviceInfoStruct{};
    rec->sectorSize = 512;
    rec->totalSectors = 64 * 2048;
    disk->SetPrivateData(CreateDiskDeviceData(rec));
    ASSERT_EQ(Analyze(disk.get(), entries), ENGINE_OK);
    std::vector<Row> expected;
    for (auto& [row, type] : PartxRows(img)) {
        if (type != "0xf") expected.push_back(row);
    }
    EXPECT_EQ(Rows(entries), expected);
    EXPECT_EQ(entries.size(), 3u);
}

TEST_F(PartitionTableImages, GptKeepsOnlyPartitionsAbove8MiBWithTheirGuids) {
    std::string img = MakeImage("gpt.img", "64M");
    ASSERT_TRUE(
        Shell("sgdisk -n 1:2048:+16384 -n 2:0:+16385 -t 2:0700 "
              "-u 2:0A0B0C0D-1112-1314-1516-1718191A1B1C -n 3:0:0 '" +
              img + "'"));
    ImageDisk disk(img, 512);
    std::list<PartitionEntry> entries;
    ASSERT_EQ(Analyze(&disk, entries), ENGINE_OK);

    auto oracle = PartxRows(img);
    ASSERT_EQ(oracle.size(), 3u);
    EXPECT_EQ(oracle[0].first.count, 16384);
    ASSERT_EQ(Rows(entries), (std::vector<Row>{oracle[1].first, oracle[2].first}));
    const PartitionEntry& p2 = entries.front();
    // Basic data type EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 as stored on disk.
    const uint8_t basicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                   0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    const uint8_t unique[16] = {0x0D, 0x0C, 0x0B, 0x0A, 0x12, 0x11, 0x14, 0x13,
                                0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C};
    EXPECT_EQ(std::memcmp(p2.typeGuid, basicData, 16), 0);
    EXPECT_EQ(std::memcmp(p2.partGuid, unique, 16), 0);
    EXPECT_EQ(p2.typeName[0], 0);
}

TEST_F(PartitionTableImages, GptEntryRunningPastTheEndIsCutAtTheEnd) {
    std::string img = MakeImage("gpt-cut.img", "64M");
    ASSERT_TRUE(Shell("sgdisk -n 1:2048:+20000 -n 2:0:0 '" + img + "'"));
    auto before = PartxRows(img);
    ASSERT_EQ(before.size(), 2u);
    // The disk has shrunk (an image cut short): the second entry's last LBA is
    // now past the end.
    ASSERT_TRUE(Shell("truncate -s 40M '" + img + "'"));
    ImageDisk disk(img, 512);
    std::list<PartitionEntry> entries;
    ASSERT_EQ(Analyze(&disk, entries), ENGINE_OK);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(Rows(entries)[0], before[0].first);
    EXPECT_EQ(entries.back().startSector, before[1].first.start);
    EXPECT_EQ(entries.back().sectorCount, 40 * 2048 - before[1].first.start);
}

TEST_F(PartitionTableImages, ApplePartitionMapFromParted) {
    std::string img = MakeImage("apm.img", "32M");
    ASSERT_TRUE(Shell("parted -s '" + img + "' mklabel mac mkpart one hfs+ 1MiB 12MiB mkpart two hfs+ 12MiB 30MiB"));
    ImageDisk disk(img, 512);
    std::list<PartitionEntry> entries;
    ASSERT_EQ(Analyze(&disk, entries), ENGINE_OK);

    auto oracle = PartxRows(img);
    ASSERT_FALSE(oracle.empty());
    std::vector<Row> expected;
    for (auto& [row, type] : oracle) expected.push_back(row);
    EXPECT_EQ(Rows(entries), expected);
    ASSERT_GE(entries.size(), 3u);
    std::vector<std::string> types;
    int index = 1;
    for (auto& e : entries) {
        EXPECT_EQ(e.number, index++);  // the map index
        types.emplace_back(e.typeName, strnlen(e.typeName, sizeof(e.typeName)));
    }
    EXPECT_EQ(types[0], "Apple_partition_map");
    EXPECT_NE(std::find(types.begin(), types.end(), "Apple_HFS"), types.end());
    EXPECT_NE(std::find(types.begin(), types.end(), "Apple_Free"), types.end());
}

TEST_F(PartitionTableImages, FourKilobyteSectorDisks) {
    if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
    // 16,385 sectors is the GPT minimum in 512-byte units; at 4 KiB a partition
    // of 2,100 sectors (8.2 MiB) is still below it.
    std::string gpt = MakeImage("gpt4k.img", "160M");
    std::string mbr = MakeImage("mbr4k.img", "16M");
    std::vector<std::pair<Row, std::string>> gptOracle, mbrOracle;
    {
        LoopDevice loop(gpt, 4096, false);
        ASSERT_TRUE(loop.ok());
        ASSERT_TRUE(Shell("sgdisk -n 1:256:+2100 -n 2:0:+16385 -n 3:0:0 " + loop.path()));
        gptOracle = PartxRows(loop.path(), 4096);
        LoopDevice loop2(mbr, 4096, false);
        ASSERT_TRUE(loop2.ok());
        ASSERT_TRUE(
            Sfdisk(loop2.path(), loop2.path() + "p",
                   {"1: start=256,size=512,type=83", "2: start=1024,type=5", "5: size=256,type=7", "6: type=c"}));
        mbrOracle = PartxRows(loop2.path(), 4096);
    }
    ImageDisk disk(gpt, 4096);
    std::list<PartitionEntry> entries;
    ASSERT_EQ(Analyze(&disk, entries), ENGINE_OK);
    ASSERT_EQ(gptOracle.size(), 3u);
    EXPECT_EQ(gptOracle[0].first.count, 2100);
    EXPECT_EQ(Rows(entries), (std::vector<Row>{gptOracle[1].first, gptOracle[2].first}));
    EXPECT_EQ(entries.front().sectorCount, 16385);

    ImageDisk disk2(mbr, 4096);
    ASSERT_EQ(Analyze(&disk2, entries), ENGINE_OK);
    std::vector<Row> expected;
    for (auto& [row, type] : mbrOracle) {
        if (type != "0x5") expected.push_back(row);
    }
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(expected[0], (Row{1, 256, 512}));
    EXPECT_EQ(Rows(entries), expected);
}

// ---- hand-built tables ----

// An in-memory disk of 512-byte sectors whose sectors the test writes.
class BuiltDisk {
public:
    explicit BuiltDisk(int64_t sectors, uint32_t sectorSize = 512)
        : m_dir(), m_path(m_dir / "built.img"), m_bytes(static_cast<size_t>(sectors) * sectorSize), m_ss(sectorSize) {}
    uint8_t* Sector(int64_t s) { return m_bytes.data() + s * m_ss; }
    void Mbr(int64_t s, int slot, uint8_t type, uint32_t lead, uint32_t count, uint8_t status = 0) {
        uint8_t* e = Sector(s) + 446 + slot * 16;
        e[0] = status;
        e[4] = type;
        for (int i = 0; i < 4; ++i) {
            e[8 + i] = static_cast<uint8_t>(lead >> (8 * i));
            e[12 + i] = static_cast<uint8_t>(count >> (8 * i));
        }
        Sector(s)[510] = 0x55;
        Sector(s)[511] = 0xAA;
    }
    ImageDisk& Disk() {
        std::ofstream(m_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(m_bytes.data()), static_cast<std::streamsize>(m_bytes.size()));
        m_disk = std::make_unique<ImageDisk>(m_path, m_ss);
        return *m_disk;
    }

private:
    ScratchDir m_dir;
    std::string m_path;
    std::vector<uint8_t> m_bytes;
    uint32_t m_ss;
    std::unique_ptr<ImageDisk> m_disk;
};

TEST(PartitionTableBuilt, SelfLinkedAndBackwardEbrChainsEnd) {
    {
        // The only slot of the EBR links to the EBR itself.
        BuiltDisk b(4096);
        b.Mbr(0, 0, 0x83, 64, 100);
        b.Mbr(0, 1, 0x05, 1000, 3000);
        b.Mbr(1000, 0, 0x05, 0, 3000);
        std::list<PartitionEntry> entries;
        EXPECT_EQ(Analyze(&b.Disk(), entries), ENGINE_OK);
        EXPECT_EQ(Rows(entries), (std::vector<Row>{{1, 64, 100}}));
    }
    {
        // Link slot before the logical slot, the second EBR linking back to the first.
        BuiltDisk b(4096);
        b.Mbr(0, 0, 0x0F, 1000, 3000);
        b.Mbr(1000, 0, 0x05, 500, 1000);
        b.Mbr(1000, 1, 0x83, 10, 100);
        b.Mbr(1500, 0, 0x05, 0, 3000);
        b.Mbr(1500, 1, 0x07, 20, 200);
        std::list<PartitionEntry> entries;
        ImageDisk& d = b.Disk();
        EXPECT_EQ(Analyze(&d, entries), ENGINE_OK);
        EXPECT_EQ(Rows(entries), (std::vector<Row>{{5, 1010, 100}, {6, 1520, 200}}));
        EXPECT_LT(d.reads, 10);
    }
    {
        // A long chain that never repeats is cut at the logical-partition cap.
        BuiltDisk b(8192);
        b.Mbr(0, 0, 0x05, 1, 8000);
        for (int64_t s = 1; s < 8000; ++s) {
            b.Mbr(s, 0, 0x83, 0, 1);                         // a one-sector logical at the EBR itself... plus 1
            b.Mbr(s, 1, 0x05, static_cast<uint32_t>(s), 1);  // next EBR = extended start + s
        }
        std::list<PartitionEntry> entries;
        ImageDisk& d = b.Disk();
        EXPECT_EQ(Analyze(&d, entries), ENGINE_OK);
        EXPECT_LE(entries.size(), static_cast<size_t>(kMaxLogicalPartitions));
        EXPECT_LE(d.reads, kMaxExtendedBootRecords + 4);
    }
}

TEST(PartitionTableBuilt, MbrCountsAreClampedAndEntriesPastTheEndSkipped) {
    BuiltDisk b(10000);
    b.Mbr(0, 0, 0x83, 100, 0);           // zero stored count: the rest of the disk
    b.Mbr(0, 1, 0x07, 200, 50000);       // runs past the end: cut at the end
    b.Mbr(0, 2, 0x0C, 10000, 10);        // starts at the end: nothing here
    b.Mbr(0, 3, 0x0C, 0xFFFFFFF0u, 10);  // far past the end
    std::list<PartitionEntry> entries;
    ASSERT_EQ(Analyze(&b.Disk(), entries), ENGINE_OK);
    EXPECT_EQ(Rows(entries), (std::vector<Row>{{1, 100, 9900}, {2, 200, 9800}}));
}

TEST(PartitionTableBuilt, MalformedTablesAreRefused) {
    {
        BuiltDisk b(4096);
        b.Mbr(0, 0, 0x83, 64, 100, 0x81);  // status byte neither 0 nor 0x80
        std::list<PartitionEntry> entries;
        EXPECT_EQ(ErrorOf(Analyze(&b.Disk(), entries)), PARTITION_TABLE_ERR_BAD_TABLE);
        EXPECT_TRUE(entries.empty());
    }
    {
        // Two links in one EBR: an error, and what was found before stays.
        BuiltDisk b(4096);
        b.Mbr(0, 0, 0x83, 64, 100);
        b.Mbr(0, 1, 0x05, 1000, 3000);
        b.Mbr(1000, 0, 0x83, 10, 100);
        b.Mbr(1000, 1, 0x05, 500, 100);
        b.Mbr(1000, 2, 0x0F, 700, 100);
        std::list<PartitionEntry> entries;
        EXPECT_EQ(ErrorOf(Analyze(&b.Disk(), entries)), PARTITION_TABLE_ERR_BAD_TABLE);
        EXPECT_EQ(Rows(entries), (std::vector<Row>{{1, 64, 100}, {5, 1010, 100}}));
    }
    {
        // An EBR without its signature.
        BuiltDisk b(4096);
        b.Mbr(0, 0, 0x05, 1000, 3000);
        std::list<PartitionEntry> entries;
        EXPECT_EQ(ErrorOf(Analyze(&b.Disk(), entries)), PARTITION_TABLE_ERR_BAD_TABLE);
    }
    for (int slot = 0; slot < 4; ++slot) {
        // A dynamic disk, in any slot, even behind a protective GPT entry.
        BuiltDisk b(4096);
        b.Mbr(0, 0, slot == 0 ? 0x42 : 0xEE, 1, 4095);
        b.Mbr(0, slot, 0x42, 1, 4095);
        std::list<PartitionEntry> entries;
        EXPECT_EQ(ErrorOf(Analyze(&b.Disk(), entries)), PARTITION_TABLE_ERR_NOT_DISK) << slot;
        EXPECT_TRUE(entries.empty());
    }
}

TEST(PartitionTableBuilt, GptEntriesStartingPastTheEndAreSkipped) {
    BuiltDisk b(40000);
    b.Mbr(0, 0, 0xEE, 1, 39999);
    auto entry = [&](int i, uint64_t first, uint64_t last) {
        uint8_t* e = b.Sector(2) + (i - 1) * 128;
        e[0] = 0xAF;  // any non-zero type GUID
        for (int k = 0; k < 8; ++k) {
            e[32 + k] = static_cast<uint8_t>(first >> (8 * k));
            e[40 + k] = static_cast<uint8_t>(last >> (8 * k));
        }
    };
    entry(1, 40000, 60000);                  // starts at the end
    entry(2, 0x8000000000000000ull, ~0ull);  // negative as a signed count
    entry(3, 20000, 100);                    // last before first: the rest of the disk
    entry(4, 2048, ~0ull);                   // last LBA overflows when incremented
    entry(128, 100, 16484);                  // exactly 16,385 sectors, in the last slot
    std::list<PartitionEntry> entries;
    ASSERT_EQ(Analyze(&b.Disk(), entries), ENGINE_OK);
    EXPECT_EQ(Rows(entries), (std::vector<Row>{{3, 20000, 20000}, {4, 2048, 40000 - 2048}, {128, 100, 16385}}));
}

void ApmBlock0(BuiltDisk& b, uint16_t blockSize) {
    b.Sector(0)[0] = 'E';
    b.Sector(0)[1] = 'R';
    b.Sector(0)[2] = static_cast<uint8_t>(blockSize >> 8);
    b.Sector(0)[3] = static_cast<uint8_t>(blockSize);
}

void ApmEntry(BuiltDisk& b, int64_t sector, uint32_t mapCount, uint32_t first, uint32_t count, const char* type,
              const char* sig = "PM") {
    uint8_t* s = b.Sector(sector);
    s[0] = static_cast<uint8_t>(sig[0]);
    s[1] = static_cast<uint8_t>(sig[1]);
    auto be32 = [](uint8_t* p, uint32_t v) {
        p[0] = static_cast<uint8_t>(v >> 24);
        p[1] = static_cast<uint8_t>(v >> 16);
        p[2] = static_cast<uint8_t>(v >> 8);
        p[3] = static_cast<uint8_t>(v);
    };
    be32(s + 4, mapCount);
    be32(s + 8, first);
    be32(s + 12, count);
    std::strncpy(reinterpret_cast<char*>(s + 48), type, 32);
}

TEST(PartitionTableBuilt, ApplePartitionMapRules) {
    {
        BuiltDisk b(4096);
        ApmBlock0(b, 512);
        ApmEntry(b, 1, 32, 1, 63, "Apple_partition_map");
        std::list<PartitionEntry> entries;
        EXPECT_EQ(ErrorOf(Analyze(&b.Disk(), entries)), PARTITION_TABLE_ERR_BAD_TABLE);
    }
    for (uint16_t blockSize : {0, 256, 511}) {
        // A block smaller than a sector would read every entry from sector 0.
        BuiltDisk b(4096);
        ApmBlock0(b, blockSize);
        ApmEntry(b, 1, 2, 1, 63, "Apple_partition_map");
        std::list<PartitionEntry> entries;
        EXPECT_EQ(ErrorOf(Analyze(&b.Disk(), entries)), PARTITION_TABLE_ERR_BAD_TABLE) << blockSize;
    }
    {
        BuiltDisk b(4096);
        ApmBlock0(b, 512);
        ApmEntry(b, 1, 1, 1, 63, "Apple_partition_map", "XX");
        std::list<PartitionEntry> entries;
        EXPECT_EQ(ErrorOf(Analyze(&b.Disk(), entries)), PARTITION_TABLE_ERR_BAD_TABLE);
    }
    {
        // 2,048-byte blocks: starts and counts scale; "TS" entries count;
        // other signatures are skipped; entries are cut at the disk end.
        BuiltDisk b(4096);
        ApmBlock0(b, 2048);
        ApmEntry(b, 4, 5, 1, 63, "Apple_partition_map");
        ApmEntry(b, 8, 5, 64, 100, "Apple_HFS", "TS");
        ApmEntry(b, 12, 5, 200, 100, "Apple_Free", "ZZ");
        ApmEntry(b, 16, 5, 900, 500, "Apple_HFS");
        ApmEntry(b, 20, 5, 5000, 10, "Apple_HFS");  // past the end
        std::list<PartitionEntry> entries;
        ASSERT_EQ(Analyze(&b.Disk(), entries), ENGINE_OK);
        EXPECT_EQ(Rows(entries), (std::vector<Row>{{1, 4, 252}, {2, 256, 400}, {4, 3600, 496}}));
        EXPECT_STREQ(entries.front().typeName, "Apple_partition_map");
    }
    {
        BuiltDisk b(4096, 1024);  // a sector size that is not a multiple of 512 cannot occur; 1024 can
        ApmBlock0(b, 1024);
        ApmEntry(b, 1, 1, 1, 63, "Apple_partition_map");
        std::list<PartitionEntry> entries;
        ASSERT_EQ(Analyze(&b.Disk(), entries), ENGINE_OK);
        EXPECT_EQ(Rows(entries), (std::vector<Row>{{1, 1, 63}}));
    }
}

TEST(PartitionTableBuilt, DeviceChecksComeFirst) {
    std::list<PartitionEntry> entries{PartitionEntry{}};
    EXPECT_EQ(ErrorOf(Analyze(nullptr, entries)), PARTITION_TABLE_ERR_NULL);
    EXPECT_TRUE(entries.empty());

    BuiltDisk b(4096);
    b.Mbr(0, 0, 0x83, 64, 100);
    ImageDisk& d = b.Disk();
    d.type = STORAGE_DEVICE_PARTITION;
    EXPECT_EQ(ErrorOf(Analyze(&d, entries)), PARTITION_TABLE_ERR_NOT_DISK);
    d.type = STORAGE_DEVICE_DISK;

    DiskInfoOf(&d)->kind = 1;
    EXPECT_EQ(ErrorOf(Analyze(&d, entries)), PARTITION_TABLE_ERR_NOT_DISK);
    DiskInfoOf(&d)->kind = 0;

    CCollectDiskDeviceInfoStruct* record = DiskInfoOf(&d);
    static_cast<IDiskDeviceData*>(d.GetPrivateData())->SetDiskInfo(nullptr);
    EXPECT_EQ(ErrorOf(Analyze(&d, entries)), PARTITION_TABLE_ERR_NO_RECORD);
    delete record;  // the holder's setter leaves the old record to us
    d.SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct{}));
    EXPECT_EQ(ErrorOf(Analyze(&d, entries)), PARTITION_TABLE_ERR_NO_RECORD);
    d.SetPrivateData(nullptr);
    EXPECT_EQ(ErrorOf(Analyze(&d, entries)), PARTITION_TABLE_ERR_NO_RECORD);
    EXPECT_EQ(d.reads, 0);

    d.SetPrivateData(CreateDiskDeviceData(new CCollectDiskDeviceInfoStruct{}));
    d.failReads = true;
    EngineResult r = Analyze(&d, entries);
    EXPECT_EQ(EngineResultModule(r), ENGINE_MODULE_STORAGE);  // the device's own error
    d.failReads = false;
    ASSERT_EQ(Analyze(&d, entries), ENGINE_OK);
    EXPECT_EQ(entries.size(), 1u);

    BuiltDisk small(64, 256);
    EXPECT_EQ(ErrorOf(Analyze(&small.Disk(), entries)), PARTITION_TABLE_ERR_SECTOR_SIZE);

    BuiltDisk blank(4096);
    ASSERT_EQ(Analyze(&blank.Disk(), entries), ENGINE_OK);
    EXPECT_TRUE(entries.empty());
}

}  // namespace
