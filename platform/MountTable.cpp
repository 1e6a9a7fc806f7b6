#include "platform/MountTable.h"

#include "platform/SysfsBlockInfo.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

MountTable::MountTable(std::string mountinfoPath) : m_path(std::move(mountinfoPath)) {}

bool MountTable::Load() {
    m_entries.clear();
    std::ifstream in(m_path);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    Parse(ss.str());
    return true;
}

std::string MountTable::DecodeEscapes(const std::string& field) {
    // The kernel writes space, tab, newline and backslash as \ooo (three octal digits).
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && field.size() - i >= 4) {
            const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

void MountTable::Parse(const std::string& text) {
    m_entries.clear();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string w;
        while (fields >> w) f.push_back(w);
        // id parent major:minor root mountpoint options [optional...] - fstype source superopts
        if (f.size() < 9) continue;
        size_t sep = 0;
        for (size_t i = 6; i < f.size(); ++i) {
            if (f[i] == "-") {
                sep = i;
                break;
            }
        }
        if (sep == 0 || sep + 2 >= f.size()) continue;
        MountEntry e;
        if (!SysfsBlockInfo::ParseDevNumber(f[2], e.major, e.minor)) continue;
        e.root = DecodeEscapes(f[3]);
        e.mountPoint = DecodeEscapes(f[4]);
        e.fsType = f[sep + 1];
        e.source = DecodeEscapes(f[sep + 2]);
        m_entries.push_back(std::move(e));
    }
}

bool MountTable::FindMountPoint(unsigned major, unsigned minor, const std::string& devicePath,
                                std::string& mountPoint) const {
    for (const auto& e : m_entries) {
        if (e.major == major && e.minor == minor && e.root == "/") {
            mountPoint = e.mountPoint;
            return true;
        }
    }
    for (const auto& e : m_entries) {
        if (e.major == major && e.minor == minor) {
            mountPoint = e.mountPoint;
            return true;
        }
    }
    // File systems such as btrfs report an anonymous device number; their
    // source still names the block device.
    for (const auto& e : m_entries) {
        if (e.source.empty() || e.source[0] != '/') continue;
        if (!devicePath.empty() && e.source == devicePath) {
            mountPoint = e.mountPoint;
            return true;
        }
        struct stat st;
        if (stat(e.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == makedev(major, minor)) {
            mountPoint = e.mountPoint;
            return true;
        }
    }
    return false;
}
