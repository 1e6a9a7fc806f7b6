#include "recovery/CompleteRecoveryController.h"

#include "foundation/StorageDevice.h"
#include "recovery/ControllerSeams.h"
#include "storage/DeviceWithCache.h"

int DeepScanBlockSectors(uint32_t sectorSize) {
    const uint32_t bytes = sectorSize != 0 ? sectorSize : 512;
    const int block = static_cast<int>(0x400000u / bytes);
    return block != 0 ? block : 8192;
}

CCompleteRecoveryController::~CCompleteRecoveryController() {
    for (auto& run : m_runs) {
        if (run->builder) run->builder->Release();
        for (_SEARCHER_INFO& info : run->searchers) delete info.searcher;
        if (run->cache) run->cache->EndCache();
    }
}

int CCompleteRecoveryController::Initialize(IRecoveryFilter* filter) {
    if (filter == nullptr) return 0;
    m_filter = filter;
    return 1;
}

void CCompleteRecoveryController::InitializeSearcher(std::vector<_SEARCHER_INFO>& list, IStorageDevice* device,
                                                     int /*blockSectors*/) {
    const ScanControllerFactories& f = GetScanControllerFactories();
    auto make = [](const std::function<ICompleteFileSystemSearchController*()>& factory) {
        return factory ? factory() : nullptr;
    };
    if (ICompleteFileSystemSearchController* s = make(f.hfsplusDeep)) {
        s->SetIProgressSink(m_runProgress);
        if (device->GetType() == STORAGE_DEVICE_VOLUME && GetVolumeFileSystemType(device) == FILE_SYSTEM_HFSPLUS)
            s->SetActivePartition(true);
        list.push_back({SEARCHER_HFSPLUS, s});
    }
    if (ICompleteFileSystemSearchController* s = make(f.exfatDeep)) list.push_back({SEARCHER_EXFAT, s});
    if (ICompleteFileSystemSearchController* s = make(f.fatDeep)) {
        s->SetFileSectorMap(&m_run->fileSectorMap);
        list.push_back({SEARCHER_FAT, s});
    }
    if (ICompleteFileSystemSearchController* s = make(f.rawDeep)) {
        s->SetFileSectorMap(&m_run->fileSectorMap);
        s->SetIProgressSink(m_runProgress);
        list.push_back({SEARCHER_RAW, s});
    }
    if (ICompleteFileSystemSearchController* s = make(f.ntfsDeep)) list.push_back({SEARCHER_NTFS, s});
    if (ICompleteFileSystemSearchController* s = make(f.apfsDeep)) list.push_back({SEARCHER_APFS, s});
}

EngineResult CCompleteRecoveryController::StartDataRecovery(IStorageDevice* device, IProgress* progress,
                                                            IDrirectoryTree* tree) {
    if (device == nullptr || progress == nullptr || tree == nullptr) return kDeepScanNullArgument;
    m_runs.push_back(std::make_unique<Run>());
    m_run = m_runs.back().get();
    m_run->bitmap = std::make_unique<TBitmap>();
    SendProgress(progress, PROGRESS_STATE_RUNNING, 1, 0);

    const ScanControllerFactories& factories = GetScanControllerFactories();
    const bool replay = m_pRestoreScanSink != nullptr;
    m_run->builder = factories.treeBuilder ? factories.treeBuilder(replay) : nullptr;
    if (m_run->builder == nullptr) return kDeepScanNoBuilder;
    const std::string caption = GetDeviceDescription(device);
    if (!m_run->builder->Initialize(caption.c_str(), tree, m_filter)) return kDeepScanBuilderRefused;

    m_runProgress = progress;
    InitializeSearcher(m_run->searchers, device, 0);
    if (m_run->searchers.empty()) return kDeepScanNoSearcher;

    if (factories.flush) factories.flush(device);
    m_device = device;
    const int block = DeepScanBlockSectors(device->GetSectorSize());
    m_run->cache = std::make_unique<CStorageDeviceWithCache>(device);
    m_run->cache->SetBlockSize(static_cast<unsigned>(block));
    // A replay reads nothing from the device: no reading ahead for it.
    if (!replay) m_run->cache->BeginCache();
    for (_SEARCHER_INFO& info : m_run->searchers) {
        info.searcher->SetDevice(m_run->cache.get());
        info.searcher->SetBlockSize(block);
        info.searcher->SetDirecotryTreeBuilder(m_run->builder);
        info.searcher->SetBitmap(m_run->bitmap.get());
        if (!replay) info.searcher->PreparetoSearch();
    }

    EngineResult result = ENGINE_OK;
    if (replay) {
        m_pRestoreScanSink->SetDirecotryTreeBuilder(m_run->builder, progress, device);
        m_replayed = true;
        CopyReplayedPartitions(m_pRestoreScanSink, m_replayedPartitions);
    } else {
        m_replayed = false;
        m_replayedPartitions.clear();
        result = SearchData(0, device->GetTotalSectors() - 1, progress);
    }
    // The producer stops before the searchers end: their last reads go
    // straight to the device.
    m_run->cache->EndCache();
    EndSearch(m_run->searchers, progress);
    SendProgress(progress, PROGRESS_STATE_FINISHED, 1, 1);
    return result;
}

EngineResult CCompleteRecoveryController::SearchData(int64_t firstSector, int64_t lastSector, IProgress* progress) {
    CStorageDeviceWithCache* cache = m_run ? m_run->cache.get() : nullptr;
    if (progress == nullptr || cache == nullptr) return kSearchDataNoSinkOrCache;
    if (firstSector > lastSector) return kSearchDataBadRange;
    const int64_t block = DeepScanBlockSectors(cache->GetSectorSize());
    const int64_t total = cache->GetTotalSectors();
    firstSector = std::clamp<int64_t>(firstSector, 0, std::max<int64_t>(total, 0));
    lastSector = std::min<int64_t>(lastSector, total - 1);
    if (firstSector > lastSector) return ENGINE_OK;  // nothing of the range lies on the device
    const int64_t firstBlock = firstSector / block;
    const int64_t lastBlock = lastSector / block;
    const int64_t blocks = lastBlock - firstBlock + 1;

    _PROGRESS_INFO info;
    MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, blocks, 0);
    progress->UpdateProgress(&info);
    int64_t done = 0;
    for (int64_t index = firstBlock; index <= lastBlock; ++index) {
        if (!progress->Continued()) return ENGINE_OK;  // stopped by the user: not a failure
        cache->SetCurCacheBlock(index);
        const int64_t start = index * block;
        const int64_t count = std::min<int64_t>(block, lastSector - start + 1);
        for (_SEARCHER_INFO& s : m_run->searchers) s.searcher->AnalyzeBlock(start, count);
        done = std::min(done + 1, blocks);
        // The last fifth of the bar is left for ending the searchers.
        _PROGRESS_INFO copy = info;
        copy.current = static_cast<int64_t>(static_cast<double>(done) * 0.8);
        progress->UpdateProgress(&copy);
    }
    return ENGINE_OK;
}

void CCompleteRecoveryController::EndSearch(std::vector<_SEARCHER_INFO>& list, IProgress* progress) {
    // A stopped scan ends the raw search too: its loops end at once when the
    // sink says stop, and it still hands over the files found so far.
    for (_SEARCHER_INFO& info : list) info.searcher->EndSearch(progress->shouldBuild());
}

IDataRecovery* CCompleteRecoveryController::GetDataRecovery(_tagSearcherType type) const {
    if (m_run == nullptr) return nullptr;
    ICompleteFileSystemSearchController* searcher = nullptr;
    for (const _SEARCHER_INFO& info : m_run->searchers)
        if (info.type == type) searcher = info.searcher;
    if (searcher == nullptr) return nullptr;
    if (m_replayed) return WriterForReplayedPartitions(m_replayedPartitions, type, m_device);
    const ScanControllerFactories& factories = GetScanControllerFactories();
    IDataRecovery* writer = factories.dataRecovery ? factories.dataRecovery() : nullptr;
    if (writer == nullptr) return nullptr;
    if (IsEngineFailure(writer->Initialize(searcher, m_device))) {
        writer->Release();
        return nullptr;
    }
    return writer;
}

IRecoveryController* CreateRecoveryController(_RECOVERY_CONTROLLER_TYPE type) {
    switch (type) {
    case RECOVERY_CONTROLLER_QUICK:
        return new CDeletedRecoveryController();
    case RECOVERY_CONTROLLER_DEEP_VOLUME:
        return new CCompleteRecoveryController();
    case RECOVERY_CONTROLLER_DEEP_DISK:
        return new CPartitionRecoveryController();
    default:
        return nullptr;
    }
}
