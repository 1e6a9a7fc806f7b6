#include "raw/analysers/PdfAnalysers.h"


#include <algorithm>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Utf8Converter.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"

namespace {

bool StartsWith(const std::uint8_t* p, std::size_t length, const char* text) {
    const std::size_t n = std::strlen(text);
    return p != nullptr && length >= n && std::memcmp(p, text, n) == 0;
}

const std::uint8_t* Find(const std::uint8_t* p, std::size_t length, const char* text) {
    return Apimemstr(p, static_cast<int>(std::min<std::size_t>(length, INT32_MAX)),
                     reinterpret_cast<const std::uint8_t*>(text), static_cast<int>(std::strlen(text)));
}

// The code points of a UTF-8 string (bytes that start no sequence are not
// counted), and the byte length of its first `count` code points.
std::size_t CodePoints(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}
std::size_t PrefixBytes(const std::string& s, std::size_t count) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && n++ == count) return i;
    return s.size();
}

// UTF-16 big-endian text to UTF-8; stops at the first unit iconv refuses
// (a lone surrogate) and keeps what came before.
std::string Utf16BeToUtf8(const std::uint8_t* p, std::size_t length) {
    length &= ~static_cast<std::size_t>(1);
    if (length == 0) return std::string();
    CUtf8Converter converter("UTF-16BE");
    if (!converter.IsOpen()) return std::string();
    std::string out(3 * length, '\0');
    char* in = const_cast<char*>(reinterpret_cast<const char*>(p));
    std::size_t inLeft = length;
    char* o = out.data();
    std::size_t outLeft = out.size();
    converter.Convert(&in, &inLeft, &o, &outLeft);
    out.resize(out.size() - outLeft);
    return out;
}

constexpr std::uint8_t kEof[] = {'%', '%', 'E', 'O', 'F'};

// The end of a file whose last "%%EOF" ends at `markerEnd` in `block`: the
// marker and its line end, the (at most) two bytes after it that are not
// zero padding. A file never loses a byte of its own, and padding is never
// taken in.
std::uint64_t EofLineEnd(const std::uint8_t* block, std::uint64_t length, std::uint64_t markerEnd) {
    std::uint64_t end = std::min<std::uint64_t>(markerEnd + 2, length);
    while (end > markerEnd && block[end - 1] == 0) --end;
    return std::max(end, markerEnd);
}

}  // namespace

namespace BruteForce {

// ---- Info dictionary ----

bool PdfTitleAnalyzer::RemoveNolessVec(const std::uint8_t* sector, int length) {
    if (sector == nullptr || length < 4) return false;
    const int q = length / 4;
    const int at[4] = {0, q - 1, 2 * q - 1, 3 * q - 1};
    for (int i : at) {
        const std::uint8_t c = sector[i];
        if ((c >= '1' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == 0x00 || c == 0xFE ||
            c == 0xFF || std::strchr("\r ()-./:<>", c) != nullptr)
            return true;
    }
    return false;
}

const std::uint8_t* PdfTitleAnalyzer::myStrstr(const std::uint8_t* text, int length, const char* pattern) {
    if (length <= 0) return nullptr;
    return Find(text, static_cast<std::size_t>(length), pattern);
}

int PdfTitleAnalyzer::StringToInt(const std::string& s) {
    if (s.empty()) return 0;
    int v = 0;
    std::size_t i = 0;
    const bool negative = s[0] == '-';
    if (s[0] == '-' || s[0] == '+') ++i;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && v < 100000000; ++i) v = v * 10 + (s[i] - '0');
    return negative ? -v : v;
}

std::string PdfTitleAnalyzer::ObtainPerInfo(const std::uint8_t* name, int left) {
    if (name == nullptr || left <= 0) return std::string();
    const int n = std::min(left, 512);
    // The value is a literal string between the name and the next name; a
    // hexadecimal string or a reference gives no value.
    int i = 0;
    for (; i < n && name[i] != '('; ++i)
        if (name[i] == '/' || name[i] == ')') return std::string();
    if (i == n) return std::string();
    // Writers escape the bytes of a UTF-16 string that are not printable
    // ("\003\232"), so the escapes are undone before the byte-order mark is
    // looked at; balanced parentheses belong to the string.
    std::string raw;
    int depth = 1;
    for (++i; i < n; ++i) {
        const std::uint8_t c = name[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth == 0) break;
        } else if (c == '\\') {
            if (++i >= n) return std::string();
            const std::uint8_t d = name[i];
            if (d >= '0' && d <= '7') {
                int v = d - '0';
                for (int k = 0; k < 2 && i + 1 < n && name[i + 1] >= '0' && name[i + 1] <= '7'; ++k)
                    v = v * 8 + (name[++i] - '0');
                raw += static_cast<char>(v & 0xFF);
            } else if (d == '\r' || d == '\n') {
                if (d == '\r' && i + 1 < n && name[i + 1] == '\n') ++i;  // a line continued
            } else {
                static const char kFrom[] = "nrtbf", kTo[] = "\n\r\t\b\f";
                const char* at = std::strchr(kFrom, d);
                raw += at != nullptr && d != 0 ? kTo[at - kFrom] : static_cast<char>(d);
            }
            continue;
        }
        raw += static_cast<char>(c);
    }
    if (depth != 0) return std::string();
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFE && static_cast<unsigned char>(raw[1]) == 0xFF) {
        // The byte-order mark says big-endian: convert the units after it.
        std::string text = Utf16BeToUtf8(reinterpret_cast<const std::uint8_t*>(raw.data()) + 2, raw.size() - 2);
        return text.substr(0, text.find('\0'));
    }
    return raw.substr(0, raw.find('\0'));
}

std::string PdfTitleAnalyzer::TimeChange(const std::string& value) {
    // "D:YYYYMMDDHHmmSS" and a time zone.
    if (value.size() < 17) return std::string();
    for (int i = 2; i < 16; ++i)
        if (value[i] < '0' || value[i] > '9') return std::string();
    return value.substr(2, 4) + "-" + value.substr(6, 2) + "-" + value.substr(8, 2) + " " + value.substr(10, 2) + "-" +
           value.substr(12, 2) + "-" + value.substr(14, 2);
}

bool PdfTitleAnalyzer::JudeLegalInfo(const std::string& value) {
    if (CodePoints(value) < 2) return false;
    for (unsigned char c : value) {
        // Bytes of multi-byte UTF-8 sequences: letters of other scripts.
        if (c >= 0x80) continue;
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ' || c == '(' ||
              c == '-' || c == '.' || c == '_'))
            return false;
    }
    return true;
}

bool PdfTitleAnalyzer::RemoveIllegalTitle(const std::string& title) {
    return std::any_of(title.begin(), title.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string PdfTitleAnalyzer::CleanValue(std::string value) {
    value = ApiStrFilterBadFileName(std::move(value));
    return JudeLegalInfo(value) ? value : std::string();
}

int PdfTitleAnalyzer::SeparateInformation(const std::uint8_t* text, int length, FileProperty& out) {
    if (text == nullptr || length <= 0) return 0;
    static const char* const kNames[] = {"Author", "Creator", "CreationDate", "ModDate", "Producer", "Title"};
    const std::uint8_t* at[6];
    for (int i = 0; i < 6; ++i) at[i] = myStrstr(text, length, kNames[i]);
    const bool author = at[0], creator = at[1], created = at[2], modified = at[3];
    if (!(author && creator) && !(created && (author || creator || modified))) return 0;
    std::string values[6];
    for (int i = 0; i < 6; ++i) {
        if (at[i] == nullptr) continue;
        std::string v = ObtainPerInfo(at[i], length - static_cast<int>(at[i] - text));
        if (CodePoints(v) >= 26) v.resize(PrefixBytes(v, 25));
        if (i == 2 || i == 3) {
            values[i] = TimeChange(v);
            continue;
        }
        v = CleanValue(std::move(v));
        if (i == 5 && RemoveIllegalTitle(v)) v.clear();
        values[i] = std::move(v);
    }
    out.m_lastAuthor = values[0];
    out.m_author = values[1];
    out.m_createTime = values[2];
    out.m_lastSaveTime = values[3];
    out.m_producer = values[4];
    out.m_title = values[5];
    return !out.m_author.empty() || !out.m_createTime.empty() || !out.m_lastAuthor.empty() ||
           !out.m_lastSaveTime.empty();
}

int PdfTitleAnalyzer::ObtainPerSecPDFInformation(const std::uint8_t* text, int sectorSize, int length,
                                                 FileProperty& out) {
    if (text == nullptr || sectorSize <= 0 || length < sectorSize) return 0;
    if (!RemoveNolessVec(text, sectorSize)) return 0;
    const std::uint8_t* obj = myStrstr(text, sectorSize, "obj");
    if (obj == nullptr) return 0;
    m_lastLength = length - static_cast<int>(obj - text);
    if (m_lastLength <= 0) return 0;
    return SeparateInformation(obj, m_lastLength, out);
}

bool JudgeAI(const std::uint8_t* text, int length) {
    if (text == nullptr || length < 10) return false;
    const std::uint8_t* ps = Find(text, static_cast<std::size_t>(std::min(length, 4095 + 9)), "%!PS-Adobe");
    if (ps == nullptr) return false;
    return Find(ps, static_cast<std::size_t>(text + length - ps), "Adobe Illustrator") != nullptr;
}

// ---- PDF streaming ----

PdfAnalyzer::PdfAnalyzer() : IRawFileAnalyser(RAW_FILE_TYPE_PDF), m_twin(new FilePDFAnalyser()) {}
PdfAnalyzer::~PdfAnalyzer() { delete m_twin; }

int PdfAnalyzer::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr || sector[0] != '%') return 0;
    bool hit = StartsWith(sector, 5, "%PDF-");
    if (!hit && StartsWith(sector, 10, "%!PS-Adobe"))
        hit = Find(sector, 512, "Adobe Illustrator") != nullptr && Find(sector, 512, " EPSF-") == nullptr;
    if (!hit) return 0;
    record.m_type = RAW_FILE_TYPE_PDF;
    return 1;
}

CRawFileInfo* PdfAnalyzer::CreateRawFileInfo() { return new PdfRawFileInfo(this); }

void PdfAnalyzer::PdfRawFileInfo::WillBeRemove(std::uint8_t*, std::int64_t) {
    // The entries read so far still name the file the device walk sizes.
    if (!m_infoPending) PdfTagDealwith();
    if (m_owner == nullptr) return;
    HandToTwin(*this, m_owner);
}

void PdfAnalyzer::PdfRawFileInfo::PdfTagDealwith() {
    const FileProperty p = m_properties;
    std::string value = m_rawFileName;
    if (!m_infoPending) {
        value = !p.m_lastAuthor.empty() ? p.m_lastAuthor
                : !p.m_author.empty()   ? p.m_author
                : !p.m_producer.empty() ? p.m_producer
                                        : std::string("unknown");
        SetRawFileName(value);
    }
    std::string name;
    if (!p.m_title.empty())
        name = p.m_title + p.m_lastSaveTime;
    else if (!p.m_lastAuthor.empty())
        name = p.m_lastAuthor + p.m_lastSaveTime;
    else if (!p.m_author.empty())
        name = p.m_author + p.m_lastSaveTime;
    else if (p.m_producer.empty())
        name = p.m_createTime;
    else
        name = p.m_producer + p.m_lastSaveTime;
    SetRawFileName(name);
    if (!m_infoPending && (!name.empty() || !p.m_createTime.empty()))
        SetRawFileTagAndValue(m_type == RAW_FILE_TYPE_PDF ? RAW_FILE_TAG_PDF : RAW_FILE_TAG_ILLUSTRATION, value);
    if (!p.m_createTime.empty()) m_rawFileTime = p.m_createTime;
}

int PdfAnalyzer::PdfRawFileInfo::CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber,
                                             SearchContext& ctx) {
    if (sector == nullptr || sectorSize <= 0 || sectorNumber < m_startSector) return 2;
    const std::uint64_t ss = static_cast<std::uint64_t>(sectorSize);
    const std::uint64_t offset = static_cast<std::uint64_t>(sectorNumber - m_startSector) * ss;
    const std::uint64_t here = static_cast<std::uint64_t>(sectorNumber) * ss;
    // Another file starts here (another PDF, or any hit), so this one most
    // likely ended before it: streaming on would run into that file's own
    // "%%EOF" (a PostScript file ends so too). The device walk, which stops
    // at the first padded sector holding the marker, sizes it.
    if (offset > 0 && (ctx.newFile != nullptr || (sector[0] == '%' && StartsWith(sector, 5, "%PDF-")))) {
        m_size = 0;
        return 1;
    }
    if (m_infoPending || m_firstSector) {
        const std::uint8_t* two = ctx.view.at(here, 2 * ss);
        m_nextInBuffer = two != nullptr;
        const std::uint8_t* text = two ? two : sector;
        const int length = two ? 2 * sectorSize : sectorSize;
        if (m_infoPending && m_titleAnalyzer.ObtainPerSecPDFInformation(text, sectorSize, length, m_properties)) {
            if (m_properties.m_author.find("Illustrator") != std::string::npos) m_type = RAW_FILE_TYPE_AI;
            m_infoPending = 0;
        }
        if (m_firstSector) {
            m_firstSector = 0;
            if (JudgeAI(text, length)) m_type = RAW_FILE_TYPE_AI;
        }
    }
    if (offset > m_cap) {
        m_size = 0;
        return 1;
    }
    const std::uint32_t z = ctx.trailingZeroBytes;
    if (z < 4 || offset < m_minimumEnd + m_minimumEndOffset) return 2;
    // p: the file's end relative to the sector's start.
    std::int64_t p;
    if (z < 32) {
        const int after = RawUtility::FindMagicInBuffer(sector, sectorSize, static_cast<int>(z) - 4, kEof, 5);
        if (after == 0) return 2;
        p = static_cast<std::int64_t>(EofLineEnd(sector, ss, static_cast<std::uint64_t>(after)));
    } else {
        // The marker may straddle the sector's start: look 16 bytes back
        // when the buffer holds them, else in the sector alone.
        const std::uint8_t* from = here >= 16 ? ctx.view.at(here - 16, ss + 16) : nullptr;
        if (from != nullptr) {
            const int after = RawUtility::FindMagicInBuffer(from, sectorSize + 16, 44, kEof, 5);
            if (after == 0) return 2;
            p = static_cast<std::int64_t>(EofLineEnd(from, ss + 16, static_cast<std::uint64_t>(after))) - 16;
        } else {
            const int after = RawUtility::FindMagicInBuffer(sector, sectorSize, 44, kEof, 5);
            if (after == 0) return 2;
            p = static_cast<std::int64_t>(EofLineEnd(sector, ss, static_cast<std::uint64_t>(after)));
        }
    }
    PdfTagDealwith();
    m_size = static_cast<std::int64_t>(offset) + p;
    return 1;
}

// ---- EPS ----

int CEPSAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    if (StartsWith(sector, 4, "%!PS")) {
        if (!StartsWith(sector, 11, "%!PS-Adobe-")) return 0;
        m_textSeen = 1;
        m_lastHitText = true;
        record.m_type = RAW_FILE_TYPE_EPS;
        return 1;
    }
    if (byteorder::LE32(sector) != 0xC6D3D0C5) return 0;
    // The ends of the PostScript, metafile and TIFF sections.
    std::uint64_t size = 0;
    for (int at : {4, 12, 20})
        size = std::max<std::uint64_t>(
            size, static_cast<std::uint64_t>(byteorder::LE32(sector + at)) + byteorder::LE32(sector + at + 4));
    m_lastHitText = false;
    record.m_type = RAW_FILE_TYPE_EPS;
    record.m_size = static_cast<std::int64_t>(size);
    return 1;
}

CRawFileInfo* CEPSAnalyser::CreateRawFileInfo() {
    CRawFileInfo* record = m_lastHitText ? new CZeroEndRawFileInfo(kTextCap, 1) : new CRawFileInfo();
    record->m_type = RAW_FILE_TYPE_EPS;
    return record;
}

}  // namespace BruteForce

// ---- PDF device walk ----

int FilePDFAnalyser::AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) {
    if (sector == nullptr) return 0;
    bool hit = StartsWith(sector, 5, "%PDF-");
    if (!hit && StartsWith(sector, 10, "%!PS-Adobe"))
        hit = Find(sector, 200, "Adobe Illustrator") != nullptr && Find(sector, 200, " EPSF-") == nullptr;
    if (!hit) return 0;
    record.m_type = RAW_FILE_TYPE_PDF;
    return 1;
}

int FilePDFAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    return GetRawFileSizeEx(record, device);
}

int FilePDFAnalyser::GetRawFileSizeEx(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr || record.m_startSector < 0) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    const std::uint64_t ss = reader.Buffer().SectorSize();
    if (ss < 16) return 0;
    // An Illustrator header within the first 1,024 bytes types the file.
    std::uint8_t head[1024 + 512];
    const std::size_t headLength =
        static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, reader.Buffer().BytesOnDevice()));
    if (headLength == 0 || !reader.Read(0, headLength, head)) return 0;
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < 1024 && i + 10 <= headLength; ++i) {
        if (head[i] != '%' || std::memcmp(head + i, "%!PS-Adobe", 10) != 0) continue;
        if (Find(head + i, headLength - i, "Adobe Illustrator") == nullptr) continue;
        record.m_type = RAW_FILE_TYPE_AI;
        start = i;
        break;
    }
    // Whole sectors from the first on (or from the Illustrator header's):
    // only they show the zero padding that ends a file, and a PDF of under
    // two sectors ends in one of the first two.
    std::uint64_t offset = start / ss * ss;
    std::uint64_t end = 0;
    for (; offset <= kWalkCap && end == 0; offset += ss) {
        const std::uint8_t* p = reader.At(offset);
        if (p == nullptr) return 0;
        if (offset > 0 && p[0] == '%' && StartsWith(p, 5, "%PDF-")) {
            end = offset;
            break;
        }
        if (byteorder::LE32(p + ss - 4) != 0) continue;
        // The last marker of the sector: an update appended to the file
        // adds a later one.
        const int after = BruteForce::RawUtility::FindMagicInBuffer(p, static_cast<int>(ss), 0, kEof, 5);
        if (after != 0) {
            end = offset + EofLineEnd(p, ss, static_cast<std::uint64_t>(after));
            break;
        }
        // A marker across the sector's start, or one whose line end (up to
        // two bytes) filled the sector before.
        if (offset >= 7) {
            std::uint8_t seam[14];
            if (!reader.Read(offset - 7, sizeof seam, seam)) return 0;
            if (const std::uint8_t* q = Find(seam, 12, "%%EOF")) {
                end = offset - 7 + EofLineEnd(seam, sizeof seam, static_cast<std::uint64_t>(q - seam) + 5);
                break;
            }
        }
    }
    // The marker's line end is the file's last byte; without a marker, the
    // file runs to a sector boundary (the next file's start, the cap).
    if (end == 0) end = (offset + ss - 1) / ss * ss;
    record.m_size = static_cast<std::int64_t>(end);
    return 1;
}
