#include "raw/SummaryInFormation.h"


#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Utf8Converter.h"

namespace {

// Converts with iconv; what was converted before a bad sequence is kept.
std::string Convert(const char* from, const std::uint8_t* data, std::size_t length, std::size_t outCapacity) {
    CUtf8Converter converter(from);
    if (!converter.IsOpen()) return std::string();
    std::vector<char> outBuf(outCapacity + 4);
    char* in = const_cast<char*>(reinterpret_cast<const char*>(data));
    std::size_t inLeft = length;
    char* out = outBuf.data();
    std::size_t outLeft = outCapacity;
    converter.Convert(&in, &inLeft, &out, &outLeft);
    std::string result(outBuf.data(), static_cast<std::size_t>(out - outBuf.data()));
    const std::size_t nul = result.find('\0');
    if (nul != std::string::npos) result.resize(nul);
    return result;
}

// Sequences of one to three bytes; one cut by the end still counts.
bool IsUtf8(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t c = p[i];
        std::size_t extra;
        if (c < 0x80)
            extra = 0;
        else if ((c & 0xE0) == 0xC0)
            extra = 1;
        else if ((c & 0xF0) == 0xE0)
            extra = 2;
        else
            return false;
        for (std::size_t k = 1; k <= extra && i + k < n; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += 1 + extra;
    }
    return true;
}

}  // namespace

std::string CSummaryInFormation::FilterFileTime(std::string time) {
    for (std::size_t i = 1; i < time.size(); ++i)
        if (time[i] == ':') time[i] = '-';
    return time;
}

void CSummaryInFormation::OperateString(std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    text.erase(0, first == std::string::npos ? text.size() : first);
    if (text.size() < 25) return;
    std::size_t cut = 24;
    // Back off continuation bytes so a multibyte character is kept whole or
    // dropped whole.
    while (cut > 0 && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
}

std::string CSummaryInFormation::FileTimeToText(std::uint64_t fileTime) {
    if (fileTime == 0) return std::string();
    // Straight from the FILETIME epoch to the Unix one with a 64-bit time_t:
    // shifting the year to fit a 32-bit clock puts dates a day out whenever
    // the shifted span holds another count of leap days.
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
    const std::int64_t seconds = static_cast<std::int64_t>(fileTime / 10000000ULL) - kSecondsFrom1601To1970;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02d-%02d-%02d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool CSummaryInFormation::IsDocumentInformation(const std::uint8_t* stream, PropertySetStream& header) {
    if (stream == nullptr || m_dataLength < kHeaderSize) return false;
    header.byteOrder = byteorder::LE16(stream);
    header.version = byteorder::LE16(stream + 2);
    header.systemId = byteorder::LE32(stream + 4);
    std::memcpy(header.classId, stream + 8, 16);
    header.setCount = byteorder::LE32(stream + 24);
    std::memcpy(header.formatId, stream + 28, 16);
    header.sectionOffset = byteorder::LE32(stream + 44);
    return header.byteOrder == 0xFFFE && header.version <= 1 && header.setCount >= 1 && header.setCount <= 2;
}

void CSummaryInFormation::GetDetailInformation(const std::uint8_t* stream, std::int64_t offset, int& codePage,
                                               std::string& out) {
    out.clear();
    if (stream == nullptr || offset < 0 || offset + 8 > m_dataLength) return;
    const std::uint8_t* value = stream + offset;
    const std::int64_t left = m_dataLength - offset - 4;  // bytes after the type word
    switch (byteorder::LE32(value)) {
    case VT_FILETIME:
        out = FileTimeToText(left >= 8 ? byteorder::LE64(value + 4) : 0);
        break;
    case VT_I2:
        codePage = static_cast<std::int16_t>(byteorder::LE16(value + 4));
        break;
    case VT_LPWSTR: {
        const std::uint64_t bytes = 2ULL * byteorder::LE32(value + 4);
        if (bytes > kMaxStringBytes || static_cast<std::int64_t>(bytes) > left - 4) return;
        out = Convert("UTF-16LE", value + 8, static_cast<std::size_t>(bytes), static_cast<std::size_t>(bytes) * 3 / 2);
        break;
    }
    case VT_LPSTR: {
        const std::uint32_t bytes = byteorder::LE32(value + 4);
        if (bytes > kMaxStringBytes || static_cast<std::int64_t>(bytes) > left - 4) return;
        const std::uint8_t* text = value + 8;
        if (IsUtf8(text, bytes)) {
            out.assign(reinterpret_cast<const char*>(text), bytes);
            const std::size_t nul = out.find('\0');
            if (nul != std::string::npos) out.resize(nul);
        } else {
            out = Convert("GBK", text, bytes, 2ULL * bytes);
        }
        OperateString(out);
        break;
    }
    default:
        break;
    }
}

int CSummaryInFormation::GetFileInformation(const std::uint8_t* stream, FileProperty& out, int length) {
    m_dataLength = length;
    PropertySetStream header;
    if (!IsDocumentInformation(stream, header)) return 0;
    const std::int64_t section = header.sectionOffset;
    if (section + 8 > m_dataLength) return 0;
    m_sectionSize = byteorder::LE32(stream + section);
    m_propertyCount = byteorder::LE32(stream + section + 4);
    if (m_propertyCount < 1) return 0;
    bool found = false;
    for (std::uint32_t i = 0; i < m_propertyCount; ++i) {
        if (i >= kMaxProperties) return 0;
        const std::int64_t pair = section + 8 + 8LL * i;
        if (pair + 8 > m_dataLength) return 0;
        const std::uint32_t id = byteorder::LE32(stream + pair);
        std::string* field = nullptr;
        switch (id) {
        case PID_TITLE:
            field = &out.m_title;
            break;
        case PID_AUTHOR:
            field = &out.m_author;
            break;
        case PID_LASTAUTHOR:
            field = &out.m_lastAuthor;
            break;
        case PID_CREATE_DTM:
            field = &out.m_createTime;
            break;
        case PID_LASTSAVE_DTM:
            field = &out.m_lastSaveTime;
            break;
        default:
            break;
        }
        if (field == nullptr) continue;
        int codePage = 0;
        std::string value;
        GetDetailInformation(stream, section + byteorder::LE32(stream + pair + 4), codePage, value);
        if (id == PID_CREATE_DTM || id == PID_LASTSAVE_DTM) value = FilterFileTime(value);
        *field = value;
        if (!value.empty()) found = true;
    }
    return found ? 1 : 0;
}
