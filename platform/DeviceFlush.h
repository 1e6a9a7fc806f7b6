// What the kernel still holds in memory for one device, written out before a
// scan reads it: the file systems mounted from the device (from its
// partitions too, or, for an image file, from the loop devices it backs) are
// synced with syncfs, and the device's own buffers with fsync. A machine-wide
// sync() would flush every file system of the machine and can take most of a
// second on a busy one; a scan only needs its own device to be current.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/MountTable.h"
#include "platform/SysfsBlockInfo.h"

// The mount points of the file systems whose bytes live on what `st`
// describes: a block device (itself and its partitions) or a regular file
// (the loop devices backed by it and their partitions). Each once, in table
// order.
std::vector<std::string> MountPointsOnDevice(const struct stat& st, const MountTable& mounts,
                                             const SysfsBlockInfo& sysfs);

// Flushes the file systems above and the buffers of the open descriptor
// `fd`. False when something could not be flushed (the scan goes on: it
// then reads what the device holds).
bool FlushDeviceBuffers(int fd, const MountTable& mounts, const SysfsBlockInfo& sysfs);
// The same with this machine's mount table and sysfs.
bool FlushDeviceBuffers(int fd);
