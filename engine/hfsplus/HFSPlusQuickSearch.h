#pragma once
// Quick search of one HFS+ volume, and the progress adapter its volume-level
// walks report through.

#include <cstdint>
#include <memory>

#include "foundation/Progress.h"

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

#include "foundation/SearcherInterfaces.h"

class CHFSPlusVolume;
class IStorageDevice;

// Holds one opened volume on behalf of a partition record, so the file
// writer and the restore can read through it later.
class CHFSPlusPrivateData {
public:
    explicit CHFSPlusPrivateData(CHFSPlusVolume* volume) : m_volume(volume) {}
    virtual ~CHFSPlusPrivateData();
    // Destroys the volume, keeps the holder.
    virtual void Release();
    CHFSPlusVolume* GetVolume() const { return m_volume; }

private:
    CHFSPlusVolume* m_volume = nullptr;
};

class CHFSPlusQuickFileSystemSearchController : public IQuickFileSystemSearchController {
public:
    CHFSPlusQuickFileSystemSearchController() = default;
    // Frees the opened volume: the partition records handed out point at it,
    // so it lives as long as the controller (the file writers are released
    // before their controller).
    ~CHFSPlusQuickFileSystemSearchController() override;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // One new record of the volume (the caller owns it); 1 also when max < 1.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int max) override;
    EngineResult QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

    CHFSPlusPrivateData* GetPrivateData() const { return m_privateData; }

private:
    IDirecotryTreeBuilder* m_builder = nullptr;
    CHFSPlusPrivateData* m_privateData = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_progress = nullptr;
    std::uint32_t m_blockSize = 0;
};
