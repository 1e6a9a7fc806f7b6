#include "raw/RawSearchState.h"

#include "foundation/Progress.h"

std::atomic<std::int64_t> CRawSearchState::s_rawCount{CRawSearchState::kFirstTagNodeId};

int CNotifyCenter::isContinue() { return m_progress == nullptr ? 1 : (m_progress->Continued() != 0 ? 1 : 0); }

CRawSearchState::CRawSearchState() : m_nameCounters(kNameCounters, 0) {}

void CRawSearchState::PreparetoSearch() {
    m_nextFolderId = kFirstFolderId;
    m_nameCounters.assign(kNameCounters, 0);
    m_windowOwner = 0;
    m_windowIndex = 0;
}

void CRawSearchState::ResetForTest() {
    PreparetoSearch();
    m_notify.Reset();
    m_deviceSectorSize = 512;
    m_endSignSectorSize = 0;
    s_rawCount.store(kFirstTagNodeId);
}

std::uint32_t CRawSearchState::NextNameNumber(std::uint32_t type) {
    if (type >= m_nameCounters.size()) return 0;
    return m_nameCounters[type]++;
}

void CRawSearchState::SetDeviceSectorSize(std::uint32_t sectorSize) {
    m_deviceSectorSize = (sectorSize != 0 && sectorSize % 512 == 0) ? sectorSize : 512;
}

std::uint8_t* CRawSearchState::WindowBuffer(std::uint32_t sectorSize) {
    if (!ValidSectorSize(sectorSize)) return nullptr;
    const std::size_t need = static_cast<std::size_t>(sectorSize) * (kWindowSectors + 1);
    if (m_window.size() < need) {
        m_window.assign(need, 0);
        m_windowOwner = 0;
    }
    return m_window.data();
}
