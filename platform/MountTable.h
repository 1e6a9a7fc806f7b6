// The mounts of this process, read from /proc/self/mountinfo.
//
// The path is a parameter so that tests can hand in a fake table.
#pragma once

#include <string>
#include <vector>

struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;        // the mounted subtree of the file system ("/" for whole)
    std::string mountPoint;  // octal escapes (\040 ...) decoded
    std::string fsType;
    std::string source;  // e.g. /dev/loop0p1, decoded
};

class MountTable {
public:
    explicit MountTable(std::string mountinfoPath = "/proc/self/mountinfo");

    // (Re)reads the table; false when the file cannot be read. A malformed
    // line is skipped rather than failing the whole table.
    bool Load();

    // Parses mountinfo text (what Load reads), replacing the entries.
    void Parse(const std::string& text);

    const std::vector<MountEntry>& Entries() const { return m_entries; }

    // The mount point of the block device MAJOR:MINOR, whose node is
    // DEVICEPATH (may be empty): a whole-file-system mount of that device
    // number first, then any mount of it, then a mount whose source is that
    // node. False when the device is not mounted.
    bool FindMountPoint(unsigned major, unsigned minor, const std::string& devicePath, std::string& mountPoint) const;

    static std::string DecodeEscapes(const std::string& field);

private:
    std::string m_path;
    std::vector<MountEntry> m_entries;
};
