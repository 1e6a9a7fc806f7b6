#pragma once
// Bit map of used space: the HFS+ deep searcher sets the bits of the space
// its volumes use, the raw search skips what is set. Bit i lives in byte i/8
// at bit position i%8 (least significant first).

#include <cstdint>

class TBitmap {
public:
    TBitmap() = default;
    ~TBitmap();
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    // 0 for a count below 1 (nothing changes) or when the array cannot be
    // allocated (the map is then empty); else a fresh all-clear map of
    // `bitCount` bits, each standing for `unit` sectors, and 1.
    int CreateBitmap(std::int64_t bitCount, std::uint32_t unit);
    int DestroyBitmap();
    // Sets (value != 0) or clears `count` bits from `index`, stopping at the
    // highest index. 0 when the index is outside the map, else 1.
    int SetBit(std::int64_t index, int value, std::uint32_t count);
    // Non-zero when the bit is set; 0 for clear bits and outside the map.
    int GetBit(std::int64_t index) const;
    // Every byte 0 when `clear` is non-zero, 0xFF when it is 0; 0 without map.
    int FillBitmap(int clear);

    std::uint8_t* GetBitmapData() const { return m_data; }
    std::uint64_t GetBitmapSize() const { return m_byteSize; }
    std::int64_t GetMaxBitIndex() const { return m_maxIndex; }
    // Sectors that one bit stands for.
    std::uint32_t GetUnit() const { return m_unit; }

private:
    std::uint8_t* m_data = nullptr;
    std::uint64_t m_byteSize = 0;
    std::int64_t m_maxIndex = 0;
    std::uint32_t m_unit = 1;
};
