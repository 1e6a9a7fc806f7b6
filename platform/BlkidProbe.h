// Partition-table and file-system facts read through libblkid.
//
// Works on device nodes and on plain image files alike, which is how the tests
// drive it. Only facts libblkid reads from the media themselves are used; no
// udev database is consulted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BlkidPartition {
    int number = 0;         // partition number as the kernel numbers it
    uint64_t start512 = 0;  // in 512-byte units (libblkid's unit)
    uint64_t size512 = 0;
    int mbrType = 0;         // MBR type byte (0 for other schemes)
    std::string typeString;  // GPT type GUID text, APM type name
    std::string uuid;        // GPT partition GUID text
    std::string name;        // GPT/APM partition name
};

struct BlkidTable {
    std::string scheme;  // "dos", "gpt", "mac", ... ("" when none)
    std::vector<BlkidPartition> partitions;
};

class BlkidProbe {
public:
    // Reads the partition table of PATH. SECTORSIZE, when not 0, tells
    // libblkid the logical sector size (needed for image files of 4Kn disks).
    // False when PATH cannot be probed; true with an empty scheme when there is
    // no table.
    static bool ProbeTable(const std::string& path, uint32_t sectorSize, BlkidTable& out);

    // The file-system label and type at the start of PATH (both may be empty).
    static bool ProbeFilesystem(const std::string& path, uint32_t sectorSize, std::string& label, std::string& type);

    // The same through an open descriptor of the device (not closed here),
    // for a device whose path this process may not open; a negative
    // descriptor probes the path.
    static bool ProbeTable(const std::string& path, uint32_t sectorSize, BlkidTable& out, int fd);
    static bool ProbeFilesystem(const std::string& path, uint32_t sectorSize, std::string& label, std::string& type,
                                int fd);
    // Partition scheme code of the disk record: "dos" 1, "gpt" 2, "mac" 3, else 0.
    static uint32_t SchemeCode(const std::string& scheme);

    // Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" into the in-memory GUID
    // layout (first group byte-reversed, next two groups byte-swapped), which
    // is also how a GPT entry stores it. False for malformed text.
    static bool ParseGuid(const std::string& text, uint8_t out[16]);
};
