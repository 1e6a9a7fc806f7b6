#pragma once
// The exFAT volume recogniser and the quick search of an intact exFAT volume:
// folders are walked breadth-first from the root through the FAT, and every
// complete entry set, live or deleted, becomes a node of the "(ExFat)" tree.

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fat/ExFatStructures.h"
#include "foundation/EngineResult.h"
#include "foundation/SearcherInterfaces.h"
#include "foundation/VolumeAnalyze.h"

class CSearchedPartitionInfo;

constexpr EngineResult EXFAT_ERR_NO_DEVICE = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2001);
constexpr EngineResult EXFAT_ERR_NO_TREE_BUILDER = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2002);
constexpr EngineResult EXFAT_ERR_BOOT_SECTOR_READ = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2003);
constexpr EngineResult EXFAT_ERR_NOT_EXFAT = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2004);
constexpr EngineResult EXFAT_ERR_NO_FAT = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2005);
constexpr EngineResult EXFAT_ERR_SEARCHER_REFUSED = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2006);
constexpr EngineResult EXFAT_ERR_ROOT_READ = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2007);
constexpr EngineResult EXFAT_ERR_NO_MEMORY = MakeEngineResult(ENGINE_MODULE_FAT_SEARCH, 0, 0x2008);

// Gathers entry sets from a folder's clusters, one cluster at a time; a set
// may run on into the next cluster.
class CEFDTAnalyze {
public:
    // Shifts are log2 of the sector and cluster sizes in bytes.
    void Prepare(std::uint32_t sectorShift, std::uint32_t clusterShift, std::int64_t totalSectors);
    // The quick search skips the benign entry types (volume GUID, TexFAT
    // padding, ACL, vendor entries); otherwise they are faults.
    void SetSkipBenign(bool skip) { m_skipBenign = skip; }
    // Forgets the set being gathered (a new folder starts).
    void ResetSet();
    // Walks the 32-byte entries of `buffer` (its first byte at `sector`).
    // False at the first fault (an entry that cannot belong to a folder):
    // the folder walk ends there; the sets finished before it are kept.
    bool Analyze(const std::uint8_t* buffer, std::size_t length, std::int64_t sector);
    std::vector<_tagFileBaseInfo>& GetRecords() { return m_records; }

    static bool IsBenignType(std::uint8_t type);

private:
    bool StartSet(const std::uint8_t* e, std::int64_t sector);
    bool Stream(const std::uint8_t* e);
    bool Name(const std::uint8_t* e);
    bool Label(const std::uint8_t* e) const;
    void BenignSecondary(const std::uint8_t* e);
    void FinishIfComplete();

    int m_stage = 0;
    int m_secondaries = 0;
    int m_index = 0;
    std::uint16_t m_checksum = 0;
    std::uint8_t m_nameLength = 0;
    _tagFileBaseInfo m_info;
    std::vector<std::uint8_t> m_setBytes;
    std::vector<std::uint8_t> m_nameUnits;  // UTF-16LE
    std::vector<_tagFileBaseInfo> m_records;
    std::uint32_t m_sectorShift = 9;
    std::uint32_t m_clusterShift = 9;
    std::int64_t m_totalSectors = 0;
    bool m_skipBenign = false;
};

class CExFatVolumeAnalyer : public IVolumeAnalyze {
public:
    CExFatVolumeAnalyer(std::int64_t totalSectors, std::string label)
        : m_totalSectors(totalSectors), m_label(std::move(label)) {}
    std::uint32_t GetFileSystemType() override { return FILE_SYSTEM_EXFAT; }
    std::int64_t GetTotalSector() override { return m_totalSectors; }
    void GetLabel(char* buffer, int size) override;

private:
    std::int64_t m_totalSectors;
    std::string m_label;
};

class CExFatQuickSearch : public IQuickFileSystemSearchController {
public:
    CExFatQuickSearch();
    ~CExFatQuickSearch() override;
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // Always one record; a new one in array[0] when there is room.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
    // ENGINE_OK when the walk ran; a failure code when the volume could not
    // be read at all. Either way the progress sink gets one finished record.
    EngineResult QuickSearchFiles(IStorageDevice* device, IProgress* progress) override;

    const CExFatPartition& GetPartition() const { return m_partition; }

private:
    struct Folder {
        std::uint32_t firstCluster;
        std::int64_t size;
        bool fatInvalid;
        bool deleted;
    };
    EngineResult PrepareSearch(IStorageDevice* device);
    // 0 when a cluster read failed, else 1.
    int BuildChildren(IStorageDevice* device, std::uint32_t firstCluster, std::int64_t size, bool fatInvalid,
                      bool folderDeleted, std::deque<Folder>& queue);
    EngineResult QuickSearch(IStorageDevice* device, IProgress* progress);

    IDirecotryTreeBuilder* m_builder = nullptr;
    CExFatPartition m_partition;
    CEFDTAnalyze m_analyzer;
    std::vector<std::uint8_t> m_cluster;
    std::set<std::uint32_t> m_readClusters;
    CSearchedPartitionInfo* m_record = nullptr;
};
