// Block devices as the kernel describes them under sysfs.
//
// The root of the tree is a parameter so that tests can point it at a fake
// tree; nothing here needs the udev database (no udev daemon runs on the
// machines we test on). Sizes and start offsets in sysfs are always counted in
// 512-byte units, whatever the device's logical sector size: callers convert.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One whole block device (/sys/block/NAME).
struct SysfsDisk {
    std::string name;  // kernel name, e.g. "sdb", "loop3", "nvme0n1"
    unsigned major = 0;
    unsigned minor = 0;
    bool hasDev = false;            // "dev" was readable and well formed
    uint64_t size512 = 0;           // "size", in 512-byte units
    uint32_t logicalBlockSize = 0;  // "queue/logical_block_size" (0 when unreadable)
    bool readOnly = false;          // "ro" == 1
    bool hidden = false;            // "hidden" == 1
    int scsiType = -1;              // "device/type" (5 = optical), -1 when absent
    std::string model;              // "device/model", trimmed
    std::string vendor;             // "device/vendor", trimmed
    std::string backingFile;        // "loop/backing_file" for loop devices
    std::string devicePath;         // resolved sysfs device path (for the bus)
};

// One partition child of a disk (/sys/block/DISK/PART with a "partition" file).
struct SysfsPartition {
    std::string name;       // e.g. "sdb1", "loop3p5"
    int number = 0;         // "partition"
    uint64_t start512 = 0;  // "start", 512-byte units
    uint64_t size512 = 0;   // "size", 512-byte units
    unsigned major = 0;
    unsigned minor = 0;
    bool hasDev = false;
};

// Bus codes of the disk record: 0 unknown/other, 1 ATA, 2 SATA, 3 SCSI, 4 USB,
// 5 "Virtual Interface" (loop and network block devices: attached images).
enum SysfsBusType : uint32_t {
    kSysfsBusUnknown = 0,
    kSysfsBusAta = 1,
    kSysfsBusSata = 2,
    kSysfsBusScsi = 3,
    kSysfsBusUsb = 4,
    kSysfsBusVirtual = 5,
};

class SysfsBlockInfo {
public:
    explicit SysfsBlockInfo(std::string sysfsRoot = "/sys");

    const std::string& Root() const { return m_root; }

    // Kernel names under ROOT/block, sorted by name.
    std::vector<std::string> ListBlockDevices() const;

    // Reads what we use of one whole device; false when ROOT/block/NAME does
    // not exist.
    bool ReadDisk(const std::string& name, SysfsDisk& out) const;

    // Partition children of a disk, ordered by partition number.
    std::vector<SysfsPartition> ListPartitions(const std::string& disk) const;

    // Whether a device counts as a disk the user may scan: whole disks and
    // loop devices; not optical drives, device-mapper, md RAID, zram or ram
    // disks, hidden devices, or devices without media.
    static bool IsCandidateDisk(const SysfsDisk& disk);

    // The bus a disk hangs on, judged from its sysfs device path and name.
    static uint32_t BusType(const SysfsDisk& disk);

    // The name shown for the medium: the model (with the vendor in front
    // unless it is "ATA"), the backing file's base name for a loop device,
    // else the kernel name.
    static std::string MediaName(const SysfsDisk& disk);

    // Parses "MAJOR:MINOR".
    static bool ParseDevNumber(const std::string& text, unsigned& major, unsigned& minor);

private:
    std::string m_root;
};
