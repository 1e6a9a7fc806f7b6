#include "raw/analysers/CrwX3fAnalysers.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"

namespace {

// The CIFF records that close a CRW, by their third byte, and the distance
// from the record's start to the file's end.
struct CrwEnd {
    std::uint8_t key;
    std::int64_t addend;
};
constexpr CrwEnd kCrwEnds[] = {{0xA8, 70}, {0xB2, 60}, {0xE4, 50}};
constexpr int kCrwCompared = 5;  // streaming: 07 28 xx 00 00
constexpr int kCrwDevice = 6;    // device: 07 28 xx 00 00 00
constexpr std::int64_t kCrwLookBack = 86;
constexpr std::int64_t kX3fTail = 76;
const std::uint8_t kSECd[4] = {'S', 'E', 'C', 'd'};

std::int64_t CrwAddend(std::uint8_t key) {
    for (const CrwEnd& e : kCrwEnds)
        if (e.key == key) return e.addend;
    return -1;
}

// The first position below `limit` where a closing record of `length`
// compared bytes starts, its addend in `addend`; -1 when none.
std::int64_t FindCrwEnd(const std::uint8_t* p, std::int64_t limit, std::int64_t available, int length,
                        std::int64_t& addend) {
    for (std::int64_t o = 0; o < limit && o + length <= available;) {
        const void* hit = std::memchr(p + o, 0x07, static_cast<std::size_t>(limit - o));
        if (hit == nullptr) return -1;
        o = static_cast<const std::uint8_t*>(hit) - p;
        if (o + length > available) return -1;
        if (p[o + 1] == 0x28 && p[o + 3] == 0 && p[o + 4] == 0 && (length < 6 || p[o + 5] == 0)) {
            addend = CrwAddend(p[o + 2]);
            if (addend >= 0) return o;
        }
        ++o;
    }
    return -1;
}

bool IsCrwStart(const std::uint8_t* s) {
    if (s == nullptr) return false;
    if (!((s[0] == 'I' && s[1] == 'I') || (s[0] == 'M' && s[1] == 'M'))) return false;
    if (s[4] != 0 || s[5] != 0 || std::memcmp(s + 6, "HEAP", 4) != 0 || s[14] != 2) return false;
    return std::memcmp(s + 10, "CCDR", 4) == 0 || std::memcmp(s + 10, "TIFP", 4) == 0 ||
           std::memcmp(s + 10, "ARCH", 4) == 0;
}

void SetRangeName(CRawFileInfo& record, std::int64_t endSector) {
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", record.m_startSector, endSector);
    record.SetRawFileName(name);
}

}  // namespace

// ---------------------------------------------------------------------------
// CRW

int FileCRWAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    m_matched = IsCrwStart(sector) ? 1 : 0;
    if (m_matched) record.m_type = RAW_FILE_TYPE_CRW;
    return static_cast<int>(m_matched);
}

int FileCRWAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    record.m_size = kDefaultSize;
    record.m_type = RAW_FILE_TYPE_CRW;
    if (device == nullptr || record.m_startSector < 0) return 1;
    const std::int64_t s = device->GetSectorSize() ? device->GetSectorSize() : 512;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    for (std::int64_t p = 0; p <= kDefaultSize; p += s) {
        const std::uint8_t* sector = reader.At(static_cast<std::uint64_t>(p));
        if (sector == nullptr) return 1;
        if (byteorder::LE32(sector + s - 4) != 0) continue;
        std::int64_t addend = 0;
        const std::int64_t o = FindCrwEnd(sector, s - kCrwDevice, s, kCrwDevice, addend);
        if (o >= 0) {
            record.m_size = p + o + addend;
            return 1;
        }
        // A record split across the sector boundary: 91 positions from 80
        // bytes before the previous sector's end, read through the reader
        // so nothing before its window is touched.
        const std::int64_t from = (p == 0 ? p : p - s) + s - 80;
        std::uint8_t around[91 + kCrwDevice];
        if (from >= 0 && reader.Read(static_cast<std::uint64_t>(from), sizeof around, around)) {
            for (const CrwEnd& e : kCrwEnds) {
                const std::uint8_t pattern[kCrwDevice] = {0x07, 0x28, e.key, 0, 0, 0};
                const std::uint8_t* hit = Apimemstr(around, sizeof around, pattern, kCrwDevice);
                if (hit && hit - around < 91) {
                    record.m_size = from + (hit - around) + e.addend;
                    return 1;
                }
            }
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// X3F

int FileX3FAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    record.m_type = RAW_FILE_TYPE_X3F;
    return 1;
}

int FileX3FAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    // Each device's own sector size: a value kept from the first device
    // would misread every later one.
    const std::int64_t s = device->GetSectorSize() ? device->GetSectorSize() : 512;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::int64_t p = 0;
    record.m_type = RAW_FILE_TYPE_X3F;
    while (p <= kWalkLimit) {
        const std::uint8_t* sector = reader.At(static_cast<std::uint64_t>(p));
        if (sector == nullptr) break;
        const std::uint8_t* tail = sector + s - 4;
        if (std::memcmp(tail, kSECd, 4) == 0) {
            record.m_size = p + kX3fTail;
            return 1;
        }
        if (byteorder::LE32(tail) == 0) {
            const std::int64_t o = reader.Find(static_cast<std::uint64_t>(p), static_cast<std::uint64_t>(s), kSECd, 4);
            if (o >= 0) {
                record.m_size = o + kX3fTail;
                return 1;
            }
            const std::int64_t from = p == 0 ? p : p - s;
            const std::int64_t back =
                reader.Find(static_cast<std::uint64_t>(from), static_cast<std::uint64_t>(s + 50), kSECd, 4);
            if (back >= 0) {
                record.m_size = back + kX3fTail;
                return 1;
            }
        }
        p += s;
    }
    record.m_size = p;
    return 1;
}

namespace Tessel {

int CRWAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (!IsCrwStart(sector)) return 0;
    record.m_type = RAW_FILE_TYPE_CRW;
    return 1;
}

CRawFileInfo* CRWAnalyser::CreateRawFileInfo() { return new CRWRawFileInfo(this); }

void CRWRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int CRWRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize < 16 || sectorNumber < m_startSector) return 2;
    const std::int64_t s = sectorSize;
    const std::int64_t pos = (sectorNumber - m_startSector) * s;
    if (pos < m_minimumA + m_minimumB) return 2;
    if (pos >= m_sizeCap) {
        m_size = m_sizeCap;
        SetRangeName(*this, sectorNumber);
        return 1;
    }
    // Closing records sit in the zero-padded last sector; any other sector
    // costs one look at the context.
    const std::int64_t z = ctx.trailingZeroBytes;
    if (z < 9) return 2;
    auto plus178 = [&](std::int64_t end, std::int64_t addend) {
        // The B2 record has a variant 10 bytes longer, told apart by the
        // word where the shorter one would end.
        if (addend != 60) return end;
        const std::int64_t at = end % s;
        if (at + 4 <= s && byteorder::LE32(sector + at) != 0) return end + 10;
        return end;
    };
    std::int64_t addend = 0;
    std::int64_t o = FindCrwEnd(sector, s - z, s, kCrwCompared, addend);
    if (o >= 0) {
        m_end = plus178(pos + o + addend, addend);
    } else if (sectorNumber >= 2 && ctx.bufferStartSector < sectorNumber) {
        const std::uint64_t at =
            static_cast<std::uint64_t>(sectorNumber) * static_cast<std::uint64_t>(s) - kCrwLookBack;
        const std::uint8_t* around = ctx.view.at(at, 2 * kCrwLookBack);
        if (around) {
            o = FindCrwEnd(around, 2 * kCrwLookBack, 2 * kCrwLookBack, kCrwCompared, addend);
            if (o >= 0) m_end = plus178(pos + o - kCrwLookBack + addend, addend);
        }
    }
    if (m_end <= 0) return 2;
    m_size = m_end;
    SetRangeName(*this, sectorNumber);
    return 1;
}

int X3FAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, "FOVb", 4) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_X3F;
    return 1;
}

CRawFileInfo* X3FAnalyser::CreateRawFileInfo() { return new X3FRawFileInfo(this); }

void X3FRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int X3FRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sector == nullptr || sectorSize < 16 || sectorNumber < m_startSector) return 2;
    const std::int64_t s = sectorSize;
    const std::int64_t pos = (sectorNumber - m_startSector) * s;
    if (pos < m_sizeCap) {
        const std::uint8_t* tail = sector + s - 4;
        if (std::memcmp(tail, kSECd, 4) == 0) {
            m_end = pos + s;
        } else if (byteorder::LE32(tail) != 0) {
            return 2;
        } else if (const std::uint8_t* hit = Apimemstr(sector, sectorSize, kSECd, 4)) {
            m_end = pos + (hit - sector) + kX3fTail;
        } else if (ctx.bufferStartSector + 1 < sectorNumber) {
            // Half a sector before this one, through the view.
            const std::uint64_t at = static_cast<std::uint64_t>(sectorNumber) * static_cast<std::uint64_t>(s) -
                                     static_cast<std::uint64_t>(s / 2);
            const std::uint8_t* around = ctx.view.at(at, static_cast<std::size_t>(s + s / 2));
            const std::uint8_t* hit = around ? Apimemstr(around, static_cast<int>(s + s / 2), kSECd, 4) : nullptr;
            if (hit == nullptr) return 2;
            m_end = pos + (hit - around) - s / 2 + kX3fTail;
        } else {
            return 2;
        }
    }
    m_size = pos < 10 * m_sizeCap ? m_end : m_sizeCap;
    SetRangeName(*this, sectorNumber);
    return 1;
}

}  // namespace Tessel
