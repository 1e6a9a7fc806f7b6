#include "raw/analysers/HeaderSizedAnalysers.h"

#include <cstring>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"

using byteorder::BE16;
using byteorder::BE32;
using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;

namespace {

int Hit(CRawFileInfo& record, std::uint32_t type, std::int64_t size) {
    record.m_type = type;
    record.m_size = size;
    return 1;
}

// A PST whose byte at 10 names neither layout is taken as this much.
constexpr std::int64_t kDefaultPst = 0x100000;
// Money files are not sized by their header: a fixed megabyte is kept.
constexpr std::int64_t kMoneySize = 0x100000;
// No real font comes near this; bogus table lengths would sum to hundreds of GiB.
constexpr std::int64_t kMaxFont = 0x10000000;
constexpr int kMaxFontTables = 31;

const char kFontTags[][5] = {"DSIG", "cmap", "glyf", "head", "hhea", "hmtx", "loca", "maxp", "name",
                             "post", "OS/2", "cvt ", "EBDT", "EBLC", "EBSC", "fpgm", "gasp", "hdmx",
                             "kern", "LTSH", "prep", "PCLT", "VDMX", "vhea", "vmtx"};

const std::uint8_t kChmGuid1[16] = {0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                                    0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
const std::uint8_t kChmGuid2[16] = {0x11, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                                    0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};

struct WpdRow {
    std::uint8_t at8[4];
    std::uint8_t at14[4];
    std::uint32_t type;
};
const WpdRow kWpdRows[] = {
    {{0x01, 0x0A, 0x02, 0x01}, {0x00, 0x02, 0x05, 0x00}, RAW_FILE_TYPE_WPD},
    {{0x01, 0x16, 0x02, 0x00}, {0x00, 0x00, 0x03, 0x00}, RAW_FILE_TYPE_WPG},
    {{0x0F, 0x0F, 0x01, 0x00}, {0x00, 0x00, 0x03, 0x00}, RAW_FILE_TYPE_SHW},
};

}  // namespace

// The text length at 0x124 and the header length at 0x128, summed in 64
// bits (both come from a damaged disk as often as from a document) and
// rounded down to whole 512-byte pages.
int FileLowDocAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    const std::int64_t sum = static_cast<std::int64_t>(LE32(s + 0x124)) + LE16(s + 0x128) + 511;
    return Hit(record, RAW_FILE_TYPE_DOC, sum / 512 * 512);
}

int FileWPDAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    for (const WpdRow& r : kWpdRows)
        if (std::memcmp(s + 8, r.at8, 4) == 0 && std::memcmp(s + 14, r.at14, 4) == 0)
            return Hit(record, r.type, LE32(s + 20));
    return 0;
}

int FileCHMAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || LE32(s + 8) != 0x60 || std::memcmp(s + 24, kChmGuid1, 16) != 0 ||
        std::memcmp(s + 40, kChmGuid2, 16) != 0 || LE32(s + 0x60) != 0x1FE || LE32(s + 0x70) != 0 ||
        LE32(s + 0x74) != 0)
        return 0;
    const std::uint64_t size = LE64(s + 0x68);
    if (size > static_cast<std::uint64_t>(INT64_MAX)) return 0;
    return Hit(record, RAW_FILE_TYPE_CHM, static_cast<std::int64_t>(size));
}

// The file size at 12 is never below one block, nor below the directory start at 4.
int FileHLPAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    const std::uint32_t size = LE32(s + 12);
    if (size < 512 || size < LE32(s + 4)) return 0;
    return Hit(record, RAW_FILE_TYPE_HLP, size);
}

int FileMNYAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s + 4, "MSISAM Database", 15) != 0) return 0;
    return Hit(record, RAW_FILE_TYPE_MNY, kMoneySize);
}

// A Unicode PST (0x17) keeps its end of file as a u64 at 0xB8: Unicode PSTs
// pass 4 GiB routinely. An ANSI PST (0x0E) cannot, and keeps a u32 at 0xA8.
int FilePSTAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    std::int64_t size = kDefaultPst;
    if (s[10] == 0x17) {
        const std::uint64_t eof = LE64(s + 0xB8);
        size = eof > static_cast<std::uint64_t>(INT64_MAX) ? 0 : static_cast<std::int64_t>(eof);
    } else if (s[10] == 0x0E) {
        size = LE32(s + 0xA8);
    }
    return Hit(record, RAW_FILE_TYPE_PST, size);
}

int FileITLAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || BE32(s + 8) == 0) return 0;
    return Hit(record, RAW_FILE_TYPE_ITL, BE32(s + 8));
}

// The table directory follows the 12-byte offset table; the tables are taken
// to follow the directory without gaps, each padded to 4 bytes. At least half
// of the tags must be ones a TrueType font carries.
int FileTTFAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr) return 0;
    const int count = BE16(s + 4);
    if (count < 1 || count > kMaxFontTables) return 0;
    int known = 0;
    std::int64_t size = 12 + 16 * static_cast<std::int64_t>(count);
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* rec = s + 12 + 16 * k;
        size += (static_cast<std::int64_t>(BE32(rec + 12)) + 3) / 4 * 4;
        for (const char* tag : kFontTags)
            if (std::memcmp(rec, tag, 4) == 0) {
                ++known;
                break;
            }
    }
    if (2 * known < count || size > kMaxFont) return 0;
    return Hit(record, RAW_FILE_TYPE_TTF, size);
}

int FileMboxAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, "From ", 5) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_MBOX;
    return 1;
}

// Fixed 512-byte blocks whatever the device's sector size: the markers are
// looked for only in a block that ends in zeros, the mailbox's last block.
int FileMboxAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    record.m_type = RAW_FILE_TYPE_MBOX;
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    static const std::uint8_t kSignature[] = {'-', '-', '\n', '\n'};
    static const std::uint8_t kAddress[] = {'.', 'c', 'o', 'm', '>', '\n', '\n'};
    std::uint8_t block[512];
    std::int64_t offset = 0;
    for (; offset <= kWalkCap; offset += 512) {
        if (!reader.Read(static_cast<std::uint64_t>(offset), sizeof block, block)) break;
        if (LE32(block + 508) != 0) continue;
        std::int64_t end = -1;
        if (const std::uint8_t* m = Apimemstr(block, 512, kSignature, 4)) {
            end = (m - block) + 4;
            if (end + 2 <= 512 && block[end] == '\n' && block[end + 1] == '\n') end += 2;
        } else if (const std::uint8_t* a = Apimemstr(block, 512, kAddress, 7)) {
            end = (a - block) + 7;
        }
        if (end >= 0) {
            record.m_size = offset + end;
            return 1;
        }
    }
    record.m_size = offset;
    return 1;
}
