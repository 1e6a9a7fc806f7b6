#pragma once
// Crafted ZIP archives for the tests: member by member, stored or raw
// deflated, with or without a data descriptor, with a Zip64 size field on
// demand. Real tools make the committed samples; these make the layouts the
// tests need at exact places (a core.xml past a block end, a member whose
// header lies about its size).

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"

namespace ziptest {

struct Member {
    std::string name;
    std::string data;
    bool deflate = true;
    bool descriptor = false;  // sizes after the data, zero in the header
};

inline std::string RawDeflate(const std::string& in) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, in.size()) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The archive; `offsets` receives each member's local header offset.
inline std::vector<std::uint8_t> BuildZip(const std::vector<Member>& members, const std::string& comment = "",
                                          std::vector<std::size_t>* offsets = nullptr) {
    std::vector<std::uint8_t> out, central;
    auto put16 = [](std::vector<std::uint8_t>& v, std::uint16_t x) {
        v.push_back(static_cast<std::uint8_t>(x));
        v.push_back(static_cast<std::uint8_t>(x >> 8));
    };
    auto put32 = [&](std::vector<std::uint8_t>& v, std::uint32_t x) {
        put16(v, static_cast<std::uint16_t>(x));
        put16(v, static_cast<std::uint16_t>(x >> 16));
    };
    for (const Member& m : members) {
        const std::string body = m.deflate ? RawDeflate(m.data) : m.data;
        const std::uint32_t crc =
            static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), m.data.size()));
        const std::uint32_t at = static_cast<std::uint32_t>(out.size());
        if (offsets) offsets->push_back(at);
        const std::uint16_t flags = m.descriptor ? 0x0008 : 0;
        const std::uint16_t method = m.deflate ? 8 : 0;
        put32(out, 0x04034B50);
        put16(out, 20);
        put16(out, flags);
        put16(out, method);
        put32(out, 0x50210000);
        put32(out, m.descriptor ? 0 : crc);
        put32(out, m.descriptor ? 0 : static_cast<std::uint32_t>(body.size()));
        put32(out, m.descriptor ? 0 : static_cast<std::uint32_t>(m.data.size()));
        put16(out, static_cast<std::uint16_t>(m.name.size()));
        put16(out, 0);
        out.insert(out.end(), m.name.begin(), m.name.end());
        out.insert(out.end(), body.begin(), body.end());
        if (m.descriptor) {
            put32(out, 0x08074B50);
            put32(out, crc);
            put32(out, static_cast<std::uint32_t>(body.size()));
            put32(out, static_cast<std::uint32_t>(m.data.size()));
        }
        put32(central, 0x02014B50);
        put16(central, 20);
        put16(central, 20);
        put16(central, flags);
        put16(central, method);
        put32(central, 0x50210000);
        put32(central, crc);
        put32(central, static_cast<std::uint32_t>(body.size()));
        put32(central, static_cast<std::uint32_t>(m.data.size()));
        put16(central, static_cast<std::uint16_t>(m.name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, at);
        central.insert(central.end(), m.name.begin(), m.name.end());
    }
    const std::uint32_t cdAt = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    put32(out, 0x06054B50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint16_t>(members.size()));
    put16(out, static_cast<std::uint16_t>(members.size()));
    put32(out, static_cast<std::uint32_t>(central.size()));
    put32(out, cdAt);
    put16(out, static_cast<std::uint16_t>(comment.size()));
    out.insert(out.end(), comment.begin(), comment.end());
    return out;
}

// A core.xml with the five properties, padded with `padding` bytes of text
// that does not compress (so its raw-deflated size is about the padding).
inline std::string CoreXml(const std::string& editor, const std::string& title, std::size_t padding = 0) {
    std::string pad;
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < padding; ++i) {
        x = x * 1103515245u + 12345u;
        pad += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"[(x >> 16) % 62];
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:dcterms=\"http://purl.org/dc/terms/\">"
           "<dc:title>" +
           title + "</dc:title><dc:creator>Ada Author</dc:creator><cp:lastModifiedBy>" + editor +
           "</cp:lastModifiedBy><dcterms:created>2010-01-15T08:30:05Z</dcterms:created>"
           "<dcterms:modified>2010-05-06T12:34:56Z</dcterms:modified><dc:description>" +
           pad + "</dc:description></cp:coreProperties>";
}

inline std::vector<Member> Docx(const std::string& core, bool descriptors = false) {
    return {{"[Content_Types].xml", "<Types/>", true, descriptors},
            {"_rels/.rels", "<Relationships/>", true, descriptors},
            {"docProps/core.xml", core, true, descriptors},
            {"word/_rels/document.xml.rels", "<Relationships/>", true, descriptors},
            {"word/document.xml", "<w:document/>", true, descriptors}};
}

}  // namespace ziptest
