#pragma once
// The NTFS searcher of the deep scan (searcher type 35). Every block of the
// scanned device passes through AnalyzeBlock in ascending order; each sector
// is tested for boot sectors, $LogFile restart and record pages, INDX
// records, FILE records and the contents of $AttrDef and $UpCase. The
// evidence becomes partition candidates; EndSearch scores them, drops the
// weak ones and has the folder tree of each survivor built.

#include <cstdint>
#include <list>
#include <set>
#include <vector>

#include "foundation/SearcherInterfaces.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSMetaFileAnalyzers.h"
#include "storage/DeviceWithCache.h"

class CUpCaseFileAnalyzer;
class CNTFSDBR;

// One INDX record seen by the walk.
struct CIndexRecordInfo {
    std::uint64_t sector = 0;
    std::int64_t vcn = 0;
    std::int64_t lsn = 0;
    std::int64_t parent = -1;  // MFT number of the folder that owns the index
};
// Null when the record is not valid or belongs to the root folder (5).
CIndexRecordInfo* BuildIndexRecordInfofromIndexRecordBuffer(std::uint8_t* record, int size, std::uint64_t sector);

struct CIndexRecordInfoThanbyParentMFTNumber {
    bool operator()(const CIndexRecordInfo* a, const CIndexRecordInfo* b) const { return a->parent < b->parent; }
};
struct CFolderIndexAllocationInfoLessThanbyParentMFTNumber {
    bool operator()(const CFolderIndexAllocationInfo* a, const CFolderIndexAllocationInfo* b) const {
        return a->GetMFTFileRecordNumber() < b->GetMFTFileRecordNumber();
    }
};

// Points of the reliability score.
std::int64_t CalcFileSystemReliabilityScore(const CSearchedNTFSPartitionInfo& candidate);

class CNTFSSearchController : public ICompleteFileSystemSearchController {
public:
    static constexpr int kCarrySectors = 16;

    CNTFSSearchController();
    ~CNTFSSearchController() override;
    CNTFSSearchController(const CNTFSSearchController&) = delete;
    CNTFSSearchController& operator=(const CNTFSSearchController&) = delete;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // Null `out`: the number of candidates. Otherwise, when `capacity` holds
    // them all, a new copy of each in set order (the caller's); with a
    // smaller capacity nothing is written. Answers the number of candidates.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int capacity) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int sectorsPerBlock) override;
    void PreparetoSearch() override;
    void EndSearch(int build) override;
    void AnalyzeBlock(std::int64_t firstSector, std::int64_t count) override;
    void SetIProgressSink(IProgress* progress) override { m_progress = progress; }
    void SetBitmap(TBitmap* bitmap) override { m_bitmap = bitmap; }
    TBitmap* GetBitmap() override { return m_bitmap; }

    // Candidates from a fully valid boot sector at `sector`.
    void AnalyzeNTFSDBRSector(std::int64_t sector, const std::uint8_t* bytes);
    CSearchedNTFSPartitionInfo* BuildPartitionInfoFromDBR(const CNTFSDBR& dbr, std::int64_t start,
                                                          std::uint32_t flag) const;
    // Flag 32 and one more index match for the candidates with the new one's
    // key; 1 when there were such (the new one is then deleted), else it
    // joins the set.
    int AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(CSearchedNTFSPartitionInfo* candidate);

    // What the walk gathered (for the tree builder and for tests).
    const NTFSCandidateSet& GetCandidates() const { return m_candidates; }
    std::list<CMFTInfo*>& GetMFTList() { return m_mfts; }
    std::list<CCommonFileRecordPositionInfo*>& GetPositionList() { return m_positions; }
    // The $LogFile analyser of the search under way (null before PreparetoSearch).
    const CLogFileAnalyzer* GetLogFileAnalyzer() const { return m_logFile; }
    const std::multiset<CIndexRecordInfo*, CIndexRecordInfoThanbyParentMFTNumber>& GetIndexRecords() const {
        return m_indexRecords;
    }
    const std::multiset<CFolderIndexAllocationInfo*, CFolderIndexAllocationInfoLessThanbyParentMFTNumber>& GetFolders()
        const {
        return m_folders;
    }
    std::list<FindFileMFTAndLogx*>& GetFindList() { return m_finders; }

private:
    void AnalyzeSector(std::int64_t sector, const std::uint8_t* p, int available);
    void AnalyzeIndexRecordSector(std::int64_t sector, const std::uint8_t* p, int available);
    void AnalyzeIndexRecord(std::int64_t sector, std::uint8_t* record);
    void AnalyzeFileRecordSector(std::int64_t sector, const std::uint8_t* p, int available);
    void AnalyzeFileRecord(std::int64_t sector, const std::uint8_t* bytes);
    void AnalyzeFolderRecord(std::int64_t sector, std::uint8_t* bytes);
    void AnalyzeOrdinaryRecord(std::int64_t sector, const CNTFSFileRecord& record);
    void PlaceIndexRecord(const CIndexRecordInfo& index, const CFolderIndexAllocationInfo& folder);
    void SetSearchedNTFSPartitionBelongCtrl();
    void ReleaseWalkState();
    void ReleaseFindings();
    void ResetJoins();

    int m_sectorsPerBlock = 0;
    IStorageDevice* m_device = nullptr;
    IDirecotryTreeBuilder* m_builder = nullptr;
    IProgress* m_progress = nullptr;
    TBitmap* m_bitmap = nullptr;
    std::uint32_t m_sectorSize = 512;
    std::int64_t m_totalSectors = 0;
    int m_recordBytes = 1024;

    // Each block is read once (the cache's own bytes when it holds them);
    // a block that cannot be read is examined as zeros (m_zeros, made only
    // then).
    CachedSectorReader m_blockReader;
    std::vector<std::uint8_t> m_zeros;
    std::vector<std::uint8_t> m_record;  // a FILE record with its fixups undone

    std::multiset<CIndexRecordInfo*, CIndexRecordInfoThanbyParentMFTNumber> m_indexRecords;
    NTFSCandidateSet m_candidates;
    std::multiset<CFolderIndexAllocationInfo*, CFolderIndexAllocationInfoLessThanbyParentMFTNumber> m_folders;
    std::list<CMFTMirrInfo*> m_mirrs;
    std::list<CMFTFilesPair*> m_pairs;
    std::list<CMFTInfo*> m_mfts;
    std::list<CCommonFileRecordPositionInfo*> m_positions;
    CMetaFileRecordGroupinMFTAnalyzer* m_metaGroup = nullptr;
    CAttrDefFileAnalyzer* m_attrDef = nullptr;
    CUpCaseFileAnalyzer* m_upCase = nullptr;
    CLogFileAnalyzer* m_logFile = nullptr;
    CNTFSPartitionInfoBuilder m_partitionBuilder;
    std::list<FindFileMFTAndLogx*> m_finders;

    // Records cut by a block end, joined with the start of the next block.
    // Per searcher, and emptied by PreparetoSearch: a half record of one scan
    // must never be joined with another scan's sectors.
    struct FileJoin {
        bool pending = false;
        std::int64_t sector = -1;
        std::uint8_t bytes[1024];
    } m_fileJoin;
    struct IndexJoin {
        bool pending = false;
        std::int64_t sector = -1;
        std::int64_t sectors = -1;  // in 512-byte units
        std::uint8_t bytes[4096];
    } m_indexJoin;
};

ICompleteFileSystemSearchController* CreateNTFSSearcher();
