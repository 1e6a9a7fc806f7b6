#include "raw/qxutf8.h"

#include <cstdlib>
#include <vector>

std::size_t UTF8ToUNICODE(const std::uint8_t* utf8, std::size_t length, wchar_t* out, std::size_t outUnits) {
    if (utf8 == nullptr || out == nullptr) return 0;
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < length && units < outUnits) {
        const std::uint8_t lead = utf8[i];
        std::uint32_t cp;
        int extra;
        if (lead < 0x80) {
            cp = lead;
            extra = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
        } else {
            return 0;
        }
        if (i + 1 + static_cast<std::size_t>(extra) > length) break;  // cut by the end: keep what we have
        for (int k = 1; k <= extra; ++k) {
            const std::uint8_t c = utf8[i + static_cast<std::size_t>(k)];
            if ((c & 0xC0) != 0x80) return 0;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp >= 0x110000) return units < 33 ? 0 : units;
        out[units++] = static_cast<wchar_t>(cp);
        i += 1 + static_cast<std::size_t>(extra);
    }
    return units;
}

unsigned long UTF8ToANSI(const std::uint8_t* utf8, unsigned long length, char* out, unsigned long outLength) {
    if (utf8 == nullptr || out == nullptr || outLength == 0) return 0;
    out[0] = '\0';
    if (length == 0) return 0;
    std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1);
    const std::size_t units = UTF8ToUNICODE(utf8, length, wide.data(), length);
    if (units == 0) return 0;
    wide[units] = L'\0';
    // Room for every character at the locale's widest encoding: a cap of two
    // bytes per character would drop the tail of any text outside Latin-1.
    std::size_t cap = units * MB_CUR_MAX;
    if (cap > outLength - 1) cap = outLength - 1;
    const std::size_t written = std::wcstombs(out, wide.data(), cap);
    if (written == static_cast<std::size_t>(-1)) {
        out[0] = '\0';
        return 0;
    }
    out[written] = '\0';
    return static_cast<unsigned long>(written);
}
