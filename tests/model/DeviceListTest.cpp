// The device list over a scripted enumerator and real image files: disk
// numbering (disks, then QVX, then DMG images), the offered volumes, index
// lookups, image deduplication, and images reopened from stored records.
#include <gtest/gtest.h>

#include <QString>

#include "ModelTestSupport.h"
#include "model/QXUIDeviceData.h"
#include "model/qt/DiskVolumeNodeData.h"
#include "storage/DmgDevice.h"
#include "storage/QvxDevice.h"
#include "support/DeviceListTestSupport.h"

using namespace model_test;
using devlist_test::ScratchDir;
using devlist_test::Shell;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";
// Debian's interpreter: the first python3 on PATH may be a slow shim.
const std::string kPython = "/usr/bin/python3 ";

// A small FAT image and its QVX and DMG wrappings, made once per test.
struct Images {
    ScratchDir dir;
    std::string raw = dir / "small.img";
    std::string qvx = dir / "small.qvx";
    std::string dmg = dir / "small.dmg";
    std::string other = dir / "other.qvx";
    Images() {
        EXPECT_TRUE(Shell("mkfs.fat -C -n SMALL '" + raw + "' 1024"));
        EXPECT_TRUE(Shell(kPython + kFixtures + "make_qvx.py '" + raw + "' '" + qvx + "' 1700000000"));
        EXPECT_TRUE(Shell(kPython + kFixtures + "make_qvx.py '" + raw + "' '" + other + "' 1700000001"));
        EXPECT_TRUE(Shell(kPython + kFixtures + "make_udif.py '" + raw + "' '" + dmg + "'"));
    }
};

constexpr uint8_t kEfi[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                              0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
constexpr uint8_t kAppleBoot[16] = {0x74, 0x6F, 0x6F, 0x42, 0x00, 0x00, 0xAA, 0x11,
                                    0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};
// Microsoft basic data, for a GPT volume that is offered.
constexpr uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                    0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};

std::vector<std::string> Names(QXUIDeviceData& model) {
    std::list<_DiskVolumeData> records;
    model.GetAllDeviceInfo(records);
    std::vector<std::string> names;
    for (const _DiskVolumeData& r : records) names.push_back(std::to_string(r.diskIndex) + ":" + r.name);
    return names;
}

TEST(DeviceList, DisksThenQvxThenDmgAcrossARefill) {
    Images images;
    FakeEnumerator fake;
    MemDevice* first = fake.AddDisk(MakeDisk("First Disk", "sda", DISK_BUS_SATA, PARTITION_SCHEME_MBR));
    fake.AddDisk(MakeDisk("Second Disk", "sdb", DISK_BUS_USB, PARTITION_SCHEME_MBR));
    QXUIDeviceData model(&fake);
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    EXPECT_EQ(model.GetInitState(), 2u);
    ASSERT_EQ(model.QXOpenQvxFileImp(images.qvx.c_str()), 1);
    EXPECT_EQ(Names(model), (std::vector<std::string>{"0:First Disk", "1:Second Disk", "2:small.img"}));
    ASSERT_EQ(model.QXOpenDmgFile(images.dmg.c_str()), 1);
    EXPECT_EQ(Names(model), (std::vector<std::string>{"0:First Disk", "1:Second Disk", "2:small.img", "3:small.dmg"}));

    // A disk arrives: the images move up behind it, in their own order.
    fake.AddDisk(MakeDisk("Third Disk", "sdc", DISK_BUS_SATA, PARTITION_SCHEME_MBR));
    model.Clear();
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    EXPECT_EQ(Names(model), (std::vector<std::string>{"0:First Disk", "1:Second Disk", "2:Third Disk", "3:small.img",
                                                      "4:small.dmg"}));
    EXPECT_EQ(fake.uninits, 1);
    EXPECT_EQ(model.GetStorageByDiskVolumeIndex(0, -1), first);
    EXPECT_EQ(model.GetDiskStorageByIndex(3)->GetType(), STORAGE_DEVICE_QVX);
    EXPECT_EQ(model.GetDiskStorageByIndex(4)->GetType(), STORAGE_DEVICE_DMG);
    EXPECT_EQ(model.GetDiskStorageByIndex(5), nullptr);
    EXPECT_FALSE(model.IsDiskStorage(model.GetDiskStorageByIndex(3)));
    EXPECT_TRUE(model.IsDiskStorage(first));
}

// With no disk to list, or an enumeration that fails, the opened images are
// still listed from 0, and a failed enumeration is tried again.
TEST(DeviceList, ImagesListedWithoutDisks) {
    Images images;
    for (const bool failInit : {false, true}) {
        SCOPED_TRACE(failInit ? "failing enumerator" : "no disks");
        FakeEnumerator fake;
        fake.failInit = failInit;
        QXUIDeviceData model(&fake);
        EXPECT_EQ(model.InitDeviceInfo(), failInit ? 0 : 1);
        EXPECT_EQ(model.GetInitState(), failInit ? 0u : 2u);
        ASSERT_EQ(model.QXOpenQvxFileImp(images.qvx.c_str()), 1);
        ASSERT_EQ(model.QXOpenDmgFile(images.dmg.c_str()), 1);
        EXPECT_EQ(Names(model), (std::vector<std::string>{"0:small.img", "1:small.dmg"}));
        EXPECT_EQ(model.InitDeviceInfo(), failInit ? 0 : 1);
        EXPECT_EQ(fake.inits, 2);
        EXPECT_EQ(Names(model), (std::vector<std::string>{"0:small.img", "1:small.dmg"}));
    }
    QXUIDeviceData noEnumerator(nullptr);
    ASSERT_EQ(noEnumerator.QXOpenQvxFileImp(images.qvx.c_str()), 1);
    EXPECT_EQ(Names(noEnumerator), (std::vector<std::string>{"0:small.img"}));
}

TEST(DeviceList, SameImageListedOnceAndNonImagesRefused) {
    Images images;
    QXUIDeviceData model(nullptr);
    EXPECT_EQ(model.QXOpenQvxFileImp(images.qvx.c_str()), 1);
    EXPECT_EQ(model.QXOpenQvxFileImp(images.qvx.c_str()), 1);
    EXPECT_EQ(model.QXOpenDmgFile(images.dmg.c_str()), 1);
    EXPECT_EQ(model.QXOpenDmgFile(images.dmg.c_str()), 1);
    EXPECT_EQ(model.GetDiskCount(), 2);
    // Another QVX of the same source made at another time is another image.
    EXPECT_EQ(model.QXOpenQvxFileImp(images.other.c_str()), 1);
    EXPECT_EQ(model.GetDiskCount(), 3);

    // Files that are not such images: refused, nothing listed.
    const std::string text = images.dir / "notes.txt";
    ASSERT_TRUE(Shell("echo hello > '" + text + "'"));
    const std::string cut = images.dir / "cut.qvx";
    ASSERT_TRUE(Shell("head -c 100000 '" + images.qvx + "' > '" + cut + "'"));
    for (const std::string& path :
         std::vector<std::string>{text, cut, images.raw, images.dir / "missing.qvx", images.dir.path()})
        EXPECT_EQ(model.QXOpenQvxFileImp(path.c_str()), 0) << path;
    // A raw image reads as a DMG does, so only what is no disk image at all
    // is refused as one.
    for (const std::string& path : std::vector<std::string>{text, images.dir / "missing.dmg", images.dir.path()})
        EXPECT_EQ(model.QXOpenDmgFile(path.c_str()), 0) << path;
    EXPECT_EQ(model.QXOpenQvxFileImp(nullptr), 0);
    EXPECT_EQ(model.GetDiskCount(), 3);
}

TEST(DeviceList, OfferedVolumesByPartitionScheme) {
    FakeEnumerator fake;
    struct Case {
        uint32_t scheme;
        const uint8_t* guid;
        const char* apm;
        bool offered;
    };
    const Case cases[] = {
        {PARTITION_SCHEME_GPT, kEfi, "", false},
        {PARTITION_SCHEME_GPT, kAppleBoot, "", false},
        {PARTITION_SCHEME_GPT, kBasicData, "", true},
        {PARTITION_SCHEME_APM, nullptr, "Apple_partition_map", false},
        {PARTITION_SCHEME_APM, nullptr, "Apple_Free", false},
        {PARTITION_SCHEME_APM, nullptr, "Apple_HFS", true},
        // On an MBR disk the same bytes and texts mean nothing.
        {PARTITION_SCHEME_MBR, kEfi, "Apple_Free", true},
        {PARTITION_SCHEME_NONE, kEfi, "", true},
    };
    for (const Case& c : cases) {
        MemDevice* disk = fake.AddDisk(MakeDisk("Disk", "sdx", DISK_BUS_SATA, c.scheme));
        MemDevice* volume = fake.AddVolume(disk, MakeVolume(disk, "Vol", "sdx1", 2, c.guid, c.apm));
        EXPECT_EQ(QXUIDeviceData::IsVolumeStorageSupported(volume), c.offered ? 1 : 0)
            << "scheme " << c.scheme << " " << c.apm;
    }
    // Without a holding disk every volume is offered; without a record none.
    CCollectedVolumeDeviceInfoStruct loose{};
    std::memcpy(loose.typeGuid, kEfi, 16);
    EXPECT_TRUE(QXUIDeviceData::IsSupportVolume(&loose));
    EXPECT_FALSE(QXUIDeviceData::IsSupportVolume(nullptr));
    EXPECT_EQ(QXUIDeviceData::IsVolumeStorageSupported(nullptr), 0);

    // The hidden volume is left out of the records but stays reachable.
    QXUIDeviceData model(&fake);
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    std::list<_DiskVolumeData> records;
    model.GetAllDeviceInfo(records);
    ASSERT_EQ(records.size(), std::size(cases));
    EXPECT_TRUE(records.front().volumes.empty());
    EXPECT_NE(model.GetStorageByDiskVolumeIndex(0, 0), nullptr);
}

TEST(DeviceList, RecordsAndIndexLookups) {
    FakeEnumerator fake;
    MemDevice* ssd = fake.AddDisk(MakeDisk("Fast SSD 500", "nvme0n1", DISK_BUS_SCSI, PARTITION_SCHEME_GPT, 1000));
    MemDevice* stick = fake.AddDisk(MakeDisk("USB Stick", "sdb", DISK_BUS_USB, PARTITION_SCHEME_MBR));
    MemDevice* loop = fake.AddDisk(MakeDisk("disk.img", "loop3", DISK_BUS_VIRTUAL, PARTITION_SCHEME_MBR));
    MemDevice* v0 = fake.AddVolume(stick, MakeVolume(stick, "STICK ONE", "sdb1", 2));
    MemDevice* v1 = fake.AddVolume(stick, MakeVolume(stick, "", "sdb2", 3));
    QXUIDeviceData model(&fake);
    ASSERT_EQ(model.InitDeviceInfo(), 1);

    std::list<_DiskVolumeData> records;
    model.GetAllDeviceInfo(records);
    ASSERT_EQ(records.size(), 3u);
    auto it = records.begin();
    EXPECT_EQ(it->name, "Fast SSD 500");
    EXPECT_EQ(it->diskPath, "nvme0n1");
    EXPECT_EQ(it->capacity, 512000);
    EXPECT_EQ(std::make_tuple(it->isSSD, it->isUSB, it->isDmg), std::make_tuple(1u, 0u, 0u));
    ++it;
    EXPECT_EQ(std::make_tuple(it->isSSD, it->isUSB, it->isDmg), std::make_tuple(0u, 1u, 0u));
    ASSERT_EQ(it->volumes.size(), 2u);
    const _DiskVolumeData& vol = it->volumes.back();
    EXPECT_EQ(std::make_tuple(vol.diskIndex, vol.volumeIndex, vol.fileSystem), std::make_tuple(1, 1, 3));
    EXPECT_EQ(vol.diskPath, "sdb2");
    EXPECT_EQ(vol.capacity, 512000);
    ++it;
    EXPECT_EQ(std::make_tuple(it->isSSD, it->isUSB, it->isDmg), std::make_tuple(0u, 0u, 1u));

    // Names are the model's own copies: the records outlive the engine's.
    fake.owned.clear();
    fake.diskOrder.clear();
    fake.volumes.clear();
    EXPECT_EQ(records.front().name, "Fast SSD 500");
    model.InitDeviceInfo();
    EXPECT_EQ(model.GetDiskCount(), 0);
    (void)ssd;
    (void)loop;
    (void)v0;
    (void)v1;
}

TEST(DeviceList, IndexLookupTable) {
    FakeEnumerator fake;
    MemDevice* a = fake.AddDisk(MakeDisk("A", "sda", DISK_BUS_SATA, PARTITION_SCHEME_MBR));
    MemDevice* b = fake.AddDisk(MakeDisk("B", "sdb", DISK_BUS_SATA, PARTITION_SCHEME_MBR));
    MemDevice* b0 = fake.AddVolume(b, MakeVolume(b, "B0", "sdb1"));
    MemDevice* b1 = fake.AddVolume(b, MakeVolume(b, "B1", "sdb2"));
    MemDevice stranger(8);
    QXUIDeviceData model(&fake);
    ASSERT_EQ(model.InitDeviceInfo(), 1);

    struct Case {
        int disk, volume;
        IStorageDevice* expected;
    };
    const Case lookups[] = {{0, -1, a},      {1, -1, b},       {1, 0, b0},        {1, 1, b1},       {1, 2, nullptr},
                            {0, 0, nullptr}, {2, -1, nullptr}, {-1, -1, nullptr}, {-1, 0, nullptr}, {-5, -1, nullptr}};
    for (const Case& c : lookups)
        EXPECT_EQ(model.GetStorageByDiskVolumeIndex(c.disk, c.volume), c.expected) << c.disk << "," << c.volume;

    struct Back {
        IStorageDevice* storage;
        int found, disk, volume;
    };
    const Back backs[] = {{a, 1, 0, -1}, {b1, 1, 1, 1}, {&stranger, 0, -1, -1}, {nullptr, 0, -1, -1}};
    for (const Back& c : backs) {
        int disk = 7, volume = 7;
        EXPECT_EQ(model.GetDiskVolumeIndexByStorage(c.storage, disk, volume), c.found);
        EXPECT_EQ(std::make_pair(disk, volume), std::make_pair(c.disk, c.volume));
    }
    EXPECT_EQ(model.GetDiskStorageByVolumeStorage(b0), b);
    EXPECT_EQ(model.GetDiskStorageByVolumeStorage(&stranger), nullptr);
    EXPECT_EQ(model.GetVolumeIndexByStorage(b, b1), 1);
    EXPECT_EQ(model.GetVolumeIndexByStorage(a, b1), -1);
    std::list<IStorageDevice*> volumes{&stranger};
    model.GetDiskVolumeStorage(&stranger, volumes);
    EXPECT_EQ(volumes.size(), 1u);
    model.GetDiskVolumeStorage(b, volumes);
    EXPECT_EQ(volumes, (std::list<IStorageDevice*>{b0, b1}));
    EXPECT_EQ(QXUIDeviceData::GetVolumeInfo(a), nullptr);
    EXPECT_NE(QXUIDeviceData::GetVolumeInfo(b0), nullptr);
}

// Images opened again from the records a scan-result file keeps: owned by
// the model (the leak checker sees them freed), not listed.
TEST(DeviceList, ImagesReopenedFromStoredRecords) {
    Images images;
    QXUIDeviceData model(nullptr);
    ASSERT_EQ(model.QXOpenQvxFileImp(images.qvx.c_str()), 1);
    ASSERT_EQ(model.QXOpenDmgFile(images.dmg.c_str()), 1);
    std::list<_DiskVolumeData> records;
    model.GetAllDeviceInfo(records);
    ASSERT_EQ(records.size(), 2u);
    const _DiskVolumeData& qvx = records.front();
    const _DiskVolumeData& dmg = records.back();
    ASSERT_EQ(qvx.qvxInfoSize, 1192);
    ASSERT_EQ(dmg.dmgInfoSize, 2088);
    EXPECT_EQ(qvx.capacity, 1024 * 1024);
    EXPECT_EQ(dmg.capacity, 1024 * 1024);
    EXPECT_EQ(std::make_tuple(qvx.isQvx, qvx.isAppleDmg, dmg.isQvx, dmg.isAppleDmg), std::make_tuple(1u, 0u, 0u, 1u));

    uint8_t stored[kQvxInfoSize];
    SerialiseQvxInfo(*qvx.qvxInfo, stored);
    IStorageDevice* again = model.GetStorageByQvxInfo(stored, sizeof stored, nullptr);
    ASSERT_NE(again, nullptr);
    std::vector<uint8_t> a(512), b(512);
    ASSERT_EQ(again->ReadSector(a.data(), 0, 1), 1);
    ASSERT_EQ(model.GetDiskStorageByIndex(0)->ReadSector(b.data(), 0, 1), 1);
    EXPECT_EQ(a, b);
    uint8_t dmgStored[kDmgInfoSize];
    SerialiseDmgInfo(*dmg.dmgInfo, dmgStored);
    // The path handed in is not used: the record's own path is.
    EXPECT_NE(model.GetStorageByDmgInfo(dmgStored, sizeof dmgStored, "/nonexistent/x.dmg"), nullptr);
    EXPECT_EQ(model.GetDiskCount(), 2);

    // A record whose image changed since the save is refused.
    CQVXDeviceInfoStruct changed = *qvx.qvxInfo;
    changed.createTime += 1;
    SerialiseQvxInfo(changed, stored);
    EXPECT_EQ(model.GetStorageByQvxInfo(stored, sizeof stored, nullptr), nullptr);
    EXPECT_EQ(model.GetStorageByQvxInfo(nullptr, 0, nullptr), nullptr);
}

TEST(DeviceList, DeviceRows) {
    _DiskVolumeData disk;
    disk.name = "Fast SSD";
    disk.diskPath = "nvme0n1";
    disk.diskIndex = 0;
    disk.isSSD = 1;
    _DiskVolumeData volume;
    volume.diskPath = "nvme0n1p2";
    volume.diskIndex = 0;
    volume.volumeIndex = 1;
    disk.volumes.push_back(volume);
    volume.name = "bad \xC3\x28 name";
    volume.diskPath = "../sda";
    disk.volumes.push_back(volume);
    _DiskVolumeData image;
    image.name = "small.img";
    image.diskPath = "/home/u/small.qvx";
    image.isQvx = 1;
    const auto rows = DiskVolumeNodeData::MakeRows({disk, image});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]->name(), "Fast SSD");
    EXPECT_EQ(rows[0]->diskPath(), "/dev/nvme0n1");
    EXPECT_EQ(rows[0]->isSSD(), 1u);
    ASSERT_EQ(rows[0]->numberOfChildren(), 2u);
    EXPECT_EQ(rows[0]->childAtIndex(0)->name(), "Untitled");
    EXPECT_EQ(rows[0]->childAtIndex(0)->diskPath(), "/dev/nvme0n1p2");
    EXPECT_EQ(rows[0]->childAtIndex(0)->volumeIndex(), 1);
    EXPECT_EQ(rows[0]->childAtIndex(1)->name(), "Unknown");
    EXPECT_EQ(rows[0]->childAtIndex(1)->diskPath(), "");
    EXPECT_EQ(rows[0]->childAtIndex(2), nullptr);
    EXPECT_EQ(rows[1]->diskPath(), "");
    EXPECT_EQ(rows[1]->imagePath(), "/home/u/small.qvx");
}

}  // namespace
