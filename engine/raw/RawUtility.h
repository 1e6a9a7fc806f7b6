#pragma once
// Byte helpers of the analysers: a bounded substring search, the EXIF-style
// loads in either byte order, a backwards magic search and the used length of
// a zero-padded buffer.

#include <cstdint>

// The first occurrence of the pattern inside the first `length` bytes, or
// null (null pointers, a length below 1 or a pattern longer than the buffer).
const std::uint8_t* Apimemstr(const std::uint8_t* buffer, int length, const std::uint8_t* pattern, int patternLength);

namespace BruteForce {

class RawUtility {
public:
    static std::uint32_t EXIF_Get32s(const std::uint8_t* p, bool littleEndian);
    static std::uint16_t EXIF_Get16s(const std::uint8_t* p, bool littleEndian);
    // The offset just after the last occurrence of magic that starts at or
    // before length - back (and ends inside the buffer), searched backwards;
    // 0 when there is none or length - back is negative. A position whose
    // byte is 0 never matches.
    static int FindMagicInBuffer(const std::uint8_t* buffer, int length, int back, const std::uint8_t* magic,
                                 int magicLength);
    // The used length of a zero-padded buffer: 0 when all zero, else found by
    // a binary search for the zero tail, whose answer counts one zero byte
    // more when the data ends at an odd position (harmless: one more zero
    // byte in a recovered text file).
    static int Binary_Compare(const std::uint8_t* buffer, int length);
};

}  // namespace BruteForce
