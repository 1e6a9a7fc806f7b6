#pragma once
// The FAT16/FAT32 searcher of a deep scan. Every sector of the source is
// looked at once for three kinds of evidence: boot sectors (and FAT32 backup
// boot sectors), first sectors of FAT copies, and folder sectors. At the end
// the partitions the evidence supports are kept, scored and rebuilt into
// folder trees from the recorded folder sectors.

#include <cstdint>
#include <set>
#include <vector>

#include "fat/FATBuildWorker.h"
#include "foundation/EngineResult.h"
#include "foundation/SearcherInterfaces.h"
#include "storage/DeviceWithCache.h"

class CTempFATDBR;
class CFATSearchedPartitionInfo;

constexpr EngineResult FAT_ERR_DEEP_NO_FAT_OBJECT = 0x010A039000000007ull;

// Sectors per cluster a folder-only candidate is tried with, in this order.
constexpr std::uint32_t FAT_SUPPORTED_SECTORS_PER_CLUSTER[] = {1, 2, 4, 8, 16, 32, 64, 128};

// Cluster-count ranges: [first, end).
constexpr std::uint64_t FAT32_MIN_CLUSTERS = 65524;
constexpr std::uint64_t FAT32_END_CLUSTERS = 0x0FFFFFF4;
constexpr std::uint64_t FAT16_MIN_CLUSTERS = 4085;
constexpr std::uint64_t FAT16_END_CLUSTERS = 65524;

// Candidates ordered by data start (equal data starts keep insertion order).
struct CFatSearchedPartitionInfoLess {
    bool operator()(const CFATSearchedPartitionInfo* a, const CFATSearchedPartitionInfo* b) const;
};

class CFATCompleteFSearcher : public ICompleteFileSystemSearchController {
public:
    // A place where a candidate's FAT copy should begin.
    struct FATTableInfo {
        std::int64_t sector;
        CFATSearchedPartitionInfo* candidate;
        bool operator<(const FATTableInfo& o) const { return sector < o.sector; }
    };
    using CandidateSet = std::multiset<CFATSearchedPartitionInfo*, CFatSearchedPartitionInfoLess>;

    CFATCompleteFSearcher() = default;
    ~CFATCompleteFSearcher() override;
    CFATCompleteFSearcher(const CFATCompleteFSearcher&) = delete;
    CFATCompleteFSearcher& operator=(const CFATCompleteFSearcher&) = delete;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // With no array: the number of kept partitions. With room for all of
    // them: clones in the array (the caller owns them) and their number.
    // With too little room: nothing stored, the number answered, so that the
    // caller can ask again with a larger array.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int sectors) override;
    // Forgets everything of a previous search: kept partitions, candidates,
    // pending FAT positions and recorded folder sectors.
    void PreparetoSearch() override;
    void EndSearch(int build) override;
    void AnalyzeBlock(std::int64_t firstSector, std::int64_t sectorCount) override;
    void SetIProgressSink(IProgress* progress) override { m_progress = progress; }
    void SetFileSectorMap(std::map<std::int64_t, std::uint32_t>* map) override { m_fileSectorMap = map; }
    // Moves the candidates the evidence supports, scored and numbered, to
    // `kept`; releases the others.
    virtual void AddSearchedPartitionInfoList2(std::vector<CFATSearchedPartitionInfo*>& kept);

    // The steps of the sector walk, public for tests.
    // One sector: 1 when it made or confirmed a candidate.
    int AnalyzeSector(std::int64_t s, const std::uint8_t* sector);
    int AnalyzeFATDBRSector(std::int64_t s, const std::uint8_t* sector);
    CFATSearchedPartitionInfo* BuildPartitionInfoAccordingFATDBR(std::int64_t start, const CTempFATDBR& dbr,
                                                                 bool backup);
    CFATSearchedPartitionInfo* FindMatchedPartitionInfo(std::int64_t dataStart, std::uint32_t sectorsPerCluster) const;
    void UpdateFATTableInfo(std::int64_t s);
    void AnalyzeFATSubFolderFirstSector(std::int64_t s, std::uint32_t cluster, std::uint32_t largest);
    CFATSearchedPartitionInfo* BuildPartitionInfoAccordingtoSubFolder(std::int64_t s, std::uint32_t cluster,
                                                                      std::uint32_t spc);
    // FAT32, else FAT16, else FILE_SYSTEM_UNKNOWN; the cluster count and
    // sectors per FAT of the answer are stored.
    std::uint32_t CalcFileSystemType(std::int64_t dataStart, std::uint32_t spc, std::uint64_t* clusters,
                                     std::uint64_t* sectorsPerFat) const;
    bool IsValidFileSystem(std::int64_t dataStart, std::uint32_t spc, std::uint32_t type, std::uint64_t* clusters,
                           std::uint64_t* sectorsPerFat) const;
    EngineResult CompleteBulidDirectoryTree(CFATSearchedPartitionInfo* partition);

    const CandidateSet& Candidates() const { return m_candidates; }
    const std::vector<CFATSearchedPartitionInfo*>& Kept() const { return m_kept; }
    const FolderSectorSet& FolderSectors() const { return m_folderSectors; }
    std::size_t PendingFATPositions() const { return m_fatPositions.size(); }

private:
    void AddCandidate(CFATSearchedPartitionInfo* candidate);
    void AddFATPositions(CFATSearchedPartitionInfo* candidate);
    void ReleaseCandidates();
    bool UsableSectorSize() const;

    int m_blockSectors = -1;
    IStorageDevice* m_device = nullptr;
    std::uint32_t m_sectorSize = 512;
    std::int64_t m_deviceSectors = 0;
    IDirecotryTreeBuilder* m_builder = nullptr;
    IProgress* m_progress = nullptr;
    std::vector<CFATSearchedPartitionInfo*> m_kept;
    CandidateSet m_candidates;
    std::multiset<FATTableInfo> m_fatPositions;
    FolderSectorSet m_folderSectors;
    std::map<std::int64_t, std::uint32_t>* m_fileSectorMap = nullptr;
    // The current block, read once and examined in place.
    CachedSectorReader m_blockReader;
    std::vector<std::uint8_t> m_sector;
};
