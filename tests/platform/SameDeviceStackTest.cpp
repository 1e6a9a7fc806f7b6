// The same-device check over stacked storage: LVM over two disks, LUKS over
// a partition, md RAID1, a btrfs over two devices, a bind mount, an overlay,
// tmpfs and a network share, on a fake sysfs tree and mount table; then a
// real btrfs over two loop devices, where the folder's st_dev names neither.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "TestUtil.h"
#include "platform/SameDevice.h"

using platform_test::ScratchDir;
using platform_test::Shell;
using platform_test::WriteFile;
namespace fs = std::filesystem;

namespace {

bool IsRoot() { return geteuid() == 0; }

// Device nodes need mknod and the real stack needs mounts: both need root,
// which CI has.
#define REQUIRE_ROOT()                                                                       \
    do {                                                                                     \
        if (!IsRoot()) {                                                                     \
            if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true")         \
                FAIL() << "needs root under CI";                                             \
            GTEST_SKIP() << "needs root";                                                    \
        }                                                                                    \
    } while (0)

// Majors 60-63 are set aside for local use, so no device number of the fake
// can equal the scratch folder's own st_dev on the machine running the test.
constexpr unsigned kDisk = 60, kMapper = 61, kMd = 62;

// A fake machine laid out as sysfs lays it out: sys/block/NAME folders with
// partitions inside their disk, slaves/ and holders/ links between stacked
// devices, sys/dev/block/MAJ:MIN links, fs/btrfs/UUID/devices; device nodes
// under dev/ and mounts of each stack under mnt/.
class FakeStack {
public:
    FakeStack() {
        // LUKS (dm-0) over the second partition of sda.
        Disk("sda", 0);
        Partition("sda", 1, 1);
        Partition("sda", 2, 2);
        Stacked("dm-0", kMapper, 0, {"sda/sda2"});
        // LVM: one logical volume (dm-1) spanning two whole disks.
        Disk("sdb", 16);
        Disk("sdc", 32);
        Stacked("dm-1", kMapper, 1, {"sdb", "sdc"});
        // md RAID1 over a partition of each of two disks.
        Disk("sdd", 48);
        Partition("sdd", 1, 49);
        Disk("sde", 64);
        Partition("sde", 1, 65);
        Stacked("md0", kMd, 0, {"sdd/sdd1", "sde/sde1"});
        // btrfs over two whole disks; mountinfo names only the first.
        Disk("sdf", 80);
        Disk("sdg", 96);
        for (const char* member : {"sdf", "sdg"})
            Link(Sys("block/") + member, Sys("fs/btrfs/6b1c0d2e-0000-4000-8000-000000000001/devices/") + member);
        fs::create_directories(Sys("fs/btrfs/features"));
        // A disk of its own.
        Disk("sdh", 112);
        Partition("sdh", 1, 113);
        // A disk with the device number the scratch folder really has, under
        // a mount that names no device: only st_dev ties the two.
        struct stat st {};
        EXPECT_EQ(stat(dir.path().c_str(), &st), 0);
        Disk("vdz", minor(st.st_dev), major(st.st_dev));

        Mount("sda1", "60:1", "/", "ext4", Node("sda1"));
        Mount("bind", "60:1", "/data", "ext4", Node("sda1"));
        Mount("luks", "61:0", "/", "ext4", "/dev/mapper/luks");
        Mount("lvm", "61:1", "/", "xfs", "/dev/mapper/vg-lv");
        Mount("md", "62:0", "/", "ext4", "/dev/md0");
        Mount("btrfs", "0:40", "/", "btrfs", Node("sdf"));
        Mount("tmp", "0:50", "/", "tmpfs", "tmpfs");
        Mount("unnamed", "0:53", "/", "fuse.unknown", "unknown");
        Mount("nfs", "0:51", "/", "nfs4", "server:/export");
        Mount("other", "60:113", "/", "ext4", Node("sdh1"));
        // An overlay writes into its upper folder, here on sda1.
        Mount("overlay", "0:52", "/", "overlay", "overlay",
              "rw,lowerdir=/usr,upperdir=" + dir.path() + "/mnt/sda1/upper,workdir=" + dir.path() + "/mnt/sda1/work");
        WriteFile(dir / "mountinfo", m_table);
    }

    // The device node of NAME (made on first use; mknod needs root).
    std::string Node(const std::string& name) {
        const std::string path = dir / ("dev/" + name);
        if (!fs::exists(path)) {
            fs::create_directories(dir / "dev");
            const auto it = m_numbers.find(name);
            EXPECT_NE(it, m_numbers.end()) << name;
            if (it != m_numbers.end()) {
                EXPECT_EQ(mknod(path.c_str(), S_IFBLK | 0600, it->second), 0) << path;
            }
        }
        return path;
    }

    std::string Why(const std::string& source, const std::string& dest, SameDeviceCheck::Reach reach) {
        std::string why;
        const bool same = SameDeviceCheck(dir / "mountinfo", dir / "sys", reach).WritesOntoSource(source, dest, why);
        EXPECT_EQ(same, !why.empty()) << why;
        return same ? why : std::string();
    }

    ScratchDir dir;

private:
    std::string Sys(const std::string& rel) const { return dir / ("sys/" + rel); }

    static void Link(const std::string& target, const std::string& link) {
        fs::create_directories(fs::path(link).parent_path());
        fs::create_symlink(target, link);
    }

    void Register(const std::string& folder, unsigned maj, unsigned min) {
        const std::string number = std::to_string(maj) + ":" + std::to_string(min);
        WriteFile(folder + "/dev", number + "\n");
        WriteFile(folder + "/size", "2000000\n");
        Link(folder, Sys("dev/block/" + number));
        m_numbers[fs::path(folder).filename()] = makedev(maj, min);
    }
    void Disk(const std::string& name, unsigned min, unsigned maj = kDisk) {
        Register(Sys("block/" + name), maj, min);
        fs::create_directories(Sys("block/" + name + "/holders"));
        fs::create_directories(Sys("block/" + name + "/queue"));  // not a partition
    }
    void Partition(const std::string& disk, int index, unsigned min) {
        const std::string p = Sys("block/" + disk + "/" + disk + std::to_string(index));
        Register(p, kDisk, min);
        WriteFile(p + "/partition", std::to_string(index) + "\n");
        WriteFile(p + "/start", std::to_string(2048 + 1000000 * (index - 1)) + "\n");
        WriteFile(p + "/size", "900000\n");
        fs::create_directories(p + "/holders");
    }
    // A device over SLAVES (paths under sys/block), linked both ways.
    void Stacked(const std::string& name, unsigned maj, unsigned min, std::initializer_list<const char*> slaves) {
        const std::string d = Sys("block/" + name);
        Register(d, maj, min);
        for (const std::string slave : slaves) {
            const std::string s = Sys("block/" + slave);
            Link(s, d + "/slaves/" + fs::path(s).filename().string());
            Link(d, s + "/holders/" + name);
        }
    }
    void Mount(const std::string& name, const std::string& number, const std::string& root, const std::string& type,
               const std::string& source, const std::string& options = "rw") {
        fs::create_directories(dir / ("mnt/" + name));
        m_table += std::to_string(m_id++) + " 1 " + number + " " + root + " " + dir.path() + "/mnt/" + name +
                   " rw,relatime - " + type + " " + source + " " + options + "\n";
    }

    std::map<std::string, dev_t> m_numbers;
    std::string m_table = "1 0 60:1 / / rw - ext4 /dev/sda1 rw\n";  // the fake's root, never the scratch folder's
    int m_id = 30;
};

// Each scanned device against a folder on each mount: by shared disk (the
// guard the user sees) and by overlapping storage.
TEST(SameDevice, StackedStorageTable) {
    REQUIRE_ROOT();
    FakeStack m;
    struct stat st {};
    ASSERT_EQ(stat(m.dir.path().c_str(), &st), 0);
    ASSERT_FALSE(major(st.st_dev) >= kDisk && major(st.st_dev) <= kMd) << "the scratch folder is on a fake's major";
    struct Case {
        const char* source;
        const char* folder;  // under mnt/, need not exist
        bool sameDisk;
        bool overlap;
    };
    const Case cases[] = {
        // LUKS over sda2: the whole disk sda stands for any of its parts.
        {"sda2", "luks/home", true, true},
        {"sda", "luks", true, true},
        {"dm-0", "luks", true, true},
        {"sda1", "luks", true, false},
        {"dm-0", "sda1", true, false},
        {"sda1", "bind/deeper/new", true, true},  // a bind mount of a folder of sda1
        {"sda2", "bind", true, false},
        // LVM over two disks: either disk, or the volume itself.
        {"sdb", "lvm", true, true},
        {"sdc", "lvm/new", true, true},
        {"dm-1", "lvm", true, true},
        {"sda", "lvm", false, false},
        // md RAID1: each mirror half, each mirror disk, and the array.
        {"sdd", "md", true, true},
        {"sde1", "md", true, true},
        {"md0", "md", true, true},
        {"md0", "other", false, false},
        // btrfs over sdf and sdg, mounted by the name of sdf.
        {"sdf", "btrfs", true, true},
        {"sdg", "btrfs/sub", true, true},
        {"sdh", "btrfs", false, false},
        {"sdh1", "other", true, true},
        {"sda1", "overlay/etc", true, true},
        {"sdh", "overlay", false, false},
        // No block device under a memory file system or a network share.
        {"sda", "tmp", false, false},
        {"sdh", "nfs", false, false},
        // The folder's own st_dev names the source disk, whatever mountinfo says.
        {"vdz", "unnamed", true, false},
        {"vdz", "tmp", true, false},
    };
    for (const Case& c : cases) {
        const std::string source = m.Node(c.source);
        const std::string folder = m.dir / (std::string("mnt/") + c.folder);
        const std::string disk = m.Why(source, folder, SameDeviceCheck::Reach::SharedDisk);
        EXPECT_EQ(!disk.empty(), c.sameDisk) << c.source << " -> " << c.folder << ": " << disk;
        EXPECT_EQ(!m.Why(source, folder, SameDeviceCheck::Reach::OverlappingStorage).empty(), c.overlap)
            << c.source << " -> " << c.folder << " (overlap)";
        // The message names the mount the folder is on.
        const std::string mount = std::string(c.folder).substr(0, std::string(c.folder).find('/'));
        if (!disk.empty()) {
            EXPECT_NE(disk.find("mounted at " + m.dir.path() + "/mnt/" + mount), std::string::npos) << disk;
        }
    }
}

// A real btrfs over two loop devices, mounted by the first. A folder on it
// has an st_dev that is neither loop device's number, yet it lies on both;
// the build folder and a tmpfs do not.
TEST(SameDevice, RealBtrfsOverTwoLoopDevices) {
    REQUIRE_ROOT();
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string mnt = dir / "btrfs", tmp = dir / "tmpfs";
    std::string loops[2];
    struct Cleanup {
        std::string* loops;
        std::string mnt, tmp;
        ~Cleanup() {
            for (const std::string& m : {mnt, tmp}) Shell("mountpoint -q '" + m + "' && umount '" + m + "'");
            for (int i = 0; i < 2; ++i)
                if (!loops[i].empty()) Shell("losetup -d '" + loops[i] + "'");
        }
    } cleanup{loops, mnt, tmp};
    for (int i = 0; i < 2; ++i) {
        const std::string image = dir / ("disk" + std::to_string(i) + ".img");
        ASSERT_TRUE(Shell("truncate -s 128M '" + image + "'"));
        FILE* p = popen(("losetup -f --show '" + image + "'").c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[256] = {};
        if (fgets(line, sizeof line, p) != nullptr) loops[i] = std::string(line).substr(0, std::strcspn(line, "\n"));
        pclose(p);
        ASSERT_FALSE(loops[i].empty()) << "losetup";
    }
    ASSERT_TRUE(Shell("mkfs.btrfs -f -d single -m raid1 '" + loops[0] + "' '" + loops[1] + "' && mkdir -p '" + mnt +
                      "' '" + tmp + "' && mount -t btrfs -o device='" + loops[1] + "' '" + loops[0] + "' '" + mnt +
                      "' && mkdir '" + mnt + "/photos' && mount -t tmpfs tmpfs '" + tmp + "'"));
    const std::string folder = mnt + "/photos";

    // What st_dev alone would answer: neither device.
    struct stat f {}, l0 {}, l1 {};
    ASSERT_EQ(stat(folder.c_str(), &f), 0);
    ASSERT_EQ(stat(loops[0].c_str(), &l0), 0);
    ASSERT_EQ(stat(loops[1].c_str(), &l1), 0);
    EXPECT_NE(f.st_dev, l0.st_rdev);
    EXPECT_NE(f.st_dev, l1.st_rdev);

    struct Case {
        std::string source, folder;
        bool same;
    };
    const Case cases[] = {
        {loops[0], folder, true},
        {loops[1], folder + "/not/made/yet", true},  // the device mountinfo does not name
        {loops[1], QUILLORY_BINARY_DIR, false},
        {loops[0], tmp, false},
    };
    for (const Case& c : cases)
        for (auto reach : {SameDeviceCheck::Reach::SharedDisk, SameDeviceCheck::Reach::OverlappingStorage}) {
            std::string why;
            EXPECT_EQ(SameDeviceCheck("/proc/self/mountinfo", "/sys", reach).WritesOntoSource(c.source, c.folder, why),
                      c.same)
                << c.source << " -> " << c.folder << ": " << why;
        }
}

}  // namespace
