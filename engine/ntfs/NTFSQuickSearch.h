#pragma once
// The quick (deleted-file) search of one NTFS volume: the boot sector, the
// $MFT's runs (from $MFT, else $MFTMirr), then every FILE record of the MFT
// in batches, each readable user record becoming a node for the tree builder.

#include <cstdint>
#include <vector>

#include "foundation/EngineResult.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/SearcherInterfaces.h"
#include "ntfs/NTFSLogFileFinder.h"

class CNTFSDBR;
class CMFTInfo;
class CNTFSDataRunList;
class CNTFSFileProperties;
class IDirecotryTreeBuilder;
class IProgress;
class IStorageDevice;

constexpr EngineResult NTFS_QUICK_ERR_NO_DEVICE_OR_PROGRESS = 0x0112006500000005ull;
constexpr EngineResult NTFS_QUICK_ERR_NOT_NTFS = 0x0112007500000010ull;
constexpr EngineResult NTFS_QUICK_ERR_NO_MFT_RUNS = 0x0112007E00000011ull;

class CNTFSQuickSearch : public IQuickFileSystemSearchController {
public:
    static constexpr int kBatchSectors = 128;

    CNTFSQuickSearch();
    ~CNTFSQuickSearch() override = default;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
    EngineResult QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

    static bool ReadDBR(IStorageDevice* device, std::int64_t startSector, std::int64_t totalSectors, CNTFSDBR& dbr);
    bool GetMFTInfo(CNTFSDBR& dbr, IStorageDevice* device, CMFTInfo& info, std::int64_t partitionStart,
                    std::uint8_t spc);
    bool GetMFTInfoFromMFT(CNTFSDBR& dbr, IStorageDevice* device, CMFTInfo& info, std::int64_t partitionStart,
                           std::uint8_t spc);
    bool GetMFTInfoFromMFTMirr(CNTFSDBR& dbr, IStorageDevice* device, CMFTInfo& info, std::int64_t partitionStart,
                               std::uint8_t spc);
    bool ReadMFTInfoFromFileRecord(std::int64_t sector, std::uint8_t sectors, IStorageDevice* device, CMFTInfo& info,
                                   std::int64_t partitionStart, std::uint8_t spc);
    bool GetMFTDataRunListfromMFTFileRecordHaving0x20(std::uint8_t* record, int size, std::int64_t sector,
                                                      IStorageDevice* device, CMFTInfo& info,
                                                      std::int64_t partitionStart, std::uint8_t spc);
    EngineResult BuildFileNodeFromMFTFileRecord(CNTFSDataRunList* mftRuns, std::uint8_t spr);
    EngineResult BuildFileNodeFromBuffer(std::uint8_t* buffer, std::uint32_t sectors, std::uint8_t spr,
                                         std::int64_t firstSectorIndex, CNTFSDataRunList* mftRuns,
                                         const std::vector<std::int64_t>& sectorNumbers);
    EngineResult CreateFileNode(std::int64_t mft, std::int64_t parent, CNTFSFileProperties* properties);

private:
    void NotifyUIWithProgess(std::uint32_t state, std::int64_t total, std::int64_t current, std::int64_t error);

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_progress = nullptr;
    CSearchedPartitionInfo m_volume;
    std::uint32_t m_recordSize = 1024;
    bool m_searched = false;
    CFindFileFromLogFile m_logFinder;
};

IQuickFileSystemSearchController* CreateNTFSQuickSearcher();
