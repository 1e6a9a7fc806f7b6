#include "foundation/DataRun.h"

#include <new>

DataRun* CDataRunList::GetFirst() {
    if (m_runs.empty()) {
        m_cursor = kNoCursor;
        return nullptr;
    }
    m_cursor = 0;
    return &m_runs[0];
}

DataRun* CDataRunList::GetNext() {
    if (m_cursor == kNoCursor) return nullptr;
    if (++m_cursor >= m_runs.size()) {
        m_cursor = kNoCursor;
        return nullptr;
    }
    return &m_runs[m_cursor];
}

int CDataRunList::IsDone() { return m_cursor == kNoCursor || m_cursor >= m_runs.size() ? 1 : 0; }

IDataRunList* CDataRunList::Clone() {
    CDataRunList* copy = new (std::nothrow) CDataRunList;
    if (!copy) return nullptr;
    for (const DataRun& run : m_runs) copy->AddDataRun(&run);
    return copy;
}

void CDataRunList::AddDataRun(const DataRun* run) {
    if (!run) return;
    if (!m_runs.empty()) {
        DataRun& last = m_runs.back();
        // Starts and lengths come from disk: an end that overflows is no
        // continuation.
        std::int64_t end = 0;
        if (last.start >= 0 && run->start >= 0 && !__builtin_add_overflow(last.start, last.length, &end) &&
            end == run->start) {
            std::int64_t length = 0;
            if (!__builtin_add_overflow(last.length, run->length, &length)) {
                last.length = length;
                return;
            }
        }
    }
    m_runs.push_back(*run);
}

IDataRunList* CreateDataRunList() { return new (std::nothrow) CDataRunList; }
