// The same-device check on a fake sysfs tree and mount table: which
// destinations share storage with the source.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "TestUtil.h"
#include "platform/SameDevice.h"

using platform_test::ScratchDir;
using platform_test::WriteFile;
namespace fs = std::filesystem;

namespace {

// sys/block/sda (partitions sda1, sda2), a device-mapper dm-0 over sda1, and
// loop0 (partition loop0p1) backed by IMAGE; mounts of each under mnt/.
struct FakeMachine {
    FakeMachine() {
        const std::string sys = dir / "sys";
        auto dev = [&](const std::string& path, const std::string& number) {
            WriteFile(path + "/dev", number + "\n");
            fs::create_directories(sys + "/dev/block");
            fs::create_symlink(path, sys + "/dev/block/" + number);
        };
        dev(sys + "/block/sda", "8:0");
        WriteFile(sys + "/block/sda/size", "2000000\n");
        for (int i : {1, 2}) {
            const std::string p = sys + "/block/sda/sda" + std::to_string(i);
            dev(p, "8:" + std::to_string(i));
            WriteFile(p + "/partition", std::to_string(i) + "\n");
            WriteFile(p + "/start", std::to_string(i * 1000000 - 998000) + "\n");
            WriteFile(p + "/size", "900000\n");
        }
        dev(sys + "/block/dm-0", "253:0");
        fs::create_directories(sys + "/block/dm-0/slaves");
        fs::create_symlink(sys + "/block/sda/sda1", sys + "/block/dm-0/slaves/sda1");
        image = dir / "disk.img";
        other = dir / "other.img";
        WriteFile(image, "x");
        WriteFile(other, "y");
        dev(sys + "/block/loop0", "7:0");
        WriteFile(sys + "/block/loop0/loop/backing_file", image + "\n");
        dev(sys + "/block/loop0/loop0p1", "259:0");
        WriteFile(sys + "/block/loop0/loop0p1/partition", "1\n");
        WriteFile(sys + "/block/loop0/loop0p1/start", "2048\n");
        std::string table;
        int id = 30;
        for (auto [name, number] : {std::pair<const char*, const char*>{"sda1", "8:1"},
                                    {"sda2", "8:2"},
                                    {"dm0", "253:0"},
                                    {"loop0", "7:0"},
                                    {"loop0p1", "259:0"}}) {
            fs::create_directories(dir / (std::string("mnt/") + name));
            table += std::to_string(id++) + " 1 " + number + " / " + dir.path() + "/mnt/" + name + " rw - ext4 /dev/" +
                     name + " rw\n";
        }
        WriteFile(dir / "mountinfo", table);
    }
    bool Same(const std::string& source, const std::string& dest,
              SameDeviceCheck::Reach reach = SameDeviceCheck::Reach::SharedDisk) {
        std::string why;
        const bool same = SameDeviceCheck(dir / "mountinfo", dir / "sys", reach).WritesOntoSource(source, dest, why);
        EXPECT_EQ(same, !why.empty()) << why;
        return same;
    }
    ScratchDir dir;
    std::string image, other;
};

}  // namespace

// An image file is the source: refused only where a mounted loop device
// reads that very image (the folder need not exist yet).
TEST(SameDevice, ImageSourceAndItsMountedLoopDevice) {
    FakeMachine m;
    EXPECT_TRUE(m.Same(m.image, m.dir / "mnt/loop0/new/folder"));
    EXPECT_TRUE(m.Same(m.image, m.dir / "mnt/loop0p1"));
    EXPECT_FALSE(m.Same(m.other, m.dir / "mnt/loop0"));
    EXPECT_FALSE(m.Same(m.image, m.dir / "mnt/sda2"));
}

// Block-device sources need device nodes (mknod: root). By storage overlap
// another partition of the same disk is allowed; by shared disk it is not.
TEST(SameDevice, BlockDeviceSourcesByStorageOverlap) {
    if (geteuid() != 0) {
        if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") FAIL() << "needs root under CI";
        GTEST_SKIP() << "needs root for mknod";
    }
    FakeMachine m;
    auto node = [&](const std::string& name, unsigned maj, unsigned min) {
        const std::string path = m.dir / ("dev-" + name);
        EXPECT_EQ(mknod(path.c_str(), S_IFBLK | 0600, makedev(maj, min)), 0);
        return path;
    };
    const std::string sda = node("sda", 8, 0), sda1 = node("sda1", 8, 1), sda2 = node("sda2", 8, 2),
                      dm0 = node("dm0", 253, 0), loop0 = node("loop0", 7, 0);
    struct Case {
        std::string source;
        const char* mount;
        bool same;
        bool sameDisk;
    };
    for (const Case& c : {Case{sda, "sda1", true, true}, Case{sda, "sda2", true, true}, Case{sda1, "sda1", true, true},
                          Case{sda1, "sda2", false, true}, Case{sda2, "sda1", false, true},
                          Case{sda, "dm0", true, true}, Case{sda1, "dm0", true, true}, Case{sda2, "dm0", false, true},
                          Case{dm0, "sda1", true, true}, Case{dm0, "sda2", false, true},
                          Case{loop0, "loop0p1", true, true}, Case{loop0, "sda2", false, false}}) {
        const std::string dest = m.dir / (std::string("mnt/") + c.mount);
        EXPECT_EQ(m.Same(c.source, dest, SameDeviceCheck::Reach::OverlappingStorage), c.same)
            << c.source << " -> " << c.mount;
        EXPECT_EQ(m.Same(c.source, dest), c.sameDisk) << c.source << " -> " << c.mount << " (shared disk)";
    }
}
