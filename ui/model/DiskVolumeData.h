#pragma once
// The record of one disk, volume or opened image that the device list hands
// to the views.

#include <cstdint>
#include <list>
#include <string>

#include "storage/DeviceData.h"

struct _DiskVolumeData {
    // Owned copies: the engine's description records are freed by a refill
    // of the device list while a window may still show the row.
    std::string name;
    // Kernel name of a disk or volume ("sdb1"); file path of an image.
    std::string diskPath;
    std::int64_t capacity = 0;
    std::int64_t used = 0;
    std::int32_t diskIndex = -1;
    std::int32_t volumeIndex = -1;  // -1 for a disk or an image
    std::int32_t fileSystem = -1;
    std::uint32_t isDmg = 0;  // a disk image attached by the system (loop, nbd)
    std::uint32_t isSSD = 0;
    std::uint32_t isUSB = 0;
    std::uint32_t beCanOpen = 1;
    std::uint32_t isQvx = 0;
    // The image's own record; images stay listed, and so alive, as long as
    // the device list.
    const CQVXDeviceInfoStruct* qvxInfo = nullptr;
    std::int32_t qvxInfoSize = -1;
    std::uint32_t isAppleDmg = 0;
    const CDMGDeviceInfoStruct* dmgInfo = nullptr;
    std::int32_t dmgInfoSize = -1;
    std::list<_DiskVolumeData> volumes;
};
