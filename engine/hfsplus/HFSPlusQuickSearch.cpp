#include "hfsplus/HFSPlusQuickSearch.h"

#include <new>

CHFSPlusQuickFileSystemSearchProgress::CHFSPlusQuickFileSystemSearchProgress(IProgress* progress, bool quiet)
    : m_progress(progress), m_info(new (std::nothrow) _PROGRESS_INFO), m_quiet(quiet) {
    if (m_info) MakeProgressInfo(m_info.get(), PROGRESS_STATE_RUNNING, 0, 0);
}

CHFSPlusQuickFileSystemSearchProgress::~CHFSPlusQuickFileSystemSearchProgress() {
    if (!m_quiet && m_info && m_progress) {
        m_info->state = PROGRESS_STATE_FINISHED;
        m_progress->UpdateProgress(m_info.get());
    }
}

void CHFSPlusQuickFileSystemSearchProgress::UpdateProgress() {
    if (m_quiet || !m_info || !m_progress) return;
    m_info->current += 1;
    m_progress->UpdateProgress(m_info.get());
}

bool CHFSPlusQuickFileSystemSearchProgress::Continued() {
    return m_progress ? m_progress->Continued() != 0 : true;
}

void CHFSPlusQuickFileSystemSearchProgress::SetTotal(std::int64_t total) {
    if (m_info) m_info->total = total;
}
