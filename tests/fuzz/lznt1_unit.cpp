// libFuzzer target: LZNT1 decoding of one compression unit (any chunk
// headers, cut anywhere) and of single chunks with a limit from the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recovery/CompressFileReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int limit = data[0] | ((data[1] & 0x1F) << 8);
    std::vector<unsigned char> in(data + 2, data + size);  // exact size: over-reads are caught
    std::vector<unsigned char> out(static_cast<std::size_t>(limit) + 1);
    const int n = CCompressFileReader::DecompressBlock(out.data(), limit, in.data(), static_cast<int>(in.size()));
    if (n < 0 || n > limit || n > 4096) __builtin_trap();
    const std::int64_t unit = 16 * 4096;
    std::vector<unsigned char> decoded(static_cast<std::size_t>(unit));
    CCompressFileReader::DecompressUnit(in.data(), static_cast<std::int64_t>(in.size()), decoded.data(), unit);
    return 0;
}
