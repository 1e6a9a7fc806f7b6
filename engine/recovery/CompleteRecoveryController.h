// The deep scan: every block of the device, read once through the read-ahead
// cache, goes to the deep searchers of every file system and to the raw search.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "foundation/Bitmap.h"
#include "foundation/SearcherInterfaces.h"
#include "recovery/DeletedRecoveryController.h"
#include "recovery/RecoveryController.h"

class CStorageDeviceWithCache;

constexpr EngineResult kDeepScanNullArgument = 0x104004500000403ull;
constexpr EngineResult kDeepScanNoBuilder = 0x104005500000004ull;
constexpr EngineResult kDeepScanBuilderRefused = 0x104005800000001ull;
constexpr EngineResult kDeepScanNoSearcher = 0x104008E00000402ull;
constexpr EngineResult kSearchDataNoSinkOrCache = 0x10400F800000005ull;
constexpr EngineResult kSearchDataBadRange = 0x10400FB00000403ull;

// Sectors per deep-scan block: 4 MiB of them (512-byte sectors when the device
// reports none), 8,192 when that gives 0.
int DeepScanBlockSectors(uint32_t sectorSize);

class CCompleteRecoveryController : public IRecoveryController {
public:
    CCompleteRecoveryController() = default;
    ~CCompleteRecoveryController() override;

    _RECOVERY_CONTROLLER_TYPE thisType() override { return RECOVERY_CONTROLLER_DEEP_VOLUME; }
    int Initialize(IRecoveryFilter* filter) override;
    EngineResult StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) override;
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override;
    void Release() override { delete this; }

    // Creates the deep searchers in their fixed order and configures them.
    void InitializeSearcher(std::vector<_SEARCHER_INFO>& list, IStorageDevice* device, int blockSectors);
    // Feeds blocks [first / block, last / block] to every searcher. 0 also
    // when the user stopped the walk.
    EngineResult SearchData(int64_t firstSector, int64_t lastSector, IProgress* progress);
    // Ends every searcher of the list, also after a stop: each shows what it
    // found before the stop (the raw search flushes its two trees).
    void EndSearch(std::vector<_SEARCHER_INFO>& list, IProgress* progress);

private:
    // Everything one run made. Earlier runs are kept whole until the
    // controller goes: their nodes are still shown, and their searchers must
    // never be left pointing at a freed cache.
    struct Run {
        IDirecotryTreeBuilder* builder = nullptr;
        std::vector<_SEARCHER_INFO> searchers;
        std::unique_ptr<CStorageDeviceWithCache> cache;
        std::unique_ptr<TBitmap> bitmap;
        std::map<int64_t, uint32_t> fileSectorMap;
    };

    IRecoveryFilter* m_filter = nullptr;
    IStorageDevice* m_device = nullptr;
    std::vector<std::unique_ptr<Run>> m_runs;
    Run* m_run = nullptr;  // the current (last) run
    IProgress* m_runProgress = nullptr;
    bool m_replayed = false;
    ReplayedPartitions m_replayedPartitions;
};

class CPartitionRecoveryController : public CCompleteRecoveryController {
public:
    _RECOVERY_CONTROLLER_TYPE thisType() override { return RECOVERY_CONTROLLER_DEEP_DISK; }
};
