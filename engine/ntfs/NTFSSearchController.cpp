#include "ntfs/NTFSSearchController.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/DirectoryTree.h"
#include "foundation/StorageDevice.h"
#include "foundation/Types.h"
#include "ntfs/NTFSAttributes.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSDirectoryTreeBuilder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSIndexRecord.h"
#include "ntfs/NTFSLogFileFinder.h"
#include "ntfs/NTFSMetaFileRecordType.h"
#include "ntfs/NTFSUpCase.h"

using namespace byteorder;

namespace {

// A broken precondition is the caller's programming error: stop with the
// expression, whatever the build type.
[[noreturn]] void Fail(int line, const char* expression) {
    std::fprintf(stderr, "NTFSSearchController:%d: %s\n", line, expression);
    std::abort();
}
#define NTFS_SEARCH_CHECK(cond, text)      \
    do {                                   \
        if (!(cond)) Fail(__LINE__, text); \
    } while (0)

constexpr int kIndexRecordBytes = 4096;
constexpr std::uint32_t kIndexMagic = 0x58444E49;  // "INDX"
constexpr std::uint32_t kFileMagic = 0x454C4946;   // "FILE"
constexpr std::int64_t kRootFolder = 5;
// Sectors ahead of the walk whose first bytes are asked for early: the walk
// mostly reads one cache line of each sector of a block in memory.
constexpr std::int64_t kPrefetchSectors = 8;

}  // namespace

CIndexRecordInfo* BuildIndexRecordInfofromIndexRecordBuffer(std::uint8_t* record, int size, std::uint64_t sector) {
    if (record == nullptr || size < 512) return nullptr;
    // Tests the record (its fixups are undone and put back in place).
    const std::int64_t parent = CIndexRecord::GetParentFileReference(record, size);
    if (parent < 0 || parent == kRootFolder) return nullptr;
    auto* info = new CIndexRecordInfo;
    info->sector = sector;
    info->vcn = CIndexRecord::GetVCN(record);
    info->lsn = CIndexRecord::GetLogFileSequenceNumber(record);
    info->parent = parent;
    return info;
}

std::int64_t CalcFileSystemReliabilityScore(const CSearchedNTFSPartitionInfo& c) {
    static const struct {
        std::uint32_t flag;
        std::int64_t points;
    } kPoints[] = {{NTFS_BUILD_FROM_BOOT, 30},  {NTFS_BUILD_FROM_BACKUP_BOOT, 10}, {NTFS_BUILD_FROM_MFT_PAIR, 30},
                   {NTFS_BUILD_FROM_MFT, 10},   {NTFS_BUILD_FROM_MFTMIRR, 10},     {NTFS_BUILD_FROM_INDX, 0},
                   {NTFS_BUILD_FROM_RSTR1, 10}, {NTFS_BUILD_FROM_RSTR2, 10}};
    std::int64_t score = 0;
    for (const auto& p : kPoints)
        if ((c.GetPartitionBuildFromFlags() & p.flag) != 0) score += p.points;
    score += std::min<std::int64_t>(10, (c.GetUpCaseMatchCount() / 256) * 10);
    score += std::min<std::int64_t>(10, (c.GetLogFileMatchCount() / 10000) * 10);
    score += std::min<std::int64_t>(10, (c.GetAttrDefMatchCount() / 5) * 10);
    return score;
}

// ---------------------------------------------------- CNTFSSearchController

CNTFSSearchController::CNTFSSearchController() : m_partitionBuilder(m_candidates) {}

CNTFSSearchController::~CNTFSSearchController() {
    ReleaseWalkState();
    ReleaseFindings();
}

void CNTFSSearchController::ReleaseFindings() {
    for (CMFTInfo* mft : m_mfts) delete mft;
    m_mfts.clear();
    for (CCommonFileRecordPositionInfo* p : m_positions) delete p;
    m_positions.clear();
    for (FindFileMFTAndLogx* f : m_finders) {
        delete f->finder;
        delete f;
    }
    m_finders.clear();
    for (CSearchedNTFSPartitionInfo* c : m_candidates) delete c;
    m_candidates.clear();
}

void CNTFSSearchController::ReleaseWalkState() {
    m_zeros.clear();
    m_zeros.shrink_to_fit();
    m_record.clear();
    m_record.shrink_to_fit();
    delete m_metaGroup;
    m_metaGroup = nullptr;
    delete m_attrDef;
    m_attrDef = nullptr;
    delete m_upCase;
    m_upCase = nullptr;
    delete m_logFile;
    m_logFile = nullptr;
    for (CMFTFilesPair* p : m_pairs) delete p;
    m_pairs.clear();
    for (CMFTMirrInfo* m : m_mirrs) delete m;
    m_mirrs.clear();
    for (CFolderIndexAllocationInfo* f : m_folders) delete f;
    m_folders.clear();
    for (CIndexRecordInfo* i : m_indexRecords) delete i;
    m_indexRecords.clear();
}

void CNTFSSearchController::ResetJoins() {
    m_fileJoin.pending = false;
    m_fileJoin.sector = -1;
    m_indexJoin.pending = false;
    m_indexJoin.sector = -1;
    m_indexJoin.sectors = -1;
}

int CNTFSSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int capacity) {
    const int count = static_cast<int>(m_candidates.size());
    if (out == nullptr || capacity < count) return count;
    int i = 0;
    for (const CSearchedNTFSPartitionInfo* c : m_candidates) out[i++] = new CSearchedNTFSPartitionInfo(*c);
    return count;
}

void CNTFSSearchController::SetDevice(IStorageDevice* device) {
    NTFS_SEARCH_CHECK(device != nullptr, "pDevice != NULL");
    m_device = device;
    m_partitionBuilder.SetDeviceTotalSectors(device->GetTotalSectors());
}

void CNTFSSearchController::SetBlockSize(int sectorsPerBlock) {
    NTFS_SEARCH_CHECK(sectorsPerBlock > 0, "iSectorsperBlock > 0");
    m_sectorsPerBlock = sectorsPerBlock;
}

void CNTFSSearchController::PreparetoSearch() {
    NTFS_SEARCH_CHECK(m_sectorsPerBlock > 0, "m_iSectorsperBlock > 0");
    if (m_device == nullptr) return;
    // A new search starts from nothing: no half record, candidate or finder
    // of an earlier one may meet this device's sectors.
    ReleaseWalkState();
    ReleaseFindings();
    ResetJoins();
    const std::uint32_t ss = m_device->GetSectorSize();
    // A sector size the on-disk structures cannot have: nothing to search.
    if (ss < 512 || ss % 512 != 0 || ss > 65536) return;
    m_sectorSize = ss;
    m_totalSectors = m_device->GetTotalSectors();
    m_partitionBuilder.SetDeviceTotalSectors(m_totalSectors);
    m_recordBytes = std::max<int>(CNTFSFileRecord::kRecordBytes, static_cast<int>(ss));

    m_attrDef = new CAttrDefFileAnalyzer;
    m_upCase = new CUpCaseFileAnalyzer;
    m_logFile = new CLogFileAnalyzer(m_candidates, m_partitionBuilder, m_device);
    m_metaGroup = new CMetaFileRecordGroupinMFTAnalyzer(m_mfts, m_mirrs, m_candidates, m_partitionBuilder, m_pairs,
                                                        m_finders, m_device);
    m_logFile->SetDeviceTotalSectors(m_totalSectors);
    m_metaGroup->SetDeviceTotalSectors(m_totalSectors);

    m_record.assign(static_cast<std::size_t>(m_recordBytes), 0);
    GetSectorsPerCluster::g_nSectorSize = static_cast<int>(ss);
    if (m_builder != nullptr) m_builder->AddSearcherInfo(SEARCHER_NTFS, kRootFolder);
}

void CNTFSSearchController::AnalyzeBlock(std::int64_t first, std::int64_t count) {
    NTFS_SEARCH_CHECK(m_device != nullptr, "m_pDevice != NULL");
    NTFS_SEARCH_CHECK(m_sectorsPerBlock > 0, "m_iSectorsperBlock > 0");
    NTFS_SEARCH_CHECK(count <= m_sectorsPerBlock, "i64SectorsCount <= m_iSectorsperBlock");
    if (count <= 0 || first < 0 || m_record.empty()) return;
    const std::size_t ss = m_sectorSize;
    // A refused read is examined as zeros: never the previous block's bytes
    // as this block's.
    const std::uint8_t* data = m_blockReader.Read(m_device, first, count);
    if (data == nullptr) {
        m_zeros.assign(ss * static_cast<std::size_t>(count), 0);
        data = m_zeros.data();
    }

    // The $LogFile's RCRD pages are looked for in the same walk: their
    // analysis touches nothing the sector tests read.
    std::int64_t rcrdNext = m_logFile->BeginRCRDBlock(data, static_cast<std::uint64_t>(first), count);
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t left = std::min<std::int64_t>(count - i, kCarrySectors);
        const std::uint8_t* p = data + ss * static_cast<std::size_t>(i);
        __builtin_prefetch(p + ss * static_cast<std::size_t>(kPrefetchSectors));
        AnalyzeSector(first + i, p, static_cast<int>(ss * left));
        if (i >= rcrdNext && LE32(p) == CRCRDRecord::kMagic)
            rcrdNext = m_logFile->TakeRCRDPage(data, static_cast<std::uint64_t>(first), count, i);
    }
}

void CNTFSSearchController::AnalyzeSector(std::int64_t sector, const std::uint8_t* p, int available) {
    if (std::memcmp(p + 3, "NTFS    ", 8) == 0 && CNTFSDBR::IsFullValidDBR(p))
        AnalyzeNTFSDBRSector(sector, p);
    else if (LE32(p) == CLogFileAnalyzer::kRstrMagic && CLogFileAnalyzer::IsValidRSTRRecord(p, available))
        m_logFile->AnalyzeRSTRRecord(sector, p, available);
    else
        AnalyzeIndexRecordSector(sector, p, available);
    AnalyzeFileRecordSector(sector, p, available);
    m_attrDef->AnalyzeSectorBuffer(static_cast<std::uint64_t>(sector), p);
    m_upCase->AnalyzeSectorBuffer(static_cast<std::uint64_t>(sector), p);
}

// ------------------------------------------------------------ INDX records

void CNTFSSearchController::AnalyzeIndexRecordSector(std::int64_t sector, const std::uint8_t* p, int available) {
    if (m_indexJoin.pending) {
        const int savedBytes = static_cast<int>(m_indexJoin.sectors) * 512;
        const std::int64_t end = m_indexJoin.sector + savedBytes / static_cast<int>(m_sectorSize);
        if (end > sector) return;  // still inside the saved record
        const int missing = kIndexRecordBytes - savedBytes;
        const std::int64_t savedSector = m_indexJoin.sector;
        const bool join = end == sector && available >= missing;
        m_indexJoin.pending = false;
        m_indexJoin.sector = -1;
        m_indexJoin.sectors = -1;
        if (join) {
            std::memcpy(m_indexJoin.bytes + savedBytes, p, static_cast<std::size_t>(missing));
            AnalyzeIndexRecord(savedSector, m_indexJoin.bytes);
            return;
        }
    }
    if (LE32(p) != kIndexMagic) return;
    if (available < kIndexRecordBytes) {
        if (!CStandardIndexHeader::IsValidMagicNumber(p, 512)) return;
        std::memcpy(m_indexJoin.bytes, p, static_cast<std::size_t>(available));
        m_indexJoin.pending = true;
        m_indexJoin.sector = sector;
        m_indexJoin.sectors = available / 512;
        return;
    }
    // The record test undoes the fixups in place: on a copy, never on the
    // block that every searcher shares.
    std::memcpy(m_indexJoin.bytes, p, kIndexRecordBytes);
    AnalyzeIndexRecord(sector, m_indexJoin.bytes);
}

void CNTFSSearchController::PlaceIndexRecord(const CIndexRecordInfo& index, const CFolderIndexAllocationInfo& folder) {
    const std::int64_t lcn = folder.GetLCN(index.vcn);
    if (lcn == -1) return;
    CSearchedNTFSPartitionInfo* c = BuildPartitionInfoAccordingtoFileRecord(
        static_cast<std::int64_t>(index.sector), lcn, folder.GetSectorsPerCluster(), NTFS_BUILD_FROM_INDX,
        m_totalSectors, m_sectorSize);
    if (c != nullptr) AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(c);
}

void CNTFSSearchController::AnalyzeIndexRecord(std::int64_t sector, std::uint8_t* record) {
    CIndexRecordInfo* info =
        BuildIndexRecordInfofromIndexRecordBuffer(record, kIndexRecordBytes, static_cast<std::uint64_t>(sector));
    if (info == nullptr) return;
    CFolderIndexAllocationInfo probe;
    probe.SetMFTFileRecordNumber(info->parent);
    auto range = m_folders.equal_range(&probe);
    for (auto it = range.first; it != range.second; ++it) PlaceIndexRecord(*info, **it);
    if (m_indexRecords.size() >= kNTFSDeepListLimit) {
        delete info;
        return;
    }
    m_indexRecords.insert(info);
}

int CNTFSSearchController::AdjustPartitionInfoAccordingtoFreshSearchedIndexRecord(CSearchedNTFSPartitionInfo* c) {
    auto range = m_candidates.equal_range(c);
    const bool any = range.first != range.second;
    for (auto it = range.first; it != range.second; ++it) {
        (*it)->AddPartitionBuildFromFlag(NTFS_BUILD_FROM_INDX);
        (*it)->SetThirdPosition((*it)->GetThirdPosition() + 1);
    }
    if (any || m_candidates.size() >= kNTFSDeepListLimit) {
        delete c;
        return any ? 1 : 0;
    }
    m_candidates.insert(c);
    return 0;
}

// ------------------------------------------------------------ FILE records

void CNTFSSearchController::AnalyzeFileRecordSector(std::int64_t sector, const std::uint8_t* p, int available) {
    if (m_fileJoin.pending) {
        const std::int64_t saved = m_fileJoin.sector;
        m_fileJoin.pending = false;
        m_fileJoin.sector = -1;
        if (sector == saved + 1) {
            std::memcpy(m_fileJoin.bytes + 512, p, 512);
            AnalyzeFileRecord(saved, m_fileJoin.bytes);
            return;
        }
    }
    if (LE32(p) == kFileMagic && available < m_recordBytes) {
        // Only 512-byte sectors leave a record's first half at a block end.
        if (m_sectorSize == 512 && CNTFSFileRecordHeader::IsValid(p, 512)) {
            std::memcpy(m_fileJoin.bytes, p, 512);
            m_fileJoin.pending = true;
            m_fileJoin.sector = sector;
            return;
        }
    }
    AnalyzeFileRecord(sector, available >= m_recordBytes ? p : nullptr);
}

void CNTFSSearchController::AnalyzeFileRecord(std::int64_t sector, const std::uint8_t* bytes) {
    if (bytes == nullptr || LE32(bytes) != kFileMagic) {
        // Not a record: it may still end the group of system records. With
        // no group begun there is nothing to end (the group's state is all
        // unset then), which is so for nearly every sector of a disk.
        if (!m_metaGroup->IsGroupBegin()) return;
        const CNTFSFileRecord none(nullptr, 0, 0);
        m_metaGroup->AnalyzeNTFSMetaFileRecord(sector, none);
        return;
    }
    // The fixups are undone on a copy: the sector tests that follow, the
    // RCRD pass and the carry area see the bytes as read.
    std::uint8_t* copy = m_record.data();
    std::memcpy(copy, bytes, static_cast<std::size_t>(m_recordBytes));
    const CNTFSFileRecord record(copy, m_recordBytes, 0);
    m_metaGroup->AnalyzeNTFSMetaFileRecord(sector, record);
    if (!record.IsValid()) return;
    using Meta = CMetaFileRecordTypeAnalyzer;
    if (CFolderFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(record))
        AnalyzeFolderRecord(sector, copy);
    else if (Meta::IsValidLogFileRecord(record))
        m_logFile->AnalyzeLogFileFileRecord(sector, copy, m_recordBytes);
    else if (Meta::IsValidAttrDefFileRecord(record))
        m_attrDef->AnalyzeAttrDefFileRecord(sector, copy, m_recordBytes);
    else if (Meta::IsValidUpCaseFileRecord(record))
        m_upCase->AnalyzeUpCaseFileRecord(sector, copy, m_recordBytes);
    else
        AnalyzeOrdinaryRecord(sector, record);
}

void CNTFSSearchController::AnalyzeFolderRecord(std::int64_t sector, std::uint8_t* bytes) {
    auto* folder = new CFolderIndexAllocationInfo;
    if (!folder->InitFromBuffer(bytes, m_recordBytes, sector) || m_folders.size() >= kNTFSDeepListLimit) {
        delete folder;
        return;
    }
    m_folders.insert(folder);
    CIndexRecordInfo probe;
    probe.parent = folder->GetMFTFileRecordNumber();
    auto range = m_indexRecords.equal_range(&probe);
    for (auto it = range.first; it != range.second; ++it) PlaceIndexRecord(**it, *folder);
    // A folder record always opens a new run.
    if (m_positions.size() < kNTFSDeepListLimit) m_positions.push_back(new CCommonFileRecordPositionInfo(sector));
}

void CNTFSSearchController::AnalyzeOrdinaryRecord(std::int64_t sector, const CNTFSFileRecord& record) {
    if (record.IsExtendFileRecord()) return;
    if (m_metaGroup->IsaMetaFileRecordNotNeedtoCount(record) || m_logFile->IsaMetaFileRecordNotNeedtoCount(record))
        return;
    if (!m_positions.empty() && m_positions.back()->Merge(sector)) return;
    if (m_positions.size() < kNTFSDeepListLimit) m_positions.push_back(new CCommonFileRecordPositionInfo(sector));
}

// ------------------------------------------------------------ boot sectors

CSearchedNTFSPartitionInfo* CNTFSSearchController::BuildPartitionInfoFromDBR(const CNTFSDBR& dbr, std::int64_t start,
                                                                             std::uint32_t flag) const {
    if (start < 0 || start > m_totalSectors) return nullptr;
    const std::int64_t length = std::min(m_totalSectors - start, dbr.GetTotalSectors());
    if (length < 8) return nullptr;
    const std::uint32_t spc = dbr.GetSectorsperCluster();
    if (spc == 0) return nullptr;
    auto* c = new CSearchedNTFSPartitionInfo(m_sectorSize);
    c->SetPartitionBuildFromFlag(flag);
    c->SetFileSystemType(FILE_SYSTEM_NTFS);
    c->SetSectorsPerCluster(spc);
    c->SetSerialNumber(static_cast<std::int64_t>(dbr.GetSerialNumber()));
    c->SetStartSector(start);
    c->SetCluster0Sector(start);
    const std::int64_t clusters = length / spc;
    c->SetTotalClusters(clusters);
    c->SetTotalSectors(static_cast<std::uint64_t>(clusters) * spc);
    return c;
}

void CNTFSSearchController::AnalyzeNTFSDBRSector(std::int64_t sector, const std::uint8_t* bytes) {
    NTFS_SEARCH_CHECK(bytes != nullptr, "pSectorBuffer != NULL");
    CNTFSDBR dbr;
    if (!dbr.InitFromBuffer(bytes)) return;
    const std::int64_t total = dbr.GetTotalSectors();
    // Read as the backup in the partition's last sector: the partition
    // would begin `total` sectors before it.
    CSearchedNTFSPartitionInfo* backup =
        total > 0 && total <= sector ? BuildPartitionInfoFromDBR(dbr, sector - total, NTFS_BUILD_FROM_BACKUP_BOOT)
                                     : nullptr;
    if (backup != nullptr) {
        auto range = m_candidates.equal_range(backup);
        bool matched = false;
        for (auto it = range.first; it != range.second; ++it) {
            CSearchedNTFSPartitionInfo* c = *it;
            c->AddPartitionBuildFromFlag(NTFS_BUILD_FROM_BACKUP_BOOT);
            if ((c->GetTotalSectors() == backup->GetTotalSectors() &&
                 c->GetSerialNumber() == backup->GetSerialNumber()) ||
                (c->GetPartitionBuildFromFlags() & NTFS_BUILD_FROM_BOOT) != 0)
                matched = true;
        }
        if (matched) {
            // The backup of a known partition. The guess, made when its
            // primary was analysed, that the primary was itself a backup is
            // withdrawn.
            if (sector - total >= total) {
                CSearchedNTFSPartitionInfo probe(m_sectorSize);
                probe.SetStartSector(sector - 2 * total);
                probe.SetSectorsPerCluster(dbr.GetSectorsperCluster());
                m_partitionBuilder.AdjustPartitionBuildFromFlag(&probe, 0, NTFS_BUILD_FROM_BACKUP_BOOT);
            }
            delete backup;
            return;
        }
        for (auto it = range.first; it != range.second; ++it) {
            if ((*it)->GetTotalSectors() != 0) continue;
            (*it)->SetTotalSectors(backup->GetTotalSectors());
            (*it)->SetTotalClusters(backup->GetTotalClusters());
        }
        m_candidates.insert(backup);
    }
    if (CSearchedNTFSPartitionInfo* primary = BuildPartitionInfoFromDBR(dbr, sector, NTFS_BUILD_FROM_BOOT))
        m_candidates.insert(primary);
}

// ---------------------------------------------------------------- the end

void CNTFSSearchController::EndSearch(int build) {
    if (build == 0) return;
    std::int64_t number = 0;
    for (auto it = m_candidates.begin(); it != m_candidates.end(); ++number) {
        CSearchedNTFSPartitionInfo* c = *it;
        if (m_attrDef != nullptr) m_attrDef->CalcAttrDefMatch(*c);
        if (m_upCase != nullptr) m_upCase->CalcUpcaseMatch(*c);
        if (m_logFile != nullptr) m_logFile->CalcLogFileMatch(*c);
        c->SetMFTLocated(c->GetMFTSector() != -1 ? 1 : 0);
        const std::int64_t score = CalcFileSystemReliabilityScore(*c);
        c->SetCount(static_cast<std::uint64_t>(std::max<std::int64_t>(score, 0)));
        // Index matches vouch only for a candidate with little else: a
        // well-evidenced partition whose folders all hang off the root has
        // none and must stay.
        const bool weak = score <= 50 || c->GetMFTLocated() == 0;
        if (number >= 2 && (score < 11 || (weak && c->GetSecondPosition() == 0 && c->GetThirdPosition() == 0))) {
            it = m_candidates.erase(it);
            delete c;
            continue;
        }
        c->SetCluster0Sector(c->GetStartSector());
        ++it;
    }
    if (m_candidates.size() >= 3) {
        for (auto it = m_candidates.begin(); it != m_candidates.end();) {
            CSearchedNTFSPartitionInfo* c = *it;
            if (static_cast<std::int64_t>(c->GetCount()) <= 50 && c->GetMFTLocated() == 0) {
                it = m_candidates.erase(it);
                delete c;
            } else {
                ++it;
            }
        }
    }
    SetSearchedNTFSPartitionBelongCtrl();
    ReleaseWalkState();
    if (m_builder != nullptr) {
        m_builder->SetPartitonDevice(nullptr, m_device);
        m_builder->FlashBuild(SEARCHER_NTFS);
    }
}

void CNTFSSearchController::SetSearchedNTFSPartitionBelongCtrl() {
    if (m_device == nullptr) return;
    CNTFSIntelligentSearchInfo info;
    info.Init(&m_mfts, &m_positions, &m_finders);
    CNTFSDirectoryTreeBuilder trees;
    const int n = static_cast<int>(m_candidates.size());
    int place = 0;
    for (CSearchedNTFSPartitionInfo* c : m_candidates) {
        c->SetScore(static_cast<double>(n - place));
        // Nodes carry their candidate's place; the writer finds the
        // candidate by it.
        c->SetPartitionIndex(static_cast<std::uint16_t>(place));
        trees.BuildDirectoryTree(&info, c, m_device, place, nullptr, m_builder);
        ++place;
    }
}
