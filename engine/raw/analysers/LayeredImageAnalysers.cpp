#include "raw/analysers/LayeredImageAnalysers.h"

#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"
#include "raw/analysers/StreamHelpers.h"

using byteorder::BE16;
using byteorder::BE32;
using byteorder::LE16;
using byteorder::LE32;
using rawstream::NameByRange;
using rawstream::OffsetOf;

namespace {

const char kJet[] = "Standard Jet DB";
const char kAce[] = "Standard ACE DB";
const char kPspMagic[32] = "Paint Shop Pro Image File\n\x1A\0\0\0\0";
constexpr std::uint32_t kPspBlock = 0x004B427E;  // 7E 42 4B 00
constexpr std::int64_t kPspBlockHeader = 10;

std::uint32_t MdbType(const std::uint8_t* s) {
    if (s == nullptr || LE32(s) != 0x00000100) return 0;
    if (std::memcmp(s + 4, kJet, 16) == 0) return RAW_FILE_TYPE_MDB;
    if (std::memcmp(s + 4, kAce, 16) == 0) return RAW_FILE_TYPE_ACCDB;
    return 0;
}

bool ValidPageStart(std::uint16_t v) { return v >= 0x0101 && v <= 0x0109; }

std::uint64_t Base(const CRawFileInfo& r, int n) {
    return static_cast<std::uint64_t>(r.m_startSector) * static_cast<std::uint64_t>(n);
}

}  // namespace

// ---- Access ----

int FileMDBAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    const std::uint32_t type = MdbType(s);
    if (type == 0) return 0;
    record.m_type = type;
    return 1;
}

int FileMDBAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::int64_t offset = kPage;
    for (; offset < kWalkCap; offset += kPage) {
        std::uint8_t start[2];
        if (!reader.Read(static_cast<std::uint64_t>(offset), 2, start) || start[0] == 0 || LE16(start) >= 0x0902) break;
    }
    record.m_size = offset;
    return 1;
}

namespace RawSpeed {

int CMDBAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    const std::uint32_t type = MdbType(s);
    if (type == 0) return 0;
    record.m_type = type;
    return 1;
}

CRawFileInfo* CMDBAnalyser::CreateRawFileInfo() { return new CMDBRawFileInfo(this); }

void CMDBRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner) m_analyser = m_owner->TwinAnalyser();
}

int CMDBRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b < FileMDBAnalyser::kPage || b % FileMDBAnalyser::kPage != 0) return 2;
    if (b > m_cap) {
        NameByRange(*this, s);
        m_size = b;
        return 1;
    }
    if (m_checkingPages) {
        const std::uint16_t start = LE16(sector);
        if (ValidPageStart(start)) {
            m_emptyRun = 0;
            if (!m_nonPageSeen) return 2;
        } else if (start == 0) {
            ++m_emptyRun;
            if (m_emptyRun < kEmptyRun && !m_nonPageSeen) return 2;
        } else {
            m_nonPageSeen = true;
            if (b == FileMDBAnalyser::kPage) {
                // Not a database page layout we know: only zero padding ends it.
                m_checkingPages = false;
                return 2;
            }
        }
        NameByRange(*this, s);
        m_size = m_emptyRun > 0 ? b - (m_emptyRun - 1) * FileMDBAnalyser::kPage : b;
        return 1;
    }
    if (ctx.trailingZeroBytes < 9) return 2;
    NameByRange(*this, s);
    m_size = b;
    return 1;
}

}  // namespace RawSpeed

// ---- Photoshop ----

int FilePSDAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    record.m_type = RAW_FILE_TYPE_PSD;
    return 1;
}

// Header, colour data, image resources, layers and masks, then the image
// data: run-length (row byte counts, then the rows) or raw. Sizes are
// computed in 64 bits: 10,000 x 10,000 x 4 channels x 16 bits passes 2^32.
int FilePSDAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t h[30];
    if (!reader.Read(0, sizeof h, h)) return 0;
    if (BE16(h + 4) != 1 || BE16(h + 6) != 0 || BE32(h + 8) != 0) return 0;
    const std::uint64_t channels = BE16(h + 12), height = BE32(h + 14), width = BE32(h + 18), depth = BE16(h + 22);
    std::uint8_t v[4];
    std::uint64_t p = static_cast<std::uint64_t>(BE32(h + 26)) + 30;
    for (int section = 0; section < 2; ++section) {
        if (!reader.Read(p, 4, v)) return 0;
        p += static_cast<std::uint64_t>(BE32(v)) + 4;
    }
    if (!reader.Read(p, 2, v)) return 0;
    const std::uint16_t compression = BE16(v);
    std::uint64_t size;
    if (compression == 1) {
        const std::uint64_t rows = height * channels;
        size = p + 2 + 2 * rows;
        if (rows != 0 && p < 0xCFFFFFF) {
            std::uint8_t counts[512];
            std::uint64_t at = p + 2;
            for (std::uint64_t row = 0; row < rows && at < static_cast<std::uint64_t>(kCountsCap);) {
                const std::uint64_t batch = std::min<std::uint64_t>(rows - row, sizeof counts / 2);
                if (!reader.Read(at, static_cast<std::size_t>(batch * 2), counts)) return 0;
                for (std::uint64_t i = 0; i < batch; ++i) size += BE16(counts + 2 * i);
                row += batch;
                at += batch * 2;
            }
        }
    } else if (compression == 0) {
        size = p + 2 + height * channels * width * depth / 8;
    } else {
        return 0;
    }
    if (size > static_cast<std::uint64_t>(INT64_MAX)) return 0;
    record.m_type = RAW_FILE_TYPE_PSD;
    record.m_size = static_cast<std::int64_t>(size);
    return 1;
}

namespace RawSpeed {

int PSDAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, "8BPS", 4) != 0 || LE16(s + 4) != 256 || LE32(s + 6) != 0 || LE16(s + 10) != 0)
        return 0;
    record.m_type = RAW_FILE_TYPE_PSD;
    return 1;
}

CRawFileInfo* PSDAnalyser::CreateRawFileInfo() { return new PSDRawFileInfo(this); }

void PSDRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner) m_analyser = m_owner->TwinAnalyser();
}

// The sections are followed as the sectors pass. Raw and run-length image
// data have an exact size, which the twin computes from the header and the
// row counts: the record leaves those to it. Other compressions end at the
// zero padding after the image data.
int PSDRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b > 5 * m_cap) return 1;
    const std::uint64_t base = Base(*this, n);
    auto u32At = [&](std::int64_t pos, std::uint32_t& out) {
        const std::uint8_t* p = pos >= 0 ? ctx.view.at(base + static_cast<std::uint64_t>(pos), 4) : nullptr;
        if (p) out = BE32(p);
        return p != nullptr;
    };
    std::uint32_t v = 0;
    if (m_resourcesPending && m_next < b + n) {
        if (m_next == 30) {
            if (!u32At(26, v)) return 2;
            m_next += v;
        }
        if (!u32At(m_next, v)) return m_next < b ? 1 : 2;
        m_next += static_cast<std::int64_t>(v) + 4;
        m_resourcesPending = false;
    }
    if (!m_resourcesPending && m_layersPending && m_next < b + n) {
        if (!u32At(m_next, v)) return m_next < b ? 1 : 2;
        m_next += static_cast<std::int64_t>(v) + 4;
        m_layersPending = false;
    }
    if (m_resourcesPending || m_layersPending) return 2;
    if (m_next < b + n) {
        const std::uint8_t* c = ctx.view.at(base + static_cast<std::uint64_t>(m_next), 2);
        if (c != nullptr && BE16(c) <= 1) return 1;  // no size: the twin computes it
        m_next += 2;
    }
    if (b <= m_next || ctx.trailingZeroBytes < 8) return 2;
    NameByRange(*this, s, "");
    m_size = b + rawstream::UsedLength(sector, n);
    return 1;
}

}  // namespace RawSpeed

// ---- Paint Shop Pro ----

int FilePSPAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, kPspMagic, 32) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_PSP;
    return 1;
}

int FilePSPAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::int64_t offset = 36;
    std::uint8_t h[kPspBlockHeader];
    while (offset <= kWalkCap) {
        if (!reader.Read(static_cast<std::uint64_t>(offset), sizeof h, h)) return 0;
        if (LE32(h) != kPspBlock) break;
        offset += kPspBlockHeader + LE32(h + 6);
    }
    if (offset < 512) return 0;
    record.m_type = RAW_FILE_TYPE_PSP;
    record.m_size = offset;
    return 1;
}

namespace RawSpeed {

int PSPAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, kPspMagic, 32) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_PSP;
    return 1;
}

CRawFileInfo* PSPAnalyser::CreateRawFileInfo() { return new PSPRawFileInfo(this); }

void PSPRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    if (m_owner) m_analyser = m_owner->TwinAnalyser();
}

int PSPRawFileInfo::CalcRawSize(std::uint8_t*, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b > m_cap) {
        NameByRange(*this, s, ".");
        m_size = m_next;
        return 1;
    }
    const std::uint64_t base = Base(*this, n);
    for (int blocks = 0; m_next < b + n && blocks < 4096; ++blocks) {
        const std::uint8_t* h = ctx.view.at(base + static_cast<std::uint64_t>(m_next), kPspBlockHeader);
        if (h == nullptr) return m_next < b ? 1 : 2;
        if (LE32(h) != kPspBlock) {
            NameByRange(*this, s, ".");
            m_size = m_next;
            return 1;
        }
        m_next += kPspBlockHeader + LE32(h + 6);
    }
    return 2;
}

}  // namespace RawSpeed
