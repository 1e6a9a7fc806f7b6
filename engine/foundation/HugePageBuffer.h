#pragma once
// Large buffers that are filled once and read through: 2 MiB-aligned, so the
// kernel may back them with huge pages. On some virtual machines the first
// touch of every 4 KiB page costs more than copying it several times, and a
// deep scan's buffers are many megabytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

class CHugePageBuffer {
public:
    CHugePageBuffer() = default;
    // A buffer moved from is left empty.
    CHugePageBuffer(CHugePageBuffer&& other) noexcept
        : m_data(std::move(other.m_data)), m_size(std::exchange(other.m_size, 0)) {}
    CHugePageBuffer& operator=(CHugePageBuffer&& other) noexcept {
        m_data = std::move(other.m_data);
        m_size = std::exchange(other.m_size, 0);
        return *this;
    }

    // Empty when the memory cannot be had. Without `zeroed` the bytes are
    // left as they come, untouched.
    void Assign(std::size_t bytes, bool zeroed = true);
    void Reset() {
        m_data.reset();
        m_size = 0;
    }
    std::uint8_t* data() const { return m_data.get(); }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    explicit operator bool() const { return !empty(); }

private:
    struct Free {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t[], Free> m_data;
    std::size_t m_size = 0;
};
