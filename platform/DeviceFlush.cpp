#include "platform/DeviceFlush.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

namespace {

struct DeviceSet {
    std::set<std::pair<unsigned, unsigned>> numbers;
    std::set<std::string> nodes;  // /dev paths, for mounts (FUSE) that report another number

    void Add(unsigned major, unsigned minor, const std::string& name) {
        numbers.insert({major, minor});
        nodes.insert("/dev/" + name);
    }
    void AddDisk(const SysfsBlockInfo& sysfs, const SysfsDisk& disk) {
        if (disk.hasDev) Add(disk.major, disk.minor, disk.name);
        for (const SysfsPartition& p : sysfs.ListPartitions(disk.name))
            if (p.hasDev) Add(p.major, p.minor, p.name);
    }
};

// A loop device's backing_file may carry " (deleted)" or be gone: such a
// file is not the one we hold open.
bool SameFile(const std::string& path, const struct stat& st) {
    struct stat other {};
    return !path.empty() && stat(path.c_str(), &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino;
}

}  // namespace

std::vector<std::string> MountPointsOnDevice(const struct stat& st, const MountTable& mounts,
                                             const SysfsBlockInfo& sysfs) {
    DeviceSet devices;
    if (S_ISBLK(st.st_mode)) {
        devices.numbers.insert({major(st.st_rdev), minor(st.st_rdev)});
        for (const std::string& name : sysfs.ListBlockDevices()) {
            SysfsDisk disk;
            if (sysfs.ReadDisk(name, disk) && disk.hasDev && disk.major == major(st.st_rdev) &&
                disk.minor == minor(st.st_rdev))
                devices.AddDisk(sysfs, disk);
        }
    } else if (S_ISREG(st.st_mode)) {
        for (const std::string& name : sysfs.ListBlockDevices()) {
            if (name.rfind("loop", 0) != 0) continue;
            SysfsDisk disk;
            if (sysfs.ReadDisk(name, disk) && SameFile(disk.backingFile, st)) devices.AddDisk(sysfs, disk);
        }
    }
    std::vector<std::string> points;
    for (const MountEntry& e : mounts.Entries()) {
        bool ours = devices.numbers.count({e.major, e.minor}) != 0 || devices.nodes.count(e.source) != 0;
        // FUSE mounts (ntfs-3g, exfat-fuse) report an anonymous number; their
        // source still names the block device.
        struct stat source {};
        if (!ours && !e.source.empty() && e.source[0] == '/' && stat(e.source.c_str(), &source) == 0 &&
            S_ISBLK(source.st_mode))
            ours = devices.numbers.count({major(source.st_rdev), minor(source.st_rdev)}) != 0;
        if (ours && std::find(points.begin(), points.end(), e.mountPoint) == points.end())
            points.push_back(e.mountPoint);
    }
    return points;
}

bool FlushDeviceBuffers(int fd, const MountTable& mounts, const SysfsBlockInfo& sysfs) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) return false;
    bool ok = true;
    for (const std::string& point : MountPointsOnDevice(st, mounts, sysfs)) {
        const int dir = open(point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0) {
            ok = false;
            continue;
        }
        if (syncfs(dir) != 0) ok = false;
        close(dir);
    }
    // The device's (or image file's) own dirty pages, written through it
    // rather than through a file system.
    if (fsync(fd) != 0) ok = false;
    return ok;
}

bool FlushDeviceBuffers(int fd) {
    MountTable mounts;
    mounts.Load();
    return FlushDeviceBuffers(fd, mounts, SysfsBlockInfo());
}
