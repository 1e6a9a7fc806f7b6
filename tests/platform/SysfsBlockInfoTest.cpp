#include "platform/SysfsBlockInfo.h"

#include <unistd.h>

#include <filesystem>

#include "TestUtil.h"

using platform_test::ScratchDir;
using platform_test::WriteFile;

namespace {

// Builds ROOT/devices/.../block/NAME with its attributes and the
// ROOT/block/NAME link the kernel makes.
void AddDisk(const ScratchDir& root, const std::string& devPath, const std::string& name, const std::string& dev,
             uint64_t size512, uint32_t lbs) {
    std::string dir = root / ("devices/" + devPath + "/block/" + name);
    WriteFile(dir + "/dev", dev + "\n");
    WriteFile(dir + "/size", std::to_string(size512) + "\n");
    WriteFile(dir + "/ro", "0\n");
    WriteFile(dir + "/hidden", "0\n");
    WriteFile(dir + "/queue/logical_block_size", std::to_string(lbs) + "\n");
    std::filesystem::create_directories(root / "block");
    std::filesystem::create_symlink("../devices/" + devPath + "/block/" + name, root / ("block/" + name));
}

void AddPartition(const ScratchDir& root, const std::string& disk, const std::string& name, int number,
                  uint64_t start512, uint64_t size512, const std::string& dev) {
    std::string dir = root / ("block/" + disk + "/" + name);
    WriteFile(dir + "/partition", std::to_string(number) + "\n");
    WriteFile(dir + "/start", std::to_string(start512) + "\n");
    WriteFile(dir + "/size", std::to_string(size512) + "\n");
    WriteFile(dir + "/dev", dev + "\n");
}

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root.path().empty());
        const std::string ata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
        AddDisk(root, ata, "sda", "8:0", 1000215216, 512);
        WriteFile(root / ("devices/" + ata + "/model"), "Samsung SSD 860   \n");
        WriteFile(root / ("devices/" + ata + "/vendor"), "ATA     \n");
        WriteFile(root / ("devices/" + ata + "/type"), "0\n");
        std::filesystem::create_symlink("../../", root / ("devices/" + ata + "/block/sda/device"));
        AddPartition(root, "sda", "sda10", 10, 4096, 2048, "8:10");
        AddPartition(root, "sda", "sda2", 2, 2048, 2048, "8:2");
        AddPartition(root, "sda", "sda1", 1, 34, 2014, "8:1");

        const std::string usb = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
        AddDisk(root, usb, "sdb", "8:16", 62333952, 4096);
        WriteFile(root / ("devices/" + usb + "/model"), "Flash Disk\n");
        WriteFile(root / ("devices/" + usb + "/vendor"), "SanDisk \n");
        std::filesystem::create_symlink("../../", root / ("devices/" + usb + "/block/sdb/device"));

        AddDisk(root, "virtual/block", "loop3", "7:3", 16384, 4096);
        WriteFile(root / "block/loop3/loop/backing_file", "/tmp/images/my disk.img\n");

        const std::string optical = "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0";
        AddDisk(root, optical, "sr0", "11:0", 2097152, 2048);
        AddDisk(root, "pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0", "sdc", "8:32", 4096, 512);
        WriteFile(root / "block/sdc/device/type", "5\n");  // a plain folder here: optical by type
        AddDisk(root, "virtual/block", "dm-0", "253:0", 409600, 512);
        AddDisk(root, "virtual/block", "zram0", "252:0", 409600, 4096);
        AddDisk(root, "virtual/block", "md127", "9:127", 409600, 512);
        AddDisk(root, "virtual/block", "ram0", "1:0", 409600, 512);
        AddDisk(root, "virtual/block", "loop7", "7:7", 0, 512);  // detached loop: no media
        AddDisk(root, "pci0000:00/0000:00:1d.0/nvme/nvme0", "nvme0n1", "259:0", 2000409264, 512);
        WriteFile(root / "block/nvme0n1/hidden", "1\n");
        AddDisk(root, "pci0000:00/0000:00:1d.0/nvme/nvme1", "nvme1n1", "259:5", 2000409264, 512);
    }

    ScratchDir root;
};

TEST_F(FakeSysfs, ListsEveryBlockDeviceButOnlyDisksQualify) {
    SysfsBlockInfo sysfs(root.path());
    std::vector<std::string> names = sysfs.ListBlockDevices();
    EXPECT_EQ(names.size(), 12u);
    std::vector<std::string> disks;
    for (const auto& n : names) {
        SysfsDisk d;
        ASSERT_TRUE(sysfs.ReadDisk(n, d)) << n;
        if (SysfsBlockInfo::IsCandidateDisk(d)) disks.push_back(n);
    }
    EXPECT_EQ(disks, (std::vector<std::string>{"loop3", "nvme1n1", "sda", "sdb"}));
}

TEST_F(FakeSysfs, ReadsDiskAttributesInTheirOwnUnits) {
    SysfsBlockInfo sysfs(root.path() + "/");
    SysfsDisk d;
    ASSERT_TRUE(sysfs.ReadDisk("sdb", d));
    EXPECT_TRUE(d.hasDev);
    EXPECT_EQ(d.major, 8u);
    EXPECT_EQ(d.minor, 16u);
    EXPECT_EQ(d.size512, 62333952u);  // always 512-byte units, even on a 4Kn disk
    EXPECT_EQ(d.logicalBlockSize, 4096u);
    EXPECT_FALSE(d.readOnly);
    EXPECT_EQ(SysfsBlockInfo::BusType(d), kSysfsBusUsb);
    EXPECT_EQ(SysfsBlockInfo::MediaName(d), "SanDisk Flash Disk");

    ASSERT_TRUE(sysfs.ReadDisk("sda", d));
    EXPECT_EQ(SysfsBlockInfo::BusType(d), kSysfsBusSata);
    EXPECT_EQ(SysfsBlockInfo::MediaName(d), "Samsung SSD 860");  // "ATA" vendor is not shown

    ASSERT_TRUE(sysfs.ReadDisk("loop3", d));
    EXPECT_EQ(SysfsBlockInfo::BusType(d), kSysfsBusVirtual);
    EXPECT_EQ(SysfsBlockInfo::MediaName(d), "my disk.img");

    ASSERT_TRUE(sysfs.ReadDisk("nvme1n1", d));
    EXPECT_EQ(SysfsBlockInfo::BusType(d), kSysfsBusUnknown);
    EXPECT_EQ(SysfsBlockInfo::MediaName(d), "nvme1n1");
    EXPECT_EQ(d.major, 259u);

    EXPECT_FALSE(sysfs.ReadDisk("nosuch", d));
    EXPECT_FALSE(sysfs.ReadDisk("../block", d));
}

TEST_F(FakeSysfs, PartitionsComeInNumberOrderWith512ByteUnits) {
    SysfsBlockInfo sysfs(root.path());
    std::vector<SysfsPartition> parts = sysfs.ListPartitions("sda");
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].name, "sda1");
    EXPECT_EQ(parts[0].start512, 34u);
    EXPECT_EQ(parts[1].name, "sda2");
    EXPECT_EQ(parts[2].name, "sda10");
    EXPECT_EQ(parts[2].number, 10);
    EXPECT_EQ(parts[2].minor, 10u);
    EXPECT_TRUE(sysfs.ListPartitions("sdb").empty());
    EXPECT_TRUE(sysfs.ListPartitions("nosuch").empty());
}

TEST(SysfsBlockInfo, DevNumberParsing) {
    struct Case {
        const char* text;
        bool ok;
        unsigned major, minor;
    } cases[] = {
        {"8:0", true, 8, 0},
        {"259:65536\n", true, 259, 65536},
        {"7:", false, 0, 0},
        {":3", false, 0, 0},
        {"8-0", false, 0, 0},
        {"a:b", false, 0, 0},
        {"99999999999:1", false, 0, 0},
    };
    for (const auto& c : cases) {
        unsigned ma = 0, mi = 0;
        EXPECT_EQ(SysfsBlockInfo::ParseDevNumber(c.text, ma, mi), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ma, c.major);
            EXPECT_EQ(mi, c.minor);
        }
    }
}

TEST(SysfsBlockInfo, MissingRootListsNothing) {
    SysfsBlockInfo sysfs("/nonexistent/sysfs/root");
    EXPECT_TRUE(sysfs.ListBlockDevices().empty());
}

}  // namespace
