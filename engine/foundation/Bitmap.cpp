#include "foundation/Bitmap.h"

#include <cstring>
#include <new>

TBitmap::~TBitmap() { DestroyBitmap(); }

int TBitmap::DestroyBitmap() {
    delete[] m_data;
    m_data = nullptr;
    m_byteSize = 0;
    m_maxIndex = 0;
    return 1;
}

int TBitmap::CreateBitmap(std::int64_t bitCount, std::uint32_t unit) {
    if (bitCount < 1) return 0;
    DestroyBitmap();
    const std::uint64_t bytes = (static_cast<std::uint64_t>(bitCount) + 7) / 8;
    m_data = new (std::nothrow) std::uint8_t[bytes];
    if (!m_data) return 0;
    std::memset(m_data, 0, bytes);
    m_byteSize = bytes;
    m_maxIndex = bitCount - 1;
    m_unit = unit;
    return 1;
}

int TBitmap::SetBit(std::int64_t index, int value, std::uint32_t count) {
    if (!m_data || index < 0 || index > m_maxIndex) return 0;
    std::int64_t last = index + static_cast<std::int64_t>(count) - 1;
    if (last > m_maxIndex) last = m_maxIndex;
    for (std::int64_t i = index; i <= last; ++i) {
        const std::uint8_t mask = static_cast<std::uint8_t>(1u << (i & 7));
        if (value)
            m_data[i >> 3] |= mask;
        else
            m_data[i >> 3] &= static_cast<std::uint8_t>(~mask);
    }
    return 1;
}

int TBitmap::GetBit(std::int64_t index) const {
    if (!m_data || index < 0 || index > m_maxIndex) return 0;
    return (m_data[index >> 3] >> (index & 7)) & 1;
}

int TBitmap::FillBitmap(int clear) {
    if (!m_data) return 0;
    std::memset(m_data, clear ? 0x00 : 0xFF, m_byteSize);
    return 1;
}
