#pragma once
// Loads and stores of little- and big-endian integers over raw bytes, and a
// bounds-checked view over a byte span. Disk and file buffers carry no
// alignment guarantee, so every access goes through memcpy; the compiler
// turns each into one load and, where needed, one byte swap.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace byteorder {

namespace detail {
template <typename T>
inline T Load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T>
inline void Store(void* p, T v) {
    std::memcpy(p, &v, sizeof v);
}
inline std::uint16_t Swap(std::uint16_t v) { return __builtin_bswap16(v); }
inline std::uint32_t Swap(std::uint32_t v) { return __builtin_bswap32(v); }
inline std::uint64_t Swap(std::uint64_t v) { return __builtin_bswap64(v); }
template <typename T>
inline T FromLE(T v) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
        return v;
    else
        return Swap(v);
}
template <typename T>
inline T FromBE(T v) {
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
        return v;
    else
        return Swap(v);
}
}  // namespace detail

inline std::uint8_t U8(const void* p) { return *static_cast<const std::uint8_t*>(p); }
inline std::uint16_t LE16(const void* p) { return detail::FromLE(detail::Load<std::uint16_t>(p)); }
inline std::uint32_t LE32(const void* p) { return detail::FromLE(detail::Load<std::uint32_t>(p)); }
inline std::uint64_t LE64(const void* p) { return detail::FromLE(detail::Load<std::uint64_t>(p)); }
inline std::uint16_t BE16(const void* p) { return detail::FromBE(detail::Load<std::uint16_t>(p)); }
inline std::uint32_t BE32(const void* p) { return detail::FromBE(detail::Load<std::uint32_t>(p)); }
inline std::uint64_t BE64(const void* p) { return detail::FromBE(detail::Load<std::uint64_t>(p)); }
// 24-bit fields (MP3 tag sizes, some chunk lengths) have no machine type.
inline std::uint32_t LE24(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16);
}
inline std::uint32_t BE24(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return (std::uint32_t{b[0]} << 16) | (std::uint32_t{b[1]} << 8) | b[2];
}

inline void PutLE16(void* p, std::uint16_t v) { detail::Store(p, detail::FromLE(v)); }
inline void PutLE32(void* p, std::uint32_t v) { detail::Store(p, detail::FromLE(v)); }
inline void PutLE64(void* p, std::uint64_t v) { detail::Store(p, detail::FromLE(v)); }
inline void PutBE16(void* p, std::uint16_t v) { detail::Store(p, detail::FromBE(v)); }
inline void PutBE32(void* p, std::uint32_t v) { detail::Store(p, detail::FromBE(v)); }
inline void PutBE64(void* p, std::uint64_t v) { detail::Store(p, detail::FromBE(v)); }

// A read-only view of `size` bytes that never reads past its end. Offsets
// and lengths taken from untrusted bytes go through it: an access out of
// range yields null, an empty view or false, never a read past the buffer.
class Span {
public:
    Span() = default;
    Span(const void* data, std::size_t size) : m_data(static_cast<const std::uint8_t*>(data)), m_size(size) {}

    const std::uint8_t* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    // True when [offset, offset + length) lies inside the view; written so
    // that no sum can wrap.
    bool Has(std::size_t offset, std::size_t length) const { return offset <= m_size && length <= m_size - offset; }
    // The bytes at [offset, offset + length), or null when out of range.
    const std::uint8_t* At(std::size_t offset, std::size_t length) const {
        return Has(offset, length) ? m_data + offset : nullptr;
    }
    // The view of [offset, offset + length); empty when out of range.
    Span Sub(std::size_t offset, std::size_t length) const {
        return Has(offset, length) ? Span(m_data + offset, length) : Span();
    }
    // The view from offset to the end; empty when past the end.
    Span From(std::size_t offset) const { return offset <= m_size ? Span(m_data + offset, m_size - offset) : Span(); }

    // Checked loads: false, with `out` left alone, when out of range.
    bool U8(std::size_t offset, std::uint8_t& out) const { return Get(offset, out, byteorder::U8); }
    bool LE16(std::size_t offset, std::uint16_t& out) const { return Get(offset, out, byteorder::LE16); }
    bool LE32(std::size_t offset, std::uint32_t& out) const { return Get(offset, out, byteorder::LE32); }
    bool LE64(std::size_t offset, std::uint64_t& out) const { return Get(offset, out, byteorder::LE64); }
    bool BE16(std::size_t offset, std::uint16_t& out) const { return Get(offset, out, byteorder::BE16); }
    bool BE32(std::size_t offset, std::uint32_t& out) const { return Get(offset, out, byteorder::BE32); }
    bool BE64(std::size_t offset, std::uint64_t& out) const { return Get(offset, out, byteorder::BE64); }

    // Loads that give 0 out of range, for fields where 0 is already the
    // value a caller treats as absent.
    std::uint16_t LE16Or0(std::size_t offset) const { return Has(offset, 2) ? byteorder::LE16(m_data + offset) : 0; }
    std::uint32_t LE32Or0(std::size_t offset) const { return Has(offset, 4) ? byteorder::LE32(m_data + offset) : 0; }
    std::uint64_t LE64Or0(std::size_t offset) const { return Has(offset, 8) ? byteorder::LE64(m_data + offset) : 0; }
    std::uint16_t BE16Or0(std::size_t offset) const { return Has(offset, 2) ? byteorder::BE16(m_data + offset) : 0; }
    std::uint32_t BE32Or0(std::size_t offset) const { return Has(offset, 4) ? byteorder::BE32(m_data + offset) : 0; }
    std::uint64_t BE64Or0(std::size_t offset) const { return Has(offset, 8) ? byteorder::BE64(m_data + offset) : 0; }

    // True when the bytes at offset equal `pattern` of `length` bytes.
    bool Matches(std::size_t offset, const void* pattern, std::size_t length) const {
        return Has(offset, length) && std::memcmp(m_data + offset, pattern, length) == 0;
    }

private:
    template <typename T, typename F>
    bool Get(std::size_t offset, T& out, F load) const {
        if (!Has(offset, sizeof(T))) return false;
        out = load(m_data + offset);
        return true;
    }

    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

}  // namespace byteorder
