#pragma once
// Little-endian writers for tests that build on-disk structures by hand,
// under the names the tests already use.

#include <cstdint>

#include "foundation/ByteOrder.h"

namespace quillory_test {

inline void Put16(std::uint8_t* p, std::uint16_t v) { byteorder::PutLE16(p, v); }
inline void Put32(std::uint8_t* p, std::uint32_t v) { byteorder::PutLE32(p, v); }
inline void Put64(std::uint8_t* p, std::uint64_t v) { byteorder::PutLE64(p, v); }

}  // namespace quillory_test
