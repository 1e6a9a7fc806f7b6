#include "raw/analysers/SmallFormatAnalysers.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"
#include "raw/ZeroEndRawFileInfo.h"
#include "raw/analysers/StreamHelpers.h"

using byteorder::BE16;
using byteorder::BE32;
using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;
using rawstream::NameByRange;
using rawstream::OffsetOf;
using rawstream::UsedLength;

namespace {

std::uint64_t Base(const CRawFileInfo& r, int n) {
    return static_cast<std::uint64_t>(r.m_startSector) * static_cast<std::uint64_t>(n);
}

bool EqualNoCase(const std::uint8_t* p, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(p[i]) != std::tolower(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

const RawSpeed::ZeroTailRawFileInfo::Rule kPsafe3Rule{20, 8, 52428800, "_", true};
const RawSpeed::ZeroTailRawFileInfo::Rule kSibRule{512, 8, 0xA00000, "_", true};
const RawSpeed::ZeroTailRawFileInfo::Rule kJksRule{20, 8, 0xA00000, "_", true};
const RawSpeed::ZeroTailRawFileInfo::Rule kWpgRule{0, 16, 5 * 100000000LL, ".", false};

// 3D Studio: the main chunk "MM" (0x4D4D) with its u32 length at 2.
bool IsMM(const std::uint8_t* p) { return p[0] == 'M' && p[1] == 'M'; }
constexpr std::int64_t k3dsLook = 92;

// One step of the chunk walk at `p` (92 bytes); 0 ends the file here.
std::int64_t Step3ds(const std::uint8_t* p) {
    if (IsMM(p + 88)) return 88;
    // The main chunk's length is a u32: files above 64 KiB are common.
    if (IsMM(p) && LE16(p + 88) != 0 && LE32(p + 2) != 0) return LE32(p + 2);
    return 0;
}

const char kDxfCrlf[] = "  0\r\nSECTION\r\n  ";
const char kDxfLf[] = "  0\nSECTION\n  ";

const char* const kDwgVersions[] = {"AC1027", "AC1024", "AC1021", "AC1018", "AC1015",
                                    "AC1014", "AC1013", "AC1012", "AC1009"};

// "tableactiveactive" as UTF-16LE text: a MUSE library's schema.
bool IsMuseSchema(const std::uint8_t* p) {
    static const char kText[] = "tableactiveactive";
    for (int i = 0; i < 17; ++i)
        if (p[2 * i] != static_cast<std::uint8_t>(kText[i]) || p[2 * i + 1] != 0) return false;
    return true;
}

}  // namespace

namespace RawSpeed {

int ZeroTailRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b > m_rule.cap) {
        if (!m_rule.sizedPastCap) return 1;
        NameByRange(*this, s, m_rule.nameTail);
        m_size = b;
        return 1;
    }
    if (ctx.trailingZeroBytes < m_rule.zeroTail || b < m_rule.minLength) return 2;
    // An all-zero sector: the file ended with the one before.
    const std::int64_t used = UsedLength(sector, n);
    NameByRange(*this, s, m_rule.nameTail);
    m_size = b + used;
    return 1;
}

// Asked about every sector: the first byte test refuses almost all of them.
int PSAFE3Analyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || ((s[0] | 0x20) != 'p' && (s[3] | 0x20) != 'p')) return 0;
    if (!EqualNoCase(s, "PWS3", 4) && !EqualNoCase(s + 3, "PWS3", 4)) return 0;
    record.m_type = RAW_FILE_TYPE_PSAFE3;
    return 1;
}
CRawFileInfo* PSAFE3Analyser::CreateRawFileInfo() { return new ZeroTailRawFileInfo(kPsafe3Rule); }

int SIBAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || s[0] != 0x0F || !EqualNoCase(s + 1, "SIBELIUS", 8)) return 0;
    record.m_type = RAW_FILE_TYPE_SIB;
    return 1;
}
CRawFileInfo* SIBAnalyser::CreateRawFileInfo() { return new ZeroTailRawFileInfo(kSibRule); }

int JKSAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || BE32(s) != 0xFEEDFEED) return 0;
    record.m_type = RAW_FILE_TYPE_JKS;
    return 1;
}
CRawFileInfo* JKSAnalyser::CreateRawFileInfo() { return new ZeroTailRawFileInfo(kJksRule); }

int WpgAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, "wpg\0", 4) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_WPG;
    return 1;
}
CRawFileInfo* WpgAnalyser::CreateRawFileInfo() { return new ZeroTailRawFileInfo(kWpgRule); }

// ---- NGRR: "atad" chunks from offset 60, each 24 bytes of header and its data ----

int NGRRAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || !EqualNoCase(s, "-in-", 4)) return 0;
    record.m_type = RAW_FILE_TYPE_NGRR;
    return 1;
}
CRawFileInfo* NGRRAnalyser::CreateRawFileInfo() { return new NGRRRawFileInfo(); }

int NGRRRawFileInfo::CalcRawSize(std::uint8_t*, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (b > m_cap) {
        NameByRange(*this, s);
        m_size = b;
        return 1;
    }
    const std::uint64_t base = Base(*this, n);
    for (int chunks = 0; m_chunk < b + n && chunks < 4096; ++chunks) {
        const std::uint8_t* c = ctx.view.at(base + static_cast<std::uint64_t>(m_chunk), 20);
        if (c == nullptr) return m_chunk < b ? 1 : 2;
        if (std::memcmp(c, "atad", 4) != 0) {
            NameByRange(*this, s);
            m_size = m_chunk;
            return 1;
        }
        m_chunk += 24 + static_cast<std::int64_t>(LE32(c + 16));
    }
    return 2;
}

// ---- After Effects: a RIFX form, then an optional XMP packet ----

int AEPAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, "RIFX", 4) != 0 || s[8] != 0x45 || s[9] != 0x67 || s[10] != 0x67) return 0;
    record.m_type = RAW_FILE_TYPE_AEP;
    return 1;
}
CRawFileInfo* AEPAnalyser::CreateRawFileInfo() { return new AEPRawFileInfo(); }

int AEPRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (m_firstCall) {
        m_firstCall = false;
        m_rifxEnd = static_cast<std::int32_t>(BE32(sector + 4));
        if (m_rifxEnd < 0) return 1;
    }
    if (b > m_cap) return 1;
    if (!m_xmpSeen) {
        if (m_rifxEnd + 8 >= b + n) return 2;
        const std::uint8_t* x = ctx.view.at(Base(*this, n) + static_cast<std::uint64_t>(m_rifxEnd + 8), 9);
        if (x == nullptr) return m_rifxEnd + 8 < b ? 1 : 2;
        if (std::memcmp(x, "<?xpacket", 9) != 0) {
            NameByRange(*this, s);
            m_size = m_rifxEnd + 8;
            return 1;
        }
        m_xmpSeen = true;
    }
    if (ctx.trailingZeroBytes < 9) return 2;
    NameByRange(*this, s);
    m_size = b + UsedLength(sector, n);
    return 1;
}

// ---- 3D Studio ----

int New3DSAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    // Asked about every sector: two byte tests refuse almost all of them.
    if (s == nullptr) return 0;
    if (!(IsMM(s) && s[16] == '=' && s[17] == '=') && std::memcmp(s + 256, "NCSD", 4) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_3DS;
    return 1;
}
CRawFileInfo* New3DSAnalyser::CreateRawFileInfo() { return new New3DSRawFileInfo(this); }

int New3DSRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (m_unjudged) {
        m_unjudged = false;
        m_isMM = IsMM(sector);
        if (!m_isMM) {
            // A card image: its size in media units of 512 bytes at 260.
            const std::int64_t units = LE32(sector + 260);
            const std::int64_t size = units * 512;
            NameByRange(*this, s);
            m_size = units > 5 * m_cap ? m_cap : std::min<std::int64_t>(size, 5 * m_cap);
            return 1;
        }
    }
    if (b > 5 * m_cap) return 1;
    const std::uint64_t base = Base(*this, n);
    for (int steps = 0; m_position < b + n && steps < 4096; ++steps) {
        if (m_position > File3DSAnalyser::kWalkCap) return 1;
        const std::uint8_t* p = ctx.view.at(base + static_cast<std::uint64_t>(m_position), k3dsLook);
        if (p == nullptr) return m_position < b ? 1 : 2;
        const std::int64_t step = Step3ds(p);
        if (step == 0) {
            NameByRange(*this, s);
            m_size = m_position;
            return 1;
        }
        m_position += step;
    }
    return 2;
}

}  // namespace RawSpeed

int File3DSAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s + 256, "NCSD", 4) == 0) return 0;
    if (!IsMM(s) && !(s[16] == '=' && s[17] == '=')) return 0;
    record.m_type = RAW_FILE_TYPE_3DS;
    return 1;
}

int File3DSAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t p[k3dsLook];
    std::int64_t offset = 0;
    for (int steps = 0; offset <= kWalkCap && steps < 0x100000; ++steps) {
        if (!reader.Read(static_cast<std::uint64_t>(offset), sizeof p, p)) return 0;
        const std::int64_t step = Step3ds(p);
        if (step == 0) break;
        offset += step;
    }
    record.m_type = RAW_FILE_TYPE_3DS;
    record.m_size = offset;
    return 1;
}

namespace BruteForce {

// ---- FreeHand 11 ----

int CFH11Analyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    static const std::uint8_t kMarks[12] = {0x02, 0x00, 0x04, 0x1C, 0x01, 0x14, 0x00, 0x02, 0x00, 0x14, 0x1C, 0x01};
    if (s == nullptr || std::memcmp(s + 4, kMarks, 12) != 0 || s[34] != '1' || s[35] != '1') return 0;
    record.m_type = RAW_FILE_TYPE_FH11;
    return 1;
}

// Its records are 4-byte aligned: the end is searched in steps of 4.
CRawFileInfo* CFH11Analyser::CreateRawFileInfo() { return new CZeroEndRawFileInfo(kSizeCap, 4); }

// ---- DXF ----

int CDXFAnalyser::AnalyseBufferEx(std::uint8_t* s, CRawFileInfo& record, std::int64_t sectorSize, std::int64_t,
                                  std::int64_t, std::int64_t, const SectorView&) {
    if (s == nullptr || sectorSize < 16) return 0;
    bool hit = std::memcmp(s, kDxfCrlf, 16) == 0;
    if (!hit && std::memcmp(s, "999", 3) == 0) {
        // A comment group first: the first section must follow before the
        // text ends (the first zero byte).
        const void* z = std::memchr(s, 0, static_cast<std::size_t>(sectorSize));
        const int text = z ? static_cast<int>(static_cast<const std::uint8_t*>(z) - s) : static_cast<int>(sectorSize);
        if (s[3] == '\n')
            hit = Apimemstr(s, text, reinterpret_cast<const std::uint8_t*>(kDxfLf), 14) != nullptr;
        else if (s[3] == '\r' && s[4] == '\n')
            hit = Apimemstr(s, text, reinterpret_cast<const std::uint8_t*>(kDxfCrlf), 16) != nullptr;
    }
    if (!hit) return 0;
    record.m_type = RAW_FILE_TYPE_DXF;
    return 1;
}

CRawFileInfo* CDXFAnalyser::CreateRawFileInfo() { return new CDXFRawFileInfo(); }

// The file ends after its last "EOF" group. The marker may straddle two
// sectors, so the search starts a marker's length before this sector.
int CDXFRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    if (m_markerLength == 0) {
        const std::uint8_t* first = ctx.view.sector(m_startSector);
        const bool lf = first ? first[3] == '\n' : sector[3] == '\n';
        std::memcpy(m_marker, lf ? "  0\nEOF\n" : "  0\r\nEOF\r\n", lf ? 8 : 10);
        m_markerLength = lf ? 8 : 10;
    }
    if (b >= CDXFAnalyser::kSizeCap) {
        m_size = CDXFAnalyser::kSizeCap;
        return 1;
    }
    std::int64_t back = b > 0 ? m_markerLength - 1 : 0;
    const std::uint8_t* p =
        ctx.view.at(Base(*this, n) + static_cast<std::uint64_t>(b - back), static_cast<std::size_t>(n + back));
    if (p == nullptr) {
        p = sector;
        back = 0;
    }
    const int after = BruteForce::RawUtility::FindMagicInBuffer(
        p, static_cast<int>(n + back), static_cast<int>(m_markerLength),
        reinterpret_cast<const std::uint8_t*>(m_marker), static_cast<int>(m_markerLength));
    if (after == 0) return 2;
    m_size = std::min<std::int64_t>(b - back + after, CDXFAnalyser::kSizeCap);
    return 1;
}

// ---- DWG ----

int CDWGAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    for (const char* v : kDwgVersions)
        if (std::memcmp(s, v, 6) == 0) {
            record.m_type = RAW_FILE_TYPE_DWG;
            return 1;
        }
    return 0;
}

CRawFileInfo* CDWGAnalyser::CreateRawFileInfo() { return new CDWGRawInfo(); }

bool CDWGRawInfo::DecodeAC1018Header(const std::uint8_t* in, std::int64_t& size) {
    std::uint8_t h[108];
    std::uint32_t x = 1;
    for (int i = 0; i < 108; ++i) {
        x = x * 214013u + 2531011u;
        h[i] = in[i] ^ static_cast<std::uint8_t>(x >> 16);
    }
    if (h[11] != 0 || LE32(h + 0x10) != 0x6C || LE32(h + 0x14) != 4 || LE32(h + 0x44) != 0x20 ||
        LE32(h + 0x48) != 0x80 || LE32(h + 0x4C) != 0x40)
        return false;
    const std::uint64_t second = LE64(h + 0x34);
    if (second > static_cast<std::uint64_t>(kSizeCap)) return false;
    size = static_cast<std::int64_t>(second) + 108;
    return true;
}

namespace {

// The 2007 compression stores literal runs with their bytes shuffled in
// 1/2/4/8-byte pieces; these place a run of `length` source bytes into `dst`.
void Copy1(const std::uint8_t* s, std::uint8_t* d) { d[0] = s[0]; }
void Copy2(const std::uint8_t* s, std::uint8_t* d) {
    d[0] = s[1];
    d[1] = s[0];
}
void Copy3(const std::uint8_t* s, std::uint8_t* d) {
    d[0] = s[2];
    d[1] = s[1];
    d[2] = s[0];
}
void Copy4(const std::uint8_t* s, std::uint8_t* d) { std::memcpy(d, s, 4); }
void Copy8(const std::uint8_t* s, std::uint8_t* d) { std::memcpy(d, s, 8); }
void Copy16(const std::uint8_t* s, std::uint8_t* d) {
    Copy8(s + 8, d);
    Copy8(s, d + 8);
}

void CopyLiteral(const std::uint8_t* s, std::uint8_t* d, std::size_t length) {
    while (length >= 32) {
        Copy4(s + 24, d);
        Copy4(s + 28, d + 4);
        Copy4(s + 16, d + 8);
        Copy4(s + 20, d + 12);
        Copy4(s + 8, d + 16);
        Copy4(s + 12, d + 20);
        Copy4(s, d + 24);
        Copy4(s + 4, d + 28);
        s += 32;
        d += 32;
        length -= 32;
    }
    switch (length) {
    case 0:
        break;
    case 1:
        Copy1(s, d);
        break;
    case 2:
        Copy2(s, d);
        break;
    case 3:
        Copy3(s, d);
        break;
    case 4:
        Copy4(s, d);
        break;
    case 5:
        d[0] = s[4];
        Copy4(s, d + 1);
        break;
    case 6:
        d[0] = s[5];
        Copy4(s + 1, d + 1);
        d[5] = s[0];
        break;
    case 7:
        Copy2(s + 5, d);
        Copy4(s + 1, d + 2);
        d[6] = s[0];
        break;
    case 8:
        Copy8(s, d);
        break;
    case 9:
        d[0] = s[8];
        Copy8(s, d + 1);
        break;
    case 10:
        d[0] = s[9];
        Copy8(s + 1, d + 1);
        d[9] = s[0];
        break;
    case 11:
        Copy2(s + 9, d);
        Copy8(s + 1, d + 2);
        d[10] = s[0];
        break;
    case 12:
        Copy4(s + 8, d);
        Copy8(s, d + 4);
        break;
    case 13:
        d[0] = s[12];
        Copy4(s + 8, d + 1);
        Copy8(s, d + 5);
        break;
    case 14:
        d[0] = s[13];
        Copy4(s + 9, d + 1);
        Copy8(s + 1, d + 5);
        d[13] = s[0];
        break;
    case 15:
        Copy2(s + 13, d);
        Copy4(s + 9, d + 2);
        Copy8(s + 1, d + 6);
        d[14] = s[0];
        break;
    case 16:
        Copy16(s, d);
        break;
    case 17:
        Copy8(s + 9, d);
        d[8] = s[8];
        Copy8(s, d + 9);
        break;
    case 18:
        d[0] = s[17];
        Copy16(s + 1, d + 1);
        d[17] = s[0];
        break;
    case 19:
        Copy3(s + 16, d);
        Copy16(s, d + 3);
        break;
    case 20:
        Copy4(s + 16, d);
        Copy16(s, d + 4);
        break;
    case 21:
        d[0] = s[20];
        Copy4(s + 16, d + 1);
        Copy16(s, d + 5);
        break;
    case 22:
        Copy2(s + 20, d);
        Copy4(s + 16, d + 2);
        Copy16(s, d + 6);
        break;
    case 23:
        Copy3(s + 20, d);
        Copy4(s + 16, d + 3);
        Copy16(s, d + 7);
        break;
    case 24:
        Copy8(s + 16, d);
        Copy16(s, d + 8);
        break;
    case 25:
        Copy8(s + 17, d);
        d[8] = s[16];
        Copy16(s, d + 9);
        break;
    case 26:
        d[0] = s[25];
        Copy8(s + 17, d + 1);
        d[9] = s[16];
        Copy16(s, d + 10);
        break;
    case 27:
        Copy2(s + 25, d);
        Copy8(s + 17, d + 2);
        d[10] = s[16];
        Copy16(s, d + 11);
        break;
    case 28:
        Copy4(s + 24, d);
        Copy8(s + 16, d + 4);
        Copy8(s + 8, d + 12);
        Copy8(s, d + 20);
        break;
    case 29:
        d[0] = s[28];
        Copy4(s + 24, d + 1);
        Copy8(s + 16, d + 5);
        Copy8(s + 8, d + 13);
        Copy8(s, d + 21);
        break;
    case 30:
        Copy2(s + 28, d);
        Copy4(s + 24, d + 2);
        Copy8(s + 16, d + 6);
        Copy8(s + 8, d + 14);
        Copy8(s, d + 22);
        break;
    default:  // 31
        d[0] = s[30];
        Copy4(s + 26, d + 1);
        Copy8(s + 18, d + 5);
        Copy8(s + 10, d + 13);
        Copy8(s + 2, d + 21);
        Copy2(s, d + 29);
        break;
    }
}

// Every count and offset comes from the file: each read is checked against
// the compressed bytes, each write against the output, and a back-copy must
// point inside what is already written. Every step consumes input, so the
// walk ends.
struct Ac21Stream {
    const std::uint8_t* src;
    std::size_t srcSize;
    std::size_t pos = 0;
    bool bad = false;
    std::uint8_t Get() {
        if (pos >= srcSize) {
            bad = true;
            return 0;
        }
        return src[pos++];
    }
    bool AtEnd() const { return bad || pos >= srcSize; }
};

std::size_t LiteralLength(Ac21Stream& in, std::uint8_t opcode) {
    std::size_t length = static_cast<std::size_t>(opcode) + 8;
    if (length == 0x17) {
        std::size_t n = in.Get();
        length += n;
        if (n == 0xFF) {
            do {
                n = in.Get();
                n |= static_cast<std::size_t>(in.Get()) << 8;
                length += n;
            } while (n == 0xFFFF && !in.bad);
        }
    }
    return length;
}

// One back-copy: its offset and length, and in `opcode` the byte whose low
// bits count the literal bytes that follow it.
void read_instructions(Ac21Stream& in, std::uint8_t& opcode, std::size_t& offset, std::size_t& length) {
    switch (opcode >> 4) {
    case 0:
        length = static_cast<std::size_t>(opcode & 0x0F) + 0x13;
        offset = in.Get();
        opcode = in.Get();
        length += (opcode >> 3) & 0x10;
        offset += (static_cast<std::size_t>(opcode & 0x78) << 5) + 1;
        break;
    case 1:
        length = static_cast<std::size_t>(opcode & 0x0F) + 3;
        offset = in.Get();
        opcode = in.Get();
        offset += (static_cast<std::size_t>(opcode & 0xF8) << 5) + 1;
        break;
    case 2:
        offset = in.Get();
        offset |= static_cast<std::size_t>(in.Get()) << 8;
        length = opcode & 7;
        if ((opcode & 8) == 0) {
            opcode = in.Get();
            length += opcode & 0xF8;
        } else {
            ++offset;
            length += static_cast<std::size_t>(in.Get()) << 3;
            opcode = in.Get();
            length += (static_cast<std::size_t>(opcode & 0xF8) << 8) + 0x100;
        }
        break;
    default:
        length = opcode >> 4;
        offset = opcode & 0x0F;
        opcode = in.Get();
        offset += (static_cast<std::size_t>(opcode & 0xF8) << 1) + 1;
        break;
    }
}

}  // namespace

bool CDWGRawInfo::DecompressAC1021(const std::uint8_t* src, std::size_t srcSize, std::uint8_t* dst,
                                   std::size_t dstSize) {
    Ac21Stream in{src, srcSize};
    std::size_t out = 0;
    std::size_t length = 0;
    std::size_t offset = 0;
    std::uint8_t opcode = in.Get();
    if ((opcode & 0xF0) == 0x20) {
        in.Get();
        in.Get();
        length = in.Get() & 7;
    }
    while (!in.AtEnd()) {
        if (length == 0) length = LiteralLength(in, opcode);
        if (in.bad || length > in.srcSize - in.pos || length > dstSize - out) return false;
        CopyLiteral(in.src + in.pos, dst + out, length);
        in.pos += length;
        out += length;
        if (in.AtEnd()) break;
        opcode = in.Get();
        read_instructions(in, opcode, offset, length);
        for (;;) {
            if (in.bad || offset == 0 || offset > out || length > dstSize - out) return false;
            // Byte by byte: the source may overlap what this copy writes.
            for (std::size_t i = 0; i < length; ++i, ++out) dst[out] = dst[out - offset];
            length = opcode & 7;
            if (length != 0 || in.AtEnd()) break;
            opcode = in.Get();
            if ((opcode >> 4) == 0) break;
            if ((opcode >> 4) == 0x0F) opcode &= 0x0F;
            read_instructions(in, opcode, offset, length);
        }
    }
    return !in.bad && out == dstSize;
}

bool CDWGRawInfo::readAC1021MetaData(const std::uint8_t* collected, std::int64_t& size) {
    std::uint8_t data[717];
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 239; ++i) data[239 * k + i] = collected[3 * i + k];
    std::uint8_t decompressed[kAC1021HeaderSize];
    const std::uint8_t* header = data + 32;
    const std::int32_t compressed = static_cast<std::int32_t>(LE32(data + 24));
    if (compressed >= 1) {
        if (static_cast<std::size_t>(compressed) > sizeof data - 32) return false;
        if (!DecompressAC1021(data + 32, static_cast<std::size_t>(compressed), decompressed, sizeof decompressed))
            return false;
        header = decompressed;
    }
    const std::uint64_t fileSize = LE64(header + 8);
    if (fileSize == 0 || fileSize > static_cast<std::uint64_t>(kSizeCap)) return false;
    size = static_cast<std::int64_t>(fileSize);
    return true;
}

int CDWGRawInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    const std::uint64_t base = Base(*this, n);
    const std::uint8_t* start = ctx.view.at(base, 32);
    if (start == nullptr) return 1;
    if (m_family == 0) {
        if (std::memcmp(start, "AC1018", 6) == 0 || std::memcmp(start, "AC1024", 6) == 0 ||
            std::memcmp(start, "AC1027", 6) == 0)
            m_family = 2;
        else if (std::memcmp(start, "AC1021", 6) == 0)
            m_family = 3;
        else if (std::memcmp(start, "AC1009", 6) == 0)
            return 1;
        else
            m_family = 1;
    }
    if (m_family == 2) {
        const std::uint8_t* enc = ctx.view.at(base + 0x80, 108);
        if (enc == nullptr) return b > 0x80 + 108 ? 1 : 2;
        std::int64_t size = 0;
        if (DecodeAC1018Header(enc, size)) m_size = size;
        return 1;
    }
    if (m_family == 3) {
        if (b + n < 0x80 + static_cast<std::int64_t>(kCollect)) return 2;
        const std::uint8_t* collected = ctx.view.at(base + 0x80, kCollect);
        if (collected == nullptr) return b + n > 0x80 + static_cast<std::int64_t>(kCollect) + n ? 1 : 2;
        std::int64_t size = 0;
        if (readAC1021MetaData(collected, size)) m_size = size;
        return 1;
    }
    // R13 to R15: section locators of 9 bytes at 25, numbered in order; the
    // file ends with the furthest section.
    if (!m_countRead) {
        m_locatorCount = LE32(start + 21);
        m_countRead = true;
        if (m_locatorCount == 0 || m_locatorCount > 256) return 1;
    }
    while (m_locatorsRead < m_locatorCount) {
        const std::uint64_t at = base + 25 + 9ull * m_locatorsRead;
        const std::uint8_t* r = ctx.view.at(at, 9);
        if (r == nullptr) return static_cast<std::int64_t>(at - base) < b ? 1 : 2;
        if (r[0] != m_locatorsRead) {
            m_size = 0;
            return 1;
        }
        m_largest = std::max<std::int64_t>(m_largest, static_cast<std::int64_t>(LE32(r + 1)) + LE32(r + 5));
        ++m_locatorsRead;
    }
    m_size = m_largest <= kSizeCap ? m_largest : 0;
    return 1;
}

// ---- SQLite-based libraries ----

int CFCPEvtAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, "SQLite format 3", 16) != 0) return 0;
    const std::uint16_t pageSize = BE16(s + 16);
    if (pageSize == 0 || pageSize % 1024 != 0 || s[59] > 3) return 0;
    record.m_type = RAW_FILE_TYPE_FCPEVENT;
    return 1;
}

CRawFileInfo* CFCPEvtAnalyser::CreateRawFileInfo() { return new CFCPEvtFileInfo(); }

bool CFCPEvtFileInfo::AnalyseABCDDBFileType(const std::uint8_t* page, std::uint32_t pageSize) {
    const std::uint32_t count = BE16(page + 3);
    if (8 + 2 * count > pageSize) return false;
    int named = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t cell = BE16(page + 8 + 2 * i);
        if (cell + 3 > pageSize) return false;
        const std::int64_t payload = page[cell];
        const std::int64_t headerSize = page[cell + 2];
        const std::int64_t textAt = static_cast<std::int64_t>(cell) + 2 + headerSize;
        const std::int64_t length = payload - headerSize;
        if (length > 50) return false;
        if (length <= 0 || textAt + length > pageSize) continue;
        const char* text = reinterpret_cast<const char*>(page + textAt);
        if ((length >= 10 && std::memcmp(text, "ABCDRecord", 10) == 0) ||
            (length >= 15 && std::memcmp(text, "ABCDPhoneNumber", 15) == 0))
            if (++named == 2) return true;
    }
    return false;
}

std::uint32_t CFCPEvtFileInfo::JudeMuseSuffix(const std::uint8_t* firstCell, std::size_t firstCellBytes,
                                              const std::uint8_t* contentStart, std::size_t contentBytes) {
    if (firstCell && firstCellBytes >= 34 && IsMuseSchema(firstCell)) return RAW_FILE_TYPE_MUSE;
    if (contentStart && contentBytes > 0) {
        const int len = static_cast<int>(std::min<std::size_t>(contentBytes, 200));
        if (Apimemstr(contentStart, len, reinterpret_cast<const std::uint8_t*>("payload"), 7) &&
            Apimemstr(contentStart, len, reinterpret_cast<const std::uint8_t*>("metadata"), 8))
            return RAW_FILE_TYPE_SKETCH;
    }
    return 0;
}

int CFCPEvtFileInfo::EndSearch(std::int64_t s) {
    std::int64_t size = m_bytesSoFar - static_cast<std::int64_t>(m_emptyPages) * m_pageSize;
    if (m_suffixPending) size += static_cast<std::int64_t>(m_freeListCount) * m_pageSize;
    size = std::min<std::int64_t>(std::max<std::int64_t>(size, 0), kSizeCap);
    if (m_type == RAW_FILE_TYPE_SKETCH) {
        const std::int64_t header = static_cast<std::int64_t>(m_pageCount) * m_pageSize;
        if (header > 0 && header <= kSizeCap && std::llabs(header - size) <= 3ll * m_pageSize) size = header;
    }
    NameByRange(*this, s);
    m_size = size;
    return 1;
}

// Pages are walked as they pass: b-tree and overflow pages keep the walk
// going, a run of empty pages or a page of some other content ends it. The
// first cells of the schema page tell the library kind.
int CFCPEvtFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (n <= 0 || s < m_startSector || sector == nullptr) return 2;
    const std::int64_t b = OffsetOf(*this, s, n);
    const std::uint64_t base = Base(*this, n);
    if (!m_headerRead) {
        const std::uint8_t* h = ctx.view.at(base, 112);
        if (h == nullptr) return 1;
        m_headerRead = true;
        m_pageSize = BE16(h + 16);
        if (m_pageSize == 0) return 1;
        m_pageCount = BE32(h + 28);
        m_freeListCount = BE32(h + 36);
        m_cellContentStart = BE16(h + 105);
        m_firstCell = BE16(h + 108);
        m_bytesSoFar = m_pageSize;  // the schema page
        // Writers since 2010 keep the page count current, and mark it so by
        // a copy of the change counter: a database never runs past it, even
        // when the bytes after it look like more pages.
        m_pageCountValid = m_pageCount > 0 && BE32(h + 92) == BE32(h + 24) &&
                           static_cast<std::int64_t>(m_pageCount) * m_pageSize <= kSizeCap;
    }
    if (m_suffixPending && m_firstCell < m_pageSize && m_cellContentStart < m_pageSize) {
        const std::uint64_t cellAt = base + m_firstCell + 10, contentAt = base + m_cellContentStart + 10;
        const std::uint8_t* cell = ctx.view.at(cellAt, 34);
        const std::size_t contentBytes =
            static_cast<std::size_t>(std::min<std::uint64_t>(200, ctx.view.availableFrom(contentAt)));
        const std::uint8_t* content = contentBytes ? ctx.view.at(contentAt, contentBytes) : nullptr;
        if (const std::uint32_t type = JudeMuseSuffix(cell, cell ? 34 : 0, content, contentBytes)) {
            m_type = type;
            m_suffixPending = false;
        }
    }
    for (int pages = 0; m_bytesSoFar < b + n && pages < 4096; ++pages) {
        if (m_bytesSoFar >= kSizeCap) return EndSearch(s);
        if (m_pageCountValid && m_bytesSoFar >= static_cast<std::int64_t>(m_pageCount) * m_pageSize) {
            m_emptyPages = 0;
            m_suffixPending = false;
            return EndSearch(s);
        }
        const std::uint64_t at = base + static_cast<std::uint64_t>(m_bytesSoFar);
        const std::uint8_t* head = ctx.view.at(at, 8);
        if (head == nullptr) return m_bytesSoFar < b ? EndSearch(s) : 2;
        const std::uint16_t cells = BE16(head + 3);
        if (m_type != RAW_FILE_TYPE_ABCDDB && cells >= 26 && cells <= 34 && (head[0] == 13 || head[0] == 10))
            if (const std::uint8_t* page = ctx.view.at(at, m_pageSize))
                if (AnalyseABCDDBFileType(page, m_pageSize)) m_type = RAW_FILE_TYPE_ABCDDB;
        const std::uint8_t kind = head[0];
        if (kind == 1 || kind == 2 || kind == 5 || kind == 8 || kind == 10 || kind == 13 || kind == 'A') {
            m_emptyPages = 0;
        } else if (kind == 0) {
            // An overflow or free-list page starts with a page number; an
            // empty page is zero throughout its head.
            if (LE64(head) == 0) {
                if (++m_emptyPages >= 5) {
                    m_bytesSoFar += m_pageSize;
                    return EndSearch(s);
                }
            } else {
                m_emptyPages = 0;
            }
        } else {
            return EndSearch(s);
        }
        m_bytesSoFar += m_pageSize;
    }
    return 2;
}

}  // namespace BruteForce
