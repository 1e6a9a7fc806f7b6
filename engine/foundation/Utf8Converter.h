#pragma once
// Conversion to UTF-8 with iconv, without opening a converter for every
// string: opening one looks the character set up in the conversion module
// tables, which costs far more than converting a title or a tag. Each
// thread keeps the converters it opened and resets one to its initial state
// before every use, so each string converts exactly as with a fresh one.

#include <iconv.h>

#include <cstddef>

class CUtf8Converter {
public:
    // A converter from `charset`: the thread's own, or a fresh one where
    // state would carry over (a set whose byte order comes from a mark) or
    // the thread's is already in use.
    explicit CUtf8Converter(const char* charset);
    ~CUtf8Converter();
    CUtf8Converter(const CUtf8Converter&) = delete;
    CUtf8Converter& operator=(const CUtf8Converter&) = delete;

    // False when iconv does not know the set.
    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    // As iconv(3), errno included; (size_t)-1 with EBADF when not open.
    std::size_t Convert(char** in, std::size_t* inLeft, char** out, std::size_t* outLeft);

private:
    iconv_t m_cd = reinterpret_cast<iconv_t>(-1);
    bool m_owned = false;  // opened for this use only
    bool* m_busy = nullptr;  // the thread's entry, when borrowed
};
