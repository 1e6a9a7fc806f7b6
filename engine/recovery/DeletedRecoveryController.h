// The quick scan of one volume: its file system's quick searcher reads the
// metadata and hands the found nodes to a tree builder.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/SearchedPartitionInfo.h"
#include "foundation/SearcherInterfaces.h"
#include "recovery/ControllerSeams.h"
#include "recovery/RecoveryController.h"

// Result codes of the scan controllers (module 0x04).
constexpr EngineResult kQuickScanNullArgument = 0x104003800000001ull;
constexpr EngineResult kQuickScanWholeDisk = 0x104004300000404ull;
constexpr EngineResult kQuickScanNoBuilder = 0x104004800000004ull;
constexpr EngineResult kQuickScanBuilderRefused = 0x104004B00000001ull;
constexpr EngineResult kQuickScanUnsupported = 0x104005700000401ull;

// The caption of a device's trees: a volume's name or a QVX image's name; ""
// for anything else (the builder then says "Disk").
std::string GetDeviceDescription(IStorageDevice* device);

// The file-system code in a device's volume record, or FILE_SYSTEM_UNKNOWN.
uint32_t GetVolumeFileSystemType(IStorageDevice* device);

// Shared by the controllers.
void SendProgress(IProgress* progress, uint32_t state, int64_t total, int64_t current);
// Copies of a replay hook's partition records by searcher type, so that no
// later call needs the hook, which may be gone by then.
using ReplayedPartitions = std::map<int, std::vector<std::unique_ptr<CSearchedPartitionInfo>>>;
void CopyReplayedPartitions(IRestoreScanSink* hook, ReplayedPartitions& out);
// A file writer set up with copies of the replayed records of one type.
IDataRecovery* WriterForReplayedPartitions(const ReplayedPartitions& partitions, int type, IStorageDevice* device);

class CDeletedRecoveryController : public IRecoveryController {
public:
    CDeletedRecoveryController() = default;
    ~CDeletedRecoveryController() override;

    _RECOVERY_CONTROLLER_TYPE thisType() override { return RECOVERY_CONTROLLER_QUICK; }
    int Initialize(IRecoveryFilter* filter) override;
    EngineResult StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) override;
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override;
    void Release() override { delete this; }

private:
    void KeepReplayedPartitions();

    IDirecotryTreeBuilder* m_builder = nullptr;  // the last run's
    IRecoveryFilter* m_filter = nullptr;
    IStorageDevice* m_device = nullptr;
    IQuickFileSystemSearchController* m_searcher = nullptr;  // the last run's
    // Every run's builder and searcher: the result views keep showing their
    // nodes until the controller goes.
    std::vector<IDirecotryTreeBuilder*> m_builders;
    std::vector<IQuickFileSystemSearchController*> m_searchers;
    // After a replay: copies of the restored partition records by searcher
    // type, so that no later call needs the replay hook, which may be gone.
    bool m_replayed = false;
    ReplayedPartitions m_replayedPartitions;
};
