// The device list built from a fake sysfs tree, a fake mount table and image
// files standing in for the device nodes: no root needed.
#include "storage/DeviceEnum.h"

#include <sys/sysmacros.h>

#include <cstring>
#include <sstream>

#include "DeviceListTestSupport.h"
#include "foundation/Types.h"
#include "foundation/VolumeAnalyze.h"
#include "storage/DiskDevice.h"
#include "storage/MemoryDevice.h"

using namespace devlist_test;

namespace {

void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A FAT16 recogniser standing in for the real ones: it knows a boot sector by
// its "FAT16" type text and reports the boot sector's label.
class FakeFatAnalyze : public IVolumeAnalyze {
public:
    explicit FakeFatAnalyze(std::string label) : m_label(std::move(label)) {}
    uint32_t GetFileSystemType() override { return FILE_SYSTEM_FAT16; }
    int64_t GetTotalSector() override { return 0; }
    void GetLabel(char* buffer, int size) override {
        std::snprintf(buffer, static_cast<size_t>(size), "%s", m_label.c_str());
    }

private:
    std::string m_label;
};

IVolumeAnalyze* CreateFakeFat(IStorageDevice* device, uint64_t start) {
    std::vector<uint8_t> sector(device->GetSectorSize());
    if (device->ReadSector(sector.data(), static_cast<int64_t>(start), 1) != 1) return nullptr;
    if (std::memcmp(sector.data() + 54, "FAT16", 5) != 0) return nullptr;
    std::string label(reinterpret_cast<char*>(sector.data()) + 43, 11);
    while (!label.empty() && label.back() == ' ') label.pop_back();
    return new FakeFatAnalyze(label);
}

std::string Name(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

class FakeTree : public ::testing::Test {
protected:
    // The images and the tree are made once for all tests of the suite.
    static void SetUpTestSuite() {
        dirHolder = new ScratchDir();
        ASSERT_FALSE(dir().path().empty());
        std::filesystem::create_directories(dir() / "dev");

        // fakea: MBR, a labelled FAT16 primary, an extended container, two logicals.
        const std::string a = Dev("fakea");
        ASSERT_TRUE(Shell("truncate -s 64M " + a));
        ASSERT_TRUE(Shell("printf 'label: dos\\n" + a + "1: start=2048,size=32768,type=6\\n" + a +
                          "2: start=36864,type=5\\n" + a + "5: size=16384,type=83\\n" + a +
                          "6: type=83\\n' | sfdisk -q " + a));
        ASSERT_TRUE(Shell("mkfs.fat -F 16 -n FATLABEL --offset 2048 " + a + " 32768"));
        Disk("fakea", "250:0", 131072, 512);
        std::istringstream rows(Capture("partx -g -b -o NR,START,SECTORS " + a));
        int nr;
        uint64_t start, size;
        while (rows >> nr >> start >> size) {
            starts[nr] = start;
            // The kernel shows the extended container as a 2-sector partition.
            uint64_t shown = nr == 2 ? 2 : size;
            Partition("fakea", "fakea" + std::to_string(nr), nr, start, shown, "250:" + std::to_string(nr));
            ASSERT_TRUE(Shell("dd if=" + a + " of=" + Dev("fakea" + std::to_string(nr)) +
                              " bs=512 skip=" + std::to_string(start) + " count=" + std::to_string(shown)));
        }
        ASSERT_EQ(starts.size(), 4u);

        // fakeb: too small to be offered.
        ASSERT_TRUE(Shell("truncate -s 4M " + Dev("fakeb")));
        Disk("fakeb", "250:16", 8192, 512);

        // fakec: a FAT16 file system on the whole disk, no table.
        ASSERT_TRUE(Shell("truncate -s 16M " + Dev("fakec") + " && mkfs.fat -F 16 -n WHOLE " + Dev("fakec")));
        Disk("fakec", "250:32", 32768, 512);

        // faked: GPT whose partitions the kernel did not show (no partition
        // scan): they are offered as partition-as-volume devices.
        ASSERT_TRUE(Shell("truncate -s 64M " + Dev("faked") + " && sgdisk -n 1:2048:+20000 -t 1:0700 -n 2:0:0 " +
                          Dev("faked")));
        Disk("faked", "250:48", 131072, 512);

        // fakee: hidden; fakef: optical.
        ASSERT_TRUE(Shell("truncate -s 16M " + Dev("fakee") + " && truncate -s 16M " + Dev("sr0")));
        Disk("fakee", "250:64", 32768, 512);
        WriteFile(dir() / "sys/block/fakee/hidden", "1\n");
        Disk("sr0", "11:0", 32768, 2048);

        WriteFile(dir() / "mountinfo",
                  "29 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
                  "50 29 250:5 / /media/user/My\\040Data rw,relatime - ext4 " +
                      Dev("fakea5") + " rw\n");
        sharedConfig.sysfsRoot = dir() / "sys";
        sharedConfig.devDir = dir() / "dev";
        sharedConfig.mountinfoPath = dir() / "mountinfo";
    }

    static void TearDownTestSuite() {
        delete dirHolder;
        dirHolder = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(starts.size(), 4u);
        config = sharedConfig;
        GetVolumeAnalyzeFactories() = VolumeAnalyzeFactories{CreateFakeFat, nullptr, nullptr, nullptr, nullptr};
    }

    void TearDown() override { ResetVolumeAnalyzeFactories(); }

    static ScratchDir& dir() { return *dirHolder; }

    static std::string Dev(const std::string& name) { return dir() / ("dev/" + name); }

    static void Disk(const std::string& name, const std::string& dev, uint64_t size512, uint32_t lbs) {
        const std::string d = dir() / ("sys/block/" + name);
        WriteFile(d + "/dev", dev + "\n");
        WriteFile(d + "/size", std::to_string(size512) + "\n");
        WriteFile(d + "/ro", "0\n");
        WriteFile(d + "/queue/logical_block_size", std::to_string(lbs) + "\n");
    }

    static void Partition(const std::string& disk, const std::string& name, int number, uint64_t start512,
                          uint64_t size512, const std::string& dev) {
        const std::string d = dir() / ("sys/block/" + disk + "/" + name);
        WriteFile(d + "/partition", std::to_string(number) + "\n");
        WriteFile(d + "/start", std::to_string(start512) + "\n");
        WriteFile(d + "/size", std::to_string(size512) + "\n");
        WriteFile(d + "/dev", dev + "\n");
    }

    std::vector<IStorageDevice*> Disks(CEnumDeviceEx& e) {
        int count = 0;
        EXPECT_EQ(e.EnumDiskDevice(nullptr, count), ENGINE_OK);
        std::vector<IStorageDevice*> out(static_cast<size_t>(count));
        EXPECT_EQ(e.EnumDiskDevice(out.data(), count), ENGINE_OK);
        return out;
    }

    std::vector<IStorageDevice*> Partitions(CEnumDeviceEx& e, IStorageDevice* disk) {
        int count = 0;
        EXPECT_EQ(e.EnumPartitionDevice(disk, nullptr, count), ENGINE_OK);
        std::vector<IStorageDevice*> out(static_cast<size_t>(count));
        if (count) {
            EXPECT_EQ(e.EnumPartitionDevice(disk, out.data(), count), ENGINE_OK);
        }
        return out;
    }

    std::vector<IStorageDevice*> Volumes(CEnumDeviceEx& e, IStorageDevice* disk) {
        int count = 0;
        EXPECT_EQ(e.EnumVolumeDevice(disk, nullptr, count), ENGINE_OK);
        std::vector<IStorageDevice*> out(static_cast<size_t>(count));
        if (count) {
            EXPECT_EQ(e.EnumVolumeDevice(disk, out.data(), count), ENGINE_OK);
        }
        return out;
    }

    static ScratchDir* dirHolder;
    static EnumDeviceConfig sharedConfig;
    static std::map<int, uint64_t> starts;
    EnumDeviceConfig config;
};

ScratchDir* FakeTree::dirHolder = nullptr;
EnumDeviceConfig FakeTree::sharedConfig;
std::map<int, uint64_t> FakeTree::starts;

TEST_F(FakeTree, DisksAreFilteredDescribedAndSorted) {
    CEnumDeviceEx e(config);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    std::vector<IStorageDevice*> disks = Disks(e);
    ASSERT_EQ(disks.size(), 3u);
    std::vector<std::string> names;
    for (IStorageDevice* d : disks) names.push_back(Name(DiskInfoOf(d)->bsdName, 128));
    EXPECT_EQ(names, (std::vector<std::string>{"fakea", "fakec", "faked"}));

    const CCollectDiskDeviceInfoStruct* a = DiskInfoOf(disks[0]);
    EXPECT_EQ(a->kind, 0u);
    EXPECT_EQ(a->partitionScheme, PARTITION_SCHEME_MBR);
    EXPECT_EQ(a->sectorSize, 512);
    EXPECT_EQ(a->totalSectors, 131072);
    EXPECT_EQ(a->cylinders, 131072 / 16065);
    EXPECT_EQ(a->heads, 255);
    EXPECT_EQ(a->sectorsPerTrack, 63);
    EXPECT_EQ(a->writable, 1u);
    EXPECT_EQ(static_cast<uint32_t>(a->deviceNumber), makedev(250, 0));
    EXPECT_EQ(Name(a->mediaName, 128), "fakea");
    EXPECT_EQ(disks[0]->GetTotalSectors(), 131072);
    EXPECT_EQ(DiskInfoOf(disks[1])->partitionScheme, PARTITION_SCHEME_NONE);
    EXPECT_EQ(DiskInfoOf(disks[2])->partitionScheme, PARTITION_SCHEME_GPT);
}

TEST_F(FakeTree, MbrDiskPartitionsAndVolumes) {
    CEnumDeviceEx e(config);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    IStorageDevice* disk = Disks(e)[0];

    std::vector<IStorageDevice*> parts = Partitions(e, disk);
    ASSERT_EQ(parts.size(), 3u);
    std::vector<int> numbers;
    for (IStorageDevice* p : parts) {
        const CCollectedPartitionDeviceInfoStruct* r = PartitionInfoOf(p);
        ASSERT_NE(r, nullptr);
        numbers.push_back(r->partitionNumber);
        EXPECT_EQ(r->startSector, static_cast<int64_t>(starts[r->partitionNumber]));
        EXPECT_EQ(r->parent, disk);
        EXPECT_EQ(r->deviceNumber, DiskInfoOf(disk)->deviceNumber);
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 5, 6}));
    EXPECT_EQ(PartitionInfoOf(parts[0])->fileSystemType, FILE_SYSTEM_FAT16);
    EXPECT_STREQ(PartitionInfoOf(parts[0])->label, "FATLABEL");
    EXPECT_EQ(PartitionInfoOf(parts[1])->fileSystemType, FILE_SYSTEM_UNKNOWN);

    // Every partition has its kernel volume: nothing is converted, and the
    // extended container is no volume.
    std::vector<IStorageDevice*> vols = Volumes(e, disk);
    ASSERT_EQ(vols.size(), 3u);
    const CCollectedVolumeDeviceInfoStruct* v1 = VolumeInfoOf(vols[0]);
    const CCollectedVolumeDeviceInfoStruct* v5 = VolumeInfoOf(vols[1]);
    ASSERT_TRUE(v1 && v5);
    EXPECT_EQ(v1->partitionNumber, 1);
    EXPECT_EQ(Name(v1->bsdName, 128), "fakea1");
    EXPECT_EQ(Name(v1->volumeName, 1024), "FATLABEL");
    EXPECT_EQ(v1->fileSystemType, FILE_SYSTEM_FAT16);
    EXPECT_EQ(v1->startSector, 2048);
    EXPECT_EQ(v1->totalSectors, 32768);
    EXPECT_EQ(v1->mounted, 0u);
    EXPECT_EQ(static_cast<uint32_t>(v1->deviceNumber), makedev(250, 1));
    EXPECT_EQ(v1->parent, disk);
    EXPECT_EQ(v5->partitionNumber, 5);
    EXPECT_EQ(Name(v5->volumeName, 1024), "My Data");  // no label: the mount point's name
    EXPECT_EQ(v5->mounted, 1u);
    EXPECT_EQ(v5->startSector, static_cast<int64_t>(starts[5]));
    EXPECT_EQ(Name(VolumeInfoOf(vols[2])->volumeName, 1024), "fakea6");  // neither: the kernel name

    std::vector<CCollectedVolumeDeviceInfoStruct> copies;
    EXPECT_EQ(static_cast<CDiskDevice*>(disk)->GetVolumes(copies), 3u);
    EXPECT_EQ(copies[1].partitionNumber, 5);
}

TEST_F(FakeTree, WholeDiskFileSystemIsOneVolume) {
    CEnumDeviceEx e(config);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    IStorageDevice* disk = Disks(e)[1];
    std::vector<IStorageDevice*> vols = Volumes(e, disk);
    ASSERT_EQ(vols.size(), 1u);
    const CCollectedVolumeDeviceInfoStruct* v = VolumeInfoOf(vols[0]);
    EXPECT_EQ(v->partitionNumber, -1);
    EXPECT_EQ(v->startSector, 0);
    EXPECT_EQ(v->totalSectors, 32768);
    EXPECT_EQ(Name(v->volumeName, 1024), "WHOLE");
    EXPECT_EQ(v->fileSystemType, FILE_SYSTEM_FAT16);
    EXPECT_EQ(vols[0]->GetType(), STORAGE_DEVICE_VOLUME);
}

TEST_F(FakeTree, PartitionsTheKernelDidNotShowBecomeVolumes) {
    CEnumDeviceEx e(config);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    IStorageDevice* disk = Disks(e)[2];
    std::vector<IStorageDevice*> parts = Partitions(e, disk);
    ASSERT_EQ(parts.size(), 2u);
    std::vector<IStorageDevice*> vols = Volumes(e, disk);
    ASSERT_EQ(vols.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const CCollectedVolumeDeviceInfoStruct* v = VolumeInfoOf(vols[i]);
        const CCollectedPartitionDeviceInfoStruct* p = PartitionInfoOf(parts[i]);
        ASSERT_TRUE(v && p);
        EXPECT_EQ(vols[i]->GetType(), STORAGE_DEVICE_VOLUME);
        EXPECT_EQ(v->partitionNumber, p->partitionNumber);
        EXPECT_EQ(v->startSector, p->startSector);
        EXPECT_EQ(v->totalSectors, p->sectorCount);
        EXPECT_EQ(std::memcmp(v->typeGuid, p->typeGuid, 16), 0);
        EXPECT_EQ(v->volumeName[0], 0);
    }
    // Basic data, as stored on disk.
    EXPECT_EQ(PartitionInfoOf(parts[0])->typeGuid[0], 0xA2);
    EXPECT_EQ(PartitionInfoOf(parts[0])->startSector, 2048);

    // The merged list is made once: asking again gives the same devices.
    EXPECT_EQ(Volumes(e, disk), vols);
}

TEST_F(FakeTree, CountThenFillConvention) {
    CEnumDeviceEx e(config);
    int count = 5;
    IStorageDevice* arr[8] = {};
    uint32_t notReady = ENUM_DEVICE_ERR_NOT_READY;
    EXPECT_EQ(EngineResultError(e.EnumDiskDevice(nullptr, count)), notReady);
    EXPECT_EQ(EngineResultError(e.Uninit()), notReady);
    ASSERT_EQ(e.Init(), ENGINE_OK);

    count = 0;
    EXPECT_EQ(e.EnumDiskDevice(arr, count), ENGINE_OK);  // nothing asked, nothing copied
    EXPECT_EQ(arr[0], nullptr);
    count = 2;
    EngineResult r = e.EnumDiskDevice(arr, count);
    EXPECT_EQ(EngineResultModule(r), ENGINE_MODULE_ENUM_DEVICE);
    EXPECT_EQ(EngineResultError(r), static_cast<uint32_t>(ENUM_DEVICE_ERR_ARRAY_SMALL));
    count = 8;
    ASSERT_EQ(e.EnumDiskDevice(arr, count), ENGINE_OK);
    EXPECT_EQ(count, 3);
    IStorageDevice* disk = arr[0];

    count = 0;
    EXPECT_EQ(EngineResultError(e.EnumVolumeDevice(disk, arr, count)),
              static_cast<uint32_t>(ENUM_DEVICE_ERR_ARRAY_SMALL));
    count = 0;
    EXPECT_EQ(e.EnumPartitionDevice(disk, arr, count), ENGINE_OK);
    EXPECT_EQ(EngineResultError(e.EnumVolumeDevice(nullptr, arr, count)), static_cast<uint32_t>(ENUM_DEVICE_ERR_NULL));
    EXPECT_EQ(EngineResultError(e.EnumPartitionDevice(nullptr, arr, count)),
              static_cast<uint32_t>(ENUM_DEVICE_ERR_NULL));
    CMemoryStorageDevice stranger(512, 8);
    EXPECT_EQ(EngineResultError(e.EnumVolumeDevice(&stranger, arr, count)),
              static_cast<uint32_t>(ENUM_DEVICE_ERR_UNKNOWN));
    EXPECT_EQ(EngineResultError(e.EnumPartitionDevice(&stranger, arr, count)),
              static_cast<uint32_t>(ENUM_DEVICE_ERR_UNKNOWN));

    // A refresh (Init again, or Uninit then Init) frees the old devices;
    // the leak checker of the test build watches this.
    ASSERT_EQ(e.Init(), ENGINE_OK);
    ASSERT_EQ(e.Uninit(), ENGINE_OK);
    EXPECT_EQ(EngineResultError(e.Uninit()), notReady);
    ASSERT_EQ(e.Init(), ENGINE_OK);
}

TEST_F(FakeTree, PinnedDevicesOutliveARefresh) {
    CEnumDeviceEx e(config);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    IStorageDevice* disk = Disks(e)[2];
    IStorageDevice* volume = Volumes(e, disk)[0];  // a partition-as-volume reading through its disk
    e.Pin();
    e.Pin();
    ASSERT_EQ(e.Uninit(), ENGINE_OK);
    ASSERT_EQ(e.Init(), ENGINE_OK);
    std::vector<uint8_t> sector(512);
    EXPECT_EQ(volume->ReadSector(sector.data(), 0, 1), 1);  // still alive (the address checker watches)
    e.Unpin();
    EXPECT_EQ(volume->ReadSector(sector.data(), 0, 1), 1);
    e.Unpin();  // the last pin releases the old list
    e.Unpin();  // an extra unpin is harmless
    EXPECT_EQ(Disks(e).size(), 3u);
}

TEST_F(FakeTree, NoDiskAtAll) {
    config.acceptDisk = [](const std::string& name) { return name == "fakeb"; };
    CEnumDeviceEx e(config);
    EngineResult r = e.Init();
    EXPECT_EQ(EngineResultModule(r), ENGINE_MODULE_ENUM_DEVICE);
    EXPECT_EQ(EngineResultError(r), static_cast<uint32_t>(ENUM_DEVICE_ERR_NO_DISK));
    int count = 0;
    EXPECT_EQ(EngineResultError(e.EnumDiskDevice(nullptr, count)), static_cast<uint32_t>(ENUM_DEVICE_ERR_NOT_READY));
}

TEST_F(FakeTree, ListBasedEnumeratorHandsDevicesToTheCaller) {
    CEnumDevice e(config);
    std::list<IStorageDevice*> disks;
    ASSERT_EQ(e.EnumDiskDevice(disks), ENGINE_OK);
    ASSERT_EQ(disks.size(), 3u);
    std::list<IStorageDevice*> vols{nullptr};
    EXPECT_EQ(e.EnumVolumeDevice(nullptr, vols), ENGINE_OK);
    EXPECT_TRUE(vols.empty());
    ASSERT_EQ(e.EnumVolumeDevice(disks.front(), vols), ENGINE_OK);
    EXPECT_EQ(vols.size(), 3u);
    std::list<IStorageDevice*> parts;
    ASSERT_EQ(e.EnumPartitionDevice(disks.front(), parts), ENGINE_OK);
    EXPECT_EQ(parts.size(), 3u);
    for (auto* list : {&vols, &parts, &disks}) {
        for (IStorageDevice* d : *list) delete d;
    }
}

}  // namespace
