#include "recovery/DeletedRecoveryController.h"

#include <cstring>

#include "foundation/StorageDevice.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "storage/DeviceData.h"
#include "storage/ScanFlush.h"

namespace {

// The controllers' own pieces; the searchers are added by the engine's wiring,
// which lies above every scanner.
ScanControllerFactories BuiltInFactories() {
    ScanControllerFactories f;
    f.treeBuilder = CreateTreeBuilder;
    f.dataRecovery = CreateDataRecoveryObj;
    f.flush = [](IStorageDevice* device) { FlushDeviceBeforeScan(device); };
    return f;
}

ScanControllerFactories& DefaultFactories() {
    static ScanControllerFactories defaults = BuiltInFactories();
    return defaults;
}

// Passes every call through and notes whether a finished record went by, so
// that a scan reports finished exactly once.
class FinishWatcher : public IProgress {
public:
    explicit FinishWatcher(IProgress* inner) : m_inner(inner) {}
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (info != nullptr && info->state == PROGRESS_STATE_FINISHED) m_finished = true;
        m_inner->UpdateProgress(info);
    }
    int Continued() override { return m_inner->Continued(); }
    int shouldBuild() override { return m_inner->shouldBuild(); }
    bool Finished() const { return m_finished; }

private:
    IProgress* m_inner;
    bool m_finished = false;
};

}  // namespace

ScanControllerFactories& GetScanControllerFactories() {
    static ScanControllerFactories factories = DefaultFactories();
    return factories;
}

void ResetScanControllerFactories() { GetScanControllerFactories() = DefaultFactories(); }

void SetDefaultScanControllerFactories(const ScanControllerFactories& defaults) {
    DefaultFactories() = defaults;
    ResetScanControllerFactories();
}

std::string GetDeviceDescription(IStorageDevice* device) {
    if (device == nullptr) return std::string();
    IStorageDeviceData* holder = device->GetPrivateData();
    if (holder == nullptr) return std::string();
    switch (device->GetType()) {
    case STORAGE_DEVICE_VOLUME: {
        auto* data = dynamic_cast<IVolumeDeviceData*>(holder);
        CCollectedVolumeDeviceInfoStruct* info = data ? data->GetVolumeInfo() : nullptr;
        if (info == nullptr || info->kind != 0) return std::string();
        return std::string(info->volumeName, strnlen(info->volumeName, sizeof(info->volumeName)));
    }
    case STORAGE_DEVICE_QVX: {
        auto* data = dynamic_cast<IQVXDeviceData*>(holder);
        CQVXDeviceInfoStruct* info = data ? data->GetQVXInfo() : nullptr;
        if (info == nullptr) return std::string();
        return std::string(info->name, strnlen(info->name, sizeof(info->name)));
    }
    default:
        return std::string();
    }
}

uint32_t GetVolumeFileSystemType(IStorageDevice* device) {
    IStorageDeviceData* holder = device ? device->GetPrivateData() : nullptr;
    auto* data = dynamic_cast<IVolumeDeviceData*>(holder);
    CCollectedVolumeDeviceInfoStruct* info = data ? data->GetVolumeInfo() : nullptr;
    return info ? info->fileSystemType : FILE_SYSTEM_UNKNOWN;
}

CDeletedRecoveryController::~CDeletedRecoveryController() {
    for (IQuickFileSystemSearchController* s : m_searchers) delete s;
    for (IDirecotryTreeBuilder* b : m_builders) b->Release();
}

int CDeletedRecoveryController::Initialize(IRecoveryFilter* filter) {
    if (filter == nullptr) return 0;
    m_filter = filter;
    return 1;
}

EngineResult CDeletedRecoveryController::StartDataRecovery(IStorageDevice* device, IProgress* progress,
                                                           IDrirectoryTree* tree) {
    if (device == nullptr || progress == nullptr || tree == nullptr) return kQuickScanNullArgument;
    SendProgress(progress, PROGRESS_STATE_RUNNING, 1, 0);
    // Quick scans read one volume's metadata; a whole disk is scanned volume by volume.
    if (device->GetType() == STORAGE_DEVICE_DISK) return kQuickScanWholeDisk;

    m_device = device;
    const ScanControllerFactories& factories = GetScanControllerFactories();
    IDirecotryTreeBuilder* builder = factories.treeBuilder ? factories.treeBuilder(false) : nullptr;
    if (builder == nullptr) return kQuickScanNoBuilder;
    m_builders.push_back(builder);
    m_builder = builder;
    const std::string caption = GetDeviceDescription(device);
    if (!builder->Initialize(caption.c_str(), tree, m_filter)) return kQuickScanBuilderRefused;

    IQuickFileSystemSearchController* searcher = nullptr;
    switch (GetVolumeFileSystemType(device)) {
    case FILE_SYSTEM_FAT12:
    case FILE_SYSTEM_FAT16:
    case FILE_SYSTEM_FAT32:
        searcher = factories.fatQuick ? factories.fatQuick() : nullptr;
        break;
    case FILE_SYSTEM_NTFS:
        searcher = factories.ntfsQuick ? factories.ntfsQuick() : nullptr;
        break;
    case FILE_SYSTEM_EXFAT:
        searcher = factories.exfatQuick ? factories.exfatQuick() : nullptr;
        break;
    case FILE_SYSTEM_HFSPLUS:
        searcher = factories.hfsplusQuick ? factories.hfsplusQuick() : nullptr;
        break;
    case FILE_SYSTEM_APFS:
        searcher = factories.apfsQuick ? factories.apfsQuick() : nullptr;
        break;
    default:
        break;
    }
    m_searcher = searcher;
    if (searcher == nullptr) {
        SendProgress(progress, PROGRESS_STATE_FINISHED, 1, 1);
        return kQuickScanUnsupported;
    }
    m_searchers.push_back(searcher);
    searcher->SetDirecotryTreeBuilder(builder);

    FinishWatcher watcher(progress);
    EngineResult result = ENGINE_OK;
    if (m_pRestoreScanSink != nullptr) {
        m_pRestoreScanSink->SetDirecotryTreeBuilder(builder, &watcher, device);
        KeepReplayedPartitions();
    } else {
        m_replayed = false;
        m_replayedPartitions.clear();
        if (factories.flush) factories.flush(device);
        result = searcher->QuickSearchFiles(device, &watcher);
    }
    // The front end leaves "running" only on a finished record: a search that
    // ended without one (a failure, typically) gets it here, and its result
    // is passed on.
    if (!watcher.Finished()) SendProgress(progress, PROGRESS_STATE_FINISHED, 1, 1);
    return IsEngineFailure(result) ? result : ENGINE_OK;
}

void CDeletedRecoveryController::KeepReplayedPartitions() {
    m_replayed = true;
    CopyReplayedPartitions(m_pRestoreScanSink, m_replayedPartitions);
}

void SendProgress(IProgress* progress, uint32_t state, int64_t total, int64_t current) {
    _PROGRESS_INFO info;
    MakeProgressInfo(&info, state, total, current);
    progress->UpdateProgress(&info);
}

void CopyReplayedPartitions(IRestoreScanSink* hook, ReplayedPartitions& out) {
    static constexpr _tagSearcherType kTypes[] = {SEARCHER_HFSPLUS, SEARCHER_FAT,     SEARCHER_EXFAT, SEARCHER_RAW,
                                                  SEARCHER_NTFS,    SEARCHER_RAW_TAG, SEARCHER_APFS};
    out.clear();
    if (hook == nullptr) return;
    for (_tagSearcherType type : kTypes) {
        auto& copies = out[type];
        for (CSearchedPartitionInfo* record : hook->GetSearchedPartition(type))
            if (record != nullptr) copies.push_back(std::make_unique<CSearchedPartitionInfo>(*record));
    }
}

IDataRecovery* WriterForReplayedPartitions(const ReplayedPartitions& partitions, int type, IStorageDevice* device) {
    const ScanControllerFactories& factories = GetScanControllerFactories();
    IDataRecovery* writer = factories.dataRecovery ? factories.dataRecovery() : nullptr;
    if (writer == nullptr) return nullptr;
    std::vector<CSearchedPartitionInfo*> records;
    auto it = partitions.find(type);
    if (it != partitions.end())
        for (const auto& record : it->second) records.push_back(record.get());
    writer->Initialize(records, device);  // the writer copies them
    return writer;
}

IDataRecovery* CDeletedRecoveryController::GetDataRecovery(_tagSearcherType type) const {
    if (m_replayed) return WriterForReplayedPartitions(m_replayedPartitions, type, m_device);
    const ScanControllerFactories& factories = GetScanControllerFactories();
    IDataRecovery* writer = factories.dataRecovery ? factories.dataRecovery() : nullptr;
    if (writer == nullptr) return nullptr;
    // A quick scan has one searcher: whatever the type, the writer serves the
    // volume of the last run.
    if (m_searcher == nullptr || IsEngineFailure(writer->Initialize(m_searcher, m_device))) {
        writer->Release();
        return nullptr;
    }
    return writer;
}
