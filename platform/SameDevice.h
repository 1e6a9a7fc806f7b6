// Whether writing under a folder can change the bytes of the source being
// scanned, so that recovery refuses (or warns about) such a folder before
// writing anything.
//
// The folder's device is its mount's (the longest mount point that holds it
// in mountinfo), not its st_dev: btrfs, FUSE (ntfs-3g) and overlay mounts
// report device numbers that name no block device. From there the storage
// under it is followed through sysfs: a partition is a range of its disk, a
// device-mapper or md device covers its slaves, a btrfs covers every device
// the kernel lists for it, an overlay is its upper folder, a loop device is
// its backing file (and writes into that file land on the file system that
// holds it). A mount whose source is
// no block device nor file (tmpfs, network shares) holds no storage of a
// scanned device.
//
// The source is a block device or an image file. By default a block device
// source stands for its whole physical disks: the disks under it, their
// partitions and everything built on them (`holders/`), so that a folder on
// another partition of the same disk counts as the same device too; the
// folder's device number matching any of them counts as well. With
// `Reach::OverlappingStorage` only storage that overlaps the source's own
// range counts: another partition of the same disk is then allowed, the whole
// disk of a source partition is not.
//
// An image file as the source is not a device: writing beside it on the same
// file system never changes its bytes (a file's own blocks are not reused
// while it exists), so that is allowed. Refused is a folder whose storage
// includes the image itself: a folder on a mounted loop device (or one of its
// partitions) backed by the image.
#pragma once

#include <string>

class SameDeviceCheck {
public:
    enum class Reach {
        SharedDisk,          // any physical disk of the source
        OverlappingStorage,  // only the source's own sectors
    };

    explicit SameDeviceCheck(std::string mountinfoPath = "/proc/self/mountinfo", std::string sysfsRoot = "/sys",
                             Reach reach = Reach::SharedDisk);

    // True when writing under `destination` may write onto `source`; `why`
    // then says what they share, in words. A destination that does not exist
    // yet is judged by its nearest existing folder, where it would be made
    // (a caller that must answer "no" for a missing folder checks first).
    bool WritesOntoSource(const std::string& source, const std::string& destination, std::string& why) const;

private:
    std::string m_mountinfo;
    std::string m_sysfs;
    Reach m_reach;
};
