#include "raw/RawUtility.h"

#include <cstring>

#include "foundation/ByteOrder.h"

const std::uint8_t* Apimemstr(const std::uint8_t* buffer, int length, const std::uint8_t* pattern, int patternLength) {
    if (buffer == nullptr || pattern == nullptr || length < 1 || patternLength < 1 || patternLength > length)
        return nullptr;
    const std::uint8_t* end = buffer + (length - patternLength) + 1;
    for (const std::uint8_t* p = buffer; p < end;) {
        p = static_cast<const std::uint8_t*>(std::memchr(p, pattern[0], static_cast<std::size_t>(end - p)));
        if (p == nullptr) return nullptr;
        if (std::memcmp(p, pattern, static_cast<std::size_t>(patternLength)) == 0) return p;
        ++p;
    }
    return nullptr;
}

namespace BruteForce {

std::uint32_t RawUtility::EXIF_Get32s(const std::uint8_t* p, bool littleEndian) {
    if (p == nullptr) return 0;
    return littleEndian ? byteorder::LE32(p) : byteorder::BE32(p);
}

std::uint16_t RawUtility::EXIF_Get16s(const std::uint8_t* p, bool littleEndian) {
    if (p == nullptr) return 0;
    return littleEndian ? byteorder::LE16(p) : byteorder::BE16(p);
}

int RawUtility::FindMagicInBuffer(const std::uint8_t* buffer, int length, int back, const std::uint8_t* magic,
                                  int magicLength) {
    if (buffer == nullptr || magic == nullptr || length < 1 || magicLength < 1 || back < 0) return 0;
    int last = length - back;
    if (last < 0) return 0;
    // A match must end inside the buffer.
    if (last > length - magicLength) last = length - magicLength;
    if (last < 0 || magic[0] == 0) return 0;
    // Candidates come from memrchr on one byte of the magic, the last one
    // that is not blank: text formats end in markers such as "  0\nEOF\n",
    // whose spaces and line ends fill the text around them.
    int anchor = magicLength - 1;
    while (anchor > 0 && (magic[anchor] == ' ' || magic[anchor] == '\n' || magic[anchor] == '\r' ||
                          magic[anchor] == '\t' || magic[anchor] == 0))
        --anchor;
    const std::uint8_t key = magic[anchor];
    const std::uint8_t* from = buffer + anchor;
    std::size_t span = static_cast<std::size_t>(last) + 1;  // candidate starts 0..last
    while (span > 0) {
        const void* hit = memrchr(from, key, span);
        if (hit == nullptr) return 0;
        const int i = static_cast<int>(static_cast<const std::uint8_t*>(hit) - from);
        if (std::memcmp(buffer + i, magic, static_cast<std::size_t>(magicLength)) == 0) return i + magicLength;
        span = static_cast<std::size_t>(i);
    }
    return 0;
}

int RawUtility::Binary_Compare(const std::uint8_t* buffer, int length) {
    if (buffer == nullptr || length < 1) return 0;
    auto zeroFrom = [&](int from) {
        for (int i = from; i < length; ++i)
            if (buffer[i] != 0) return false;
        return true;
    };
    if (zeroFrom(0)) return 0;
    int low = 0, high = length, last = 0;
    while (low < high - 1) {
        const int middle = low + (high - low) / 2;
        last = middle;
        if (zeroFrom(middle))
            high = middle;
        else
            low = middle;
    }
    return last + 1;
}

}  // namespace BruteForce
