#include "foundation/HugePageBuffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

void CHugePageBuffer::Assign(std::size_t bytes, bool zeroed) {
    Reset();
    if (bytes == 0) return;
    constexpr std::size_t kHugePage = 2u << 20;
    if (bytes > SIZE_MAX - kHugePage) return;
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    m_data.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kHugePage, rounded)));
    if (!m_data) return;
    madvise(m_data.get(), rounded, MADV_HUGEPAGE);
    if (zeroed) std::memset(m_data.get(), 0, bytes);
    m_size = bytes;
}
