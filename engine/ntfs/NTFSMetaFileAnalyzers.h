#pragma once
// The evidence analysers of the NTFS deep search. They turn system FILE
// records and system-file contents met while the whole device is read sector
// by sector into partition candidates, and into the content match counts by
// which the candidates are scored at the end of the walk:
//   - CMetaFileAnalyzer: sector ranges whose content looked like a system file;
//   - CAttrDefFileAnalyzer: $AttrDef records and sectors equal to the
//     standard $AttrDef content;
//   - CLogFileAnalyzer: $LogFile restart pages, $LogFile records, RCRD pages;
//   - CMetaFileRecordGroupinMFTAnalyzer: the system records at the start of
//     an MFT (and of its $MFTMirr copy);
//   - CNTFSPartitionInfoBuilder: the flag keeper over the candidate set.
// Candidates that agree on start sector and sectors per cluster are one
// partition seen from several sides; each source of evidence sets its bit.

#include <cstdint>
#include <list>
#include <set>
#include <vector>

#include "ntfs/NTFSDeepSearchRecords.h"

class CNTFSFileRecord;
class IStorageDevice;

// Every evidence list of the deep search stops growing here, so a disk full
// of look-alike records cannot exhaust memory.
constexpr std::size_t kNTFSDeepListLimit = 500000;

// Candidate order: start sector, then sectors per cluster.
struct CSearchedNTFSPartitionInfoLessThan {
    bool operator()(const CSearchedNTFSPartitionInfo* a, const CSearchedNTFSPartitionInfo* b) const {
        if (a->GetStartSector() != b->GetStartSector()) return a->GetStartSector() < b->GetStartSector();
        return a->GetSectorsPerCluster() < b->GetSectorsPerCluster();
    }
};
using NTFSCandidateSet = std::multiset<CSearchedNTFSPartitionInfo*, CSearchedNTFSPartitionInfoLessThan>;

// A partition candidate placed by a record found `firstCluster` clusters into
// the partition: start = recordSector - firstCluster x spc. Null when the
// start would be negative or the record lies fewer than 8 sectors into the
// partition. The partition reaches the device's end.
CSearchedNTFSPartitionInfo* BuildPartitionInfoAccordingtoFileRecord(std::int64_t recordSector,
                                                                    std::int64_t firstCluster, std::uint32_t spc,
                                                                    std::uint32_t flags, std::int64_t deviceTotal,
                                                                    std::uint32_t sectorSize);
// The same for every cluster size from 1 to 128 sectors; appends the ones made.
void BuildPartitionInfoAccordingtoFileRecord(std::int64_t recordSector, std::int64_t firstCluster, std::uint32_t flags,
                                             std::int64_t deviceTotal, std::uint32_t sectorSize,
                                             std::list<CSearchedNTFSPartitionInfo*>& out);

class CNTFSPartitionInfoBuilder {
public:
    explicit CNTFSPartitionInfoBuilder(NTFSCandidateSet& set) : m_set(set) {}
    void SetDeviceTotalSectors(std::int64_t total) { m_total = total; }
    std::int64_t GetDeviceTotalSectors() const { return m_total; }
    // For each candidate of the set equal to `candidate`: flags = (flags
    // without `remove`) | `add`; one left with no flag (and nothing added)
    // leaves the set and is deleted. `candidate` itself is never inserted.
    // True when the set held equal candidates.
    bool AdjustPartitionBuildFromFlag(const CSearchedNTFSPartitionInfo* candidate, std::uint32_t add,
                                      std::uint32_t remove);

private:
    NTFSCandidateSet& m_set;
    std::int64_t m_total = 0;
};

class CMetaFileAnalyzer {
public:
    struct Range {
        std::uint64_t first;
        std::uint64_t count;
    };
    // Extends the range that ends exactly at `sector`, else opens {sector, 1}.
    void CombineSectorOfRange(std::uint64_t sector);
    // Recorded sectors in first..last, both included.
    std::int64_t GetSectorRangeCount(std::uint64_t first, std::uint64_t last) const;
    // Recorded sectors inside the runs of a file of the partition at `start`
    // (each run's upper end included).
    std::int64_t GetMatchCount(const CNTFSDataRunList& runs, std::int64_t start, std::uint8_t spc) const;
    static bool CompareSectorBuffer(const std::uint8_t* a, const std::uint8_t* b);
    const std::vector<Range>& GetRanges() const { return m_ranges; }
    void Clear() { m_ranges.clear(); }

private:
    std::vector<Range> m_ranges;
    bool m_ascending = true;  // ranges opened in ascending order: binary search
};

class CAttrDefFileAnalyzer {
public:
    static constexpr int kContentBytes = 2560;
    // The first 2,560 bytes (five 512-byte sectors) of the NTFS 3.1 $AttrDef.
    static const std::uint8_t* const m_u8AttrDefFile;

    CAttrDefFileAnalyzer() = default;
    ~CAttrDefFileAnalyzer();
    CAttrDefFileAnalyzer(const CAttrDefFileAnalyzer&) = delete;
    CAttrDefFileAnalyzer& operator=(const CAttrDefFileAnalyzer&) = delete;

    void AnalyzeAttrDefFileRecord(std::int64_t sector, std::uint8_t* record, int size);
    // True (and the sector recorded) when the 512 bytes equal one sector of
    // the standard content.
    bool AnalyzeSectorBuffer(std::uint64_t sector, const std::uint8_t* bytes);
    CAttrDefFileInfo* FindAttrDefFile(std::int64_t first, std::uint64_t count) const;
    CAttrDefFileInfo* FindAttrDefFile(std::int64_t sector) const;
    CAttrDefFileInfo* FindAttrDefFile(const CSearchedNTFSPartitionInfo& candidate) const;
    void CalcAttrDefMatch(CSearchedNTFSPartitionInfo& candidate) const;
    const CMetaFileAnalyzer& GetRanges() const { return m_ranges; }

private:
    std::list<CAttrDefFileInfo*> m_infos;
    CMetaFileAnalyzer m_ranges;
};

// One $LogFile restart page seen by the walk.
struct CRestartRecordInfo {
    std::int64_t sector = -1;
};

// The $LogFile page tests, and the deep search's $LogFile analysis.
class CLogFileAnalyzer {
public:
    static constexpr std::uint32_t kRstrMagic = 0x52545352;                  // "RSTR"
    static constexpr std::uint64_t kNtfsClientName = 0x005300460054004Eull;  // "NTFS"
    static constexpr int kPageBytes = 4096;

    static bool IsValidRSTRRecord(const std::uint8_t* buffer, int size);
    static bool IsValidRestartRecordHeader(const std::uint8_t* buffer, int size);
    static std::uint16_t GetFixup(const std::uint8_t* buffer);
    static bool CheckFixup(const std::uint8_t* buffer, int sectors, std::uint16_t value);
    static bool IsBufferSizeLessthanARSTRRecord(int size) { return size < kPageBytes; }

    CLogFileAnalyzer(NTFSCandidateSet& set, CNTFSPartitionInfoBuilder& builder, IStorageDevice* device);
    ~CLogFileAnalyzer();
    CLogFileAnalyzer(const CLogFileAnalyzer&) = delete;
    CLogFileAnalyzer& operator=(const CLogFileAnalyzer&) = delete;

    void SetDeviceTotalSectors(std::int64_t total) { m_total = total; }
    // A restart page at `sector` (the caller has tested the page).
    void AnalyzeRSTRRecord(std::int64_t sector, const std::uint8_t* page, int available);
    // A $LogFile FILE record at `sector` (fixups undone).
    void AnalyzeLogFileFileRecord(std::int64_t sector, std::uint8_t* record, int size);
    // RCRD pages anywhere in a block; a page cut by the block end is kept
    // and completed from the next block when that one follows on.
    void AnalyzeRCRDRecord(const std::uint8_t* block, std::uint64_t firstSector, std::int64_t sectors);
    // The same in steps, for a walk that looks at each sector of the block
    // anyway. BeginRCRDBlock completes (or forgets) the page the previous
    // block cut and returns the index of the block's first sector left to
    // look at; TakeRCRDPage takes the page whose magic is at sector index
    // `i` and returns the index to look on from (`sectors` once the page was
    // kept for the next block: nothing more of this block is looked at).
    std::int64_t BeginRCRDBlock(const std::uint8_t* block, std::uint64_t firstSector, std::int64_t sectors);
    std::int64_t TakeRCRDPage(const std::uint8_t* block, std::uint64_t firstSector, std::int64_t sectors,
                              std::int64_t i);
    CLogFileInfo* FindLogFileInfo(std::int64_t first, std::uint64_t count) const;
    CLogFileInfo* FindLogFileInfo(std::int64_t sector) const;
    CLogFileInfo* FindLogFileInfo(const CSearchedNTFSPartitionInfo& candidate) const;
    void CalcLogFileMatch(CSearchedNTFSPartitionInfo& candidate) const;
    std::list<CRestartRecordInfo*>& GetRestartRecordInfoPointerContainer() { return m_restarts; }
    // a lies one page (8 sectors of 512 bytes) after b.
    bool IsPair(const CRestartRecordInfo& a, const CRestartRecordInfo& b) const {
        return a.sector - m_pageSectors == b.sector;
    }
    // Whether the $LogFile record list is full (the record is not looked at).
    bool IsaMetaFileRecordNotNeedtoCount(const CNTFSFileRecord&) const {
        return m_logInfos.size() >= kNTFSDeepListLimit;
    }
    // Forgets a page half kept from an earlier block.
    void ResetSavedPage() {
        m_savedCount = 0;
        m_savedFirst = -1;
    }
    const CMetaFileAnalyzer& GetRCRDRanges() const { return m_rcrd; }

private:
    void AddRestartCandidate(std::int64_t pageSector, std::int64_t cluster, std::uint32_t spc, std::uint32_t flag);
    void AdjustPartitionInfoAccordingtoSecondRSTR(std::int64_t sector, std::int64_t cluster, std::uint32_t spc);
    void AnalyzeOneRCRDRecord(const std::uint8_t* page, std::int64_t sector);

    std::list<CLogFileInfo*> m_logInfos;
    std::list<CRestartRecordInfo*> m_restarts;
    NTFSCandidateSet& m_set;
    CNTFSPartitionInfoBuilder& m_builder;
    std::int64_t m_total = 0;
    CMetaFileAnalyzer m_rcrd;
    IStorageDevice* m_device;
    std::uint32_t m_sectorSize = 512;
    int m_pageSectors = 8;  // sectors of one 4,096-byte log page
    // The first sectors of a page that the previous block cut off. Kept per
    // analyser: a stopped scan's half page must never meet another scan's.
    std::uint8_t m_saved[kPageBytes];
    int m_savedCount = 0;
    std::int64_t m_savedFirst = -1;
};

struct CMFTFilesPair {
    CMFTInfo* mft = nullptr;       // owned by the MFT list
    CMFTMirrInfo* mirr = nullptr;  // owned by the $MFTMirr list
};

class CMetaFileRecordGroupinMFTAnalyzer {
public:
    CMetaFileRecordGroupinMFTAnalyzer(std::list<CMFTInfo*>& mfts, std::list<CMFTMirrInfo*>& mirrs,
                                      NTFSCandidateSet& set, CNTFSPartitionInfoBuilder& builder,
                                      std::list<CMFTFilesPair*>& pairs, std::list<FindFileMFTAndLogx*>& finders,
                                      IStorageDevice* device);
    void SetDeviceTotalSectors(std::int64_t total) { m_total = total; }

    // Every FILE record the walk sees, valid or not, in ascending sector
    // order. True when the record was taken into the open group.
    bool AnalyzeNTFSMetaFileRecord(std::int64_t sector, const CNTFSFileRecord& record);
    void ProcessEndMetaFileRecordGroup();
    void ResetMetaFileRecordGroup();
    bool IsGroupBegin() const { return m_groupStart != -1; }
    bool IsGroupEnd(std::int64_t sector, const CNTFSFileRecord& record) const;
    bool IsLastFileRecordEndSector(std::int64_t sector) const;
    bool IsFileRecordOutofMetaFileRecordGroupRange(std::int64_t sector) const;
    // An $MFT or $MFTMirr record while its list is full.
    bool IsaMetaFileRecordNotNeedtoCount(const CNTFSFileRecord& record) const;

private:
    void AnalyzeMetaFileRecordGroup();
    void AnalyzeSingleMFT(CMFTInfo* mft);
    void AnalyzeMFTFilesPair(CMFTFilesPair* pair);
    void AdjustPartitionSizeandMFTSector(std::int64_t mftSector, std::int64_t bitmapBits,
                                         CSearchedNTFSPartitionInfo* candidate) const;
    void AdjustEqualCandidates(const CSearchedNTFSPartitionInfo* candidate);
    bool IsMFTMirrFile(const CSearchedNTFSPartitionInfo& candidate, const CMFTInfo& mft) const;

    std::list<CMFTInfo*>& m_mfts;
    std::list<CMFTMirrInfo*>& m_mirrs;
    NTFSCandidateSet& m_set;
    CNTFSPartitionInfoBuilder& m_builder;
    std::list<CMFTFilesPair*>& m_pairs;
    std::list<FindFileMFTAndLogx*>& m_finders;
    IStorageDevice* m_device;
    std::int64_t m_total = 0;
    std::uint32_t m_sectorSize = 512;
    int m_recordSectors = 2;  // sectors per 1,024-byte FILE record (1 on big sectors)

    CMFTInfo* m_groupMFT = nullptr;
    CMFTMirrInfo* m_groupMirr = nullptr;
    std::int64_t m_groupStart = -1;
    std::int64_t m_bitmapBits = -1;
};
