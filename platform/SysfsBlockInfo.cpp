#include "platform/SysfsBlockInfo.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

// Reads the first line of a small sysfs attribute; false when unreadable.
bool ReadLine(const std::string& path, std::string& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, out);
    if (in.bad()) return false;
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\n' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\n' || s[e - 1] == '\r' || s[e - 1] == '\0'))
        --e;
    return s.substr(b, e - b);
}

// Unsigned decimal attribute; false when missing or not a clean number.
bool ReadU64(const std::string& path, uint64_t& out) {
    std::string line;
    if (!ReadLine(path, line)) return false;
    line = Trim(line);
    if (line.empty() || line.size() > 20) return false;
    uint64_t v = 0;
    for (char c : line) {
        if (c < '0' || c > '9') return false;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

bool ReadInt(const std::string& path, int& out) {
    std::string line;
    if (!ReadLine(path, line)) return false;
    line = Trim(line);
    if (line.empty() || line.size() > 10) return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(line.c_str(), &end, 10);
    if (errno != 0 || end == line.c_str() || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
    out = static_cast<int>(v);
    return true;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

SysfsBlockInfo::SysfsBlockInfo(std::string sysfsRoot) : m_root(std::move(sysfsRoot)) {
    while (m_root.size() > 1 && m_root.back() == '/') m_root.pop_back();
}

std::vector<std::string> SysfsBlockInfo::ListBlockDevices() const {
    std::vector<std::string> out;
    for (auto& name : ListDir(m_root + "/block")) {
        if (IsDirectory(m_root + "/block/" + name)) out.push_back(name);
    }
    return out;
}

bool SysfsBlockInfo::ParseDevNumber(const std::string& text, unsigned& major, unsigned& minor) {
    std::string t = Trim(text);
    size_t colon = t.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= t.size()) return false;
    uint64_t vals[2] = {0, 0};
    std::string parts[2] = {t.substr(0, colon), t.substr(colon + 1)};
    for (int i = 0; i < 2; ++i) {
        if (parts[i].size() > 10) return false;
        for (char c : parts[i]) {
            if (c < '0' || c > '9') return false;
            vals[i] = vals[i] * 10 + static_cast<uint64_t>(c - '0');
        }
        if (vals[i] > 0xFFFFFFFFull) return false;
    }
    major = static_cast<unsigned>(vals[0]);
    minor = static_cast<unsigned>(vals[1]);
    return true;
}

bool SysfsBlockInfo::ReadDisk(const std::string& name, SysfsDisk& out) const {
    out = SysfsDisk{};
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
    const std::string dir = m_root + "/block/" + name;
    if (!IsDirectory(dir)) return false;
    out.name = name;

    std::string line;
    if (ReadLine(dir + "/dev", line)) out.hasDev = ParseDevNumber(line, out.major, out.minor);
    ReadU64(dir + "/size", out.size512);
    uint64_t lbs = 0;
    if (ReadU64(dir + "/queue/logical_block_size", lbs) && lbs <= 0xFFFFFFFFull)
        out.logicalBlockSize = static_cast<uint32_t>(lbs);
    int v = 0;
    if (ReadInt(dir + "/ro", v)) out.readOnly = v != 0;
    v = 0;
    if (ReadInt(dir + "/hidden", v)) out.hidden = v != 0;
    if (ReadInt(dir + "/device/type", v)) out.scsiType = v;
    if (ReadLine(dir + "/device/model", line)) out.model = Trim(line);
    if (ReadLine(dir + "/device/vendor", line)) out.vendor = Trim(line);
    if (ReadLine(dir + "/loop/backing_file", line)) out.backingFile = Trim(line);

    // /sys/block/NAME is a link into /sys/devices; where it leads tells the bus.
    char buf[PATH_MAX];
    ssize_t n = readlink(dir.c_str(), buf, sizeof(buf) - 1);
    if (n > 0) {
        buf[n] = '\0';
        out.devicePath = buf;
    }
    // The "device" link of a disk points at its controller-side parent.
    std::string devLink = dir + "/device";
    n = readlink(devLink.c_str(), buf, sizeof(buf) - 1);
    if (n > 0) {
        buf[n] = '\0';
        if (out.devicePath.empty())
            out.devicePath = buf;
        else
            out.devicePath += std::string(" ") + buf;
    }
    return true;
}

std::vector<SysfsPartition> SysfsBlockInfo::ListPartitions(const std::string& disk) const {
    std::vector<SysfsPartition> parts;
    if (disk.empty() || disk.find('/') != std::string::npos) return parts;
    const std::string dir = m_root + "/block/" + disk;
    for (auto& child : ListDir(dir)) {
        const std::string cdir = dir + "/" + child;
        if (!IsDirectory(cdir) || !Exists(cdir + "/partition")) continue;
        SysfsPartition p;
        p.name = child;
        if (!ReadInt(cdir + "/partition", p.number) || p.number < 1) continue;
        if (!ReadU64(cdir + "/start", p.start512) || !ReadU64(cdir + "/size", p.size512)) continue;
        std::string line;
        if (ReadLine(cdir + "/dev", line)) p.hasDev = ParseDevNumber(line, p.major, p.minor);
        parts.push_back(p);
    }
    std::stable_sort(parts.begin(), parts.end(),
                     [](const SysfsPartition& a, const SysfsPartition& b) { return a.number < b.number; });
    return parts;
}

bool SysfsBlockInfo::IsCandidateDisk(const SysfsDisk& disk) {
    const std::string& n = disk.name;
    if (n.empty()) return false;
    // Optical drives and the kernel's synthesised devices are not disks a user
    // recovers from: their blocks are someone else's view of other devices.
    static const char* const kSkipped[] = {"sr", "dm-", "md", "zram", "ram", "fd", "nullb"};
    for (const char* prefix : kSkipped) {
        if (StartsWith(n, prefix)) return false;
    }
    if (disk.scsiType == 5) return false;
    if (disk.hidden || disk.size512 == 0) return false;
    return true;
}

uint32_t SysfsBlockInfo::BusType(const SysfsDisk& disk) {
    const std::string& p = disk.devicePath;
    if (StartsWith(disk.name, "loop") || StartsWith(disk.name, "nbd")) return kSysfsBusVirtual;
    if (p.find("/usb") != std::string::npos) return kSysfsBusUsb;
    if (p.find("/ata") != std::string::npos) return kSysfsBusSata;
    if (p.find("/virtual/") != std::string::npos) return kSysfsBusVirtual;
    // Other SCSI hosts (SAS, iSCSI, USB bridges already matched above).
    if (p.find("/host") != std::string::npos && p.find("/target") != std::string::npos) return kSysfsBusScsi;
    return kSysfsBusUnknown;
}

std::string SysfsBlockInfo::MediaName(const SysfsDisk& disk) {
    if (!disk.model.empty()) {
        if (!disk.vendor.empty() && disk.vendor != "ATA") return disk.vendor + " " + disk.model;
        return disk.model;
    }
    if (!disk.backingFile.empty()) {
        std::string b = disk.backingFile;
        // The kernel appends " (deleted)" when the backing file is gone.
        const std::string deleted = " (deleted)";
        if (b.size() > deleted.size() && b.compare(b.size() - deleted.size(), deleted.size(), deleted) == 0)
            b.erase(b.size() - deleted.size());
        size_t slash = b.find_last_of('/');
        std::string base = slash == std::string::npos ? b : b.substr(slash + 1);
        if (!base.empty()) return base;
    }
    return disk.name;
}
