// Recycle-bin index files ("$I..."): the former name read from their bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "recovery/RecyclerFilter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string name = CRecyclerFilter::NameFromIndexData(bytes.data(), bytes.size());
    if (name.size() > 2048) __builtin_trap();
    return 0;
}
