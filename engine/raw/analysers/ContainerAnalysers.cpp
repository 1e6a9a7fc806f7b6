#include "raw/analysers/ContainerAnalysers.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/StorageDevice.h"
#include "raw/RawFileBuffer.h"

namespace {

void NameByRange(CRawFileInfo& record, std::int64_t endSector) {
    char name[64];
    std::snprintf(name, sizeof name, "%" PRId64 "-%" PRId64 "_", record.m_startSector, endSector);
    record.SetRawFileName(name);
}

std::uint64_t FileBase(const CRawFileInfo& record, int sectorSize) {
    return static_cast<std::uint64_t>(record.m_startSector) * static_cast<std::uint64_t>(sectorSize);
}

bool EqualNoCase(const std::uint8_t* p, const char* text) {
    for (std::size_t i = 0; text[i] != 0; ++i)
        if (std::tolower(p[i]) != std::tolower(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

bool IsFlvTagType(std::uint8_t t) { return t == 8 || t == 9 || t == 18; }

// One step of the FLV tag chain at `pos`: the 8 bytes there are the previous
// tag's size, the tag type and the data size. Returns the new position, or
// sets `end` when the chain stops.
std::int64_t FlvStep(const std::uint8_t* h, std::int64_t pos, std::int64_t& expected, std::int64_t& end) {
    const std::int64_t prev = byteorder::BE32(h);
    const std::uint8_t type = h[4];
    const std::int64_t data = byteorder::BE24(h + 5);
    if (prev == 1 || !IsFlvTagType(type)) {
        end = pos + 4;
        return pos;
    }
    if (prev != expected && expected != 0) {
        end = pos + data + 15;
        return pos;
    }
    expected = data + 11;
    return pos + data + 15;
}

bool FlvHeaderValid(const std::uint8_t* h) {
    return std::memcmp(h, "FLV", 3) == 0 && h[3] == 1 && byteorder::BE32(h + 9) == 0;
}

}  // namespace

int DecodeEbmlVint(const std::uint8_t* p, std::size_t available, std::uint64_t& value, bool& unknown) {
    unknown = false;
    if (p == nullptr || available == 0 || p[0] == 0) return 0;
    int length = 1;
    while (!(p[0] & (0x80 >> (length - 1)))) ++length;
    if (static_cast<std::size_t>(length) > available) return 0;
    const std::uint8_t marker = static_cast<std::uint8_t>(0x80 >> (length - 1));
    value = p[0] & (marker - 1);
    bool allOnes = value == static_cast<std::uint64_t>(marker - 1);
    for (int i = 1; i < length; ++i) {
        value = (value << 8) | p[i];
        allOnes = allOnes && p[i] == 0xFF;
    }
    unknown = allOnes;
    return length;
}

int DecodeBerLength(const std::uint8_t* p, std::size_t available, std::uint64_t& value) {
    if (p == nullptr || available == 0) return 0;
    if (p[0] < 0x80) {
        value = p[0];
        return 1;
    }
    const int n = p[0] & 0x7F;
    if (n == 0 || n > 8 || static_cast<std::size_t>(n) + 1 > available) return 0;
    value = 0;
    for (int i = 1; i <= n; ++i) value = (value << 8) | p[i];
    return n + 1;
}

// ---------------------------------------------------------------- FLV

int FileFLVAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo&) {
    return sector != nullptr && std::memcmp(sector, "FLV", 3) == 0 ? 1 : 0;
}

int FileFLVAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t h[13];
    if (!reader.Read(0, sizeof h, h) || !FlvHeaderValid(h)) return 0;
    std::int64_t pos = 9, expected = 0, end = -1;
    while (end < 0) {
        if (pos > kWalkCap || !reader.Read(static_cast<std::uint64_t>(pos), 8, h)) {
            end = pos;
            break;
        }
        pos = FlvStep(h, pos, expected, end);
    }
    record.m_size = std::min(end, kWalkCap);
    record.m_type = RAW_FILE_TYPE_FLV;
    return 1;
}

namespace Tessel {

int FLVAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, "FLV", 3) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_FLV;
    return 1;
}

CRawFileInfo* FLVAnalyser::CreateRawFileInfo() { return new FLVRawFileInfo(this); }

void FLVRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    m_size = 0;
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int FLVRawFileInfo::Finish(std::int64_t sectorNumber, std::int64_t size) {
    m_size = size;
    m_type = RAW_FILE_TYPE_FLV;
    if (size > 0) NameByRange(*this, sectorNumber);
    return 1;
}

int FLVRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    const std::uint64_t base = FileBase(*this, sectorSize);
    if (m_next == 0) {
        const std::uint8_t* h = ctx.view.at(base, 13);
        if (h == nullptr || !FlvHeaderValid(h)) return Finish(sectorNumber, 0);
        m_next = 9;
    }
    if (pos >= 10 * kCap) return Finish(sectorNumber, kCap);
    for (int steps = 0; m_next < pos + sectorSize; ++steps) {
        if (steps > 1025) return Finish(sectorNumber, m_next);
        const std::uint8_t* h = ctx.view.at(base + static_cast<std::uint64_t>(m_next), 8);
        // A header past the block's end is read with the next sector.
        if (h == nullptr) return m_next >= pos ? 2 : Finish(sectorNumber, m_next);
        std::int64_t end = -1;
        m_next = FlvStep(h, m_next, m_expected, end);
        if (end >= 0) return Finish(sectorNumber, end);
    }
    return 2;
}

}  // namespace Tessel

// ---------------------------------------------------------------- Ogg

int CFileOggAnalyser::AnalyseBuffer(std::uint8_t*, CRawFileInfo& record) {
    record.m_type = RAW_FILE_TYPE_OGG;
    return 1;
}

int CFileOggAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint64_t pos = 0;
    std::uint8_t h[27];
    std::uint8_t lacing[255];
    while (pos <= static_cast<std::uint64_t>(kWalkCap)) {
        if (!reader.Read(pos, sizeof h, h) || std::memcmp(h, "OggS", 4) != 0) break;
        const std::uint8_t segments = h[26];
        if (segments != 0 && !reader.Read(pos + 27, segments, lacing)) break;
        std::uint64_t length = 27 + segments;
        for (int i = 0; i < segments; ++i) length += lacing[i];
        pos += length;
    }
    record.m_size = static_cast<std::int64_t>(pos);
    record.m_type = RAW_FILE_TYPE_OGG;
    return 1;
}

namespace Tessel {

int OGGAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || m_i64OggStartSec >= 0 || std::memcmp(sector, "OggS", 4) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_OGG;
    return 1;
}

CRawFileInfo* OGGAnalyser::CreateRawFileInfo() { return new OGGRawFileInfo(this); }

void OGGRawFileInfo::ClearMark() {
    if (m_marked && m_owner != nullptr && m_owner->m_i64OggStartSec == m_startSector) m_owner->m_i64OggStartSec = -1;
    m_marked = false;
}

void OGGRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    // Leaving the open set ends this file's claim on new Ogg hits.
    ClearMark();
    m_size = 0;
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

int OGGRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    if (sectorNumber == m_startSector && m_owner != nullptr && m_next == 0) {
        m_owner->m_i64OggStartSec = m_startSector;
        m_marked = true;
    }
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    const std::uint64_t base = FileBase(*this, sectorSize);
    bool end = pos >= 10 * kCap;
    for (int pages = 0; !end && m_next < pos + sectorSize; ++pages) {
        if (pages > kPagesPerCall) {
            end = true;
            break;
        }
        const std::uint64_t at = base + static_cast<std::uint64_t>(m_next);
        const std::uint8_t* h = ctx.view.at(at, 27);
        const std::uint8_t* lacing = h ? ctx.view.at(at + 27, h[26]) : nullptr;
        if (h == nullptr || lacing == nullptr) {
            if (m_next >= pos) return 2;
            end = true;
            break;
        }
        if (std::memcmp(h, "OggS", 4) != 0 || h[26] == 0) {
            end = true;
            break;
        }
        std::int64_t length = 27 + h[26];
        for (int i = 0; i < h[26]; ++i) length += lacing[i];
        m_next += length;
        if (m_next >= 10 * kCap) end = true;
    }
    if (!end) return 2;
    m_size = pos >= 10 * kCap ? kCap : m_next;
    m_type = RAW_FILE_TYPE_OGG;
    if (m_size > 0) NameByRange(*this, sectorNumber);
    ClearMark();
    return 1;
}

}  // namespace Tessel

// ---------------------------------------------------------------- RIFF

int FileRIFFAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    const std::uint8_t* form = sector + 8;
    const std::uint8_t* chunk = sector + 12;
    std::uint32_t type = RAW_FILE_TYPE_RIFF;
    if (EqualNoCase(form, "WAVE") && EqualNoCase(chunk, "fmt "))
        type = RAW_FILE_TYPE_WAV;
    else if (EqualNoCase(form, "AVI ") && EqualNoCase(chunk, "LIST"))
        type = RAW_FILE_TYPE_AVI;
    else if (EqualNoCase(form, "ACON") && (EqualNoCase(chunk, "LIST") || EqualNoCase(chunk, "anih")))
        type = RAW_FILE_TYPE_ANI;
    else if (std::memcmp(form, "CMX1", 4) == 0 && std::memcmp(sector + 20, "{Corel Binary Meta File}", 24) == 0)
        type = RAW_FILE_TYPE_CMX;
    else if (EqualNoCase(form, "CARC") && EqualNoCase(chunk, "vrsn"))
        type = RAW_FILE_TYPE_CLK;
    else if (EqualNoCase(form, "CSL2") && EqualNoCase(chunk, "vrsn"))
        type = RAW_FILE_TYPE_CSL;
    else if (EqualNoCase(chunk, "vrsn")) {
        static const char kCdr[][5] = {"CDR7", "CDR8", "cdr8", "CDR9", "CDRA", "CDRB", "CDRC"};
        for (const char* c : kCdr)
            if (EqualNoCase(form, c)) type = RAW_FILE_TYPE_CDR;
    }
    record.m_type = type;
    return 1;
}

int FileRIFFAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    const std::uint32_t sectorSize = device->GetSectorSize() ? device->GetSectorSize() : 512;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t h[8];
    if (!reader.Read(0, sizeof h, h) || std::memcmp(h, "RIFF", 4) != 0) return 0;
    // In 64 bits: a length of FFFFFFF8 must not wrap to an empty file.
    const std::uint64_t length = std::uint64_t{byteorder::LE32(h + 4)} + 8;
    record.m_size = static_cast<std::int64_t>((length + sectorSize - 1) / sectorSize * sectorSize);
    return 1;
}

// ---------------------------------------------------------------- Matroska

namespace {

constexpr std::uint8_t kSegmentId[4] = {0x18, 0x53, 0x80, 0x67};

// Top-level elements a Segment of unknown size holds.
bool IsSegmentChild(std::uint32_t id) {
    switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case 0x1F43B675:  // Cluster
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0xEC:        // Void
    case 0xBF:        // CRC-32
        return true;
    default:
        return false;
    }
}

constexpr std::uint64_t kMaxMkvWalk = std::uint64_t{1} << 40;

}  // namespace

int FileMKVAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, "\x1A\x45\xDF\xA3", 4) != 0) return 0;
    std::uint64_t headerSize = 0;
    bool unknown = false;
    const int n = DecodeEbmlVint(sector + 4, 8, headerSize, unknown);
    if (n == 0 || unknown || headerSize > 512) return 0;
    const std::uint64_t segment = 4 + static_cast<std::uint64_t>(n) + headerSize;
    if (segment > 512 || std::memcmp(sector + segment, kSegmentId, 4) != 0) return 0;
    std::uint64_t size = 0;
    const int m = DecodeEbmlVint(sector + segment + 4, 8, size, unknown);
    if (m == 0) return 0;
    record.m_type = RAW_FILE_TYPE_MKV;
    // An unknown size is left to the device walk of the Segment's children.
    record.m_size = unknown ? 0 : static_cast<std::int64_t>(segment + 4 + static_cast<std::uint64_t>(m) + size);
    if (!unknown && size > (std::uint64_t{1} << 56)) return 0;
    return 1;
}

int FileMKVAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[528];
    if (!reader.Read(0, sizeof head, head)) return 0;
    CRawFileInfo probe;
    if (AnalyseBuffer(head, probe) != 1) return 0;
    if (probe.m_size > 0) {
        record.m_size = probe.m_size;
        return 1;
    }
    std::uint64_t headerSize = 0;
    bool unknown = false;
    const int n = DecodeEbmlVint(head + 4, 8, headerSize, unknown);
    std::uint64_t pos = 4 + static_cast<std::uint64_t>(n) + headerSize + 4;
    std::uint64_t segSize = 0;
    pos += static_cast<std::uint64_t>(DecodeEbmlVint(head + pos, 8, segSize, unknown));
    // Step over the Segment's children until something else begins.
    for (int steps = 0; steps < 1000000 && pos < kMaxMkvWalk; ++steps) {
        std::uint8_t e[12];
        if (!reader.Read(pos, sizeof e, e)) break;
        int idLength = 1;
        while (idLength <= 4 && !(e[0] & (0x80 >> (idLength - 1)))) ++idLength;
        if (idLength > 4) break;
        std::uint32_t id = 0;
        for (int i = 0; i < idLength; ++i) id = (id << 8) | e[i];
        if (!IsSegmentChild(id)) break;
        std::uint64_t size = 0;
        const int m = DecodeEbmlVint(e + idLength, sizeof e - static_cast<std::size_t>(idLength), size, unknown);
        if (m == 0 || unknown) break;
        pos += static_cast<std::uint64_t>(idLength + m) + size;
    }
    record.m_size = static_cast<std::int64_t>(pos);
    return 1;
}

// ---------------------------------------------------------------- SWF

int FileSWFAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || sector[1] != 'W' || sector[2] != 'S') return 0;
    const bool compressed = sector[0] == 'C';
    if (!compressed && sector[0] != 'F') return 0;
    const std::uint8_t version = sector[3];
    if (version > 32 || (compressed && version < 6)) return 0;
    const std::int64_t length = byteorder::LE32(sector + 4);
    if (length < 8) return 0;
    // A compressed file is shorter than its uncompressed length: a few bytes
    // too many are harmless, too few would cut it.
    record.m_size = length + (compressed ? 8 : 0);
    record.m_type = RAW_FILE_TYPE_SWF;
    return 1;
}

// ---------------------------------------------------------------- MLV

namespace RawSpeed {

namespace {

bool IsMlvBlock(const std::uint8_t* tag) {
    static const char kTags[][5] = {"MLVI", "RAWI", "INFO", "RTCI", "EXPO", "LENS", "IDNT", "WBAL",
                                    "STYL", "WAVI", "MARK", "VIDF", "NULL", "AUDF", "BKUP"};
    for (const char* t : kTags)
        if (std::memcmp(tag, t, 4) == 0) return true;
    return false;
}

}  // namespace

int MLvAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, "MLVI", 4) != 0 || std::memcmp(sector + 52, "RAWI", 4) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_MLV;
    return 1;
}

CRawFileInfo* MLvAnalyser::CreateRawFileInfo() { return new MLvRawFileInfo(); }

int MLvRawFileInfo::Finish(std::int64_t sectorNumber, std::int64_t size) {
    m_size = size;
    m_type = RAW_FILE_TYPE_MLV;
    if (size > 0) NameByRange(*this, sectorNumber);
    return 1;
}

int MLvRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    if (pos > kCap) return Finish(sectorNumber, m_next);
    const std::uint64_t base = FileBase(*this, sectorSize);
    while (m_next < pos + sectorSize) {
        const std::uint8_t* b = ctx.view.at(base + static_cast<std::uint64_t>(m_next), 8);
        if (b == nullptr) {
            if (m_next >= pos) return 2;
            return Finish(sectorNumber, m_next);
        }
        const std::uint32_t size = byteorder::LE32(b + 4);
        // The end of the last whole block is the file's end; a block size
        // below its own header is as good as none.
        if (!IsMlvBlock(b) || size < 8) return Finish(sectorNumber, m_next);
        m_next += size;
    }
    return 2;
}

// ---------------------------------------------------------------- MXF

namespace {
constexpr std::uint8_t kKlvKey[4] = {0x06, 0x0E, 0x2B, 0x34};
}

int MxfAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || std::memcmp(sector, kKlvKey, 4) != 0) return 0;
    if (sector[4] != 0x02 || sector[5] != 0x05 || sector[6] != 0x01) return 0;
    if (std::memcmp(sector + 20, "\x00\x01\x00", 3) != 0) return 0;
    const std::uint32_t a = byteorder::LE32(sector + 32);
    if (a != 0 && a == byteorder::LE32(sector + 48)) return 0;  // a footer partition
    record.m_type = RAW_FILE_TYPE_MXF;
    return 1;
}

CRawFileInfo* MxfAnalyser::CreateRawFileInfo() { return new MxfRawFileInfo(); }

int MxfRawFileInfo::CalcRawSize(std::uint8_t*, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) {
    if (sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    if (pos > kCap) {
        m_size = 0;
        return 1;
    }
    const std::uint64_t base = FileBase(*this, sectorSize);
    while (m_next < pos + sectorSize) {
        const std::uint64_t at = base + static_cast<std::uint64_t>(m_next);
        const std::uint8_t* item = ctx.view.at(at, 17);
        const int berBytes = item == nullptr ? 0 : (item[16] < 0x80 ? 1 : 1 + (item[16] & 0x7F));
        if (item != nullptr && std::memcmp(item, kKlvKey, 4) != 0) break;
        if (item != nullptr && (item[16] == 0x80 || berBytes > 9)) break;  // no length form MXF writes
        if (item == nullptr || ctx.view.at(at, 16 + static_cast<std::size_t>(berBytes)) == nullptr) {
            // An item header past the block's end is read with the next sector.
            if (m_next >= pos) return 2;
            break;
        }
        std::uint64_t length = 0;
        const int n = DecodeBerLength(item + 16, static_cast<std::size_t>(berBytes), length);
        if (n == 0 || length > static_cast<std::uint64_t>(kCap)) break;
        m_next += 16 + n + static_cast<std::int64_t>(length);
        if (m_next > kCap) return 2;
    }
    if (m_next < pos + sectorSize) {
        m_size = m_next;
        m_type = RAW_FILE_TYPE_MXF;
        if (m_size > 0) NameByRange(*this, sectorNumber);
        return 1;
    }
    return 2;
}

}  // namespace RawSpeed

// ---------------------------------------------------------------- M2TS

namespace BruteForce {

namespace {

bool TsFlags(std::uint8_t b) { return b == 0x40 || b == 0x41 || b == 0x10 || b == 0x50; }

bool AllFF(const std::uint8_t* p) {
    for (int i = 0; i < 8; ++i)
        if (p[i] != 0xFF) return false;
    return true;
}

constexpr int kGroup = 32;

}  // namespace

int CM2TSAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    // 0x47 at 0 or 4 first: this runs on every sector.
    if (sector == nullptr || (sector[0] != 0x47 && sector[4] != 0x47) || m_sizing) return 0;
    if (sector[4] == 0x47 && TsFlags(sector[5])) {
        if (sector[196] != 0x47 || AllFF(sector + 8) || AllFF(sector + 200)) return 0;
        m_packetSize = 192;
    } else if (sector[0] == 0x47 && TsFlags(sector[1])) {
        if (sector[188] != 0x47 || AllFF(sector + 8) || AllFF(sector + 196)) return 0;
        m_packetSize = 188;
    } else {
        return 0;
    }
    record.m_type = RAW_FILE_TYPE_M2TS;
    return 1;
}

CRawFileInfo* CM2TSAnalyser::CreateRawFileInfo() {
    m_sizing = true;
    return new CM2TSFileInfo(this, m_packetSize);
}

void CM2TSFileInfo::Release() {
    if (m_owner != nullptr) m_owner->m_sizing = false;
    m_owner = nullptr;
}

void CM2TSFileInfo::Settle() {
    const std::int64_t bytes = m_packets * m_packetSize;
    m_size = bytes >= kMinSize ? std::min(bytes, kCap) : 0;
    m_type = RAW_FILE_TYPE_M2TS;
    Release();
}

void CM2TSFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    // No device sizer: the packets counted so far are the file, and new
    // transport streams are taken again.
    Settle();
}

int CM2TSFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext&) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::int64_t pos = (sectorNumber - m_startSector) * sectorSize;
    const int sync = m_packetSize == 192 ? 4 : 0;
    while (m_next + sync < pos + sectorSize) {
        if (m_next + sync >= pos && sector[m_next + sync - pos] != 0x47) {
            Settle();
            if (m_size > 0) NameByRange(*this, sectorNumber);
            return 1;
        }
        ++m_packets;
        m_next += m_packetSize;
        if (m_packets * m_packetSize >= kCap) {
            Settle();
            NameByRange(*this, sectorNumber);
            return 1;
        }
    }
    return 2;
}

}  // namespace BruteForce
