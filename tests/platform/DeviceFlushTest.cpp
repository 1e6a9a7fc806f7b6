// What is flushed before a scan: the file systems mounted from the scanned
// device (its partitions, the loop devices an image file backs) and no
// other, found through a fake sysfs and mount table; and, on a real loop
// mount, that the flush puts a file's new bytes into the image.
#include "platform/DeviceFlush.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "TestUtil.h"
#include "support/TempDir.h"

using platform_test::ScratchDir;
using platform_test::Shell;
using platform_test::WriteFile;

namespace {

void AddDisk(const ScratchDir& root, const std::string& name, const std::string& dev) {
    const std::string dir = root / ("devices/virtual/block/" + name);
    WriteFile(dir + "/dev", dev + "\n");
    WriteFile(dir + "/size", "2048\n");
    std::filesystem::create_directories(root / "block");
    std::filesystem::create_symlink("../devices/virtual/block/" + name, root / ("block/" + name));
}

void AddPartition(const ScratchDir& root, const std::string& disk, const std::string& name, int number,
                  const std::string& dev) {
    const std::string dir = root / ("block/" + disk + "/" + name);
    WriteFile(dir + "/partition", std::to_string(number) + "\n");
    WriteFile(dir + "/start", "2048\n");
    WriteFile(dir + "/size", "2048\n");
    WriteFile(dir + "/dev", dev + "\n");
}

TEST(DeviceFlush, FindsTheMountsOfTheDeviceItsPartitionsAndTheLoopsAnImageBacks) {
    ScratchDir sys;
    ScratchDir images;
    ASSERT_FALSE(sys.path().empty());
    const std::string image = images / "disk.img";
    const std::string other = images / "other.img";
    WriteFile(image, "x");
    WriteFile(other, "y");
    AddDisk(sys, "sda", "8:0");
    AddPartition(sys, "sda", "sda1", 1, "8:1");
    AddPartition(sys, "sda", "sda2", 2, "8:2");
    AddDisk(sys, "sdb", "8:16");
    AddDisk(sys, "loop3", "7:3");
    WriteFile(sys / "block/loop3/loop/backing_file", image + "\n");
    AddPartition(sys, "loop3", "loop3p1", 1, "259:1");
    AddDisk(sys, "loop4", "7:4");
    WriteFile(sys / "block/loop4/loop/backing_file", other + "\n");

    MountTable mounts("unused");
    mounts.Parse(
        "29 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "30 29 8:1 /srv /srv/bind rw - ext4 /dev/sda1 rw\n"
        "31 29 0:50 / /mnt/ntfs rw - fuseblk /dev/sda2 rw\n"
        "32 29 8:17 / /mnt/b rw - ext4 /dev/sdb1 rw\n"
        "33 29 259:1 / /mnt/image rw - ext4 /dev/loop3p1 rw\n"
        "34 29 7:4 / /mnt/other rw - ext4 /dev/loop4 rw\n"
        "35 29 0:21 / /proc rw - proc proc rw\n");
    const SysfsBlockInfo sysfs(sys.path());

    struct Case {
        const char* what;
        struct stat st;
        std::vector<std::string> points;
    };
    struct stat disk {};
    disk.st_mode = S_IFBLK;
    disk.st_rdev = makedev(8, 0);
    struct stat partition = disk;
    partition.st_rdev = makedev(8, 1);
    struct stat file {};
    ASSERT_EQ(stat(image.c_str(), &file), 0);
    struct stat fifo {};
    fifo.st_mode = S_IFIFO;
    const Case cases[] = {
        {"whole disk: its partitions' mounts, FUSE ones by source", disk, {"/", "/srv/bind", "/mnt/ntfs"}},
        {"one partition", partition, {"/", "/srv/bind"}},
        {"image file: the loop device it backs", file, {"/mnt/image"}},
        {"neither", fifo, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(MountPointsOnDevice(c.st, mounts, sysfs), c.points) << c.what;
}

// A file written on a mounted image sits in memory until written back;
// flushing the image's descriptor must bring its bytes into the image.
TEST(DeviceFlush, FlushingAnImageWritesOutTheFileSystemMountedFromIt) {
    if (geteuid() != 0) {
        if (std::getenv("CI") != nullptr) FAIL() << "CI runs as root: loop mounts are needed";
        GTEST_SKIP() << "needs root for a loop mount";
    }
    quillory_test::TempDir dir("quillory-flush");
    ASSERT_FALSE(dir.Path().empty());
    const std::string image = dir.File("ext4.img");
    const std::string mnt = dir.File("mnt");
    struct Unmount {
        std::string mnt;
        ~Unmount() { Shell("mountpoint -q '" + mnt + "' && umount '" + mnt + "'"); }
    } unmount{mnt};
    ASSERT_TRUE(Shell("truncate -s 8M '" + image + "' && mkfs.ext4 -q -F '" + image + "' && mkdir '" + mnt +
                      "' && mount -o loop '" + image + "' '" + mnt + "'"));
    // Sure to be new: the bytes cannot be in the image before this test.
    const std::string marker =
        "quillory-flush-marker-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    WriteFile(mnt + "/note.txt", marker);

    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(FlushDeviceBuffers(fd));
    close(fd);
    const std::vector<uint8_t> bytes = quillory_test::ReadAll(image);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find(marker), std::string::npos) << "the file's bytes reached the image";
}

}  // namespace
