#include "raw/analysers/StreamAnalysers.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"

const std::uint8_t szRMFileEnd[20] = {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0};

namespace {

void NameByRange(CRawFileInfo& record, std::int64_t endSector) {
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", record.m_startSector, endSector);
    record.SetRawFileName(name);
}

std::uint64_t FileBase(const CRawFileInfo& record, int sectorSize) {
    return static_cast<std::uint64_t>(record.m_startSector) * static_cast<std::uint64_t>(sectorSize);
}

bool IsRmChunk(const std::uint8_t* id) {
    return std::memcmp(id, "PROP", 4) == 0 || std::memcmp(id, "MDPR", 4) == 0 || std::memcmp(id, "CONT", 4) == 0 ||
           std::memcmp(id, "DATA", 4) == 0 || std::memcmp(id, "INDX", 4) == 0;
}

}  // namespace

bool bRMFileHeader(const std::uint8_t* first, std::size_t length) {
    length = std::min<std::size_t>(length, 1024);
    const std::uint8_t* mdpr =
        Apimemstr(first, static_cast<int>(length), reinterpret_cast<const std::uint8_t*>("MDPR"), 4);
    while (mdpr != nullptr) {
        const std::size_t at = static_cast<std::size_t>(mdpr - first);
        const int window = static_cast<int>(std::min<std::size_t>(160, length - at));
        if (Apimemstr(mdpr, window, reinterpret_cast<const std::uint8_t*>("Video Stream"), 12) != nullptr) return true;
        mdpr = Apimemstr(mdpr + 4, static_cast<int>(length - at - 4), reinterpret_cast<const std::uint8_t*>("MDPR"), 4);
    }
    return false;
}

// ---------------------------------------------------------------- RealMedia

int FileRM_RMVBAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    record.m_type = bRMFileHeader(sector, 512) ? RAW_FILE_TYPE_RMVB : RAW_FILE_TYPE_RM;
    return 1;
}

int FileRM_RMVBAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t first[1024];
    if (!reader.Read(0, 8, first)) return 0;
    std::size_t held = sizeof first;
    while (held > 8 && !reader.Read(0, held, first)) held /= 2;
    if (!bRMFileHeader(first, held)) {
        record.m_type = RAW_FILE_TYPE_RM;
        std::uint64_t pos = byteorder::BE32(first + 4);
        std::uint8_t h[8];
        for (int i = 0; i < 100000 && pos > 0; ++i) {
            if (!reader.Read(pos, 8, h) || !IsRmChunk(h) || byteorder::BE32(h + 4) == 0) break;
            pos += byteorder::BE32(h + 4);
        }
        record.m_size = static_cast<std::int64_t>(pos);
        return 1;
    }
    const std::int64_t at = reader.Find(0, kSearchLimit, szRMFileEnd, sizeof szRMFileEnd);
    if (at < 0) return 0;
    record.m_type = RAW_FILE_TYPE_RMVB;
    record.m_size = at + 20;
    return 1;
}

namespace Tessel {

int RM_RMVBAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, ".RMF", 4) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_RM;
    return 1;
}

CRawFileInfo* RM_RMVBAnalyser::CreateRawFileInfo() { return new RM_RMVBRawFileInfo(this); }

void RM_RMVBRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    m_size = 0;
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int RM_RMVBRawFileInfo::Finish(std::int64_t sectorNumber, std::uint64_t b) {
    if (m_walk == 0) return 1;  // the device walk takes over
    m_size = static_cast<std::int64_t>(b < 20 * kCap ? m_walk : kCap);
    m_type = m_audioOnly ? RAW_FILE_TYPE_RM : RAW_FILE_TYPE_RMVB;
    NameByRange(*this, sectorNumber);
    return 1;
}

int RM_RMVBRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                    SearchContext& ctx) {
    if (sector == nullptr) return 1;
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t b =
        static_cast<std::uint64_t>(sectorNumber - m_startSector) * static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t base = FileBase(*this, sectorSize);
    const std::uint64_t sectorEnd = b + static_cast<std::uint64_t>(sectorSize);
    if (!m_started) {
        const std::uint8_t* first = ctx.view.at(base, 1024);
        if (first == nullptr) return Finish(sectorNumber, b);
        m_audioOnly = bRMFileHeader(first, 1024) ? 0 : 1;
        m_started = true;
        if (m_audioOnly) {
            m_walk = byteorder::BE32(first + 4);
            if (m_walk == 0) return Finish(sectorNumber, b);
        }
    }
    if (b >= 20 * kCap) return Finish(sectorNumber, b);
    if (!m_audioOnly) {
        // The index chunk that starts in this sector, also one that runs
        // over into the next.
        const std::size_t held =
            static_cast<std::size_t>(std::min<std::uint64_t>(sectorSize + 19, ctx.view.availableFrom(base + b)));
        const std::uint8_t* p = ctx.view.at(base + b, held);
        const std::uint8_t* hit = p ? Apimemstr(p, static_cast<int>(held), szRMFileEnd, sizeof szRMFileEnd) : nullptr;
        if (hit == nullptr) return 2;
        m_walk = b + static_cast<std::uint64_t>(hit - p) + 20;
        return Finish(sectorNumber, b);
    }
    if (m_walk >= sectorEnd) return 2;
    for (int steps = 0; m_walk < sectorEnd; ++steps) {
        if (steps > 1024) return Finish(sectorNumber, b);
        const std::uint8_t* h = ctx.view.at(base + m_walk, 20);
        if (h == nullptr) {
            if (m_walk >= b) return 2;
            return Finish(sectorNumber, b);
        }
        if (!IsRmChunk(h)) return Finish(sectorNumber, b);
        const std::uint32_t size = byteorder::BE32(h + 4);
        if (std::memcmp(h, "INDX", 4) == 0 && byteorder::BE16(h + 8) == 0) {
            const std::uint32_t next = byteorder::BE32(h + 16);
            if (next != 0 && next > m_walk) {
                m_walk = next;
                continue;
            }
            if (next == 0 && size != 0) {
                // The chunk's size counts its entries.
                m_walk += size;
                return Finish(sectorNumber, b);
            }
        }
        if (size == 0) return Finish(sectorNumber, b);
        m_walk += size;
    }
    return 2;
}

}  // namespace Tessel

// ---------------------------------------------------------------- MPEG

bool IsMpegStart(const std::uint8_t* sector) {
    switch (byteorder::LE32(sector + 4)) {
    case 0x00010021:
    case 0x6F710021:
    case 0x482C0044:
    case 0x09010021:
    case 0x00040044:
    case 0x13FFFF2F:
    case 0x04040044:
        return true;
    default:
        return false;
    }
}

namespace {

int PackHeaderLength(const std::uint8_t* p) {
    static const std::uint8_t k14[][4] = {
        {0x44, 0, 0x04, 0}, {0x44, 0, 0x04, 0x04}, {0x44, 0, 0x14, 0x80}, {0x44, 0, 0x2C, 0x48}};
    for (const auto& k : k14)
        if (std::memcmp(p + 4, k, 4) == 0) return 14;
    return 12;
}

bool StartCode(const std::uint8_t* p) { return p[0] == 0 && p[1] == 0 && p[2] == 1; }

std::uint64_t PacketStep(const std::uint8_t* p) {
    const std::uint16_t length = byteorder::BE16(p + 4);
    return length == 0 ? 4 : std::uint64_t{length} + 6;
}

}  // namespace

MpegWalk::Result MpegWalk::Step(const std::uint8_t* p) {
    const std::uint32_t word = byteorder::BE32(p);
    if (word == 0 || word == 1) {
        if (zeroCount == 0) zeroStart = offset;
        ++offset;
        if (++zeroCount >= kZeroRun) return EndAtZeros;
        return Continue;
    }
    zeroCount = 0;
    if (packetNext) {
        packetNext = false;
        if (!StartCode(p)) return offset < kShortWalk ? NoSize : EndAtMiss;
    }
    if (word == 0x000001BA || word == 0x000001B3) {
        const int pack = word == 0x000001BA ? packHeaderLength : 12;
        if (byteorder::BE32(p + pack) == 0x000001BB) {
            offset += static_cast<std::uint64_t>(pack) + byteorder::BE16(p + pack + 4) + 6;
            packetEnd = offset;
            packetNext = true;
            return Continue;
        }
        lastPacketLength = byteorder::BE16(p + pack + 4);
        offset += static_cast<std::uint64_t>(pack) + (lastPacketLength == 0 ? 4 : lastPacketLength + 6u);
        packetEnd = offset;
        return Continue;
    }
    if (!StartCode(p)) {
        if (++misses >= 2) return EndAtMiss;
        missAt = offset;
        packetEndAtMiss = packetEnd;
        offset = offset >= 2 ? offset - 2 : 0;
        return Continue;
    }
    lastPacketLength = byteorder::BE16(p + 4);
    offset += PacketStep(p);
    packetEnd = offset;
    return Continue;
}

std::uint64_t MpegWalk::EndBeforeNextSector(std::uint64_t sectorSize) const {
    // Only zero steps lie between the packet's end and the first miss (a
    // packet or pack would have moved packetEnd), so what comes between is
    // the zero padding of the stream's last sector.
    if (misses < 2 || sectorSize == 0 || missAt == 0 || missAt % sectorSize != 0) return 0;
    // The second miss came before any packet and short of the first.
    if (offset > missAt || packetEnd != packetEndAtMiss || packetEndAtMiss == 0 || packetEndAtMiss > missAt) return 0;
    return packetEndAtMiss;
}

int FileMPGAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || !IsMpegStart(sector)) return 0;
    record.m_type = RAW_FILE_TYPE_MPG;
    return 1;
}

int FileMPGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t p[MpegWalk::kNeed + 300];
    if (!reader.Read(0, 16, p)) return 0;
    MpegWalk walk;
    walk.packHeaderLength = PackHeaderLength(p);
    std::uint64_t end = 0;
    for (;;) {
        std::uint8_t* at = reader.At(walk.offset);
        const std::size_t held = at ? reader.Buffer().AvailableAt(walk.offset) : 0;
        if (walk.offset > kWalkCap || held < MpegWalk::kNeed) {
            if (!reader.Read(walk.offset, MpegWalk::kNeed, p)) {
                end = walk.offset + 18;
                break;
            }
            at = p;
        }
        const MpegWalk::Result r = walk.Step(at);
        if (r == MpegWalk::Continue) {
            if (walk.offset > kWalkCap) {
                end = walk.offset + 18;
                break;
            }
            continue;
        }
        if (r == MpegWalk::NoSize) return 0;
        end = r == MpegWalk::EndAtZeros ? walk.zeroStart : walk.offset + 18;
        // A file right behind the stream, from the next sector on: the
        // stream ended with its last packet, and none of that file is its.
        if (r == MpegWalk::EndAtMiss)
            if (const std::uint64_t before = walk.EndBeforeNextSector(reader.Buffer().SectorSize())) end = before;
        break;
    }
    record.m_size = static_cast<std::int64_t>(end);
    record.m_type = RAW_FILE_TYPE_MPG;
    return 1;
}

namespace Tessel {

int MPGAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || !IsMpegStart(sector)) return 0;
    record.m_type = RAW_FILE_TYPE_MPG;
    return 1;
}

int MPGAnalyser::AnalyseBufferEx(std::uint8_t* sector, CRawFileInfo& record, std::int64_t, std::int64_t sectorNumber,
                                 std::int64_t, std::int64_t, const SectorView&) {
    if (AnalyseBuffer(sector, record) != 1) return 0;
    if (m_lastAccepted >= 0 && sectorNumber >= m_lastAccepted && sectorNumber - m_lastAccepted < kMinGap) return 0;
    m_lastAccepted = sectorNumber;
    return 1;
}

CRawFileInfo* MPGAnalyser::CreateRawFileInfo() { return new MPGRawFileInfo(this); }

void MPGRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    m_size = 0;
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int MPGRawFileInfo::Finish(std::int64_t sectorNumber, std::uint64_t end) {
    if (end == 0) return 1;
    m_size = static_cast<std::int64_t>(std::min<std::uint64_t>(end, kCap * 10));
    m_type = RAW_FILE_TYPE_MPG;
    NameByRange(*this, sectorNumber);
    return 1;
}

int MPGRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t b =
        static_cast<std::uint64_t>(sectorNumber - m_startSector) * static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t base = FileBase(*this, sectorSize);
    if (b == 0 && m_walk.offset == 0) {
        const std::uint8_t* first = ctx.view.at(base, 16);
        if (first == nullptr) return 1;
        m_walk.packHeaderLength = PackHeaderLength(first);
    }
    if (b >= 10 * kCap) return Finish(sectorNumber, kCap);
    for (int steps = 0; m_walk.offset < b + static_cast<std::uint64_t>(sectorSize); ++steps) {
        if (steps > 1024) return Finish(sectorNumber, m_walk.offset + 18);
        const std::uint8_t* p = ctx.view.at(base + m_walk.offset, MpegWalk::kNeed + 2);
        if (p == nullptr) {
            if (m_walk.offset >= b) return 2;
            return Finish(sectorNumber, m_walk.offset + 18);
        }
        switch (m_walk.Step(p)) {
        case MpegWalk::Continue:
            break;
        case MpegWalk::NoSize:
            m_size = 0;
            return 1;
        case MpegWalk::EndAtZeros:
            return Finish(sectorNumber, m_walk.zeroStart);
        case MpegWalk::EndAtMiss: {
            if (const std::uint64_t before = m_walk.EndBeforeNextSector(static_cast<std::uint64_t>(sectorSize)))
                return Finish(sectorNumber, before);
            // The packet that led here overran the stream's end.
            std::uint64_t end = m_walk.offset;
            if (end > m_walk.lastPacketLength) end -= m_walk.lastPacketLength;
            return Finish(sectorNumber, end + 18);
        }
        }
    }
    return 2;
}

}  // namespace Tessel

// ---------------------------------------------------------------- ASF

namespace {

using Guid = std::array<std::uint8_t, 16>;

// "75B22630-668E-11CF-A6D9-00AA0062CE6C" in its on-disk byte order.
constexpr Guid MakeGuid(const char (&s)[37]) {
    auto hex = [](char c) -> std::uint8_t {
        return static_cast<std::uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    auto byteAt = [&](int i) -> std::uint8_t { return static_cast<std::uint8_t>(hex(s[i]) << 4 | hex(s[i + 1])); };
    Guid g{};
    const int order[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 16; ++i) g[static_cast<std::size_t>(i)] = byteAt(order[i]);
    return g;
}

constexpr Guid ucHeaderObjectHeaderID = MakeGuid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
constexpr Guid kTopLevel[] = {
    MakeGuid("75B22636-668E-11CF-A6D9-00AA0062CE6C"),  // Data
    MakeGuid("33000890-E5B1-11CF-89F4-00A0C90349CB"),  // Simple Index
    MakeGuid("D6E229D3-35DA-11D1-9034-00A0C90349BE"),  // Index
    MakeGuid("FEB103F8-12AD-4C64-840F-2A1D2F7AD48C"),  // Media Object Index
    MakeGuid("3CB73FD0-0C4A-4803-953D-EDF7B6228F0C"),  // Timecode Index
};
constexpr Guid kStreamProperties = MakeGuid("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
constexpr Guid kAudioMedia = MakeGuid("F8699E40-5B4D-11CF-A8FD-00805F5C442B");
constexpr Guid kVideoMedia = MakeGuid("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B");

bool CompareGUID(const std::uint8_t* p, const Guid& g) { return std::memcmp(p, g.data(), 16) == 0; }

}  // namespace

namespace BruteForce {

int CAsfAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || !CompareGUID(sector, ucHeaderObjectHeaderID)) return 0;
    record.m_type = RAW_FILE_TYPE_ASF;
    return 1;
}

CRawFileInfo* CAsfAnalyser::CreateRawFileInfo() { return new CAsfRawFileInfo(); }

int CAsfRawFileInfo::Finish() {
    m_size = static_cast<std::int64_t>(std::min(m_topLevel, kCap));
    if (m_other == 0 && m_video == 1)
        m_type = RAW_FILE_TYPE_WMV;
    else if (m_other == 0 && m_audio > 0)
        m_type = RAW_FILE_TYPE_WMA;
    else
        m_type = RAW_FILE_TYPE_ASF;
    return 1;
}

int CAsfRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t b =
        static_cast<std::uint64_t>(sectorNumber - m_startSector) * static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t fed = b + static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t base = FileBase(*this, sectorSize);
    if (m_headerEnd == 0) {
        const std::uint8_t* h = ctx.view.at(base, 30);
        if (h == nullptr) return 1;
        m_headerEnd = byteorder::LE64(h + 16);
        if (m_headerEnd < 30 || m_headerEnd > kCap) return 1;
        m_topLevel = m_headerEnd;
        m_headerWalk = 30;
    }
    while (m_headerWalk < fed && m_headerWalk + 24 <= m_headerEnd) {
        const std::uint8_t* o = ctx.view.at(base + m_headerWalk, 40);
        if (o == nullptr) {
            if (m_headerWalk >= b) break;
            m_headerWalk = m_headerEnd;  // no longer held: the counts stay as they are
            break;
        }
        const std::uint64_t size = byteorder::LE64(o + 16);
        if (size < 24) {
            m_headerWalk = m_headerEnd;
            break;
        }
        if (CompareGUID(o, kStreamProperties)) {
            if (CompareGUID(o + 24, kVideoMedia)) {
                ++m_video;
                ++m_audio;
            } else if (CompareGUID(o + 24, kAudioMedia)) {
                ++m_audio;
            } else {
                ++m_other;
            }
        }
        m_headerWalk += size;
    }
    while (m_topLevel < fed) {
        const std::uint8_t* o = ctx.view.at(base + m_topLevel, 24);
        if (o == nullptr) {
            if (m_topLevel >= b) return 2;
            return Finish();
        }
        bool known = false;
        for (const Guid& g : kTopLevel) known = known || CompareGUID(o, g);
        const std::uint64_t size = byteorder::LE64(o + 16);
        // An object of size 0 or below its own header is the end, not a
        // reason to wait for eviction.
        if (!known || size < 24) return Finish();
        if (size > kCap) return Finish();
        m_topLevel += size;
        if (m_topLevel > kCap) return Finish();
    }
    return 2;
}

}  // namespace BruteForce
