// FAT12/16/32 tables from arbitrary bytes: header, body and chain tests, then
// chain walks bounded as the folder reader bounds them.
#include <cstdint>
#include <unordered_set>

#include "fat/FATTable.h"

namespace {
void Walk(IRealFATTable& t, std::uint32_t start) {
    std::unordered_set<std::uint32_t> seen;
    std::uint32_t c = start;
    while (c >= 2 && c < 0x0FFFFFF8 && seen.insert(c).second && seen.size() < 100000) c = t.GetNextCluster(c);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t kind = data[0] % 3;
    const std::uint8_t* bytes = data + 1;
    const std::size_t n = size - 1;
    if (kind == 0) {
        CFAT12Table t(nullptr, 0, 1, bytes, n);
        if (t.IsValidFATTable()) Walk(t, 2);
        for (std::uint32_t i = 0; i < 64; ++i) (void)t.GetNextCluster(i);
    } else if (kind == 1) {
        CFAT16Table t(nullptr, 0, 1, bytes, n);
        (void)t.IsValidFATTable();
        Walk(t, 2);
    } else {
        CFAT32Table t(nullptr, 0, 1, bytes, n);
        (void)t.IsValidFATTable();
        Walk(t, 2);
    }
    return 0;
}
