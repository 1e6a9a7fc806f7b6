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
#include "raw/analysers/PlainXml.h"
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

// The digits at t, at most 18 of them; -1 otherwise. Also read straight
// from the raw text of an element's first child: TinyXML's text node differs
// from it only in whitespace, which ends the digits either way.
std::int64_t DecimalAt(const char* t) {
    std::int64_t v = 0;
    int digits = 0;
    for (; *t >= '0' && *t <= '9'; ++t) {
        if (++digits > 18) return -1;
        v = v * 10 + (*t - '0');
    }
    return digits ? v : -1;
}

// A decimal text of at most 18 digits after leading blanks; -1 otherwise.
std::int64_t DecimalText(const TiXmlElement* e) {
    const char* t = e ? e->GetText() : nullptr;
    if (t == nullptr) return -1;
    while (*t == ' ' || *t == '\n' || *t == '\t' || *t == '\r') ++t;
    return DecimalAt(t);
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

// The tree walk below, as the elements go by: the root's first child
// element is the table, whose "file" children and their "file" descendants
// are walked; each one's "data" children give the number of their first
// "offset" and "length" child.
class TocVisitor {
public:
    TocVisitor() { m_open.reserve(16); }
    void Open(std::string_view name) {
        Frame e;
        if (!m_open.empty()) {
            Frame& parent = m_open.back();
            const bool firstElement = !parent.elementChild;
            parent.hasChild = parent.elementChild = true;
            if (parent.role == kRoot) {
                if (firstElement) e.role = kToc;
            } else if (parent.role == kToc || parent.role == kFile) {
                if (name == "file") {
                    e.role = kFile;
                    m_anyFile = m_anyFile || parent.role == kToc;
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
        } else {
            e.role = kRoot;
        }
        m_open.push_back(e);
    }
    void Text(const char* begin, const char*) {
        Frame& o = m_open.back();
        if (o.hasChild) return;
        o.hasChild = true;
        if (o.role == kOffset || o.role == kLength) {
            Frame& data = m_open[m_open.size() - 2];
            (o.role == kOffset ? data.offset : data.length) = DecimalAt(begin);
        }
    }
    void Close() {
        const Frame& o = m_open.back();
        if (o.role == kData && o.offset >= 0 && o.length >= 0) m_furthest = std::max(m_furthest, o.offset + o.length);
        m_open.pop_back();
    }
    std::int64_t End() const { return m_anyFile ? m_furthest : -1; }

private:
    enum Role : std::uint8_t { kOther, kRoot, kToc, kFile, kData, kOffset, kLength };
    struct Frame {
        Role role = kOther;
        bool hasChild = false;      // a child node (element or text) went by
        bool elementChild = false;  // a child element went by
        bool offsetSeen = false;    // kData
        bool lengthSeen = false;    // kData
        std::int64_t offset = -1;   // kData
        std::int64_t length = -1;   // kData
    };
    std::vector<Frame> m_open;
    bool m_anyFile = false;
    std::int64_t m_furthest = 0;
};

}  // namespace

bool FilePKGAnalyser::HeapEndFromTocScan(const std::string& xml, std::int64_t& end) {
    TocVisitor visitor;
    if (!plainxml::ScanPlainXml(xml.c_str(), visitor)) return false;
    end = visitor.End();
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
    // Both buffers are kept from one package to the next.
    std::vector<std::uint8_t>& packed = m_packedToc;
    packed.resize(static_cast<std::size_t>(c));
    if (!reader.Read(kXarHeader, packed.size(), packed.data())) return 0;
    std::string& text = m_toc;
    text.assign(static_cast<std::size_t>(u) + 512, '\0');
    std::size_t outLength = static_cast<std::size_t>(u);
    if (!m_tocInflater.Uncompress(reinterpret_cast<std::uint8_t*>(text.data()), outLength, packed.data(),
                                  packed.size()))
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
