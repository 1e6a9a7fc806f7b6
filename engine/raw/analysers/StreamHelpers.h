#pragma once
// Small pieces the streaming records of the archive, database and drawing
// analysers share: the sector-range name and the used length of a
// zero-padded sector.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "raw/RawFileAnalyser.h"

namespace rawstream {

// "start-end" followed by `tail` ("_", "." or nothing).
inline void NameByRange(CRawFileInfo& record, std::int64_t sectorNumber, const char* tail = "_") {
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "%s", record.m_startSector, sectorNumber, tail);
    record.SetRawFileName(name);
}

// Bytes up to and including the last non-zero byte (0 for an all-zero buffer).
inline std::int64_t UsedLength(const std::uint8_t* p, std::int64_t length) {
    if (p == nullptr) return 0;
    while (length > 0 && p[length - 1] == 0) --length;
    return length;
}

// File offset of the first byte of `sectorNumber`.
inline std::int64_t OffsetOf(const CRawFileInfo& record, std::int64_t sectorNumber, int sectorSize) {
    return (sectorNumber - record.m_startSector) * static_cast<std::int64_t>(sectorSize);
}

}  // namespace rawstream
