// One 4096-byte APFS block through the object-header test, the object-map
// child collection and the file-system tree record reader.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "apfs/APFSFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> block(kAPFSBlockSize, 0);
    std::memcpy(block.data(), data, size < block.size() ? size : block.size());
    if (!IsPlausibleObjectHeader(0, block.data(), block.size())) return 0;
    std::vector<std::uint64_t> children;
    CollectObjectMapChildren(block.data(), block.size(), children);
    std::size_t names = 0;
    ReadFsTreeRecords(block.data(), block.size(), [&](const APFSRecord& r) {
        names += r.name.size();
        return true;
    });
    return names > (1u << 30) ? 1 : 0;
}
