#pragma once
// One pass over plain XML: the small documents the analysers read (an Office
// document's core properties, a xar table of contents) are nearly always
// ASCII without entities, comments or CDATA, and building TinyXML's tree of
// one costs more than sizing the file. ScanPlainXml takes only text that
// TinyXML parses without error into the same elements and texts, and says
// false for anything else, which the caller then gives to TinyXML:
//   - the text up to its first zero byte (as TinyXML reads it) holds only
//     printable ASCII, tabs and line ends, and no '&';
//   - an optional "<?xml" declaration first, with version, encoding and
//     standalone attributes only;
//   - one root element, then only blanks;
//   - names as TinyXML reads them, quoted attribute values without '<',
//     each attribute once, end tags written "</name>";
//   - no comments, CDATA, DOCTYPE or processing instructions.
// The visitor hears Open(name) for each element, Text(begin, end) for each
// non-blank text node (raw, from its first non-blank byte to the next '<';
// TinyXML's node differs only in collapsed whitespace) and Close() at each
// element's end.

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace plainxml {

inline bool NameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
inline bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':'; }
inline bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

template <class Visitor>
bool ScanPlainXml(const char* s, Visitor& visitor) {
    const std::size_t n = std::strlen(s);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if ((c < 0x20 && !Blank(static_cast<char>(c))) || c > 0x7E || c == '&') return false;
    }
    const char* p = s;
    const char* const stop = s + n;
    auto skipBlank = [&] {
        while (p < stop && Blank(*p)) ++p;
    };
    auto readName = [&](std::string_view& name) {
        if (p >= stop || !NameStart(*p)) return false;
        const char* from = p;
        while (p < stop && NameChar(*p)) ++p;
        name = std::string_view(from, static_cast<std::size_t>(p - from));
        return true;
    };
    // name="value" or name='value'.
    auto readAttribute = [&](std::string_view& name) {
        if (!readName(name)) return false;
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
            std::string_view key;
            if (p == before || !readAttribute(key)) return false;
            if (key != "version" && key != "encoding" && key != "standalone") return false;
        }
        skipBlank();
    }
    if (p >= stop || *p != '<') return false;

    std::vector<std::string_view> open;
    std::vector<std::string_view> attributes;
    bool rootDone = false;
    while (!rootDone) {
        if (!open.empty()) {
            // Element content: blanks, then text or a tag.
            skipBlank();
            if (p >= stop) return false;
            if (*p != '<') {
                const char* text = p;
                while (p < stop && *p != '<') ++p;
                if (p >= stop) return false;
                visitor.Text(text, p);
                continue;
            }
        }
        // At '<'.
        if (stop - p >= 2 && p[1] == '/') {
            if (open.empty()) return false;
            const std::string_view name = open.back();
            p += 2;
            if (static_cast<std::size_t>(stop - p) < name.size() + 1 || std::memcmp(p, name.data(), name.size()) != 0 ||
                p[name.size()] != '>')
                return false;
            p += name.size() + 1;
            open.pop_back();
            visitor.Close();
            rootDone = open.empty();
            continue;
        }
        ++p;
        std::string_view name;
        if (!readName(name)) return false;
        // Attributes, each once, then ">" or "/>".
        attributes.clear();
        for (;;) {
            const char* before = p;
            skipBlank();
            if (p >= stop) return false;
            if (*p == '>' || *p == '/') break;
            std::string_view attribute;
            if (p == before || !readAttribute(attribute)) return false;
            // A repeated name stops TinyXML's parse of the element.
            if (std::find(attributes.begin(), attributes.end(), attribute) != attributes.end()) return false;
            attributes.push_back(attribute);
        }
        visitor.Open(name);
        if (*p == '/') {
            if (stop - p < 2 || p[1] != '>') return false;
            p += 2;
            visitor.Close();
            rootDone = open.empty();
            continue;
        }
        ++p;
        open.push_back(name);
    }
    skipBlank();
    return p == stop;
}

}  // namespace plainxml
