#pragma once
// Crafted compound files for the tests: no free writer lays out DIFAT
// chains, version-4 sectors or out-of-order FAT sectors on demand. The
// layout is header, filler data, an optional summary stream, the directory,
// the DIFAT sectors and the FAT sectors (or FAT before DIFAT), every sector
// marked used in the FAT, so the file's length is (sectors + 1) x sector size.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"

namespace oletest {

struct Prop {
    std::uint32_t id;
    std::uint32_t type;
    std::vector<std::uint8_t> value;  // the bytes after the type word
};

inline std::vector<std::uint8_t> Str8(const std::string& s) {
    std::vector<std::uint8_t> v(4);
    byteorder::PutLE32(v.data(), static_cast<std::uint32_t>(s.size() + 1));
    v.insert(v.end(), s.begin(), s.end());
    v.push_back(0);
    while (v.size() % 4) v.push_back(0);
    return v;
}
inline std::vector<std::uint8_t> Str16(const std::u16string& s) {
    std::vector<std::uint8_t> v(4);
    byteorder::PutLE32(v.data(), static_cast<std::uint32_t>(s.size() + 1));
    for (char16_t c : s) {
        v.push_back(static_cast<std::uint8_t>(c & 0xFF));
        v.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    v.push_back(0);
    v.push_back(0);
    while (v.size() % 4) v.push_back(0);
    return v;
}
inline std::vector<std::uint8_t> Time64(std::uint64_t ft) {
    std::vector<std::uint8_t> v(8);
    byteorder::PutLE64(v.data(), ft);
    return v;
}

// A crafted SummaryInformation stream: header, one section, the properties.
inline std::vector<std::uint8_t> SummaryStream(const std::vector<Prop>& props, std::uint16_t byteOrder = 0xFFFE) {
    std::vector<std::uint8_t> s(48, 0);
    byteorder::PutLE16(s.data(), byteOrder);
    byteorder::PutLE32(s.data() + 24, 1);
    byteorder::PutLE32(s.data() + 44, 48);
    std::vector<std::uint8_t> sec(8 + 8 * props.size(), 0);
    byteorder::PutLE32(sec.data() + 4, static_cast<std::uint32_t>(props.size()));
    for (std::size_t i = 0; i < props.size(); ++i) {
        byteorder::PutLE32(sec.data() + 8 + 8 * i, props[i].id);
        byteorder::PutLE32(sec.data() + 12 + 8 * i, static_cast<std::uint32_t>(sec.size()));
        std::vector<std::uint8_t> tv(4);
        byteorder::PutLE32(tv.data(), props[i].type);
        tv.insert(tv.end(), props[i].value.begin(), props[i].value.end());
        sec.insert(sec.end(), tv.begin(), tv.end());
    }
    byteorder::PutLE32(sec.data(), static_cast<std::uint32_t>(sec.size()));
    s.insert(s.end(), sec.begin(), sec.end());
    return s;
}

struct CfbSpec {
    int version = 3;
    std::vector<std::string> names = {"Root Entry", "WordDocument"};
    bool rootClsid = false;
    std::uint32_t dataSectors = 4;
    std::vector<std::uint8_t> summary;  // a SummaryInformation stream, sector aligned
    bool fatBeforeDifat = false;
};

struct Cfb {
    std::vector<std::uint8_t> bytes;
    std::uint32_t sectorSize = 512;
    std::uint32_t fatSectors = 0;
    std::uint32_t difatSectors = 0;
    std::uint32_t summarySector = 0;  // first sector of the summary stream (0 = none)
};

inline Cfb BuildCfb(const CfbSpec& spec) {
    Cfb out;
    const std::uint32_t ss = spec.version == 4 ? 4096 : 512;
    const std::uint32_t per = ss / 4;
    out.sectorSize = ss;
    const std::uint32_t summarySectors = static_cast<std::uint32_t>((spec.summary.size() + ss - 1) / ss);
    const std::uint32_t dirSectors = static_cast<std::uint32_t>((spec.names.size() * 128 + ss - 1) / ss);
    const std::uint32_t fixed = spec.dataSectors + summarySectors + dirSectors;
    std::uint32_t fat = 1, difat = 0;
    for (;;) {
        const std::uint32_t total = fixed + fat + difat;
        const std::uint32_t needFat = (total + per - 1) / per;
        const std::uint32_t needDifat = needFat > 109 ? (needFat - 109 + per - 2) / (per - 1) : 0;
        if (needFat == fat && needDifat == difat) break;
        fat = needFat;
        difat = needDifat;
    }
    const std::uint32_t total = fixed + fat + difat;
    const std::uint32_t dirAt = spec.dataSectors + summarySectors;
    const std::uint32_t afterDir = dirAt + dirSectors;
    const std::uint32_t fatAt = spec.fatBeforeDifat ? afterDir : afterDir + difat;
    const std::uint32_t difatAt = spec.fatBeforeDifat ? afterDir + fat : afterDir;
    out.fatSectors = fat;
    out.difatSectors = difat;
    out.summarySector = summarySectors ? spec.dataSectors : 0;

    out.bytes.assign(static_cast<std::size_t>(total + 1) * ss, 0);
    std::uint8_t* h = out.bytes.data();
    const std::uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(sig, sig + 8, h);
    byteorder::PutLE16(h + 0x18, 0x3E);
    byteorder::PutLE16(h + 0x1A, static_cast<std::uint16_t>(spec.version));
    byteorder::PutLE16(h + 0x1C, 0xFFFE);
    byteorder::PutLE16(h + 0x1E, spec.version == 4 ? 12 : 9);
    byteorder::PutLE16(h + 0x20, 6);
    byteorder::PutLE32(h + 0x2C, fat);
    byteorder::PutLE32(h + 0x30, dirAt);
    byteorder::PutLE32(h + 0x38, 0x1000);
    byteorder::PutLE32(h + 0x3C, 0xFFFFFFFE);
    byteorder::PutLE32(h + 0x44, difat ? difatAt : 0xFFFFFFFE);
    byteorder::PutLE32(h + 0x48, difat);
    for (std::uint32_t i = 0; i < 109; ++i) byteorder::PutLE32(h + 0x4C + 4 * i, i < fat ? fatAt + i : 0xFFFFFFFF);
    auto sector = [&](std::uint32_t n) { return out.bytes.data() + static_cast<std::size_t>(n + 1) * ss; };
    // DIFAT: FAT sectors 109.. in order, chained.
    std::uint32_t next = 109;
    for (std::uint32_t d = 0; d < difat; ++d) {
        std::uint8_t* s = sector(difatAt + d);
        for (std::uint32_t i = 0; i + 1 < per; ++i)
            byteorder::PutLE32(s + 4 * i, next < fat ? fatAt + next++ : 0xFFFFFFFF);
        byteorder::PutLE32(s + 4 * (per - 1), d + 1 < difat ? difatAt + d + 1 : 0xFFFFFFFE);
    }
    // FAT: every sector used (data chained), the rest free.
    for (std::uint32_t n = 0; n < fat * per; ++n) {
        std::uint32_t v = 0xFFFFFFFF;
        if (n >= fatAt && n < fatAt + fat)
            v = 0xFFFFFFFD;
        else if (n >= difatAt && n < difatAt + difat)
            v = 0xFFFFFFFC;
        else if (n < total)
            v = (n + 1 < dirAt + dirSectors && n + 1 != spec.dataSectors && n + 1 != dirAt) ? n + 1 : 0xFFFFFFFE;
        byteorder::PutLE32(sector(fatAt + n / per) + 4 * (n % per), v);
    }
    // Directory.
    for (std::size_t e = 0; e < spec.names.size(); ++e) {
        std::uint8_t* d = sector(dirAt) + 128 * e;
        const std::string& name = spec.names[e];
        for (std::size_t i = 0; i < name.size() && i < 31; ++i)
            byteorder::PutLE16(d + 2 * i, static_cast<std::uint8_t>(name[i]));
        byteorder::PutLE16(d + 0x40, static_cast<std::uint16_t>(2 * (std::min<std::size_t>(name.size(), 31) + 1)));
        d[0x42] = e == 0 ? 5 : 2;
        byteorder::PutLE32(d + 0x44, 0xFFFFFFFF);
        byteorder::PutLE32(d + 0x48, 0xFFFFFFFF);
        byteorder::PutLE32(d + 0x4C, e == 0 && spec.names.size() > 1 ? 1 : 0xFFFFFFFF);
        if (e == 0 && spec.rootClsid)
            for (int i = 0; i < 16; ++i) d[0x50 + i] = static_cast<std::uint8_t>(0x11 * (i + 1));
    }
    if (summarySectors) std::copy(spec.summary.begin(), spec.summary.end(), sector(spec.dataSectors));
    // Filler data that is not zero, so nothing ends early on a zero tail.
    for (std::uint32_t n = 0; n < spec.dataSectors; ++n)
        for (std::uint32_t i = 0; i < ss; ++i) sector(n)[i] = static_cast<std::uint8_t>(0x41 + (n + i) % 26);
    return out;
}

}  // namespace oletest
