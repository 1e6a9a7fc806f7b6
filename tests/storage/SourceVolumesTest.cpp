// Opening a source by its path and listing its volumes, over disk images made
// by sfdisk and mkfs.fat, with a recogniser that reads the FAT boot sector.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "StorageTestUtil.h"
#include "foundation/Types.h"
#include "storage/SourceVolumes.h"

using namespace storage_test;

namespace {

bool Succeeds(const std::string& cmd) { return RunCommand("{ " + cmd + " ; } >/dev/null 2>&1 && echo ok") == "ok"; }

// The label of the FAT12/16 boot sector at sector 0 of `device`, or "" when
// that sector is no FAT boot sector.
std::string FatLabel(IStorageDevice* device) {
    std::vector<std::uint8_t> s(512);
    if (device == nullptr || device->ReadSector(s.data(), 0, 1) != 1) return "";
    if (s[510] != 0x55 || s[511] != 0xAA || std::memcmp(&s[54], "FAT1", 4) != 0) return "";
    std::string label(reinterpret_cast<const char*>(&s[43]), 11);
    while (!label.empty() && label.back() == ' ') label.pop_back();
    return label;
}

// Stands in for the file systems' recognisers: FAT16 for any FAT12/16 boot sector,
// and remembers what each partition it was shown holds.
struct FakeRecogniser {
    struct Fat16 : IVolumeAnalyze {
        uint32_t GetFileSystemType() override { return FILE_SYSTEM_FAT16; }
        int64_t GetTotalSector() override { return 0; }
        void GetLabel(char*, int) override {}
    };
    struct Controller : IVolumeAnalyzeController {
        Fat16 fat;
        bool known = false;
        IVolumeAnalyze* GetVolumeAnzlyzer() override { return known ? &fat : nullptr; }
    };
    std::vector<std::string> seen;
    VolumeRecogniser Callback() {
        return [this](IStorageDevice* partition, uint64_t) {
            const std::string label = FatLabel(partition);
            seen.push_back(label);
            auto* c = new Controller;
            c->known = !label.empty();
            return static_cast<IVolumeAnalyzeController*>(c);
        };
    }
};

}  // namespace

// Two FAT volumes and an empty partition on an MBR disk: each volume in table
// order with its number, place, recognised type and an open device that reads
// its own boot sector.
TEST(SourceVolumes, PartitionsOfAnMbrDiskInTableOrder) {
    TempDir dir;
    const std::string image = dir.File("disk.img");
    ASSERT_TRUE(Succeeds("truncate -s 8M '" + image + "'"));
    ASSERT_TRUE(
        Succeeds("printf 'label: dos\\n2048,4096,6\\n6144,4096,6\\n10240,2048,83\\n' | sfdisk -q '" + image + "'"));
    ASSERT_TRUE(Succeeds("mkfs.fat -F 12 --offset 2048 -n ONE '" + image + "' 2048"));
    ASSERT_TRUE(Succeeds("mkfs.fat -F 12 --offset 6144 -n TWO '" + image + "' 2048"));

    SourceDevice source = OpenSource(image);
    ASSERT_TRUE(source.device) << source.error;
    EXPECT_EQ(source.type, STORAGE_DEVICE_DISK);
    FakeRecogniser recogniser;
    const std::vector<SourceVolume> volumes = OpenSourceVolumes(source.device.get(), recogniser.Callback());

    struct Want {
        std::int32_t index;
        std::int64_t start;
        std::int64_t count;
        std::uint32_t type;
        const char* label;
    };
    const Want want[] = {{1, 2048, 4096, FILE_SYSTEM_FAT16, "ONE"},
                         {2, 6144, 4096, FILE_SYSTEM_FAT16, "TWO"},
                         {3, 10240, 2048, FILE_SYSTEM_UNKNOWN, ""}};
    ASSERT_EQ(volumes.size(), std::size(want));
    EXPECT_EQ(recogniser.seen, (std::vector<std::string>{"ONE", "TWO", ""}));
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        const SourceVolume& v = volumes[i];
        SCOPED_TRACE("volume " + std::to_string(i));
        EXPECT_EQ(v.index, want[i].index);
        EXPECT_EQ(v.startSector, want[i].start);
        EXPECT_EQ(v.sectorCount, want[i].count);
        EXPECT_EQ(v.sectorSize, 512);
        EXPECT_EQ(v.fileSystemType, want[i].type);
        ASSERT_TRUE(v.device) << v.error;
        EXPECT_TRUE(v.error.empty());
        EXPECT_EQ(v.device->GetTotalSectors(), want[i].count);
        EXPECT_EQ(FatLabel(v.device.get()), want[i].label);
    }
}

// Without a partition table the whole disk is the one volume.
TEST(SourceVolumes, DiskWithoutTableIsOneWholeVolume) {
    TempDir dir;
    const std::string image = dir.File("volume.img");
    ASSERT_TRUE(Succeeds("truncate -s 4M '" + image + "' && mkfs.fat -F 12 -n WHOLE '" + image + "'"));

    SourceDevice source = OpenSource(image);
    ASSERT_TRUE(source.device) << source.error;
    FakeRecogniser recogniser;
    const std::vector<SourceVolume> volumes = OpenSourceVolumes(source.device.get(), recogniser.Callback());
    ASSERT_EQ(volumes.size(), 1u);
    const SourceVolume& v = volumes[0];
    EXPECT_EQ(v.index, -1);
    EXPECT_EQ(v.startSector, 0);
    EXPECT_EQ(v.sectorCount, 8192);
    EXPECT_EQ(v.fileSystemType, FILE_SYSTEM_FAT16);
    ASSERT_TRUE(v.device) << v.error;
    EXPECT_EQ(FatLabel(v.device.get()), "WHOLE");
}

// A source that cannot be scanned is refused in words that name it, with no
// device left open.
TEST(SourceVolumes, SourcesThatCannotBeOpenedAreRefusedInWords) {
    TempDir dir;
    // A UDIF trailer ("koly") over bytes that are no image.
    const std::string broken = dir.File("broken.dmg");
    std::vector<std::uint8_t> bytes(4096, 0);
    std::memcpy(&bytes[bytes.size() - 512], "koly", 4);
    quillory_test::WriteAll(broken, bytes);
    // Longer than a disk device keeps (127 characters), but a file that opens.
    const std::string longPath = dir.File(std::string(140, 'a') + ".img");
    ASSERT_TRUE(Succeeds("truncate -s 1M '" + longPath + "'"));

    struct Case {
        std::string path;
        std::string error;
    };
    const Case cases[] = {
        {dir.File("missing.img"), "cannot open " + dir.File("missing.img")},
        {broken, broken + ": this disk image cannot be read as stored (compressed or damaged); convert it to a "
                          "read-write image first"},
        {longPath, "cannot use the path " + longPath},
    };
    for (const Case& c : cases) {
        const SourceDevice source = OpenSource(c.path);
        EXPECT_FALSE(source.device) << c.path;
        EXPECT_EQ(source.error, c.error);
    }
}
