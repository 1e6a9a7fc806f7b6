#pragma once
// Decoder of the LZVN format (the compression of decmpfs types 7 and 8).

#include <cstddef>

// Decodes `srcSize` bytes of LZVN into at most `dstSize` bytes of `dst` and
// returns the bytes produced. Every read of the source and every match
// distance is checked; on damaged input the bytes produced so far are
// returned. Decoding ends at the end-of-stream opcode, at the end of the
// source, or when `dst` is full.
std::size_t lzvn_decode(void* dst, std::size_t dstSize, const void* src, std::size_t srcSize);
