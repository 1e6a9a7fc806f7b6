#pragma once
// Rebuilding lost exFAT partitions from what a deep scan saw: boot sectors,
// FAT starts, up-case table starts and directory sectors gathered into file
// sets. Candidates (where the data region starts, how large a cluster is)
// come from several kinds of evidence, are scored by how well the folder
// trees fit them, winnowed so that no set belongs to two of them, and each
// survivor's file tree is built.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fat/ExFatStructures.h"

class CExFatFileNode;

namespace exfatdeep {

// Cluster numbers as a set of closed intervals: a large contiguous file is
// one interval, not one entry per cluster.
class ClusterIntervals {
public:
    // False when any cluster of [first, last] is already held.
    bool Insert(std::uint64_t first, std::uint64_t last);
    void Clear() { m_ranges.clear(); }
    std::size_t Size() const { return m_ranges.size(); }

private:
    std::map<std::uint64_t, std::uint64_t> m_ranges;  // first -> last
};

// One file as an entry set described it, the name kept as a string.
struct ExFatFoundFile : ExFatSetFields {
    std::string name;
    void ToBaseInfo(_tagFileBaseInfo& out) const;
};

enum : std::uint32_t {
    FILESET_LABEL = 1,
    FILESET_BITMAP = 2,
    FILESET_UPCASE = 4,
    FILESET_ABRIDGED = 8,  // begins with entries that continue an earlier set
    FILESET_NOT_END = 16,  // its last entry set runs on past its last sector
    FILESET_MATCHED = 32,
};

// A run of directory sectors and the cluster evidence their entries carry.
class CFileSet {
public:
    std::vector<ExFatFoundFile> live;               // ordered by first cluster
    std::vector<ExFatFoundFile> deleted;            // in order found
    std::vector<std::uint32_t> folders;             // first clusters of live folders
    std::uint32_t lowCluster = EXFAT_LAST_CLUSTER;  // of live files with a cluster
    std::uint32_t highCluster = 0;
    std::uint64_t minCluster = 512;        // bytes, then sectors after CalculateClusterSize
    std::uint64_t maxCluster = 0x2000000;  // bytes, then sectors
    std::int64_t firstSector = -1;
    std::int64_t sectorCount = 0;
    std::uint32_t flags = 0;
    std::uint32_t lowestRootCluster = 2;
    std::uint64_t totalClusters = 0;  // from the allocation bitmap's length
    std::uint32_t upcaseCluster = 0;
    std::uint64_t upcaseLength = 0;
    std::string label;
    std::int64_t nextSector = -1, lastSector = -1;  // joined neighbours' first sectors
    CFileSet* next = nullptr;
    CFileSet* last = nullptr;

    bool IsRoot() const { return (flags & 7) == 7; }
    bool HasFile() const { return !live.empty() || !deleted.empty(); }
    bool HasFolder() const { return !folders.empty(); }
    bool IsAbridged() const { return (flags & FILESET_ABRIDGED) != 0; }
    bool IsMatched() const { return (flags & FILESET_MATCHED) != 0; }
    std::int64_t EndSector() const { return firstSector + sectorCount; }  // one past
    void AddFile(ExFatFoundFile&& file);
    // Turns the cluster-size bounds into sectors, narrowing the smallest by
    // how far apart contiguous files start.
    void CalculateClusterSize(std::uint32_t sectorShift);
    bool IsClusterSizeConflict(std::uint64_t sectorsPerCluster) const;
    // Every live file's clusters (first, and all a contiguous file covers)
    // must be valid and held by no other; continues into the linked sets.
    bool GetAndCheckClusterSet(ClusterIntervals& clusters, std::uint64_t clusterBytes) const;
    // The folder clusters of this set and its linked next sets.
    std::vector<std::uint32_t> GetFolder() const;
};

constexpr std::uint32_t EXFAT_EVIDENCE_MAIN_BOOT = 0x80000000;
constexpr std::uint32_t EXFAT_EVIDENCE_BACKUP_BOOT = 0x40000000;
constexpr std::uint32_t EXFAT_EVIDENCE_ROOT = 0x10000000;
constexpr std::uint32_t EXFAT_EVIDENCE_TREE = 0x08000000;
constexpr std::uint32_t EXFAT_EVIDENCE_ALLOCATION = 0x02000000;
constexpr std::uint32_t EXFAT_EVIDENCE_FAT1 = 1;
constexpr std::uint32_t EXFAT_EVIDENCE_FAT2 = 2;

class CExFatPartitionEx : public CExFatPartition {
public:
    std::uint32_t m_flags = 0;
    std::uint32_t m_numberOfFats = 0;
    std::uint32_t m_fatLength = 0;
    std::uint32_t m_fatOffset = 0;
    std::set<std::int64_t> m_matched;         // first sectors of matched sets
    std::vector<std::int64_t> m_dataSectors;  // sets on a cluster start
    std::vector<std::int64_t> m_offClusterSectors;
    CFileSet* m_rootSet = nullptr;

    // Total sectors count from the partition start (the data region start
    // when no boot sector told where the partition starts).
    std::int64_t EndOfPartition() const { return m_partitionStart + m_totalSectors; }
    bool HasBootSector() const { return (m_flags & (EXFAT_EVIDENCE_MAIN_BOOT | EXFAT_EVIDENCE_BACKUP_BOOT)) != 0; }
    // Whether the set lies in the data region with room for two clusters
    // before it (the data region's first two clusters hold the bitmap and
    // the up-case table at the least).
    bool Holds(const CFileSet& set) const;
    bool OnClusterStart(std::int64_t sector) const {
        return sector >= m_dataRegionStart && m_sectorsPerCluster != 0 &&
               (sector - m_dataRegionStart) % m_sectorsPerCluster == 0;
    }
};

// Stronger first: the higher evidence word, then more matched sets.
struct CExFatPartitionGreater {
    bool operator()(const CExFatPartitionEx* a, const CExFatPartitionEx* b) const;
};
// By data region start, then sectors per cluster.
struct CExFatPartitionLess {
    bool operator()(const CExFatPartitionEx* a, const CExFatPartitionEx* b) const;
};

class CPartitionBuilder {
public:
    CPartitionBuilder() = default;
    ~CPartitionBuilder() { Clear(); }
    CPartitionBuilder(const CPartitionBuilder&) = delete;
    CPartitionBuilder& operator=(const CPartitionBuilder&) = delete;

    void PrepareBuild(std::uint32_t sectorSize, std::int64_t totalSectors);
    // A sector that passed the boot-sector check (`sector` holds 512 bytes
    // at least).
    void Build(std::int64_t sector, const std::uint8_t* bootSector);
    void RecordFAT(std::int64_t sector);
    void RecordUpCaseTable(std::int64_t sector);
    // Takes the set; `lastSector` / `nextSector` are the first sectors of the
    // sets it was joined with, -1 when none.
    void PushFileSet(std::unique_ptr<CFileSet> set, std::int64_t lastSector, std::int64_t nextSector);
    // The scan has passed `sector`.
    void Build(std::int64_t sector);
    // False when Build(sector) has no set to infer from.
    bool HasWaitingSets() const { return m_nextToInfer < m_arrival.size(); }
    // Infers from every waiting set, winnows, drops the candidates another
    // covers and hands the rest over, strongest first (the caller owns them).
    void FinishBuid(std::vector<CExFatPartitionEx*>& out);
    // The nodes of one handed-over partition (its FAT loaded or not). Root
    // entries get parent -1; the caller owns the nodes.
    void BuildFileTree(CExFatPartitionEx& partition, std::vector<CExFatFileNode*>& nodes);
    void Clear();

    // Lookups, also for tests.
    CExFatPartitionEx* FindPartition(std::int64_t dataRegionStart, std::uint32_t sectorsPerCluster) const;
    void RemovePartion(std::int64_t dataRegionStart, std::uint32_t sectorsPerCluster);
    bool IsPartitionRemoved(std::int64_t dataRegionStart, std::uint32_t sectorsPerCluster) const;
    CFileSet* FindFileSet(std::int64_t sector) const;
    const std::vector<CExFatPartitionEx*>& Candidates() const { return m_list; }
    std::size_t SetCount() const { return m_arrival.size(); }

    // The tree check: the score of the folder tree hanging from `start` with
    // the given geometry, 0 when it is below `minScore` or inconsistent.
    // `found` receives the sets reached (`start` first).
    int CheckTree(CFileSet* start, std::int64_t dataRegionStart, std::uint64_t clusterSectors,
                  std::vector<CFileSet*>& found, int minScore) const;

    // Hands over the kept candidates strongest first, each dropping the
    // weaker ones whose matched sets it holds all of (the caller owns what
    // is handed over; the dropped ones are freed).
    void RemovePartionBeCoveredByOther(std::vector<CExFatPartitionEx*>& kept, std::vector<CExFatPartitionEx*>& out);
    // Makes a candidate as the evidence of a test would (null when the pair
    // was removed before).
    CExFatPartitionEx* AddCandidate(std::int64_t dataRegionStart, std::uint32_t sectorsPerCluster, std::uint32_t flags);

private:
    using Key = std::pair<std::int64_t, std::uint32_t>;
    // Adds (or finds) a candidate; null when the pair was removed before.
    CExFatPartitionEx* Enter(std::unique_ptr<CExFatPartitionEx> candidate);
    void SortList();
    void SpillPartition();
    void InferNext();
    void InferFrom(CFileSet* set, std::size_t index);
    bool BelongsToCandidate(CFileSet* set);
    void BuildFromRoot(CFileSet* root);
    void BuildFromUpCase(CFileSet* root);
    // Proposes a root-set candidate; true when it confirmed an existing one.
    bool ProposeRoot(CFileSet* root, std::int64_t dataRegionStart, std::uint64_t clusterSectors,
                     std::uint32_t rootCluster, std::vector<CExFatPartitionEx*>& proposals);
    void BuildFromTree(CFileSet* parent, CFileSet* child, int minScore);
    void MatchSets(CExFatPartitionEx* candidate, const std::vector<CFileSet*>& sets);
    void WinnowPartition(std::vector<CExFatPartitionEx*>& kept);
    bool IsOverlaped(const CExFatPartitionEx* candidate, const std::set<std::int64_t>& taken) const;
    void AddDataSector(CExFatPartitionEx* candidate, CFileSet* set);
    void UpdatePartitionMatched(CExFatPartitionEx* candidate, CFileSet* set);
    bool SimpleCheck(const CExFatPartitionEx* candidate, const CFileSet* set) const;
    static bool IsCover(const CExFatPartitionEx* strong, const CExFatPartitionEx* weak);
    void CalcPartitionParam(CExFatPartitionEx* partition) const;
    // Takes the candidate out of the candidate set and list without freeing it.
    void Detach(CExFatPartitionEx* candidate);

    std::uint32_t m_sectorSize = 512;
    std::int64_t m_totalSectors = 0;
    std::map<std::int64_t, std::unique_ptr<CFileSet>> m_sets;  // by first sector
    std::vector<CFileSet*> m_arrival;
    std::size_t m_nextToInfer = 0;
    std::int64_t m_awaitedBound = 0;
    std::map<Key, std::unique_ptr<CExFatPartitionEx>> m_candidates;
    std::vector<CExFatPartitionEx*> m_list;  // strongest first
    std::set<Key> m_removed;
    std::vector<std::int64_t> m_upcaseStarts;
};

}  // namespace exfatdeep
