#pragma once
// UTF-8 to the locale's multibyte text, for document metadata that arrives
// as UTF-8 (Office Open XML) and must become a file name.

#include <cstddef>
#include <cstdint>

// Decodes well-formed UTF-8 into code points (one unit per character, never
// surrogate halves: wchar_t is 32 bits here and the C library refuses
// surrogates). Returns the units written; 0 when a lead or continuation byte
// is malformed. A sequence cut by the end of the input ends the decoding
// with what was decoded. A code point of 0x110000 or more ends it too, and
// then fewer than 33 units count as failure.
std::size_t UTF8ToUNICODE(const std::uint8_t* utf8, std::size_t length, wchar_t* out, std::size_t outUnits);

// The UTF-8 input as text of the current locale (LC_CTYPE), NUL-terminated in
// `out`; returns the bytes written without the NUL, 0 on failure. Under a
// UTF-8 locale this is a validated copy.
unsigned long UTF8ToANSI(const std::uint8_t* utf8, unsigned long length, char* out, unsigned long outLength);
