// The device list on real loop devices (root): the kernel's partitions, the
// 512-byte units of sysfs on 4Kn disks, mounted volumes. Each test lists only
// the loop devices it made, and removes them (and its mounts) whatever happens.
#include "storage/DeviceEnum.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <set>

#include "DeviceListTestSupport.h"
#include "foundation/Types.h"
#include "storage/DiskDevice.h"
#include "support/SkipOutsideCi.h"

using namespace devlist_test;

namespace {

std::string Name(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

// A read-only mount, unmounted when the object goes.
class Mount {
public:
    Mount(const std::string& device, const std::string& mountPoint) : m_point(mountPoint) {
        std::filesystem::create_directories(mountPoint);
        m_ok = Shell("mount -o ro '" + device + "' '" + mountPoint + "'");
    }
    ~Mount() {
        if (m_ok && !Shell("umount '" + m_point + "'")) Shell("umount -l '" + m_point + "'");
    }
    bool ok() const { return m_ok; }

private:
    std::string m_point;
    bool m_ok = false;
};

class LoopEnum : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CanUseLoopDevices()) QUILLORY_SKIP_OUTSIDE_CI("needs root and loop devices");
        ASSERT_FALSE(dir.path().empty());
    }

    std::string Image(const std::string& name, const std::string& size) {
        std::string path = dir / name;
        EXPECT_TRUE(Shell("truncate -s " + size + " '" + path + "'"));
        return path;
    }

    // Lists only the given loop devices.
    EnumDeviceConfig Only(std::set<std::string> names) {
        EnumDeviceConfig config;
        config.acceptDisk = [names](const std::string& n) { return names.count(n) != 0; };
        return config;
    }

    static std::vector<IStorageDevice*> Disks(CEnumDeviceEx& e) {
        int count = 0;
        EXPECT_EQ(e.EnumDiskDevice(nullptr, count), ENGINE_OK);
        std::vector<IStorageDevice*> out(static_cast<size_t>(count));
        if (count) {
            EXPECT_EQ(e.EnumDiskDevice(out.data(), count), ENGINE_OK);
        }
        return out;
    }

    static std::vector<IStorageDevice*> Partitions(CEnumDeviceEx& e, IStorageDevice* disk) {
        int count = 0;
        EXPECT_EQ(e.EnumPartitionDevice(disk, nullptr, count), ENGINE_OK);
        std::vector<IStorageDevice*> out(static_cast<size_t>(count));
        if (count) {
            EXPECT_EQ(e.EnumPartitionDevice(disk, out.data(), count), ENGINE_OK);
        }
        return out;
    }

    static std::vector<IStorageDevice*> Volumes(CEnumDeviceEx& e, IStorageDevice* disk) {
        int count = 0;
        EXPECT_EQ(e.EnumVolumeDevice(disk, nullptr, count), ENGINE_OK);
        std::vector<IStorageDevice*> out(static_cast<size_t>(count));
        if (count) {
            EXPECT_EQ(e.EnumVolumeDevice(disk, out.data(), count), ENGINE_OK);
        }
        return out;
    }

    ScratchDir dir;
};

TEST_F(LoopEnum, DisksBelow8MiBAreNotListed) {
    LoopDevice small(Image("small.img", "4M"), 512, false);
    LoopDevice large(Image("large.img", "8M"), 512, false);
    ASSERT_TRUE(small.ok() && large.ok());
    CEnumDeviceEx e(Only({small.name(), large.name()}));
    ASSERT_EQ(e.Init(), ENGINE_OK);
    std::vector<IStorageDevice*> disks = Disks(e);
    ASSERT_EQ(disks.size(), 1u);
    const CCollectDiskDeviceInfoStruct* rec = DiskInfoOf(disks[0]);
    EXPECT_EQ(Name(rec->bsdName, 128), large.name());
    EXPECT_EQ(rec->busType, DISK_BUS_VIRTUAL);
    EXPECT_EQ(Name(rec->mediaName, 128), "large.img");
    EXPECT_EQ(rec->totalSectors, 16384);
    EXPECT_EQ(rec->partitionScheme, PARTITION_SCHEME_NONE);
    struct stat st;
    ASSERT_EQ(stat(large.path().c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint32_t>(rec->deviceNumber), static_cast<uint32_t>(st.st_rdev));

    // No table, no file system: the whole disk is the one volume and the one
    // partition.
    std::vector<IStorageDevice*> vols = Volumes(e, disks[0]);
    ASSERT_EQ(vols.size(), 1u);
    EXPECT_EQ(VolumeInfoOf(vols[0])->partitionNumber, -1);
    EXPECT_EQ(Name(VolumeInfoOf(vols[0])->volumeName, 1024), large.name());
    EXPECT_EQ(VolumeInfoOf(vols[0])->fileSystemType, FILE_SYSTEM_UNKNOWN);
    std::vector<IStorageDevice*> parts = Partitions(e, disks[0]);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(PartitionInfoOf(parts[0])->partitionNumber, -1);
    EXPECT_EQ(PartitionInfoOf(parts[0])->sectorCount, 16384);
}

TEST_F(LoopEnum, MbrLogicalsOnA4KnDiskWithAMountedVolume) {
    std::string img = Image("mbr4k.img", "64M");
    LoopDevice loop(img, 4096, true);
    ASSERT_TRUE(loop.ok());
    const std::string p = loop.path() + "p";
    ASSERT_TRUE(Shell("printf 'label: dos\\n" + p + "1: start=256,size=4096,type=83\\n" + p +
                      "2: start=4352,type=5\\n" + p + "5: size=2048,type=83\\n" + p + "6: type=7\\n' | sfdisk -q " +
                      loop.path()));
    // sfdisk's re-read may not show every partition yet; partx adds what is missing.
    Shell("partx -u " + loop.path());
    Shell("partx -a " + loop.path());
    ASSERT_TRUE(Shell("test -b " + p + "1 && test -b " + p + "5"));
    ASSERT_TRUE(Shell("mkfs.ext4 -q -F " + p + "1"));
    const std::string mountPoint = dir / "mnt/Vol One";
    Mount mount(p + "1", mountPoint);
    ASSERT_TRUE(mount.ok());

    std::map<int, std::pair<int64_t, int64_t>> oracle;  // number -> start, count in 4 KiB sectors
    {
        std::istringstream rows(Capture("partx -g -b -o NR,START,SECTORS,TYPE " + loop.path()));
        int nr;
        int64_t start, count;
        std::string type;
        while (rows >> nr >> start >> count >> type) oracle[nr] = {start * 512 / 4096, count * 512 / 4096};
    }
    ASSERT_EQ(oracle.size(), 4u);

    CEnumDeviceEx e(Only({loop.name()}));
    ASSERT_EQ(e.Init(), ENGINE_OK);
    std::vector<IStorageDevice*> disks = Disks(e);
    ASSERT_EQ(disks.size(), 1u);
    IStorageDevice* disk = disks[0];
    EXPECT_EQ(disk->GetSectorSize(), 4096u);
    EXPECT_EQ(disk->GetTotalSectors(), 16384);
    EXPECT_EQ(DiskInfoOf(disk)->partitionScheme, PARTITION_SCHEME_MBR);

    std::vector<IStorageDevice*> parts = Partitions(e, disk);
    ASSERT_EQ(parts.size(), 3u);
    std::vector<IStorageDevice*> vols = Volumes(e, disk);
    ASSERT_EQ(vols.size(), 3u);  // the extended container is no volume, and nothing needed converting
    const int numbers[] = {1, 5, 6};
    for (size_t i = 0; i < 3; ++i) {
        const CCollectedPartitionDeviceInfoStruct* pr = PartitionInfoOf(parts[i]);
        const CCollectedVolumeDeviceInfoStruct* vr = VolumeInfoOf(vols[i]);
        ASSERT_TRUE(pr && vr);
        EXPECT_EQ(pr->partitionNumber, numbers[i]);
        EXPECT_EQ(vr->partitionNumber, numbers[i]);
        EXPECT_EQ(pr->startSector, oracle[numbers[i]].first);
        EXPECT_EQ(vr->startSector, oracle[numbers[i]].first) << "sysfs counts 512-byte units";
        EXPECT_EQ(vr->totalSectors, oracle[numbers[i]].second);
        EXPECT_EQ(vr->sectorSize, 4096);
        EXPECT_EQ(Name(vr->bsdName, 128), loop.name() + "p" + std::to_string(numbers[i]));
        EXPECT_NE(vols[i]->GetType(), STORAGE_DEVICE_PARTITION);
    }
    const CCollectedVolumeDeviceInfoStruct* v1 = VolumeInfoOf(vols[0]);
    EXPECT_EQ(v1->mounted, 1u);
    EXPECT_EQ(Name(v1->volumeName, 1024), "Vol One");
    struct stat st;
    ASSERT_EQ(stat(mountPoint.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint32_t>(v1->deviceNumber), static_cast<uint32_t>(st.st_dev));
    EXPECT_EQ(VolumeInfoOf(vols[1])->mounted, 0u);

    // The volume reads the partition's own sectors: the ext4 superblock magic.
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(vols[0]->ReadSector(buf.data(), 0, 1), 1);
    EXPECT_EQ(buf[1024 + 56], 0x53);
    EXPECT_EQ(buf[1024 + 57], 0xEF);
}

TEST_F(LoopEnum, GptVolumesCarryLabelsAndGuids) {
    std::string img = Image("gpt.img", "48M");
    ASSERT_TRUE(Shell("sgdisk -n 1:2048:+20480 -t 1:0700 -n 2:0:+4096 -n 3:0:0 '" + img + "'"));
    LoopDevice loop(img, 512, true);
    ASSERT_TRUE(loop.ok());
    ASSERT_TRUE(Shell("mkfs.fat -F 16 -n GPTFAT " + loop.path() + "p1"));

    CEnumDeviceEx e(Only({loop.name()}));
    ASSERT_EQ(e.Init(), ENGINE_OK);
    std::vector<IStorageDevice*> disks = Disks(e);
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(DiskInfoOf(disks[0])->partitionScheme, PARTITION_SCHEME_GPT);
    std::vector<IStorageDevice*> parts = Partitions(e, disks[0]);
    ASSERT_EQ(parts.size(), 2u);  // the 2 MiB partition is below the 8 MiB minimum
    std::vector<IStorageDevice*> vols = Volumes(e, disks[0]);
    ASSERT_EQ(vols.size(), 3u);  // ... but the kernel's volume of it is listed
    const CCollectedVolumeDeviceInfoStruct* v1 = VolumeInfoOf(vols[0]);
    const CCollectedPartitionDeviceInfoStruct* p1 = PartitionInfoOf(parts[0]);
    EXPECT_EQ(Name(v1->volumeName, 1024), "GPTFAT");
    EXPECT_EQ(std::memcmp(v1->typeGuid, p1->typeGuid, 16), 0);
    EXPECT_EQ(std::memcmp(v1->partitionGuid, p1->partitionGuid, 16), 0);
    EXPECT_EQ(p1->typeGuid[0], 0xA2);  // basic data, as stored
    EXPECT_EQ(v1->startSector, 2048);
}

TEST_F(LoopEnum, ApplePartitionMapIsFullyCovered) {
    std::string img = Image("apm.img", "48M");
    ASSERT_TRUE(Shell("parted -s '" + img + "' mklabel mac mkpart one hfs+ 1MiB 20MiB mkpart two hfs+ 20MiB 46MiB"));
    LoopDevice loop(img, 512, true);
    ASSERT_TRUE(loop.ok());

    CEnumDeviceEx e(Only({loop.name()}));
    ASSERT_EQ(e.Init(), ENGINE_OK);
    std::vector<IStorageDevice*> disks = Disks(e);
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(DiskInfoOf(disks[0])->partitionScheme, PARTITION_SCHEME_APM);
    std::vector<IStorageDevice*> parts = Partitions(e, disks[0]);
    ASSERT_GE(parts.size(), 3u);
    std::vector<IStorageDevice*> vols = Volumes(e, disks[0]);
    // Whether or not this kernel reads Apple maps, every partition is offered,
    // as the kernel's volume or converted, with its map type.
    for (IStorageDevice* p : parts) {
        const CCollectedPartitionDeviceInfoStruct* pr = PartitionInfoOf(p);
        bool covered = false;
        for (IStorageDevice* v : vols) {
            const CCollectedVolumeDeviceInfoStruct* vr = VolumeInfoOf(v);
            if (vr->partitionNumber == pr->partitionNumber && vr->startSector == pr->startSector) {
                covered = true;
                EXPECT_STREQ(vr->apmType, pr->apmType);
            }
        }
        EXPECT_TRUE(covered) << pr->partitionNumber << " " << pr->apmType;
    }
    EXPECT_STREQ(PartitionInfoOf(parts[0])->apmType, "Apple_partition_map");
}

TEST_F(LoopEnum, WholeDiskFileSystem) {
    std::string img = Image("fat.img", "16M");
    ASSERT_TRUE(Shell("mkfs.fat -F 16 -n WHOLEFAT '" + img + "'"));
    LoopDevice loop(img, 512, true);
    ASSERT_TRUE(loop.ok());
    CEnumDeviceEx e(Only({loop.name()}));
    ASSERT_EQ(e.Init(), ENGINE_OK);
    std::vector<IStorageDevice*> disks = Disks(e);
    ASSERT_EQ(disks.size(), 1u);
    std::vector<IStorageDevice*> vols = Volumes(e, disks[0]);
    ASSERT_EQ(vols.size(), 1u);
    EXPECT_EQ(VolumeInfoOf(vols[0])->partitionNumber, -1);
    EXPECT_EQ(Name(VolumeInfoOf(vols[0])->volumeName, 1024), "WHOLEFAT");
    EXPECT_EQ(VolumeInfoOf(vols[0])->totalSectors, 32768);
}

}  // namespace
