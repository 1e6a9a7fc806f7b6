#include "raw/OfficeTagFromXML.h"

#include <tinyxml.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

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

void OfficeTagFromXML::AnalyzeTag(FileProperty& out) {
    if (m_buffer[0] != '<' || m_buffer[1] != '?') return;
    m_buffer[kLimit] = 0;
    TiXmlDocument doc;
    doc.Parse(reinterpret_cast<const char*>(m_buffer.data()), nullptr, TIXML_ENCODING_UTF8);
    if (doc.Error() || doc.FirstChildElement() == nullptr) return;
    TiXmlHandle root = TiXmlHandle(&doc).FirstChildElement("cp:coreProperties");
    const struct {
        const char* element;
        std::string FileProperty::*field;
        bool time;
    } wanted[] = {
        {"dc:title", &FileProperty::m_title, false},
        {"dc:creator", &FileProperty::m_author, false},
        {"cp:lastModifiedBy", &FileProperty::m_lastAuthor, false},
        {"dcterms:created", &FileProperty::m_createTime, true},
        {"dcterms:modified", &FileProperty::m_lastSaveTime, true},
    };
    for (const auto& w : wanted) {
        const TiXmlElement* e = root.FirstChildElement(w.element).ToElement();
        const char* text = e ? e->GetText() : nullptr;
        if (text == nullptr) continue;
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
