// Whether writing under a folder can change the bytes of the source being
// scanned, so that recovery refuses such a folder before writing anything.
//
// The folder's device is its mount's (the longest mount point that holds it
// in mountinfo), not its st_dev: btrfs, FUSE (ntfs-3g) and overlay mounts
// report device numbers that name no block device. From there the storage
// under it is followed through sysfs: a partition is a range of its disk, a
// device-mapper device covers its slaves, a loop device is its backing file
// (and writes into that file land on the file system that holds it). The
// source is a block device, followed the same way, or an image file.
//
// An image file as the source is not a device: writing beside it on the same
// file system never changes its bytes (a file's own blocks are not reused
// while it exists), so that is allowed. Refused is a folder whose storage
// includes the image itself: a folder on a mounted loop device (or one of its
// partitions) backed by the image. For a block device source the folder is
// refused when its storage overlaps the source's: another partition of the
// same disk is allowed, the whole disk of a source partition is not.
#pragma once

#include <string>

class SameDeviceCheck {
public:
    explicit SameDeviceCheck(std::string mountinfoPath = "/proc/self/mountinfo", std::string sysfsRoot = "/sys");

    // True when writing under `destination` (which need not exist yet: its
    // nearest existing folder stands for it) may write onto `source`; `why`
    // then says what they share, in words.
    bool WritesOntoSource(const std::string& source, const std::string& destination, std::string& why) const;

private:
    std::string m_mountinfo;
    std::string m_sysfs;
};
