#pragma once
// The FAT volume recogniser and the quick searcher of a FAT16/FAT32 volume.

#include <cstdint>
#include <vector>

#include "foundation/SearcherInterfaces.h"
#include "foundation/VolumeAnalyze.h"

class CFATSearchedPartitionInfo;

constexpr EngineResult FAT_ERR_NO_DEVICE_OR_PROGRESS = 0x010A004E00000005ull;
constexpr EngineResult FAT_ERR_NO_TREE_BUILDER = 0x010A005300000007ull;
constexpr EngineResult FAT_ERR_NOT_A_VOLUME = 0x010A008100000003ull;
constexpr EngineResult FAT_ERR_NO_VOLUME_DATA = 0x010A008800000007ull;
constexpr EngineResult FAT_ERR_NO_VOLUME_RECORD = 0x010A008F00000007ull;
constexpr EngineResult FAT_ERR_NOT_FAT16_OR_FAT32 = 0x010A00610000000Cull;
constexpr EngineResult FAT_ERR_NO_MEMORY = 0x010A00B400000004ull;
constexpr EngineResult FAT_ERR_NO_VALID_DBR = 0x010A00CA0000000Cull;
constexpr EngineResult FAT_ERR_NO_FAT_OBJECT = 0x010A00D800000007ull;
constexpr EngineResult FAT_ERR_NO_PARTITION_RECORD = 0x010A010600000002ull;

class CFatVolumeAnalyze : public IVolumeAnalyze {
public:
    CFatVolumeAnalyze() = default;
    void init(IStorageDevice* device, std::uint64_t startSector);
    std::uint32_t GetFileSystemType() override { return m_type; }
    std::int64_t GetTotalSector() override { return m_totalSectors; }
    // Copies min(size, 100) bytes of the zero-filled label; adds nothing.
    void GetLabel(char* buffer, int size) override;

private:
    std::uint32_t m_type = 10;
    char m_label[100] = {};
    std::int64_t m_totalSectors = 0;
};

class CFATQuickSearcher : public IQuickFileSystemSearchController {
public:
    CFATQuickSearcher() = default;
    ~CFATQuickSearcher() override;
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // A clone of the first record in array[0] (the caller owns it) and 1; 0
    // when no search made one. With no room (null array or capacity < 1) the
    // count is answered and nothing is stored.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
    EngineResult QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;
    // The search of a volume of the given type (1 FAT16, 2 FAT32) on the
    // device, sectors relative to its start.
    EngineResult FatQuickSearchFiles(IStorageDevice* device, std::uint32_t type, IProgress* progress);

private:
    IDirecotryTreeBuilder* m_builder = nullptr;
    std::vector<CFATSearchedPartitionInfo*> m_partitions;
};
