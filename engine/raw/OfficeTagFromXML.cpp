#include "raw/OfficeTagFromXML.h"

#include <tinyxml.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "raw/analysers/PlainXml.h"
#include "raw/qxutf8.h"

namespace Tessel {

std::string OfficeTagFromXML::FilterFileTime(std::string time) {
    for (std::size_t i = 0; i < time.size(); ++i) {
        const char c = time[i];
        if (i > 0 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
            time[i] = ' ';
        else if (c == ':')
            time[i] = '-';
    }
    return time;
}

bool OfficeTagFromXML::bDepress(const std::uint8_t* data, const tagZipLocalFileHeader& header) {
    // Only what the last member wrote needs clearing: the XML must end at
    // this member's own bytes.
    std::fill(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_written), 0);
    m_written = 0;
    const std::uint32_t csize = header.CompressedSize();
    const std::uint32_t usize = header.UncompressedSize();
    if (data == nullptr || usize > kLimit || csize > kLimit) return false;
    if (header.Method() == 0) {
        // Stored: the bytes are the XML.
        m_written = std::min(csize, usize);
        std::memcpy(m_buffer.data(), data, m_written);
        return true;
    }
    z_stream* z = m_inflater.Start();
    if (z == nullptr) return false;
    z->next_in = const_cast<Bytef*>(data);
    z->avail_in = csize;
    z->next_out = m_buffer.data();
    z->avail_out = usize;
    // Inflate writes no further than the room it was given.
    m_written = usize;
    return inflate(z, Z_NO_FLUSH) >= 0;
}

namespace {

struct Wanted {
    const char* element;
    std::string FileProperty::*field;
    bool time;
};
constexpr std::size_t kWanted = 5;
const Wanted kWantedElements[kWanted] = {
    {"dc:title", &FileProperty::m_title, false},
    {"dc:creator", &FileProperty::m_author, false},
    {"cp:lastModifiedBy", &FileProperty::m_lastAuthor, false},
    {"dcterms:created", &FileProperty::m_createTime, true},
    {"dcterms:modified", &FileProperty::m_lastSaveTime, true},
};
constexpr char kRootElement[] = "cp:coreProperties";

// The texts TinyXML's walk in AnalyzeTag reads, as the elements go by: the
// first child text of the first child element of each wanted name, under a
// root named cp:coreProperties. A text is kept with its whitespace
// collapsed as TinyXML gives it: blank runs become one space, none at
// either end.
class CoreVisitor {
public:
    void Open(std::string_view name) {
        Frame e;
        if (m_depth == 0) {
            e.root = name == kRootElement;
        } else if (m_depth <= kFrames) {
            Frame& parent = m_open[m_depth - 1];
            parent.hasChild = true;
            if (parent.root)
                for (std::size_t k = 0; k < kWanted; ++k)
                    if (!m_seen[k] && name == kWantedElements[k].element) {
                        m_seen[k] = true;
                        e.wanted = static_cast<int>(k);
                        break;
                    }
        }
        if (m_depth < kFrames) m_open[m_depth] = e;
        ++m_depth;
    }
    void Text(const char* begin, const char* end) {
        if (m_depth == 0 || m_depth > kFrames) return;
        Frame& o = m_open[m_depth - 1];
        if (o.hasChild) return;
        o.hasChild = true;
        if (o.wanted < 0) return;
        std::string& text = m_text[o.wanted];
        m_found[o.wanted] = true;
        bool blank = false;
        for (const char* c = begin; c < end; ++c) {
            if (plainxml::Blank(*c)) {
                blank = true;
                continue;
            }
            if (blank) text += ' ';
            blank = false;
            text += *c;
        }
    }
    void Close() { --m_depth; }
    const std::string* Text(std::size_t k) const { return m_found[k] ? &m_text[k] : nullptr; }

private:
    // Only the root and its children matter; deeper elements are counted.
    static constexpr std::size_t kFrames = 2;
    struct Frame {
        bool root = false;
        bool hasChild = false;
        int wanted = -1;
    };
    Frame m_open[kFrames];
    std::size_t m_depth = 0;
    bool m_seen[kWanted] = {};
    bool m_found[kWanted] = {};
    std::string m_text[kWanted];
};

}  // namespace

void OfficeTagFromXML::AnalyzeTag(FileProperty& out) {
    if (m_buffer[0] != '<' || m_buffer[1] != '?') return;
    m_buffer[kLimit] = 0;
    const char* xml = reinterpret_cast<const char*>(m_buffer.data());
    const char* texts[kWanted] = {};
    CoreVisitor visitor;
    std::optional<TiXmlDocument> doc;  // holds the texts when it parsed them
    if (plainxml::ScanPlainXml(xml, visitor)) {
        for (std::size_t k = 0; k < kWanted; ++k)
            if (const std::string* t = visitor.Text(k)) texts[k] = t->c_str();
    } else {
        doc.emplace();
        doc->Parse(xml, nullptr, TIXML_ENCODING_UTF8);
        if (doc->Error() || doc->FirstChildElement() == nullptr) return;
        TiXmlHandle root = TiXmlHandle(&*doc).FirstChildElement(kRootElement);
        for (std::size_t k = 0; k < kWanted; ++k) {
            const TiXmlElement* e = root.FirstChildElement(kWantedElements[k].element).ToElement();
            texts[k] = e ? e->GetText() : nullptr;
        }
    }
    for (std::size_t k = 0; k < kWanted; ++k) {
        const char* text = texts[k];
        if (text == nullptr) continue;
        const Wanted& w = kWantedElements[k];
        const std::size_t length = std::strlen(text);
        char converted[1024] = {};
        if (length < sizeof converted)
            UTF8ToANSI(reinterpret_cast<const std::uint8_t*>(text), length, converted, sizeof converted);
        if (converted[0] == '\0') continue;
        out.*w.field = w.time ? FilterFileTime(converted) : std::string(converted);
    }
}

int OfficeTagFromXML::GetOfficeTagFromXML(const SectorView& view, std::uint64_t headerAbs,
                                          const tagZipLocalFileHeader& header, FileProperty& out, int& needMore) {
    needMore = 0;
    const std::uint32_t csize = header.CompressedSize();
    const std::uint32_t usize = header.UncompressedSize();
    if (csize == 0 || usize == 0 || csize >= kLimit || usize >= kLimit) return 0;
    if (header.Method() != 0 && header.Method() != 8) return 0;
    // The header must still be held: after a block that was not the one
    // before, the buffer's lower half holds other sectors.
    if (view.at(headerAbs, 30) == nullptr) return 0;
    const std::uint64_t dataAbs = headerAbs + 30 + header.NameLength() + header.ExtraLength();
    const std::uint8_t* data = view.at(dataAbs, csize);
    if (data == nullptr) {
        needMore = dataAbs + csize > view.endByte() ? 1 : 0;
        return 0;
    }
    if (!bDepress(data, header)) return 0;
    AnalyzeTag(out);
    return 1;
}

}  // namespace Tessel
