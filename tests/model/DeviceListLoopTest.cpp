// The device list over the real enumerator, limited to a loop disk this test
// attaches (root): an MBR disk with two FAT partitions, then an opened QVX
// and an opened DMG image. The machine's own disks are never opened.
#include <gtest/gtest.h>

#include <cstring>

#include "model/QXUIDeviceData.h"
#include "storage/DeviceEnum.h"
#include "support/DeviceListTestSupport.h"
#include "support/SkipOutsideCi.h"

using namespace devlist_test;

namespace {

const std::string kFixtures = std::string(QUILLORY_SOURCE_DIR) + "/tests/fixtures/";

class LoopDeviceList : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        ASSERT_TRUE(Shell(kFixtures + "make_model_disk.sh '" + image + "'"));
        loop = std::make_unique<LoopDevice>(image);
        ASSERT_TRUE(loop->ok());
        ASSERT_TRUE(Shell("test -b " + loop->path() + "p1 && test -b " + loop->path() + "p2"));
        enumerator = std::make_unique<CEnumDeviceEx>(OnlyDisk(loop->name()));
    }

    ScratchDir dir;
    std::string image = dir / "model-disk.img";
    std::unique_ptr<LoopDevice> loop;
    std::unique_ptr<CEnumDeviceEx> enumerator;
};

TEST_F(LoopDeviceList, LoopDiskThenQvxThenDmg) {
    const std::string qvx = dir / "disk.qvx", dmg = dir / "disk.dmg";
    ASSERT_TRUE(Shell("/usr/bin/python3 " + kFixtures + "make_qvx.py '" + image + "' '" + qvx + "'"));
    ASSERT_TRUE(Shell("/usr/bin/python3 " + kFixtures + "make_udif.py '" + image + "' '" + dmg + "'"));
    QXUIDeviceData model(enumerator.get());
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    ASSERT_EQ(model.QXOpenQvxFileImp(qvx.c_str()), 1);
    ASSERT_EQ(model.QXOpenDmgFile(dmg.c_str()), 1);
    ASSERT_EQ(model.QXOpenQvxFileImp(qvx.c_str()), 1);
    ASSERT_EQ(model.QXOpenDmgFile(dmg.c_str()), 1);

    std::list<_DiskVolumeData> records;
    model.GetAllDeviceInfo(records);
    ASSERT_EQ(records.size(), 3u);
    auto it = records.begin();
    EXPECT_EQ(it->diskIndex, 0);
    EXPECT_EQ(it->name, "model-disk.img");
    EXPECT_EQ(it->diskPath, loop->name());
    EXPECT_EQ(it->capacity, 24 * 1024 * 1024);
    EXPECT_EQ(it->isDmg, 1u);  // a loop device is an image the system attached
    EXPECT_EQ(it->beCanOpen, 1u);
    ASSERT_EQ(it->volumes.size(), 2u);
    const int64_t sizes[] = {20480 * 512, 26624 * 512};
    const char* labels[] = {"MODELONE", "MODELTWO"};
    int v = 0;
    for (const _DiskVolumeData& volume : it->volumes) {
        EXPECT_EQ(volume.diskIndex, 0);
        EXPECT_EQ(volume.volumeIndex, v);
        EXPECT_EQ(volume.capacity, sizes[v]);
        EXPECT_EQ(volume.diskPath, loop->name() + "p" + std::to_string(v + 1));
        EXPECT_NE(volume.name.find(labels[v]), std::string::npos) << volume.name;
        EXPECT_EQ(volume.fileSystem, 1);  // FAT16
        // The same device as the index lookup gives, reading the same bytes.
        IStorageDevice* device = model.GetStorageByDiskVolumeIndex(0, v);
        ASSERT_NE(device, nullptr);
        std::vector<uint8_t> sector(512), expected(512);
        ASSERT_EQ(device->ReadSector(sector.data(), 0, 1), 1);
        FILE* f = std::fopen(image.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::fseek(f, (v == 0 ? 2048 : 22528) * 512L, SEEK_SET);
        ASSERT_EQ(std::fread(expected.data(), 1, 512, f), 512u);
        std::fclose(f);
        EXPECT_EQ(sector, expected);
        ++v;
    }
    ++it;
    EXPECT_EQ(std::make_tuple(it->diskIndex, it->isQvx, it->name),
              std::make_tuple(1, 1u, std::string("model-disk.img")));
    EXPECT_EQ(model.GetStorageByDiskVolumeIndex(1, -1)->GetType(), STORAGE_DEVICE_QVX);
    ++it;
    EXPECT_EQ(std::make_tuple(it->diskIndex, it->isAppleDmg, it->name),
              std::make_tuple(2, 1u, std::string("disk.dmg")));
    EXPECT_EQ(model.GetStorageByDiskVolumeIndex(2, -1)->GetType(), STORAGE_DEVICE_DMG);
    EXPECT_EQ(model.GetStorageByDiskVolumeIndex(3, -1), nullptr);
}

// A reader that holds a pin keeps its device through a refill of the list;
// the address checker would report a read of a freed device.
TEST_F(LoopDeviceList, PinnedDeviceSurvivesARefill) {
    QXUIDeviceData model(enumerator.get());
    ASSERT_EQ(model.InitDeviceInfo(), 1);
    IStorageDevice* volume = model.GetStorageByDiskVolumeIndex(0, 1);
    ASSERT_NE(volume, nullptr);
    std::vector<uint8_t> before(512), after(512);
    {
        DevicePin pin(model);
        ASSERT_EQ(volume->ReadSector(before.data(), 0, 1), 1);
        model.Clear();
        ASSERT_EQ(model.InitDeviceInfo(), 1);
        EXPECT_NE(model.GetStorageByDiskVolumeIndex(0, 1), nullptr);
        ASSERT_EQ(volume->ReadSector(after.data(), 0, 1), 1);
    }
    EXPECT_EQ(before, after);
}

}  // namespace
