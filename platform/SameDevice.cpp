#include "platform/SameDevice.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>
#include <vector>

#include "platform/MountTable.h"

namespace {

// A piece of storage: a range of a whole device (in 512-byte units, as sysfs
// counts), or a file (a loop device's backing file, an image source).
struct Extent {
    std::string device;  // kernel name of a device without slaves; empty for a file
    std::uint64_t start = 0;
    std::uint64_t size = UINT64_MAX;
    dev_t fileDev = 0;
    ino_t fileIno = 0;
    std::string label;  // what to name in a message
};

bool Overlap(const Extent& a, const Extent& b) {
    if (a.device.empty() || b.device.empty())
        return a.device.empty() && b.device.empty() && a.fileDev == b.fileDev && a.fileIno == b.fileIno;
    if (a.device != b.device) return false;
    const std::uint64_t aEnd = a.size > UINT64_MAX - a.start ? UINT64_MAX : a.start + a.size;
    const std::uint64_t bEnd = b.size > UINT64_MAX - b.start ? UINT64_MAX : b.start + b.size;
    return a.start < bEnd && b.start < aEnd;
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::uint64_t ReadNumber(const std::string& path, std::uint64_t fallback) {
    const std::string line = ReadLine(path);
    if (line.empty()) return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(line.c_str(), &end, 10);
    return end == line.c_str() ? fallback : v;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Canonical(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return {};
    std::string out(real);
    std::free(real);
    return out;
}

// The names in a sysfs folder (slaves/, holders/, devices/), dots left out.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

bool IsPartition(const std::string& dir) { return !ReadLine(dir + "/partition").empty(); }

// The device number a sysfs device folder gives in its "dev" file.
bool DeviceNumber(const std::string& dir, dev_t& dev) {
    unsigned maj = 0, min = 0;
    if (std::sscanf(ReadLine(dir + "/dev").c_str(), "%u:%u", &maj, &min) != 2) return false;
    dev = makedev(maj, min);
    return true;
}

bool Identity(const std::string& path, dev_t& dev, ino_t& ino) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

class StorageWalk {
public:
    StorageWalk(const MountTable& mounts, std::string mountinfo, std::string sysfs, bool followBackingFiles)
        : m_mounts(mounts),
          m_mountinfo(std::move(mountinfo)),
          m_sysfs(std::move(sysfs)),
          m_followBacking(followBackingFiles) {}

    // The storage under the block device MAJOR:MINOR.
    void AddDevice(unsigned major, unsigned minor, int depth) {
        const std::string dir =
            Canonical(m_sysfs + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor));
        if (!dir.empty()) AddSysfsDir(dir, depth);
    }

    // The storage of a file: the file itself and, when writes into it are
    // followed, the storage of the file system that holds it.
    void AddFile(const std::string& path, int depth) {
        Extent e;
        if (!Identity(path, e.fileDev, e.fileIno)) return;
        e.label = path;
        extents.push_back(e);
        if (m_followBacking) AddPath(path, depth + 1);
    }

    // The storage under the mount that holds `path` (an existing path).
    void AddPath(const std::string& path, int depth) {
        if (depth > kMaxDepth) return;
        const MountEntry* best = nullptr;
        for (const MountEntry& m : m_mounts.Entries()) {
            const std::string& p = m.mountPoint;
            const bool holds = p == "/" || path == p || (path.compare(0, p.size(), p) == 0 && path[p.size()] == '/');
            // Later lines are mounted over earlier ones at the same point.
            if (holds && (best == nullptr || p.size() >= best->mountPoint.size())) best = &m;
        }
        if (best == nullptr) return;
        mountPoint = mountPoint.empty() ? best->mountPoint : mountPoint;
        mountSource = mountSource.empty() ? best->source : mountSource;
        if (best->fsType == "overlay") {
            // Writes into an overlay land in its upper folder.
            const std::string upper = OverlayUpperDir(*best);
            if (!upper.empty()) AddPath(upper, depth + 1);
            return;
        }
        if (best->major != 0 && best->fsType != "btrfs") {
            AddDevice(best->major, best->minor, depth + 1);
            return;
        }
        // Device number 0 (FUSE, btrfs, overlay, tmpfs): the mount's source
        // names the storage when it is a device node or a file. A network
        // share or a memory file system names neither and holds no disk.
        struct stat st {};
        if (best->source.empty() || best->source[0] != '/' || stat(best->source.c_str(), &st) != 0) return;
        if (S_ISBLK(st.st_mode)) {
            AddDevice(major(st.st_rdev), minor(st.st_rdev), depth + 1);
            // mountinfo names one device of a btrfs; its data lies on all
            // of them, as the kernel lists them under fs/btrfs/UUID/devices.
            if (best->fsType == "btrfs") AddBtrfsMembers(major(st.st_rdev), minor(st.st_rdev), depth + 1);
        } else if (S_ISREG(st.st_mode)) {
            AddFile(best->source, depth + 1);
        }
    }

    std::vector<Extent> extents;
    std::set<std::string> names;  // every block device passed on the way down
    std::string mountPoint;
    std::string mountSource;

private:
    static constexpr int kMaxDepth = 16;

    void AddBtrfsMembers(unsigned maj, unsigned min, int depth) {
        const std::string dir =
            Canonical(m_sysfs + "/dev/block/" + std::to_string(maj) + ":" + std::to_string(min));
        if (dir.empty()) return;
        const std::string name = BaseName(dir);
        const std::string fsRoot = m_sysfs + "/fs/btrfs";
        for (const std::string& uuid : Entries(fsRoot)) {
            const std::string devices = fsRoot + "/" + uuid + "/devices";
            const std::vector<std::string> members = Entries(devices);
            bool ours = false;
            for (const std::string& m : members) ours = ours || m == name;
            if (!ours) continue;
            for (const std::string& m : members)
                if (m != name)
                    if (const std::string mdir = Canonical(devices + "/" + m); !mdir.empty()) AddSysfsDir(mdir, depth);
        }
    }

    void AddSysfsDir(const std::string& dir, int depth) {
        if (depth > kMaxDepth) return;
        const std::string name = BaseName(dir);
        names.insert(name);
        // Device-mapper and md devices: their storage is their slaves'.
        const std::vector<std::string> slaves = Entries(dir + "/slaves");
        if (!slaves.empty()) {
            for (const std::string& s : slaves) {
                const std::string sdir = Canonical(dir + "/slaves/" + s);
                if (!sdir.empty()) AddSysfsDir(sdir, depth + 1);
            }
            return;
        }
        // A partition is a range of its disk, the folder above it.
        if (IsPartition(dir)) {
            const std::string disk = dir.substr(0, dir.rfind('/'));
            const std::size_t before = extents.size();
            AddSysfsDir(disk, depth + 1);
            const std::uint64_t start = ReadNumber(dir + "/start", 0);
            const std::uint64_t size = ReadNumber(dir + "/size", UINT64_MAX);
            for (std::size_t i = before; i < extents.size(); ++i) {
                if (extents[i].device.empty()) continue;  // the disk's backing file stays whole
                extents[i].start += start;
                extents[i].size = size;
                extents[i].label = "/dev/" + name;
            }
            return;
        }
        Extent e;
        e.device = name;
        e.size = ReadNumber(dir + "/size", UINT64_MAX);
        e.label = "/dev/" + name;
        extents.push_back(e);
        std::string backing = ReadLine(dir + "/loop/backing_file");
        if (!backing.empty()) AddFile(backing, depth + 1);
    }

    // The "upperdir=" of an overlay mount's options, which the mount table
    // does not keep: read from the mountinfo line of that mount (the last
    // one at its mount point).
    std::string OverlayUpperDir(const MountEntry& mount) const {
        std::ifstream in(m_mountinfo);
        std::string line, upper;
        while (std::getline(in, line)) {
            const std::size_t sep = line.find(" - ");
            if (sep == std::string::npos) continue;
            std::vector<std::string> fields;
            std::size_t at = 0;
            while (at < sep) {
                const std::size_t end = std::min(line.find(' ', at), sep);
                fields.push_back(line.substr(at, end - at));
                at = end + 1;
            }
            if (fields.size() < 5 || MountTable::DecodeEscapes(fields[4]) != mount.mountPoint) continue;
            const std::string tail = line.substr(sep + 3);  // fstype source options
            const std::size_t optionsAt = tail.find(' ', tail.find(' ') + 1);
            if (optionsAt == std::string::npos) continue;
            const std::string options = "," + tail.substr(optionsAt + 1);
            const std::size_t key = options.find(",upperdir=");
            if (key == std::string::npos) continue;
            const std::size_t valueAt = key + 10;
            upper = MountTable::DecodeEscapes(options.substr(valueAt, options.find(',', valueAt) - valueAt));
        }
        return upper;
    }

    const MountTable& m_mounts;
    std::string m_mountinfo;
    std::string m_sysfs;
    bool m_followBacking;
};

// The devices a block device source stands for: the whole disks under it
// (down through slaves and from a partition to its disk), their partitions,
// and everything built on any of them (up through holders), by kernel name
// with their device numbers.
class SourceDisks {
public:
    explicit SourceDisks(std::string sysfs) : m_sysfs(std::move(sysfs)) {}

    void AddDevice(unsigned maj, unsigned min) {
        const std::string dir =
            Canonical(m_sysfs + "/dev/block/" + std::to_string(maj) + ":" + std::to_string(min));
        if (dir.empty()) return;
        std::set<std::string> disks;
        Down(dir, disks, 0);
        for (const std::string& disk : disks) Up(disk, 0);
    }

    std::set<std::string> names;
    std::vector<std::pair<dev_t, std::string>> numbers;

private:
    static constexpr int kMaxDepth = 16;

    void Down(const std::string& dir, std::set<std::string>& disks, int depth) {
        if (depth > kMaxDepth) return;
        const std::vector<std::string> slaves = Entries(dir + "/slaves");
        if (!slaves.empty()) {
            for (const std::string& s : slaves)
                if (const std::string sdir = Canonical(dir + "/slaves/" + s); !sdir.empty()) Down(sdir, disks, depth + 1);
        } else if (IsPartition(dir)) {
            Down(dir.substr(0, dir.rfind('/')), disks, depth + 1);
        } else {
            disks.insert(dir);
        }
    }

    void Up(const std::string& dir, int depth) {
        if (depth > kMaxDepth || !names.insert(BaseName(dir)).second) return;
        if (dev_t dev = 0; DeviceNumber(dir, dev)) numbers.emplace_back(dev, BaseName(dir));
        for (const std::string& h : Entries(dir + "/holders"))
            if (const std::string hdir = Canonical(dir + "/holders/" + h); !hdir.empty()) Up(hdir, depth + 1);
        if (IsPartition(dir)) return;
        for (const std::string& sub : Entries(dir))
            if (IsPartition(dir + "/" + sub)) Up(dir + "/" + sub, depth + 1);
    }

    std::string m_sysfs;
};

// The nearest existing folder of `path`, made absolute and free of links.
std::string ExistingAncestor(std::string path) {
    while (!path.empty()) {
        const std::string real = Canonical(path);
        if (!real.empty()) return real;
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) return Canonical(".");
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
    return Canonical(".");
}

}  // namespace

SameDeviceCheck::SameDeviceCheck(std::string mountinfoPath, std::string sysfsRoot, Reach reach)
    : m_mountinfo(std::move(mountinfoPath)), m_sysfs(std::move(sysfsRoot)), m_reach(reach) {}

bool SameDeviceCheck::WritesOntoSource(const std::string& source, const std::string& destination,
                                       std::string& why) const {
    why.clear();
    MountTable mounts(m_mountinfo);
    mounts.Load();

    // Writes into a loop device's backing file reach the file system that
    // holds the file, so the destination's side follows backing files down.
    StorageWalk dest(mounts, m_mountinfo, m_sysfs, true);
    const std::string folder = ExistingAncestor(destination);
    if (folder.empty()) return false;
    dest.AddPath(folder, 0);

    // The source's side does not: writing beside a backing file never
    // changes it.
    StorageWalk src(mounts, m_mountinfo, m_sysfs, false);
    struct stat st {};
    if (stat(source.c_str(), &st) != 0) return false;
    if (S_ISBLK(st.st_mode) && m_reach == Reach::SharedDisk) {
        SourceDisks disks(m_sysfs);
        disks.AddDevice(major(st.st_rdev), minor(st.st_rdev));
        const std::string on = " is on " + (dest.mountSource.empty() ? std::string("a device") : dest.mountSource) +
                               " (mounted at " + dest.mountPoint + ")";
        for (const std::string& name : dest.names)
            if (disks.names.count(name) != 0) {
                why = folder + on + ", which lies on /dev/" + name + ", a disk of the source " + source +
                      " or built on one";
                return true;
            }
        // A device number of the folder that names one of them says so as
        // well, whatever mountinfo shows.
        struct stat fst {};
        if (stat(folder.c_str(), &fst) == 0)
            for (const auto& [dev, name] : disks.numbers)
                if (fst.st_dev == dev) {
                    why = folder + on + " and has the device number of /dev/" + name +
                          ", a disk of the source " + source + " or built on one";
                    return true;
                }
        return false;
    }
    if (S_ISBLK(st.st_mode)) {
        src.AddDevice(major(st.st_rdev), minor(st.st_rdev), 0);
    } else if (S_ISREG(st.st_mode)) {
        Extent e;
        e.fileDev = st.st_dev;
        e.fileIno = st.st_ino;
        e.label = source;
        src.extents.push_back(e);
    }
    for (const Extent& d : dest.extents)
        for (const Extent& s : src.extents)
            if (Overlap(d, s)) {
                why = folder + " is on " + (dest.mountSource.empty() ? d.label : dest.mountSource) + " (mounted at " +
                      dest.mountPoint + "), which shares storage with the source " + source;
                if (d.label != dest.mountSource) why += " through " + d.label;
                return true;
            }
    return false;
}
