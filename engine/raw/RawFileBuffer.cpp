#include "raw/RawFileBuffer.h"

#include <algorithm>
#include <cstring>

#include "foundation/StorageDevice.h"
#include "raw/BufferStorageDevice.h"
#include "raw/RawSearchState.h"
#include "raw/RawUtility.h"

std::int64_t RealTotalSectors(IStorageDevice* device) {
    if (device == nullptr) return 0;
    if (auto* ring = dynamic_cast<CBufferStorageDevice*>(device)) return RealTotalSectors(ring->GetRealDevice());
    return device->GetTotalSectors();
}

RawFileBuffer::RawFileBuffer(IStorageDevice* device, std::uint64_t startSector, CRawSearchState* state)
    : m_device(device), m_startSector(startSector), m_state(state) {
    if (m_device == nullptr) return;
    m_ring = dynamic_cast<CBufferStorageDevice*>(m_device);
    // Taken from this device every time: a process may scan devices of
    // different sector sizes one after the other.
    m_sectorSize = m_device->GetSectorSize();
    m_windowSize = CRawSearchState::ValidSectorSize(m_sectorSize) ? m_sectorSize * CRawSearchState::kWindowSectors : 0;
    if (m_state) m_serial = m_state->NewReaderSerial();
    m_totalSectors = RealTotalSectors(m_device);
    if (m_totalSectors > 0 && m_startSector < static_cast<std::uint64_t>(m_totalSectors))
        m_bytesOnDevice = (static_cast<std::uint64_t>(m_totalSectors) - m_startSector) * m_sectorSize;
}

std::uint8_t* RawFileBuffer::Buffer() {
    if (m_state) return m_state->WindowBuffer(m_sectorSize);
    const std::size_t need = static_cast<std::size_t>(m_sectorSize) * (CRawSearchState::kWindowSectors + 1);
    if (m_own.size() < need) m_own.assign(need, 0);
    return m_own.data();
}

bool RawFileBuffer::Loaded(std::uint64_t window) const {
    if (m_window != window) return false;
    if (m_held) return m_ring->Generation() == m_heldGeneration;
    return m_state == nullptr || m_state->WindowLoadedBy(m_serial, window);
}

bool RawFileBuffer::Load(std::uint8_t* buffer, std::uint64_t window) {
    const std::uint64_t sectors = CRawSearchState::kWindowSectors;
    if (window > (static_cast<std::uint64_t>(INT64_MAX) - m_startSector) / sectors) return false;
    const std::uint64_t first = m_startSector + window * sectors;
    const std::size_t bytes = static_cast<std::size_t>(m_sectorSize) * (sectors + 1);
    // A whole read fills every byte; after a failed or short one the buffer
    // is zeroed, so that sectors it leaves out never show an older window's
    // bytes.
    if (m_device->ReadSector(buffer, static_cast<std::int64_t>(first), static_cast<std::int64_t>(sectors + 1)) == 1)
        return true;
    // The window may run past the device's end: read what is left of it.
    const std::int64_t total = m_totalSectors;
    if (total <= 0 || first >= static_cast<std::uint64_t>(total)) return false;
    const std::int64_t count =
        std::min<std::int64_t>(static_cast<std::int64_t>(sectors + 1), total - static_cast<std::int64_t>(first));
    std::memset(buffer, 0, bytes);
    if (count <= 0) return false;
    if (m_device->ReadSector(buffer, static_cast<std::int64_t>(first), count) == 1) return true;
    std::memset(buffer, 0, bytes);
    return false;
}

std::uint8_t* RawFileBuffer::GetRawFileBuffer(std::uint64_t byteOffset) {
    if (m_state && !m_state->NotifyCenter().isContinue()) return nullptr;
    // Bytes past the device's end are never offered, even where a device
    // answers a read that straddles its end with zeros.
    if (m_device == nullptr || m_windowSize == 0 || byteOffset >= m_bytesOnDevice) return nullptr;
    const std::uint64_t window = byteOffset / m_windowSize;
    std::uint8_t* buffer = Buffer();
    if (buffer == nullptr) return nullptr;
    if (!Loaded(window)) {
        m_window = UINT64_MAX;
        m_held = nullptr;
        const std::uint64_t sectors = CRawSearchState::kWindowSectors;
        if (m_ring && window <= (static_cast<std::uint64_t>(INT64_MAX) - m_startSector) / sectors) {
            // The same bytes a read from the ring would copy, where the
            // ring holds the window and its spare sector in one piece.
            m_held = m_ring->HeldSectors(static_cast<std::int64_t>(m_startSector + window * sectors),
                                         static_cast<std::int64_t>(sectors + 1));
            if (m_held) m_heldGeneration = m_ring->Generation();
        }
        if (m_held == nullptr) {
            if (m_state) m_state->SetWindowOwner(0, 0);
            if (!Load(buffer, window)) return nullptr;
            if (m_state) m_state->SetWindowOwner(m_serial, window);
        }
        m_window = window;
    }
    const std::uint8_t* base = m_held ? m_held : buffer;
    // Nobody writes through the window; the type is the readers' old one.
    return const_cast<std::uint8_t*>(base) + byteOffset % m_windowSize;
}

bool WindowReader::Read(std::uint64_t offset, std::size_t length, void* dst) {
    if (offset > m_buffer.BytesOnDevice() || length > m_buffer.BytesOnDevice() - offset) return false;
    auto* out = static_cast<std::uint8_t*>(dst);
    while (length > 0) {
        const std::uint8_t* p = m_buffer.GetRawFileBuffer(offset);
        if (p == nullptr) return false;
        const std::size_t inWindow = m_buffer.WindowSize() - static_cast<std::size_t>(offset % m_buffer.WindowSize());
        const std::size_t n = std::min(inWindow, length);
        std::memcpy(out, p, n);
        out += n;
        offset += n;
        length -= n;
    }
    return true;
}

std::int64_t WindowReader::Find(std::uint64_t from, std::uint64_t limit, const std::uint8_t* pattern,
                                std::size_t length) {
    if (pattern == nullptr || length == 0 || limit == 0) return -1;
    // The whole pattern must lie on the device.
    const std::uint64_t onDevice = m_buffer.BytesOnDevice();
    if (from >= onDevice || length > onDevice - from) return -1;
    limit = std::min<std::uint64_t>(limit, onDevice - length + 1 - from);
    const std::uint64_t end = from + limit;  // starts allowed below this
    std::uint64_t pos = from;
    while (pos < end) {
        const std::uint8_t* p = m_buffer.GetRawFileBuffer(pos);
        if (p == nullptr || length > m_buffer.SectorSize()) return -1;
        const std::size_t inWindow = m_buffer.WindowSize() - static_cast<std::size_t>(pos % m_buffer.WindowSize());
        const std::uint64_t starts = std::min<std::uint64_t>(inWindow, end - pos);
        // The spare sector after the window holds the tail of a pattern that
        // starts in the window's last bytes.
        const std::size_t span = static_cast<std::size_t>(starts) + length - 1;
        const std::uint8_t* q = Apimemstr(p, static_cast<int>(span), pattern, static_cast<int>(length));
        if (q != nullptr) return static_cast<std::int64_t>(pos + static_cast<std::uint64_t>(q - p));
        pos += starts;
    }
    return -1;
}
