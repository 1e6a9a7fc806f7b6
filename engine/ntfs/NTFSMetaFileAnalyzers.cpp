#include "ntfs/NTFSMetaFileAnalyzers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "foundation/StorageDevice.h"
#include "foundation/Types.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSIndexRecord.h"
#include "ntfs/NTFSLogFileFinder.h"
#include "ntfs/NTFSMetaFileRecordType.h"

using namespace byteorder;

namespace {

constexpr std::int64_t kMaxSector = INT64_C(1) << 56;  // far beyond any device

// Cluster sizes a volume can have, in sectors.
constexpr std::uint32_t kClusterSizes[] = {1, 2, 4, 8, 16, 32, 64, 128};

std::uint32_t DeviceSectorSize(IStorageDevice* device) {
    const std::uint32_t ss = device != nullptr ? device->GetSectorSize() : 512;
    return ss >= 512 && ss % 512 == 0 ? ss : 512;
}

}  // namespace

// ------------------------------------------------------ candidate factory

CSearchedNTFSPartitionInfo* BuildPartitionInfoAccordingtoFileRecord(std::int64_t recordSector,
                                                                    std::int64_t firstCluster, std::uint32_t spc,
                                                                    std::uint32_t flags, std::int64_t deviceTotal,
                                                                    std::uint32_t sectorSize) {
    // Cluster numbers come from disk: keep the products inside 64 bits.
    if (spc == 0 || spc > 128 || firstCluster < 0 || firstCluster > kMaxSector / 128) return nullptr;
    if (recordSector < 0 || recordSector > kMaxSector) return nullptr;
    const std::int64_t offset = firstCluster * static_cast<std::int64_t>(spc);
    const std::int64_t start = recordSector - offset;
    if (start < 0 || offset < 8) return nullptr;
    auto* c = new CSearchedNTFSPartitionInfo(sectorSize);
    c->SetFileSystemType(FILE_SYSTEM_NTFS);
    c->SetStartSector(start);
    c->SetCluster0Sector(start);
    c->SetSectorsPerCluster(spc);
    c->SetThirdPosition(0);
    const std::int64_t clusters = deviceTotal > start ? (deviceTotal - start) / spc : 0;
    c->SetTotalClusters(clusters);
    c->SetTotalSectors(static_cast<std::uint64_t>(clusters) * spc);
    c->SetPartitionBuildFromFlag(flags);
    return c;
}

void BuildPartitionInfoAccordingtoFileRecord(std::int64_t recordSector, std::int64_t firstCluster, std::uint32_t flags,
                                             std::int64_t deviceTotal, std::uint32_t sectorSize,
                                             std::list<CSearchedNTFSPartitionInfo*>& out) {
    for (std::uint32_t spc : kClusterSizes)
        if (CSearchedNTFSPartitionInfo* c = BuildPartitionInfoAccordingtoFileRecord(recordSector, firstCluster, spc,
                                                                                    flags, deviceTotal, sectorSize))
            out.push_back(c);
}

bool CNTFSPartitionInfoBuilder::AdjustPartitionBuildFromFlag(const CSearchedNTFSPartitionInfo* candidate,
                                                             std::uint32_t add, std::uint32_t remove) {
    auto range = m_set.equal_range(const_cast<CSearchedNTFSPartitionInfo*>(candidate));
    const bool any = range.first != range.second;
    for (auto it = range.first; it != range.second;) {
        CSearchedNTFSPartitionInfo* c = *it;
        if (c == candidate) {  // never the probe itself
            ++it;
            continue;
        }
        const std::uint32_t kept = c->GetPartitionBuildFromFlags() & ~remove;
        if (kept == 0 && add == 0) {
            it = m_set.erase(it);
            delete c;
            continue;
        }
        c->SetPartitionBuildFromFlag(kept | add);
        ++it;
    }
    return any;
}

// ------------------------------------------------------- CMetaFileAnalyzer

void CMetaFileAnalyzer::CombineSectorOfRange(std::uint64_t sector) {
    if (!m_ranges.empty()) {
        Range& last = m_ranges.back();
        if (last.first + last.count == sector) {
            ++last.count;
            return;
        }
        if (sector < last.first + last.count) m_ascending = false;
    }
    if (m_ranges.size() >= kNTFSDeepListLimit) return;
    m_ranges.push_back({sector, 1});
}

std::int64_t CMetaFileAnalyzer::GetSectorRangeCount(std::uint64_t first, std::uint64_t last) const {
    if (last < first) return 0;
    auto it = m_ranges.begin();
    if (m_ascending) {
        // Skip the ranges that end before `first`.
        it = std::upper_bound(m_ranges.begin(), m_ranges.end(), first,
                              [](std::uint64_t s, const Range& r) { return s < r.first; });
        if (it != m_ranges.begin()) --it;
    }
    std::int64_t total = 0;
    for (; it != m_ranges.end(); ++it) {
        const std::uint64_t rFirst = it->first;
        const std::uint64_t rLast = it->first + it->count - 1;
        if (m_ascending && rFirst > last) break;
        if (rFirst <= first && rLast >= last) return total + static_cast<std::int64_t>(last - first + 1);
        const std::uint64_t lo = std::max(rFirst, first);
        const std::uint64_t hi = std::min(rLast, last);
        if (lo <= hi) total += static_cast<std::int64_t>(hi - lo + 1);
    }
    return total;
}

std::int64_t CMetaFileAnalyzer::GetMatchCount(const CNTFSDataRunList& runs, std::int64_t start,
                                              std::uint8_t spc) const {
    if (spc == 0 || start < 0) return 0;
    std::int64_t total = 0;
    for (const CDataRun& r : runs.Runs()) {
        if (r.LCN < 0 || r.length <= 0 || r.LCN > kMaxSector / 256 || r.length > kMaxSector / 256) continue;
        const std::int64_t lo = r.LCN * spc + start;
        const std::int64_t hi = lo + r.length * spc;
        total += GetSectorRangeCount(static_cast<std::uint64_t>(lo), static_cast<std::uint64_t>(hi));
    }
    return total;
}

bool CMetaFileAnalyzer::CompareSectorBuffer(const std::uint8_t* a, const std::uint8_t* b) {
    return std::memcmp(a, b, 512) == 0;
}

// ---------------------------------------------------- CAttrDefFileAnalyzer

namespace {

struct AttrDefEntry {
    const char* name;
    std::uint32_t type;
    std::uint32_t flags;
    std::int64_t minSize;
    std::int64_t maxSize;
};

const AttrDefEntry kAttrDefs[] = {
    {"$STANDARD_INFORMATION", 0x10, 0x40, 48, 72},
    {"$ATTRIBUTE_LIST", 0x20, 0x80, 0, -1},
    {"$FILE_NAME", 0x30, 0x42, 68, 578},
    {"$OBJECT_ID", 0x40, 0x40, 0, 256},
    {"$SECURITY_DESCRIPTOR", 0x50, 0x80, 0, -1},
    {"$VOLUME_NAME", 0x60, 0x40, 2, 256},
    {"$VOLUME_INFORMATION", 0x70, 0x40, 12, 12},
    {"$DATA", 0x80, 0x00, 0, -1},
    {"$INDEX_ROOT", 0x90, 0x40, 0, -1},
    {"$INDEX_ALLOCATION", 0xA0, 0x80, 0, -1},
    {"$BITMAP", 0xB0, 0x80, 0, -1},
    {"$REPARSE_POINT", 0xC0, 0x80, 0, 16384},
    {"$EA_INFORMATION", 0xD0, 0x40, 8, 8},
    {"$EA", 0xE0, 0x00, 0, 65536},
    {"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 65536},
};

// Sixteen 160-byte entries: UTF-16LE name in 128 bytes, type, display rule,
// collation rule, flags, minimum and maximum size; the last entry is empty.
const std::uint8_t* MakeAttrDefContent() {
    static std::uint8_t content[CAttrDefFileAnalyzer::kContentBytes];
    std::memset(content, 0, sizeof(content));
    int i = 0;
    for (const AttrDefEntry& e : kAttrDefs) {
        std::uint8_t* p = content + 160 * i++;
        for (int c = 0; e.name[c] != '\0'; ++c) PutLE16(p + 2 * c, static_cast<std::uint8_t>(e.name[c]));
        PutLE32(p + 128, e.type);
        PutLE32(p + 140, e.flags);
        PutLE64(p + 144, static_cast<std::uint64_t>(e.minSize));
        PutLE64(p + 152, static_cast<std::uint64_t>(e.maxSize));
    }
    return content;
}

}  // namespace

const std::uint8_t* const CAttrDefFileAnalyzer::m_u8AttrDefFile = MakeAttrDefContent();

CAttrDefFileAnalyzer::~CAttrDefFileAnalyzer() {
    for (CAttrDefFileInfo* info : m_infos) delete info;
}

void CAttrDefFileAnalyzer::AnalyzeAttrDefFileRecord(std::int64_t sector, std::uint8_t* record, int size) {
    if (m_infos.size() >= kNTFSDeepListLimit) return;
    auto* info = new CAttrDefFileInfo;
    if (!info->InitFromBuffer(record, size, sector)) {
        delete info;
        return;
    }
    m_infos.push_back(info);
}

bool CAttrDefFileAnalyzer::AnalyzeSectorBuffer(std::uint64_t sector, const std::uint8_t* bytes) {
    // Two 8-byte tests for each of the five sectors before the full
    // comparison: its first word, then its first word that is not zero.
    // Three of them begin inside a zero-padded name, so that their first
    // words alone would send every zero sector to three comparisons.
    struct Probe {
        std::uint64_t head;
        std::size_t at;  // first word not zero
        std::uint64_t word;
    };
    static const auto probes = [] {
        std::array<Probe, 5> out{};
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::uint8_t* sector = m_u8AttrDefFile + 512 * i;
            out[i].head = LE64(sector);
            std::size_t at = 0;
            while (at + 8 < 512 && LE64(sector + at) == 0) at += 8;
            out[i].at = at;
            out[i].word = LE64(sector + at);
        }
        return out;
    }();
    const std::uint64_t head = LE64(bytes);
    for (std::size_t i = 0; i < probes.size(); ++i) {
        if (head != probes[i].head || LE64(bytes + probes[i].at) != probes[i].word) continue;
        if (CMetaFileAnalyzer::CompareSectorBuffer(bytes, m_u8AttrDefFile + 512 * i)) {
            m_ranges.CombineSectorOfRange(sector);
            return true;
        }
    }
    return false;
}

CAttrDefFileInfo* CAttrDefFileAnalyzer::FindAttrDefFile(std::int64_t first, std::uint64_t count) const {
    const std::int64_t end = first + static_cast<std::int64_t>(std::min<std::uint64_t>(count, kMaxSector));
    for (CAttrDefFileInfo* info : m_infos) {
        if (info->GetSectorAddress() >= end) return nullptr;
        if (info->GetSectorAddress() >= first) return info;
    }
    return nullptr;
}

CAttrDefFileInfo* CAttrDefFileAnalyzer::FindAttrDefFile(std::int64_t sector) const {
    for (CAttrDefFileInfo* info : m_infos) {
        if (info->GetSectorAddress() > sector) return nullptr;
        if (info->GetSectorAddress() == sector) return info;
    }
    return nullptr;
}

CAttrDefFileInfo* CAttrDefFileAnalyzer::FindAttrDefFile(const CSearchedNTFSPartitionInfo& c) const {
    CAttrDefFileInfo* info = nullptr;
    // Record 4 of the MFT.
    if (c.GetMFTSector() != -1) info = FindAttrDefFile(c.GetMFTSector() + 4 * c.GetSectorsperFileRecord());
    if (info == nullptr) info = FindAttrDefFile(c.GetStartSector(), c.GetTotalSectors());
    return info;
}

void CAttrDefFileAnalyzer::CalcAttrDefMatch(CSearchedNTFSPartitionInfo& c) const {
    const CAttrDefFileInfo* info = FindAttrDefFile(c);
    if (info == nullptr) {
        c.SetAttrDefMatchCount(0);
        return;
    }
    c.SetAttrDefRecordSector(info->GetSectorAddress());
    c.SetAttrDefMatchCount(m_ranges.GetMatchCount(info->GetNTFSDataRunList(), c.GetStartSector(),
                                                  static_cast<std::uint8_t>(c.GetSectorsPerCluster())));
}

// -------------------------------------------------------- CLogFileAnalyzer

CLogFileAnalyzer::CLogFileAnalyzer(NTFSCandidateSet& set, CNTFSPartitionInfoBuilder& builder, IStorageDevice* device)
    : m_set(set), m_builder(builder), m_device(device) {
    m_sectorSize = DeviceSectorSize(device);
    m_pageSectors = std::max<int>(1, kPageBytes / static_cast<int>(m_sectorSize));
    m_total = device != nullptr ? device->GetTotalSectors() : 0;
}

CLogFileAnalyzer::~CLogFileAnalyzer() {
    for (CLogFileInfo* info : m_logInfos) delete info;
    for (CRestartRecordInfo* r : m_restarts) delete r;
}

void CLogFileAnalyzer::AddRestartCandidate(std::int64_t pageSector, std::int64_t cluster, std::uint32_t spc,
                                           std::uint32_t flag) {
    CSearchedNTFSPartitionInfo* c =
        BuildPartitionInfoAccordingtoFileRecord(pageSector, cluster, spc, flag, m_total, m_sectorSize);
    if (c == nullptr) return;
    if (m_builder.AdjustPartitionBuildFromFlag(c, flag, 0))
        delete c;
    else
        m_set.insert(c);
}

void CLogFileAnalyzer::AdjustPartitionInfoAccordingtoSecondRSTR(std::int64_t sector, std::int64_t cluster,
                                                                std::uint32_t spc) {
    // The page before this one was the first restart page: the partition
    // that puts the $LogFile there gains the second page...
    if (CSearchedNTFSPartitionInfo* c = BuildPartitionInfoAccordingtoFileRecord(
            sector - m_pageSectors, cluster, spc, NTFS_BUILD_FROM_RSTR2, m_total, m_sectorSize)) {
        m_builder.AdjustPartitionBuildFromFlag(c, NTFS_BUILD_FROM_RSTR2, 0);
        delete c;
    }
    // ...and the guess that this page was a first one is withdrawn.
    if (CSearchedNTFSPartitionInfo* c = BuildPartitionInfoAccordingtoFileRecord(
            sector, cluster, spc, NTFS_BUILD_FROM_RSTR1, m_total, m_sectorSize)) {
        m_builder.AdjustPartitionBuildFromFlag(c, 0, NTFS_BUILD_FROM_RSTR1);
        delete c;
    }
}

void CLogFileAnalyzer::AnalyzeRSTRRecord(std::int64_t sector, const std::uint8_t*, int) {
    if (m_restarts.size() >= kNTFSDeepListLimit) return;
    const bool paired = !m_restarts.empty() && m_restarts.back()->sector == sector - m_pageSectors;
    for (const CLogFileInfo* log : m_logInfos) {
        const std::int64_t cluster = log->GetFirstClusterNO();
        const std::uint32_t spc = log->GetSectorsPerCluster();
        if (cluster < 0 || spc == 0) continue;
        if (paired) {
            AdjustPartitionInfoAccordingtoSecondRSTR(sector, cluster, spc);
        } else {
            AddRestartCandidate(sector, cluster, spc, NTFS_BUILD_FROM_RSTR1);
            if (sector - m_pageSectors > 0)
                AddRestartCandidate(sector - m_pageSectors, cluster, spc, NTFS_BUILD_FROM_RSTR2);
        }
    }
    m_restarts.push_back(new CRestartRecordInfo{sector});
}

void CLogFileAnalyzer::AnalyzeLogFileFileRecord(std::int64_t sector, std::uint8_t* record, int size) {
    if (m_logInfos.size() >= kNTFSDeepListLimit) return;
    auto* info = new CLogFileInfo;
    if (!info->InitFromBuffer(record, size, sector)) {
        delete info;
        return;
    }
    const std::int64_t cluster = info->GetFirstClusterNO();
    const std::uint32_t spc = info->GetSectorsPerCluster();
    if (cluster >= 0 && spc != 0) {
        for (auto it = m_restarts.begin(); it != m_restarts.end(); ++it) {
            const std::int64_t s = (*it)->sector;
            auto next = std::next(it);
            if (next != m_restarts.end() && (*next)->sector == s + m_pageSectors) {
                AddRestartCandidate(s, cluster, spc, NTFS_BUILD_FROM_RSTR1 | NTFS_BUILD_FROM_RSTR2);
                it = next;
                continue;
            }
            AddRestartCandidate(s, cluster, spc, NTFS_BUILD_FROM_RSTR1);
            if (s - m_pageSectors > 0) AddRestartCandidate(s - m_pageSectors, cluster, spc, NTFS_BUILD_FROM_RSTR2);
        }
    }
    m_logInfos.push_back(info);
}

void CLogFileAnalyzer::AnalyzeOneRCRDRecord(const std::uint8_t* page, std::int64_t sector) {
    if (!CRCRDRecord::IsValid(page, kPageBytes)) return;
    for (int i = 0; i < m_pageSectors; ++i) m_rcrd.CombineSectorOfRange(static_cast<std::uint64_t>(sector + i));
}

void CLogFileAnalyzer::AnalyzeRCRDRecord(const std::uint8_t* block, std::uint64_t firstSector, std::int64_t sectors) {
    const std::size_t ss = m_sectorSize;
    std::int64_t i = BeginRCRDBlock(block, firstSector, sectors);
    while (i < sectors) {
        if (LE32(block + ss * static_cast<std::size_t>(i)) != CRCRDRecord::kMagic)
            ++i;
        else
            i = TakeRCRDPage(block, firstSector, sectors, i);
    }
}

std::int64_t CLogFileAnalyzer::BeginRCRDBlock(const std::uint8_t* block, std::uint64_t firstSector,
                                              std::int64_t sectors) {
    if (block == nullptr || sectors <= 0) return std::max<std::int64_t>(sectors, 0);
    const std::size_t ss = m_sectorSize;
    if (m_savedCount > 0) {
        const int missing = m_pageSectors - m_savedCount;
        if (m_savedFirst + m_savedCount == static_cast<std::int64_t>(firstSector) && sectors >= missing) {
            std::memcpy(m_saved + ss * m_savedCount, block, ss * missing);
            const std::int64_t pageSector = m_savedFirst;
            ResetSavedPage();
            AnalyzeOneRCRDRecord(m_saved, pageSector);
            return missing;
        }
        ResetSavedPage();
    }
    return 0;
}

std::int64_t CLogFileAnalyzer::TakeRCRDPage(const std::uint8_t* block, std::uint64_t firstSector,
                                            std::int64_t sectors, std::int64_t i) {
    const std::uint8_t* p = block + static_cast<std::size_t>(m_sectorSize) * static_cast<std::size_t>(i);
    if (sectors - i < m_pageSectors) {
        // Cut by the block end: keep what is here for the next block.
        m_savedCount = static_cast<int>(sectors - i);
        m_savedFirst = static_cast<std::int64_t>(firstSector) + i;
        std::memcpy(m_saved, p, static_cast<std::size_t>(m_sectorSize) * static_cast<std::size_t>(m_savedCount));
        return sectors;
    }
    AnalyzeOneRCRDRecord(p, static_cast<std::int64_t>(firstSector) + i);
    return i + m_pageSectors;
}

CLogFileInfo* CLogFileAnalyzer::FindLogFileInfo(std::int64_t first, std::uint64_t count) const {
    const std::int64_t end = first + static_cast<std::int64_t>(std::min<std::uint64_t>(count, kMaxSector));
    for (CLogFileInfo* info : m_logInfos) {
        if (info->GetSectorAddress() >= end) return nullptr;
        if (info->GetSectorAddress() >= first) return info;
    }
    return nullptr;
}

CLogFileInfo* CLogFileAnalyzer::FindLogFileInfo(std::int64_t sector) const {
    for (CLogFileInfo* info : m_logInfos) {
        if (info->GetSectorAddress() > sector) return nullptr;
        if (info->GetSectorAddress() == sector) return info;
    }
    return nullptr;
}

CLogFileInfo* CLogFileAnalyzer::FindLogFileInfo(const CSearchedNTFSPartitionInfo& c) const {
    CLogFileInfo* info = nullptr;
    // Record 2 of the MFT.
    if (c.GetMFTSector() != -1) info = FindLogFileInfo(c.GetMFTSector() + 2 * c.GetSectorsperFileRecord());
    if (info == nullptr) info = FindLogFileInfo(c.GetStartSector(), c.GetTotalSectors());
    return info;
}

void CLogFileAnalyzer::CalcLogFileMatch(CSearchedNTFSPartitionInfo& c) const {
    const CLogFileInfo* info = FindLogFileInfo(c);
    if (info == nullptr) {
        c.SetLogFileMatchCount(0);
        return;
    }
    c.SetLogFileRecordSector(info->GetSectorAddress());
    c.SetLogFileMatchCount(m_rcrd.GetMatchCount(info->GetDataRunList(), c.GetStartSector(),
                                                static_cast<std::uint8_t>(c.GetSectorsPerCluster())));
}

// --------------------------------------- CMetaFileRecordGroupinMFTAnalyzer

CMetaFileRecordGroupinMFTAnalyzer::CMetaFileRecordGroupinMFTAnalyzer(
    std::list<CMFTInfo*>& mfts, std::list<CMFTMirrInfo*>& mirrs, NTFSCandidateSet& set,
    CNTFSPartitionInfoBuilder& builder, std::list<CMFTFilesPair*>& pairs, std::list<FindFileMFTAndLogx*>& finders,
    IStorageDevice* device)
    : m_mfts(mfts),
      m_mirrs(mirrs),
      m_set(set),
      m_builder(builder),
      m_pairs(pairs),
      m_finders(finders),
      m_device(device) {
    m_sectorSize = DeviceSectorSize(device);
    m_recordSectors = std::max<int>(1, CNTFSFileRecord::kRecordBytes / static_cast<int>(m_sectorSize));
    m_total = device != nullptr ? device->GetTotalSectors() : 0;
}

bool CMetaFileRecordGroupinMFTAnalyzer::IsLastFileRecordEndSector(std::int64_t sector) const {
    if (m_groupStart == -1) return false;
    const std::int64_t d = sector - m_groupStart;
    return d % m_recordSectors != 0 && d >= 0 && d <= 8 * m_recordSectors;
}

bool CMetaFileRecordGroupinMFTAnalyzer::IsFileRecordOutofMetaFileRecordGroupRange(std::int64_t sector) const {
    return sector - m_groupStart > 8 * m_recordSectors;
}

bool CMetaFileRecordGroupinMFTAnalyzer::IsGroupEnd(std::int64_t sector, const CNTFSFileRecord& record) const {
    if (!record.IsValid() || m_groupStart == -1) return true;
    if (!CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(record)) return true;
    if (IsFileRecordOutofMetaFileRecordGroupRange(sector)) return true;
    const std::int64_t expected = (sector - m_groupStart) / m_recordSectors;
    return CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(record) != static_cast<std::uint64_t>(expected);
}

bool CMetaFileRecordGroupinMFTAnalyzer::IsaMetaFileRecordNotNeedtoCount(const CNTFSFileRecord& record) const {
    if (m_mfts.size() >= kNTFSDeepListLimit && CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(record)) return true;
    return m_mirrs.size() >= kNTFSDeepListLimit && CMetaFileRecordTypeAnalyzer::IsValidMFTMirrFileRecord(record);
}

void CMetaFileRecordGroupinMFTAnalyzer::ResetMetaFileRecordGroup() {
    m_groupMFT = nullptr;
    m_groupMirr = nullptr;
    m_groupStart = -1;
    m_bitmapBits = -1;
}

void CMetaFileRecordGroupinMFTAnalyzer::ProcessEndMetaFileRecordGroup() {
    AnalyzeMetaFileRecordGroup();
    ResetMetaFileRecordGroup();
}

bool CMetaFileRecordGroupinMFTAnalyzer::AnalyzeNTFSMetaFileRecord(std::int64_t sector, const CNTFSFileRecord& record) {
    // The second half of a record inside the group.
    if (!record.IsValid() && IsLastFileRecordEndSector(sector)) return false;
    if (IsGroupEnd(sector, record)) ProcessEndMetaFileRecordGroup();
    if (!record.IsValid()) return false;

    if (CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(record)) {
        if (m_mfts.size() >= kNTFSDeepListLimit) return false;
        CMFTInfo* mft = CMFTInfo::Build(record, sector);
        if (mft == nullptr) {
            ProcessEndMetaFileRecordGroup();
            return false;
        }
        m_mfts.push_back(mft);
        // An empty finder costs little: it reads the $LogFile only when the
        // tree of a partition holding this $MFT is built.
        m_finders.push_back(new FindFileMFTAndLogx{mft, new CFindFileFromLogFile});
        m_groupMFT = mft;
        m_groupStart = sector;
        return true;
    }
    if (m_groupStart == -1) return false;  // a system record outside any MFT start
    if (CMetaFileRecordTypeAnalyzer::IsValidMFTMirrFileRecord(record)) {
        if (m_mirrs.size() >= kNTFSDeepListLimit) return false;
        CMFTMirrInfo* mirr = CMFTMirrInfo::Build(record, sector);
        if (mirr == nullptr) {
            ProcessEndMetaFileRecordGroup();
            return false;
        }
        m_mirrs.push_back(mirr);
        m_groupMirr = mirr;
        return true;
    }
    if (CMetaFileRecordTypeAnalyzer::IsValidBitmapFileRecord(record)) {
        CBitmapFileInfo bitmap;
        if (bitmap.InitFromBuffer(record, sector) && bitmap.GetFileSize() < (INT64_C(1) << 50))
            m_bitmapBits = bitmap.GetFileSize() * 8;
    }
    return true;
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeMetaFileRecordGroup() {
    if (m_groupMFT == nullptr) return;
    if (m_groupMirr == nullptr) {
        AnalyzeSingleMFT(m_groupMFT);
        return;
    }
    auto* pair = new CMFTFilesPair{m_groupMFT, m_groupMirr};
    AnalyzeMFTFilesPair(pair);
    if (m_pairs.size() < kNTFSDeepListLimit)
        m_pairs.push_back(pair);
    else
        delete pair;
}

void CMetaFileRecordGroupinMFTAnalyzer::AdjustPartitionSizeandMFTSector(std::int64_t mftSector, std::int64_t bitmapBits,
                                                                        CSearchedNTFSPartitionInfo* c) const {
    if (c->GetMFTSector() == -1) c->SetMFTSector(mftSector);
    const std::int64_t spc = c->GetSectorsPerCluster();
    if ((c->GetPartitionBuildFromFlags() & NTFS_BUILD_FROM_BOOT) == 0 && bitmapBits >= 1) {
        const std::int64_t clusters = std::min(c->GetTotalClusters(), bitmapBits);
        c->SetTotalClusters(clusters);
        c->SetTotalSectors(static_cast<std::uint64_t>(clusters * spc));
    }
    c->SetBitmapSectors(spc * bitmapBits);
}

void CMetaFileRecordGroupinMFTAnalyzer::AdjustEqualCandidates(const CSearchedNTFSPartitionInfo* candidate) {
    auto range = m_set.equal_range(const_cast<CSearchedNTFSPartitionInfo*>(candidate));
    for (auto it = range.first; it != range.second; ++it)
        AdjustPartitionSizeandMFTSector(m_groupStart, m_bitmapBits, *it);
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeSingleMFT(CMFTInfo* mft) {
    std::list<CSearchedNTFSPartitionInfo*> candidates;
    const std::int64_t cluster = mft->GetFirstClusterNO();
    if (mft->GetSectorsPerCluster() != 0) {
        if (CSearchedNTFSPartitionInfo* c =
                BuildPartitionInfoAccordingtoFileRecord(mft->GetSectorAddress(), cluster, mft->GetSectorsPerCluster(),
                                                        NTFS_BUILD_FROM_MFT, m_total, m_sectorSize))
            candidates.push_back(c);
    } else {
        BuildPartitionInfoAccordingtoFileRecord(mft->GetSectorAddress(), cluster, NTFS_BUILD_FROM_MFT, m_total,
                                                m_sectorSize, candidates);
    }
    for (auto it = candidates.begin(); it != candidates.end(); ++it) {
        CSearchedNTFSPartitionInfo* c = *it;
        AdjustPartitionSizeandMFTSector(m_groupStart, m_bitmapBits, c);
        if (m_builder.AdjustPartitionBuildFromFlag(c, NTFS_BUILD_FROM_MFT, 0)) {
            AdjustEqualCandidates(c);
            for (auto rest = it; rest != candidates.end(); ++rest) delete *rest;
            return;
        }
        m_set.insert(c);
    }
}

bool CMetaFileRecordGroupinMFTAnalyzer::IsMFTMirrFile(const CSearchedNTFSPartitionInfo& c, const CMFTInfo& mft) const {
    const std::int64_t cluster = mft.GetFirstClusterNO();
    if (cluster < 0 || cluster > kMaxSector / 256) return false;
    const std::int64_t mftSector = c.GetStartSector() + cluster * c.GetSectorsPerCluster();
    for (const CMFTFilesPair* p : m_pairs)
        if (p->mft->GetSectorAddress() == mftSector) return true;
    return false;
}

void CMetaFileRecordGroupinMFTAnalyzer::AnalyzeMFTFilesPair(CMFTFilesPair* pair) {
    // Read as the $MFTMirr copy: the records stand at the mirror's cluster.
    CSearchedNTFSPartitionInfo* c = BuildPartitionInfoAccordingtoFileRecord(
        pair->mft->GetSectorAddress(), pair->mirr->GetFirstClusterNO(), pair->mft->GetSectorsPerCluster(),
        NTFS_BUILD_FROM_MFTMIRR, m_total, m_sectorSize);
    if (c == nullptr) {
        AnalyzeSingleMFT(pair->mft);
        return;
    }
    AdjustPartitionSizeandMFTSector(m_groupStart, m_bitmapBits, c);
    if (IsMFTMirrFile(*c, *pair->mft)) {
        // The MFT itself was seen where this copy says: a confirmed pair.
        m_builder.AdjustPartitionBuildFromFlag(c, NTFS_BUILD_FROM_MFT_PAIR, NTFS_BUILD_FROM_MFT);
    } else if (m_builder.AdjustPartitionBuildFromFlag(c, NTFS_BUILD_FROM_MFTMIRR, 0)) {
        AdjustEqualCandidates(c);
    } else {
        AnalyzeSingleMFT(pair->mft);
    }
    delete c;
}
