// libFuzzer target: the LZVN decoder on arbitrary streams, with an output
// size taken from the first two bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "foundation/ByteOrder.h"
#include "hfsplus/LZVN.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t outSize = byteorder::LE16(data);
    std::vector<std::uint8_t> out(outSize);
    std::vector<std::uint8_t> src(data + 2, data + size);  // exact-size copy: overreads are caught
    std::size_t n = lzvn_decode(out.data(), out.size(), src.data(), src.size());
    if (n > outSize) __builtin_trap();
    return 0;
}
