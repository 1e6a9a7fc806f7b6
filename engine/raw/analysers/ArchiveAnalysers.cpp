#include "raw/analysers/ArchiveAnalysers.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"
#include "raw/analysers/StreamHelpers.h"

using byteorder::BE32;
using byteorder::LE16;
using byteorder::LE32;
using rawstream::NameByRange;
using rawstream::OffsetOf;
using rawstream::UsedLength;

namespace {

std::uint64_t AbsoluteBase(const CRawFileInfo& r, int sectorSize) {
    return static_cast<std::uint64_t>(r.m_startSector) * static_cast<std::uint64_t>(sectorSize);
}

std::uint32_t DeviceSectorSize(WindowReader& reader) {
    const std::uint32_t n = reader.Buffer().SectorSize();
    return n ? n : 512;
}

// ---- RAR ----

const std::uint8_t kRarEnder[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
// The first block (the main header) is read with this much of the sector.
constexpr std::size_t kFirstBlockBytes = 505;
constexpr std::size_t kBlockBytes = 32;

bool IsRarStart(const std::uint8_t* s) { return s && s[4] == 0x1A && s[5] == 0x07 && s[6] == 0x00; }

// ---- gzip ----

bool IsValidGzHeader(const std::uint8_t* s) {
    return s && s[0] == 0x1F && s[1] == 0x8B && s[2] == 8 && s[3] < 32 && s[9] < 14;
}

// ---- LZH ----

enum class LzhStep { Advanced, Retry, End };
// The fixed fields after the first two bytes of a level 0 or 1 header.
constexpr std::int64_t kLzhMinHeader = 20;

// One member of the walk. Level 0 and 1 headers: the header length at 0,
// the method at 2, the packed size at 7. The two bytes of header-length and
// checksum are counted until a directory or -lh7- member is met, after
// which the lengths already include them (the later members are level 1 or 2).
LzhStep StepLzh(const std::uint8_t* h, std::int64_t& offset, bool& later, bool& adjusted, bool knowsLh7) {
    const std::int64_t headerSize = h[0];
    const std::int64_t packed = LE32(h + 7);
    // No member header is shorter: a shorter one is not a header, and every
    // step of the walk moves it on.
    if (headerSize < kLzhMinHeader) {
        if (!adjusted) return LzhStep::End;
        adjusted = false;
        offset -= 2;
        return LzhStep::Retry;
    }
    if (std::memcmp(h + 2, "-lh5-", 5) == 0 || std::memcmp(h + 2, "-lh0-", 5) == 0) {
        offset += headerSize + packed + (later ? 0 : 2);
        adjusted = !later;
        return LzhStep::Advanced;
    }
    if (std::memcmp(h + 2, "-lhd-", 5) == 0) {
        offset += headerSize;
        later = true;
        adjusted = false;
        return LzhStep::Advanced;
    }
    if (knowsLh7 && std::memcmp(h + 2, "-lh7-", 5) == 0) {
        offset += headerSize + packed;
        later = true;
        adjusted = false;
        return LzhStep::Advanced;
    }
    if (adjusted) {
        adjusted = false;
        offset -= 2;
        return LzhStep::Retry;
    }
    return LzhStep::End;
}

bool IsLzhStart(const std::uint8_t* s, bool knowsLh7) {
    if (s == nullptr || s[2] != '-' || s[3] != 'l' || s[4] != 'h' || s[6] != '-') return false;
    return s[5] == '5' || s[5] == '0' || s[5] == 'd' || (knowsLh7 && s[5] == '7');
}
constexpr std::size_t kLzhHeaderBytes = 11;

// ---- tar ----

constexpr std::int64_t kTarBlock = 512;

bool HasUstar(const std::uint8_t* block) { return std::memcmp(block + 257, "ustar", 5) == 0; }

std::int64_t RoundTarBlock(std::int64_t v) { return (v + kTarBlock - 1) / kTarBlock * kTarBlock; }

// Where an archive whose header walk stops at `block` (file offset `at`)
// ends: after the two zero blocks that close a tar, or at the first block
// that is text of some other file.
std::int64_t TarEndAt(const std::uint8_t* block, std::int64_t at) {
    return static_cast<std::int8_t>(block[0]) >= 33 ? at : at + 2 * kTarBlock;
}

// ---- StuffIt ----

const std::uint8_t kSitWrapper[16] = {'W',  'E',  'B',  'B',  'A',  'I',  'K',  'E',
                                      0x66, 0x66, 0xEB, 0xB4, 0xA3, 0x74, 0xBD, 0x7B};
// SITX end markers: 02 D7 0A, one of these, then 98 F6 42 88.
const std::uint8_t kSitxFourth[3] = {0x19, 0x3B, 0x10};
const std::uint8_t kSitxTail[4] = {0x98, 0xF6, 0x42, 0x88};
constexpr std::int64_t kSitClassicOverflow = 0x82000000;

bool IsSitxMarker(const std::uint8_t* p) {
    if (p[0] != 0x02 || p[1] != 0xD7 || p[2] != 0x0A || std::memcmp(p + 4, kSitxTail, 4) != 0) return false;
    return p[3] == kSitxFourth[0] || p[3] == kSitxFourth[1] || p[3] == kSitxFourth[2];
}

}  // namespace

// ======================================================================
// RAR
// ======================================================================

namespace classRarSearch {

std::uint64_t GetBlockSize(const std::uint8_t* h, std::size_t available) {
    if (h == nullptr || available < 7) return 0;
    const std::uint8_t type = h[2];
    const std::uint64_t headerSize = LE16(h + 5);
    if (type < 0x73 || type > 0x7B || type == 0x79 || headerSize < 7) return 0;
    switch (type) {
    case 0x73:
        return headerSize < 10 ? 0 : headerSize;
    case 0x74:
        if (available < 16 || LE32(h + 7) > LE32(h + 11) || h[15] >= 5) return 0;
        return headerSize + LE32(h + 7);
    case 0x77:
        if (available < 14 || h[13] != 0) return 0;
        return headerSize + LE32(h + 7);
    case 0x75:
        if (available < 9) return 0;
        return headerSize + LE16(h + 7);
    case 0x76:
        return headerSize;
    default:  // 0x78, 0x7A, 0x7B
        if (headerSize < 10 || available < 11) return 0;
        return headerSize + LE32(h + 7);
    }
}

bool IsValidHead(const std::uint8_t* h, std::size_t available) { return GetBlockSize(h, available) != 0; }

}  // namespace classRarSearch

int FileRARAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (!IsRarStart(s)) return 0;
    record.m_type = RAW_FILE_TYPE_RAR;
    return 1;
}

int FileRARAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[kBlockBytes];
    if (!reader.Read(7, sizeof head, head)) return 0;
    const std::uint64_t first = classRarSearch::GetBlockSize(head, sizeof head);
    if (first == 0) return 0;
    std::uint64_t offset = 7 + first;
    while (offset <= static_cast<std::uint64_t>(kWalkCap)) {
        if (!reader.Read(offset, sizeof head, head)) {
            // The end block may be the archive's last bytes on the device.
            if (reader.Read(offset, 7, head) && std::memcmp(head, kRarEnder, 7) == 0) break;
            return 0;
        }
        const std::uint64_t size = classRarSearch::GetBlockSize(head, sizeof head);
        if (size == 0) break;
        offset += size;
    }
    std::uint8_t tail[7];
    if (reader.Read(offset, 7, tail) && std::memcmp(tail, kRarEnder, 7) == 0) offset += 7;
    record.m_type = RAW_FILE_TYPE_RAR;
    record.m_size = static_cast<std::int64_t>(offset);
    return 1;
}

namespace RawSpeed {

int RARAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (!IsRarStart(s)) return 0;
    record.m_type = RAW_FILE_TYPE_RAR;
    return 1;
}

CRawFileInfo* RARAnalyser::CreateRawFileInfo() { return new RARRawFileInfo(this); }

int RARRawFileInfo::CalcRawSize(std::uint8_t*, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b > m_cap) {
        NameByRange(*this, s);
        m_size = m_walkOffset;
        return 1;
    }
    const std::uint64_t base = AbsoluteBase(*this, n);
    // Blocks are walked once their header lies in a sector seen; the view
    // also holds the sectors before this one and a few bytes after it.
    for (int steps = 0; m_walkOffset < b + n && steps < 4096; ++steps) {
        const std::uint64_t at = base + static_cast<std::uint64_t>(m_walkOffset);
        const std::size_t want = m_walkOffset == 7 ? kFirstBlockBytes : kBlockBytes;
        const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(want, ctx.view.availableFrom(at)));
        const std::uint8_t* h = have >= 7 ? ctx.view.at(at, have) : nullptr;
        // Not in the buffer: a header behind this sector is lost to the
        // streaming walk (the twin reads it); one ahead waits for more bytes.
        if (h == nullptr) return m_walkOffset < b ? 1 : 2;
        const std::uint64_t size = classRarSearch::GetBlockSize(h, have);
        if (size == 0) {
            const bool ender = std::memcmp(h, kRarEnder, 7) == 0;
            if (!ender && have < kBlockBytes && m_walkOffset >= b) return 2;
            if (ender) m_walkOffset += 7;
            NameByRange(*this, s);
            m_size = m_walkOffset;
            return 1;
        }
        m_walkOffset += static_cast<std::int64_t>(size);
    }
    return 2;
}

// ======================================================================
// gzip
// ======================================================================

int GZAnalyzer::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (!IsValidGzHeader(s)) return 0;
    record.m_type = RAW_FILE_TYPE_GZ;
    return 1;
}

CRawFileInfo* GZAnalyzer::CreateRawFileInfo() { return new GZRawFileInfo(this); }

// The member ends with the CRC and the uncompressed length modulo 2^32,
// whose high bytes are zero for any input below 16 MiB: the used length of
// the last sector may stop short of the member's end. The member is taken to
// the end of that sector, as the twin does; gzip skips zero padding.
int GZRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b > m_cap) {
        NameByRange(*this, s);
        m_size = b;
        return 1;
    }
    if (ctx.trailingZeroBytes < 8 || b < m_minLength) return 2;
    // An all-zero sector: the member ended with the sector before.
    NameByRange(*this, s);
    m_size = b + (UsedLength(sector, n) == 0 ? 0 : n);
    return 1;
}

}  // namespace RawSpeed

int FileGZAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (!IsValidGzHeader(s) || (s[8] != 2 && s[8] != 4)) return 0;
    record.m_type = RAW_FILE_TYPE_GZ;
    return 1;
}

int FileGZAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[10];
    if (!reader.Read(0, sizeof head, head) || !IsValidGzHeader(head)) return 0;
    record.m_type = RAW_FILE_TYPE_GZ;
    std::int64_t pos = 10;
    auto skipText = [&](std::string* keep) {
        // A zero-terminated text; false when it does not end by the cap.
        std::uint8_t chunk[256];
        while (pos < kTextCap) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(sizeof chunk, kTextCap - pos));
            if (!reader.Read(static_cast<std::uint64_t>(pos), want, chunk)) return false;
            const void* z = std::memchr(chunk, 0, want);
            const std::size_t len = z ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - chunk) : want;
            if (keep && keep->size() < kNameMax)
                keep->append(reinterpret_cast<const char*>(chunk), std::min(len, kNameMax - keep->size()));
            pos += static_cast<std::int64_t>(len);
            if (z) {
                ++pos;
                return true;
            }
        }
        return false;
    };
    bool textsEnded = true;
    if (head[3] & 4) {
        std::uint8_t xlen[2];
        if (!reader.Read(static_cast<std::uint64_t>(pos), 2, xlen)) return 0;
        pos += 2 + LE16(xlen);
    }
    if (head[3] & 8) {
        std::string name;
        textsEnded = skipText(&name);
        if (!name.empty()) record.SetRawFileName(name);
    }
    if (textsEnded && (head[3] & 16)) textsEnded = skipText(nullptr);
    if (!textsEnded) {
        record.m_size = pos;
        return 1;
    }
    if (head[3] & 2) pos += 2;
    const std::int64_t n = DeviceSectorSize(reader);
    std::int64_t at = (pos / n + 1) * n;  // the next sector boundary after pos
    std::vector<std::uint8_t> sector(static_cast<std::size_t>(n));
    for (; at < kWalkCap; at += n) {
        if (!reader.Read(static_cast<std::uint64_t>(at), sector.size(), sector.data())) break;
        if (byteorder::LE64(sector.data() + n - 8) == 0) {
            record.m_size = at + n;
            return 1;
        }
    }
    record.m_size = at;
    return 1;
}

// ======================================================================
// LZH
// ======================================================================

int FileLZHAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (!IsLzhStart(s, false)) return 0;
    record.m_type = RAW_FILE_TYPE_LZH;
    return 1;
}

int FileLZHAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::int64_t offset = 0;
    bool later = false, adjusted = false;
    std::uint8_t h[kLzhHeaderBytes];
    std::int64_t retryFrom = -1;
    for (int headers = 0; headers < kMaxHeaders && offset >= 0 && offset <= kWalkCap; ++headers) {
        if (!reader.Read(static_cast<std::uint64_t>(offset), sizeof h, h)) break;
        const std::int64_t at = offset;
        const LzhStep step = StepLzh(h, offset, later, adjusted, false);
        if (step == LzhStep::End) {
            if (at == 0) return 0;
            if (retryFrom >= 0) offset = retryFrom;
            break;
        }
        retryFrom = step == LzhStep::Retry ? at : -1;
    }
    const std::int64_t n = DeviceSectorSize(reader);
    record.m_type = RAW_FILE_TYPE_LZH;
    record.m_size = std::max<std::int64_t>(offset, 0) / n * n + (offset % n ? n : 0);
    return 1;
}

namespace Tessel {

int LZHAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (!IsLzhStart(s, true)) return 0;
    record.m_type = RAW_FILE_TYPE_LZH;
    return 1;
}

CRawFileInfo* LZHAnalyser::CreateRawFileInfo() { return new LZHRawFileInfo(this); }

int LZHRawFileInfo::CalcRawSize(std::uint8_t*, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b >= 10 * m_cap) {
        NameByRange(*this, s);
        m_size = m_cap;
        return 1;
    }
    const std::uint64_t base = AbsoluteBase(*this, n);
    for (int headers = 0; m_walkOffset < b + n && headers < 1024; ++headers) {
        if (m_walkOffset < 0) return 1;
        const std::uint8_t* h = ctx.view.at(base + static_cast<std::uint64_t>(m_walkOffset), kLzhHeaderBytes);
        if (h == nullptr) return m_walkOffset < b ? 1 : 2;
        const std::int64_t at = m_walkOffset;
        const LzhStep step = StepLzh(h, m_walkOffset, m_later, m_adjusted, true);
        if (step == LzhStep::End) {
            // The archive's closing zero byte. A step back that found no
            // header either is undone: the members' own lengths were right.
            const std::int64_t end = m_retryFrom >= 0 ? m_retryFrom : at;
            if (end == 0) return 1;  // not even one member: no archive
            NameByRange(*this, s);
            m_size = end + 1;
            return 1;
        }
        m_retryFrom = step == LzhStep::Retry ? at : -1;
    }
    return 2;
}

}  // namespace Tessel

// ======================================================================
// tar
// ======================================================================

std::int64_t OctStringToint(const std::uint8_t* f) {
    int i = 0;
    while (i < 12 && f[i] == ' ') ++i;
    if (i == 12 || f[i] < '0' || f[i] > '7') return f[i == 12 ? 11 : i] == 0 ? 0 : -1;
    std::int64_t v = 0;
    for (; i < 12 && f[i] >= '0' && f[i] <= '7'; ++i) v = v * 8 + (f[i] - '0');
    return v;
}

int FileTARAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || !HasUstar(s)) return 0;
    record.m_type = RAW_FILE_TYPE_TAR;
    return 1;
}

// Tar blocks are 512 bytes on every device. A member of size 0 (a folder,
// which GNU tar writes before its contents) is one header long.
int FileTARAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t block[kTarBlock];
    std::int64_t offset = 0;
    while (offset <= kWalkCap) {
        if (!reader.Read(static_cast<std::uint64_t>(offset), sizeof block, block)) break;
        if (!HasUstar(block)) {
            if (offset == 0) return 0;
            offset = TarEndAt(block, offset);
            break;
        }
        const std::int64_t size = OctStringToint(block + 124);
        if (size < 0) break;
        offset += kTarBlock + RoundTarBlock(size);
    }
    record.m_type = RAW_FILE_TYPE_TAR;
    record.m_size = offset;
    return 1;
}

namespace RawSpeed {

int TARAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    // Asked about every sector: one compare refuses almost all of them.
    if (s == nullptr || s[257] != 'u' || !HasUstar(s)) return 0;
    record.m_type = RAW_FILE_TYPE_TAR;
    return 1;
}

CRawFileInfo* TARAnalyser::CreateRawFileInfo() { return new TARRawFileInfo(this); }

int TARRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext&) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    if (n % kTarBlock != 0) return 1;
    const std::int64_t b = OffsetOf(*this, s, n);
    // A header in a sector the search did not feed: the twin walks again.
    if (m_nextHeader < b) return 1;
    while (m_nextHeader < b + n) {
        const std::uint8_t* block = sector + (m_nextHeader - b);
        const std::int64_t size = HasUstar(block) ? OctStringToint(block + 124) : -1;
        if (size < 0) {
            NameByRange(*this, s);
            m_size = HasUstar(block) ? m_nextHeader : TarEndAt(block, m_nextHeader);
            return 1;
        }
        m_nextHeader += kTarBlock + RoundTarBlock(size);
    }
    return 2;
}

// ======================================================================
// StuffIt
// ======================================================================

int SITAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    if (std::memcmp(s + 4, "fIt", 3) != 0 && std::memcmp(s, kSitWrapper, 16) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_SIT;
    return 1;
}

CRawFileInfo* SITAnalyser::CreateRawFileInfo() { return new SITRawFileInfo(this); }

int SITRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (m_unjudged) {
        m_unjudged = false;
        m_wrapped = std::memcmp(sector, kSitWrapper, 16) == 0;
        if (sector[7] == '!') {
            m_classic = false;
            m_type = RAW_FILE_TYPE_SITX;
        } else if (sector[7] == ' ') {
            m_classic = true;
            m_type = RAW_FILE_TYPE_SIT;
        }
    }
    if (m_wrapped) {
        if (ctx.trailingZeroBytes < 9) return 2;
        NameByRange(*this, s, "");
        m_size = b + UsedLength(sector, n);
        return 1;
    }
    if (m_classic) {
        const std::int64_t length = BE32(sector + 84);
        m_size = length >= 1 && length < m_cap ? length : m_cap;
        return 1;
    }
    if (ctx.trailingZeroBytes < 4) return 2;
    if (b > m_cap) {
        NameByRange(*this, s, "");
        m_size = m_cap;
        return 1;
    }
    const std::int64_t used = UsedLength(sector, n);
    const std::uint64_t base = AbsoluteBase(*this, n) + static_cast<std::uint64_t>(b);
    for (int back = 19; back >= 0; --back) {
        const std::int64_t start = used - back;
        if (static_cast<std::int64_t>(base) + start < 0) continue;
        const std::uint8_t* p = ctx.view.at(static_cast<std::uint64_t>(static_cast<std::int64_t>(base) + start), 8);
        if (p != nullptr && IsSitxMarker(p)) {
            NameByRange(*this, s, "");
            m_size = b + used;
            return 1;
        }
    }
    return 2;
}

}  // namespace RawSpeed

int FileSITAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo&) {
    return s != nullptr && std::memcmp(s + 4, "fIt", 3) == 0 ? 1 : 0;
}

int FileSITAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    record.m_size = 0;
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[88];
    if (!reader.Read(0, sizeof head, head)) return 0;
    if (head[7] == ' ') {
        record.m_type = m_analyserType = RAW_FILE_TYPE_SIT;
        const std::uint32_t length = BE32(head + 84);
        record.m_size = (length & 0x80000000u) ? kSitClassicOverflow : length;
        return 1;
    }
    if (head[7] != '!') return 0;
    record.m_type = m_analyserType = RAW_FILE_TYPE_SITX;
    // Stepped by this device's own sector size.
    const std::int64_t n = DeviceSectorSize(reader);
    std::vector<std::uint8_t> sector(static_cast<std::size_t>(n));
    std::int64_t at = 0;
    for (; at < kWalkCap; at += n) {
        if (!reader.Read(static_cast<std::uint64_t>(at), sector.size(), sector.data())) break;
        if (sector[n - 1] != 0 || sector[n - 2] != 0) continue;
        static const std::uint8_t kLead[3] = {0x02, 0xD7, 0x0A};
        if (const std::uint8_t* m = Apimemstr(sector.data(), static_cast<int>(n), kLead, 3)) {
            const std::int64_t k = m - sector.data();
            if (k + 8 <= n && std::memcmp(m + 4, kSitxTail, 4) == 0) {
                const int extra = m[3] == 0x19 ? 4 : m[3] == 0x3B ? 5 : 6;
                record.m_size = at + k + 8 + extra;
            } else {
                record.m_size = at;
            }
            return 1;
        }
        std::uint8_t straddle[32];
        const std::int64_t from = at >= 16 ? at - 16 : 0;
        if (reader.Read(static_cast<std::uint64_t>(from), sizeof straddle, straddle))
            for (int i = 0; i + 8 <= 32; ++i)
                if (straddle[i] == 0x02 && straddle[i + 1] == 0xD7 && straddle[i + 2] == 0x0A &&
                    std::memcmp(straddle + i + 4, kSitxTail, 4) == 0) {
                    record.m_size = at + n;
                    return 1;
                }
    }
    record.m_size = at;
    return 1;
}

// ======================================================================
// Cabinet and CPT
// ======================================================================

int FileCABAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || LE32(s + 4) != 0 || LE32(s + 12) != 0 || LE32(s + 20) != 0 || LE16(s + 24) != 0x0103) return 0;
    record.m_type = RAW_FILE_TYPE_CAB;
    record.m_size = LE32(s + 8);
    return record.m_size != 0 ? 1 : 0;
}

int FileCPTAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s + 4, "FILE", 4) != 0 || LE32(s + 52) != 316) return 0;
    record.m_type = RAW_FILE_TYPE_CPT;
    record.m_size = 0;
    return 1;
}

// The image ends with the data of the last entry of its object table. Every
// offset of the chain comes from the file and is bounded before it is read.
int FileCPTAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    bool ok = true;
    auto u32 = [&](std::uint64_t at) -> std::uint64_t {
        std::uint8_t v[4];
        if (!ok || at >= kCap || !reader.Read(at, 4, v)) {
            ok = false;
            return 0;
        }
        return LE32(v);
    };
    const std::uint64_t a = u32(52);
    const std::uint64_t n = u32(40);
    if (!ok || n == 0 || n > kMaxEntries) return 0;
    const std::uint64_t p = u32(a + 8 * n - 8);
    if (!ok || p >= kCap) return 0;
    record.m_type = RAW_FILE_TYPE_CPT;
    record.m_size = static_cast<std::int64_t>(p);
    const std::uint64_t bOff = u32(p + 32);
    std::uint64_t q = p + 60;
    if (ok && bOff != 0 && u32(q) == bOff) q += bOff;
    const std::uint64_t x = u32(q);
    const std::uint64_t y = u32(q + 4);
    if (!ok || x < 8 || y == 0) return 1;
    const std::uint64_t size = u32(x - 8) + u32(x - 4);
    if (ok && size < kCap) record.m_size = static_cast<std::int64_t>(size);
    return 1;
}
