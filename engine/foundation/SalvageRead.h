#pragma once
// Reading a run of sectors of which some may be unreadable, so that one bad
// sector costs only itself: the run is read whole; when that fails, again in
// 64 KiB pieces, and a piece that still fails sector by sector. Sectors that
// cannot be read are zero-filled (never left holding another read's bytes).
// Each read's own result decides, so the device's last error is never
// written: another thread may be reading the same device.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "foundation/StorageDevice.h"

// The number of sectors that could not be read (0 = all read).
inline std::int64_t ReadSectorsSalvaging(IStorageDevice* device, std::uint8_t* buffer, std::int64_t first,
                                         std::int64_t count, std::uint32_t sectorSize) {
    if (device == nullptr || buffer == nullptr || count <= 0 || sectorSize == 0) return 0;
    if (!IsEngineFailure(device->ReadSectorResult(buffer, first, count))) return 0;
    std::int64_t failed = 0;
    const std::int64_t piece = std::max<std::int64_t>(1, 0x10000 / sectorSize);
    for (std::int64_t off = 0; off < count; off += piece) {
        const std::int64_t n = std::min<std::int64_t>(piece, count - off);
        std::uint8_t* at = buffer + static_cast<std::size_t>(off) * sectorSize;
        if (!IsEngineFailure(device->ReadSectorResult(at, first + off, n))) continue;
        for (std::int64_t s = 0; s < n; ++s) {
            std::uint8_t* one = at + static_cast<std::size_t>(s) * sectorSize;
            if (!IsEngineFailure(device->ReadSectorResult(one, first + off + s, 1))) continue;
            std::memset(one, 0, sectorSize);
            ++failed;
        }
    }
    return failed;
}
