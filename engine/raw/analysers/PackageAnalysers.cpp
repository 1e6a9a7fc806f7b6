#include "raw/analysers/PackageAnalysers.h"

#include <tinyxml.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "foundation/ByteOrder.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawUtility.h"
#include "raw/analysers/StreamHelpers.h"

using byteorder::BE16;
using byteorder::BE64;

namespace {

const std::uint8_t kBzipStart[10] = {'B', 'Z', 'h', '1', '1', 'A', 'Y', '&', 'S', 'Y'};
const std::uint8_t kKoly[4] = {'k', 'o', 'l', 'y'};
// The UDIF trailer is 512 bytes whatever the device's sector size.
constexpr std::int64_t kTrailer = 512;
constexpr std::int64_t kMinKolyOffset = 10241;
constexpr std::size_t kXarHeader = 28;

bool IsPkg7F(const std::uint8_t* s) { return s[0] == 0x7F && s[1] == 'P' && s[2] == 'K' && s[3] == 'G'; }
bool IsXar(const std::uint8_t* s) { return std::memcmp(s, "xar!", 4) == 0; }

// A decimal text of at most 19 digits; -1 otherwise.
std::int64_t DecimalText(const TiXmlElement* e) {
    const char* t = e ? e->GetText() : nullptr;
    if (t == nullptr) return -1;
    while (*t == ' ' || *t == '\n' || *t == '\t' || *t == '\r') ++t;
    std::int64_t v = 0;
    int digits = 0;
    for (; *t >= '0' && *t <= '9'; ++t) {
        if (++digits > 18) return -1;
        v = v * 10 + (*t - '0');
    }
    return digits ? v : -1;
}

}  // namespace

int FilePKGAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || (!IsXar(s) && !IsPkg7F(s))) return 0;
    record.m_type = RAW_FILE_TYPE_PKG;
    return 1;
}

int FilePKGAnalyser::XmlDepth(const std::string& xml, int limit) {
    int depth = 0, deepest = 0;
    const std::size_t n = xml.size();
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (xml[i] != '<') continue;
        const char c = xml[i + 1];
        if (c == '/') {
            if (depth > 0) --depth;
            continue;
        }
        if (c == '?' || c == '!') continue;
        const std::size_t close = xml.find('>', i + 1);
        if (close == std::string::npos) break;
        if (xml[close - 1] != '/') deepest = std::max(deepest, ++depth);
        if (deepest > limit) return deepest;
        i = close;
    }
    return deepest;
}

std::int64_t FilePKGAnalyser::HeapEndFromToc(const std::string& xml) {
    if (XmlDepth(xml, kMaxDepth) > kMaxDepth) return -1;
    std::int64_t end = -1;
    if (HeapEndFromTocScan(xml, end)) return end;
    return HeapEndFromTocTree(xml);
}

namespace {

bool NameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':'; }
bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// DecimalText on the raw text of an element's first child: TinyXML's text
// node differs from it only in whitespace, which ends the digits either way.
std::int64_t DecimalAt(const char* t) {
    std::int64_t v = 0;
    int digits = 0;
    for (; *t >= '0' && *t <= '9'; ++t) {
        if (++digits > 18) return -1;
        v = v * 10 + (*t - '0');
    }
    return digits ? v : -1;
}

}  // namespace

// The scan accepts only text TinyXML parses without error into the tree the
// walk below reads, and reads the same elements from it: the root's first
// child element is the table, whose "file" children and their "file"
// descendants are walked; each one's "data" children give the first
// "offset" and "length" child's number. Anything it is not sure of (a byte
// outside printable ASCII, an entity, a comment, a mismatched end tag, text
// after the root) is handed back.
bool FilePKGAnalyser::HeapEndFromTocScan(const std::string& xml, std::int64_t& end) {
    // TinyXML reads the text up to its first zero byte.
    const char* const s = xml.c_str();
    const std::size_t n = std::strlen(s);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c < 0x20 && !Blank(static_cast<char>(c))) || c > 0x7E || c == '&') return false;
    }
    enum Role : std::uint8_t { kOther, kRoot, kToc, kFile, kData, kOffset, kLength };
    struct Open {
        const char* name;
        std::size_t nameLength;
        Role role;
        bool hasChild = false;      // a child node (element or text) went by
        bool elementChild = false;  // a child element went by
        bool offsetSeen = false;    // kData
        bool lengthSeen = false;    // kData
        std::int64_t offset = -1;   // kData
        std::int64_t length = -1;   // kData
    };
    std::vector<Open> open;
    open.reserve(16);
    std::vector<std::string_view> attributes;
    const char* p = s;
    const char* const stop = s + n;
    auto skipBlank = [&] {
        while (p < stop && Blank(*p)) ++p;
    };
    auto readName = [&](const char*& name, std::size_t& length) {
        if (p >= stop || !NameStart(*p)) return false;
        name = p;
        while (p < stop && NameChar(*p)) ++p;
        length = static_cast<std::size_t>(p - name);
        return true;
    };
    // name="value" or name='value'; the value free of '<'.
    auto readAttribute = [&](const char*& name, std::size_t& length) {
        if (!readName(name, length)) return false;
        skipBlank();
        if (p >= stop || *p != '=') return false;
        ++p;
        skipBlank();
        if (p >= stop || (*p != '"' && *p != '\'')) return false;
        const char quote = *p++;
        while (p < stop && *p != quote) {
            if (*p == '<') return false;
            ++p;
        }
        if (p >= stop) return false;
        ++p;
        return true;
    };

    skipBlank();
    if (stop - p >= 5 && std::memcmp(p, "<?xml", 5) == 0) {
        p += 5;
        for (;;) {
            const char* before = p;
            skipBlank();
            if (stop - p >= 2 && p[0] == '?' && p[1] == '>') {
                p += 2;
                break;
            }
            if (p == before) return false;
            const char* name = nullptr;
            std::size_t length = 0;
            if (!readAttribute(name, length)) return false;
            const std::string_view key(name, length);
            if (key != "version" && key != "encoding" && key != "standalone") return false;
        }
        skipBlank();
    }
    if (p >= stop || *p != '<') return false;

    bool anyFile = false;
    std::int64_t furthest = 0;
    bool rootDone = false;
    while (p < stop) {
        if (open.empty()) {
            if (rootDone) {
                skipBlank();
                if (p != stop) return false;
                break;
            }
        } else {
            // Element content: blanks, then text or a tag.
            skipBlank();
            if (p >= stop) return false;
            if (*p != '<') {
                const char* text = p;
                while (p < stop && *p != '<') ++p;
                if (p >= stop) return false;
                Open& o = open.back();
                if (!o.hasChild) {
                    o.hasChild = true;
                    if (o.role == kOffset || o.role == kLength) {
                        Open& data = open[open.size() - 2];
                        (o.role == kOffset ? data.offset : data.length) = DecimalAt(text);
                    }
                }
                continue;
            }
        }
        // At '<'.
        if (stop - p >= 2 && p[1] == '/') {
            if (open.empty()) return false;
            Open& o = open.back();
            p += 2;
            if (static_cast<std::size_t>(stop - p) < o.nameLength + 1 || std::memcmp(p, o.name, o.nameLength) != 0 ||
                p[o.nameLength] != '>')
                return false;
            p += o.nameLength + 1;
            if (o.role == kData && o.offset >= 0 && o.length >= 0) furthest = std::max(furthest, o.offset + o.length);
            open.pop_back();
            if (open.empty()) rootDone = true;
            continue;
        }
        ++p;
        Open e{};
        if (!readName(e.name, e.nameLength)) return false;
        const std::string_view name(e.name, e.nameLength);
        if (open.empty()) {
            e.role = kRoot;
        } else {
            Open& parent = open.back();
            const bool firstElement = !parent.elementChild;
            parent.hasChild = true;
            parent.elementChild = true;
            e.role = kOther;
            if (parent.role == kRoot) {
                // The table is the root's first child element, whatever its name.
                if (firstElement) e.role = kToc;
            } else if (parent.role == kToc || parent.role == kFile) {
                if (name == "file") {
                    e.role = kFile;
                    anyFile = anyFile || parent.role == kToc;
                } else if (name == "data" && parent.role == kFile) {
                    e.role = kData;
                }
            } else if (parent.role == kData) {
                if (name == "offset" && !parent.offsetSeen) {
                    parent.offsetSeen = true;
                    e.role = kOffset;
                } else if (name == "length" && !parent.lengthSeen) {
                    parent.lengthSeen = true;
                    e.role = kLength;
                }
            }
        }
        // Attributes, each once, then ">" or "/>".
        attributes.clear();
        for (;;) {
            const char* before = p;
            skipBlank();
            if (p >= stop) return false;
            if (*p == '>' || *p == '/') break;
            if (p == before) return false;
            const char* an = nullptr;
            std::size_t al = 0;
            if (!readAttribute(an, al)) return false;
            // A repeated name stops TinyXML's parse of the element.
            const std::string_view attribute(an, al);
            if (std::find(attributes.begin(), attributes.end(), attribute) != attributes.end()) return false;
            attributes.push_back(attribute);
        }
        if (*p == '/') {
            if (stop - p < 2 || p[1] != '>') return false;
            p += 2;
            if (open.empty()) rootDone = true;
            continue;
        }
        ++p;
        open.push_back(e);
    }
    if (!rootDone) return false;
    end = anyFile ? furthest : -1;
    return true;
}

// Every "file" element below the table, folders and their contents alike,
// walked with an explicit stack. The heap ends after the furthest data.
std::int64_t FilePKGAnalyser::HeapEndFromTocTree(const std::string& xml) {
    TiXmlDocument doc;
    doc.Parse(xml.c_str());
    if (doc.Error()) return -1;
    const TiXmlElement* root = doc.RootElement();
    const TiXmlElement* toc = root ? root->FirstChildElement() : nullptr;
    const TiXmlElement* first = toc ? toc->FirstChildElement() : nullptr;
    if (first == nullptr) return -1;
    std::vector<const TiXmlElement*> stack;
    for (const TiXmlElement* e = first; e; e = e->NextSiblingElement())
        if (std::strcmp(e->Value(), "file") == 0) stack.push_back(e);
    if (stack.empty()) return -1;
    std::int64_t end = 0;
    while (!stack.empty()) {
        const TiXmlElement* file = stack.back();
        stack.pop_back();
        for (const TiXmlElement* c = file->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (std::strcmp(c->Value(), "file") == 0) {
                stack.push_back(c);
            } else if (std::strcmp(c->Value(), "data") == 0) {
                const std::int64_t offset = DecimalText(c->FirstChildElement("offset"));
                const std::int64_t length = DecimalText(c->FirstChildElement("length"));
                if (offset >= 0 && length >= 0) end = std::max(end, offset + length);
            }
        }
    }
    return end;
}

int FilePKGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (device == nullptr) return 0;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    std::uint8_t head[32];
    if (!reader.Read(0, sizeof head, head)) return 0;
    record.m_type = RAW_FILE_TYPE_PKG;
    if (IsPkg7F(head)) {
        const std::uint16_t version = BE16(head + 6);
        const std::uint64_t total = BE64(head + 24);
        if ((version == 1 || version == 2) && total <= kSizeLimit) {
            record.m_size = static_cast<std::int64_t>(total);
            return 1;
        }
    }
    if (!IsXar(head)) return 0;
    const std::uint64_t c = BE64(head + 8);
    const std::uint64_t u = BE64(head + 16);
    if (c == 0 || c > kMaxToc || u > kMaxToc || c > u) return 0;
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(c));
    if (!reader.Read(kXarHeader, packed.size(), packed.data())) return 0;
    std::string text(static_cast<std::size_t>(u) + 512, '\0');
    std::size_t outLength = static_cast<std::size_t>(u);
    if (!m_tocInflater.Uncompress(reinterpret_cast<std::uint8_t*>(text.data()), outLength, packed.data(), packed.size()))
        return 0;
    text.resize(outLength);
    const std::int64_t heapEnd = HeapEndFromToc(text);
    if (heapEnd < 0) return 0;
    const std::uint64_t size = kXarHeader + c + static_cast<std::uint64_t>(heapEnd);
    record.m_size = static_cast<std::int64_t>(size <= kSizeLimit ? size : kXarHeader + c);
    return 1;
}

// ---- DMG ----

int FileDMGAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, kBzipStart, sizeof kBzipStart) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_DMG;
    return 1;
}

// Stepped by the sector size of the device it reads, whichever that is.
int FileDMGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    record.m_type = RAW_FILE_TYPE_DMG;
    if (device == nullptr) return 1;
    WindowReader reader(device, static_cast<std::uint64_t>(record.m_startSector), GetSearchState());
    const std::int64_t n = reader.Buffer().SectorSize() ? reader.Buffer().SectorSize() : 512;
    std::vector<std::uint8_t> two(static_cast<std::size_t>(2 * n));
    std::int64_t offset = 0;
    for (; offset < kWalkCap; offset += n) {
        std::uint8_t* cur = two.data() + n;
        if (!reader.Read(static_cast<std::uint64_t>(offset), static_cast<std::size_t>(n), cur)) break;
        if (byteorder::LE64(cur + n - 8) == 0) {
            if (std::memcmp(cur, kKoly, 4) == 0) {
                record.m_size = offset + kTrailer;
                return 1;
            }
            // The trailer straddles: it starts in the previous sector.
            if (offset >= kMinKolyOffset && offset > n)
                if (const std::uint8_t* k = Apimemstr(two.data(), static_cast<int>(2 * n - 8), kKoly, 4)) {
                    record.m_size = offset - n + (k - two.data()) + kTrailer;
                    return 1;
                }
        }
        std::memcpy(two.data(), cur, static_cast<std::size_t>(n));
    }
    record.m_size = offset;
    return 1;
}

namespace Tessel {

int DMGAnalyser::AnalyseBuffer(std::uint8_t* s, CRawFileInfo& record) {
    if (s == nullptr || std::memcmp(s, kBzipStart, sizeof kBzipStart) != 0) return 0;
    record.m_type = RAW_FILE_TYPE_DMG;
    return 1;
}

CRawFileInfo* DMGAnalyser::CreateRawFileInfo() { return new DMGRawFileInfo(this); }

// The file ends with its 512-byte trailer, which starts with "koly" and
// ends in zero bytes; it may straddle two sectors, so the search also looks
// into the sector before, and the end is the trailer's own end.
int DMGAnalyser::DMGRawFileInfo::CalcRawSize(std::uint8_t* sector, int n, std::int64_t s, SearchContext& ctx) {
    if (sector == nullptr) return 1;
    if (n <= 0 || s < m_startSector) return 2;
    const std::int64_t b = rawstream::OffsetOf(*this, s, n);
    if (b >= 10 * m_cap) {
        rawstream::NameByRange(*this, s);
        m_size = m_cap;
        return 1;
    }
    if (byteorder::LE64(sector + n - 8) != 0) return 2;
    const std::uint8_t* k = Apimemstr(sector, n - 8, kKoly, 4);
    std::int64_t at = k ? b + (k - sector) : -1;
    if (at < 0 && b >= kMinKolyOffset && ctx.bufferStartSector <= s - 2) {
        // The trailer may start in the sector before and straddle into this one.
        const std::uint64_t from = static_cast<std::uint64_t>(m_startSector) * n + static_cast<std::uint64_t>(b - n);
        if (const std::uint8_t* back = ctx.view.at(from, static_cast<std::size_t>(n)))
            if (const std::uint8_t* kk = Apimemstr(back, n, kKoly, 4)) at = b - n + (kk - back);
    }
    if (at < 0) return 2;
    rawstream::NameByRange(*this, s);
    m_size = at + kTrailer;
    return 1;
}

}  // namespace Tessel
