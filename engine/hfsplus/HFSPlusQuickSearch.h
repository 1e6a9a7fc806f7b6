#pragma once
// Quick search of one HFS+ volume, and the progress adapter its volume-level
// walks report through.

#include <cstdint>
#include <memory>

#include "recovery/Progress.h"

// Counts found nodes into a progress record for the scan's progress sink.
class CHFSPlusQuickFileSystemSearchProgress {
public:
    // `progress` is borrowed and may be null; a quiet adapter never reports.
    CHFSPlusQuickFileSystemSearchProgress(IProgress* progress, bool quiet);
    // Unless quiet, sends the record once more with the finished state.
    ~CHFSPlusQuickFileSystemSearchProgress();
    CHFSPlusQuickFileSystemSearchProgress(const CHFSPlusQuickFileSystemSearchProgress&) = delete;
    CHFSPlusQuickFileSystemSearchProgress& operator=(const CHFSPlusQuickFileSystemSearchProgress&) = delete;

    // One more node: adds 1 to the current count and reports the record.
    void UpdateProgress();
    // The sink's answer (true without a sink).
    bool Continued();
    void SetTotal(std::int64_t total);
    const _PROGRESS_INFO* GetInfo() const { return m_info.get(); }

private:
    IProgress* m_progress = nullptr;
    std::unique_ptr<_PROGRESS_INFO> m_info;
    bool m_quiet = false;
};
