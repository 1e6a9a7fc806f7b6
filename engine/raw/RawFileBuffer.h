#pragma once
// Reading a found file at any byte offset: RawFileBuffer loads a window of
// 128 sectors (and one sector to spare, so a structure that starts in the
// window's last sector reads without a reload); WindowReader adds reads and
// searches that span windows. Every look at bytes before a window's first
// sector goes through WindowReader, which reloads instead of reading before
// the buffer.

#include <cstddef>
#include <cstdint>
#include <vector>

class IStorageDevice;
class CRawSearchState;
class CBufferStorageDevice;

class RawFileBuffer {
public:
    // With a search state the window lives in the state's buffer (allocated
    // once per search); without one the reader allocates its own.
    RawFileBuffer(IStorageDevice* device, std::uint64_t startSector, CRawSearchState* state = nullptr);

    // The file's byte at `byteOffset` (counted from the start sector), valid
    // until the next call that loads another window; the window's remaining
    // bytes and one sector more follow it. Null when the search was stopped,
    // the device's sector size cannot be held, the offset lies past the
    // device, or the read failed after the tail retry. The bytes are
    // read-only: over the raw search's ring of recent blocks they are the
    // ring's own, not a copy.
    std::uint8_t* GetRawFileBuffer(std::uint64_t byteOffset);

    // Bytes of the window (128 sectors; 0x10000 without a device).
    std::uint32_t WindowSize() const { return m_windowSize; }
    std::uint32_t SectorSize() const { return m_sectorSize; }
    IStorageDevice* Device() const { return m_device; }
    std::uint64_t StartSector() const { return m_startSector; }
    CRawSearchState* State() const { return m_state; }
    // Bytes of the file's span that lie on the device (from the start sector
    // to the device's end).
    std::uint64_t BytesOnDevice() const { return m_bytesOnDevice; }
    // Bytes readable from GetRawFileBuffer(byteOffset): to the window's end
    // plus the spare sector.
    std::size_t AvailableAt(std::uint64_t byteOffset) const {
        return m_windowSize == 0 ? 0
                                 : m_windowSize + m_sectorSize - static_cast<std::size_t>(byteOffset % m_windowSize);
    }

private:
    std::uint8_t* Buffer();
    bool Loaded(std::uint64_t window) const;
    bool Load(std::uint8_t* buffer, std::uint64_t window);

    IStorageDevice* m_device;
    std::uint64_t m_startSector;
    std::uint64_t m_window = UINT64_MAX;  // loaded window, none yet
    std::uint32_t m_windowSize = 0x10000;
    std::uint32_t m_sectorSize = 0;
    CRawSearchState* m_state;
    std::uint64_t m_serial = 0;
    std::int64_t m_totalSectors = 0;
    std::uint64_t m_bytesOnDevice = 0;
    std::vector<std::uint8_t> m_own;
    // A window the ring holds whole is used in place, without a copy.
    CBufferStorageDevice* m_ring = nullptr;
    const std::uint8_t* m_held = nullptr;  // the window in the ring, or null
    std::uint64_t m_heldGeneration = 0;
};

class WindowReader {
public:
    WindowReader(IStorageDevice* device, std::uint64_t startSector, CRawSearchState* state = nullptr)
        : m_buffer(device, startSector, state) {}

    RawFileBuffer& Buffer() { return m_buffer; }
    // The window pointer, as RawFileBuffer gives it.
    std::uint8_t* At(std::uint64_t byteOffset) { return m_buffer.GetRawFileBuffer(byteOffset); }
    // Copies `length` bytes from the file's `offset` to dst, across windows;
    // false when any of them cannot be read.
    bool Read(std::uint64_t offset, std::size_t length, void* dst);
    // The first file offset in [from, from + limit) where the pattern starts,
    // or -1. Patterns up to one sector long; a failed read ends the search.
    std::int64_t Find(std::uint64_t from, std::uint64_t limit, const std::uint8_t* pattern, std::size_t length);

private:
    RawFileBuffer m_buffer;
};

// The total sectors of the device behind `device`: the real device's for the
// raw search's ring of recent blocks (which reports only what it holds).
std::int64_t RealTotalSectors(IStorageDevice* device);
