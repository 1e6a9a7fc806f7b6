#include "ntfs/NTFSDeepSearchRecords.h"

#include <new>

#include "foundation/RecordContainer.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFrameIO.h"
#include "ntfs/NTFSLayout.h"

using namespace byteorder;
using namespace ntfslayout;

namespace {
// A saved run list: a u64 count, then per run LCN, length and VCN as i64.
constexpr std::size_t kRunCountBytes = 8;
constexpr std::size_t kSavedRunBytes = 24;
constexpr std::size_t kSavedRunLcn = 0;
constexpr std::size_t kSavedRunLength = 8;
constexpr std::size_t kSavedRunVcn = 16;
// A saved MFT position: its first sector (i64), sectors per record and per
// cluster (u8 each).
constexpr std::size_t kMftHeadSector = 0;
constexpr std::size_t kMftHeadSectorsPerRecord = 8;
constexpr std::size_t kMftHeadSectorsPerCluster = 9;
constexpr std::size_t kMftHeadBytes = 10;
// A saved partition: serial (i64), four u32 fields, then nine i64 fields.
constexpr std::size_t kPartSerial = 0;
constexpr std::size_t kPartSectorsPerRecord = 8;
constexpr std::size_t kPartBuildFrom = 12;
constexpr std::size_t kPartMftLocated = 16;
constexpr std::size_t kPartReserved = 20;
constexpr std::size_t kPartTail = 24;
constexpr int kPartTailFields = 9;
}  // namespace

// ------------------------------------------------- CNTFSDataRunList frames

bool CNTFSDataRunList::Save(IRSData& rs) const {
    std::vector<std::uint8_t> out(kRunCountBytes + kSavedRunBytes * m_runs.size());
    PutLE64(out.data(), static_cast<std::uint64_t>(m_runs.size()));
    std::size_t p = kRunCountBytes;
    for (const CDataRun& r : m_runs) {
        PutLE64(out.data() + p + kSavedRunLcn, static_cast<std::uint64_t>(r.LCN));
        PutLE64(out.data() + p + kSavedRunLength, static_cast<std::uint64_t>(r.length));
        PutLE64(out.data() + p + kSavedRunVcn, static_cast<std::uint64_t>(r.VCN));
        p += kSavedRunBytes;
    }
    return rs.WriteCurFrame(out.data(), static_cast<unsigned>(out.size()));
}

bool CNTFSDataRunList::Restore(IRSData& rs) {
    try {
        std::uint8_t head[kRunCountBytes];
        if (!ntfsframe::ReadExact(rs, head, sizeof(head))) return false;
        const std::int64_t count = static_cast<std::int64_t>(LE64(head));
        if (count < 1) return true;
        // The count comes from a file: the runs must be in the frame.
        if (static_cast<std::uint64_t>(count) > rs.GetFrameRemaining() / kSavedRunBytes) return false;
        std::vector<std::uint8_t> in(static_cast<std::size_t>(count) * kSavedRunBytes);
        if (!ntfsframe::ReadExact(rs, in.data(), static_cast<unsigned>(in.size()))) return false;
        for (std::int64_t i = 0; i < count; ++i) {
            const std::uint8_t* p = in.data() + kSavedRunBytes * i;
            m_runs.push_back(CDataRun{static_cast<std::int64_t>(LE64(p + kSavedRunLcn)),
                                      static_cast<std::int64_t>(LE64(p + kSavedRunVcn)),
                                      static_cast<std::int64_t>(LE64(p + kSavedRunLength))});
        }
        return true;
    } catch (const CRSException&) {
        return false;
    }
}

// ------------------------------------------------------------ CMetaFileInfo

bool CMetaFileInfo::InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector) {
    if (!record.IsValid()) return false;
    CNTFSDataRunList runs;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, runs, 0, nullptr)) return false;
    if (runs.IsEmpty()) return false;
    m_runs = runs;
    m_sector = sector;
    m_lsn = record.GetLogFileSequenceNumber();
    return true;
}

bool CMetaFileInfo::InitFromBuffer(std::uint8_t* buffer, int size, std::int64_t sector) {
    CNTFSFileRecord record(buffer, size, 1);
    return InitFromBuffer(record, sector);
}

void CMetaFileInfo::GetDataRunList(CNTFSDataRunList& out) const {
    for (const CDataRun& r : m_runs.Runs()) out.AddDataRun(r);
}

bool CMetaFileInfo::Equals(const CMetaFileInfo& other) const {
    return m_sector == other.m_sector && m_lsn == other.m_lsn && m_runs.IsEqual(other.m_runs);
}

bool CMetaFileInfoWithClusterSize::InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector) {
    std::uint8_t spc = 0;
    if (!CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(record, spc)) return false;
    if (!CMetaFileInfo::InitFromBuffer(record, sector)) return false;
    m_spc = spc;
    return true;
}

bool CMetaFileInfoWithClusterSize::InitFromBuffer(std::uint8_t* buffer, int size, std::int64_t sector) {
    CNTFSFileRecord record(buffer, size, 1);
    return InitFromBuffer(record, sector);
}

CMFTMirrInfo* CMFTMirrInfo::Build(const CNTFSFileRecord& record, std::int64_t sector) {
    auto* info = new (std::nothrow) CMFTMirrInfo;
    if (info != nullptr && !info->InitFromBuffer(record, sector)) {
        delete info;
        return nullptr;
    }
    return info;
}

// ----------------------------------------------------------------- CMFTInfo

CMFTInfo* CMFTInfo::Build(const CNTFSFileRecord& record, std::int64_t sector) {
    auto* info = new (std::nothrow) CMFTInfo;
    if (info == nullptr) return nullptr;
    if (!info->InitFromBuffer(record, sector) || info->m_runs.GetLCN(0) < 0) {
        delete info;
        return nullptr;
    }
    return info;
}

bool CMFTInfo::InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector) {
    std::uint8_t spc = 0;
    CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(record, spc);
    if (spc == 0) return false;
    CNTFSDataRunList runs;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, runs, 0, nullptr)) return false;
    m_spc = spc;
    m_sector = sector;
    m_runs = runs;
    return !m_runs.IsEmpty();
}

bool CMFTInfo::InitFromBuffer(std::uint8_t* buffer, int size, std::int64_t sector) {
    CNTFSFileRecord record(buffer, size, 1);
    return InitFromBuffer(record, sector);
}

bool CMFTInfo::Save(IRSData& rs) const {
    std::uint8_t head[kMftHeadBytes];
    PutLE64(head + kMftHeadSector, static_cast<std::uint64_t>(m_sector));
    head[kMftHeadSectorsPerRecord] = m_spr;
    head[kMftHeadSectorsPerCluster] = m_spc;
    return rs.WriteCurFrame(head, sizeof(head)) && m_runs.Save(rs);
}

bool CMFTInfo::Restore(IRSData& rs) {
    try {
        std::uint8_t head[kMftHeadBytes];
        if (!ntfsframe::ReadExact(rs, head, sizeof(head))) return false;
        m_sector = static_cast<std::int64_t>(LE64(head + kMftHeadSector));
        m_spr = head[kMftHeadSectorsPerRecord];
        m_spc = head[kMftHeadSectorsPerCluster];
        m_runs.ClearDataRunList();
        return m_runs.Restore(rs);
    } catch (const CRSException&) {
        return false;
    }
}

// ---------------------------------------------------------- CBitmapFileInfo

bool CBitmapFileInfo::InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector) {
    if (!record.IsValid()) return false;
    CNTFSDataRunList runs;
    std::int64_t realSize = 0;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, runs, 1, &realSize)) return false;
    if (realSize < 1 || runs.GetTotalClusters() < 1) return false;
    m_size = realSize;
    m_sector = sector;
    return true;
}

// ----------------------------------------------- CFolderIndexAllocationInfo

bool CFolderIndexAllocationInfo::InitFromBuffer(std::uint8_t* buffer, int size, std::int64_t sector) {
    CNTFSFileRecord record(buffer, size, 1);
    if (!record.IsValid() || record.IsExtendFileRecord()) return false;
    const std::uint8_t* base = record.GetBuffer();
    const std::uint32_t rootOffset = CNTFSFileRecord::GetAttributeOffset(base, kAttrIndexRoot, 0);
    if (rootOffset != CNTFSFileRecord::kNotFound)
        m_folderNumber = CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(
            base + rootOffset, record.GetSize() - static_cast<int>(rootOffset));
    const std::uint32_t allocOffset = CNTFSFileRecord::GetAttributeOffset(base, kAttrIndexAllocation, 0);
    if (allocOffset == CNTFSFileRecord::kNotFound) return false;
    const std::uint8_t* a = base + allocOffset;
    const int available = record.GetSize() - static_cast<int>(allocOffset);
    if (CNTFSFileRecordAttribute::GetLength(a) < 1) return false;
    CNTFSDataRunList runs;
    if (!CNTFSFileRecordDataRunsAttribute::GetDataRunList(a, available, runs)) return false;
    const std::uint8_t spc = CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(a, available);
    if (spc == 0) return false;
    m_runs = runs.Runs();
    m_spc = spc;
    m_sector = sector;
    m_lsn = record.GetLogFileSequenceNumber();
    if (record.HasXPNumberOfthisMFTRecord()) {
        m_ownNumber = record.GetXPNumberOfthisMFTRecord();
        m_hasOwnNumber = 1;
        if (m_folderNumber == -1) m_folderNumber = m_ownNumber;
    }
    return m_folderNumber != -1 && m_folderNumber != kRootFolderRecord;
}

std::int64_t CFolderIndexAllocationInfo::GetFirstClusterNO() const {
    for (const CDataRun& r : m_runs)
        if (r.VCN == 0) return r.LCN;
    return -1;
}

std::int64_t CFolderIndexAllocationInfo::GetLCN(std::int64_t vcn) const {
    for (const CDataRun& r : m_runs)
        if (vcn >= r.VCN && vcn - r.VCN < r.length) return r.LCN < 0 ? -1 : r.LCN + (vcn - r.VCN);
    return -1;
}

// --------------------------------------------------- CCommonFileRecordInfo

bool CCommonFileRecordInfo::InitFromBuffer(const CNTFSFileRecord& record, std::int64_t sector) {
    if (!record.IsValid()) return false;
    m_isDirectory = record.IsFolder() ? 1 : 0;
    if (record.HasXPNumberOfthisMFTRecord()) m_mft = record.GetXPNumberOfthisMFTRecord();
    const std::uint8_t* fn1 = record.FindAttibute(kAttrFileName, 0);
    const std::uint8_t* fn2 = record.FindAttibute(kAttrFileName, 1);
    using FN = CNTFSFileRecordFileNameAttribute;
    m_parent = -1;
    if (fn2 != nullptr && FN::GetFileRecordNumberofParentDirectory(fn2) >= kRootFolderRecord)
        m_parent = static_cast<std::int64_t>(FN::GetFileRecordNumberofParentDirectory(fn2));
    else if (fn1 != nullptr && FN::GetFileRecordNumberofParentDirectory(fn1) >= kRootFolderRecord)
        m_parent = static_cast<std::int64_t>(FN::GetFileRecordNumberofParentDirectory(fn1));
    m_sector = sector;
    return true;
}

bool CCommonFileRecordInfo::InitFromBuffer(std::uint8_t* buffer, int size, std::int64_t sector) {
    CNTFSFileRecord record(buffer, size, 1);
    return InitFromBuffer(record, sector);
}

bool CCommonFileRecordPositionInfo::Merge(std::int64_t sector) {
    if (m_first < 0 || sector != m_first + 2 * m_count) return false;
    ++m_count;
    return true;
}

// ------------------------------------------------ CSearchedNTFSPartitionInfo

CSearchedNTFSPartitionInfo::CSearchedNTFSPartitionInfo(std::uint32_t sectorSize) : CSearchedPartitionInfo(sectorSize) {}

bool CSearchedNTFSPartitionInfo::Save(IRSData& rs) {
    std::uint8_t out[kSaveBytes];
    PutLE64(out + kPartSerial, static_cast<std::uint64_t>(m_serial));
    PutLE32(out + kPartSectorsPerRecord, m_spr);
    PutLE32(out + kPartBuildFrom, m_buildFrom);
    PutLE32(out + kPartMftLocated, m_mftLocated);
    PutLE32(out + kPartReserved, m_reserved);
    const std::int64_t tail[] = {m_totalClusters,       m_logFileMatch,       m_attrDefMatch,
                                 m_upCaseMatch,         m_mftSector,          m_logFileRecordSector,
                                 m_attrDefRecordSector, m_upCaseRecordSector, m_bitmapSectors};
    static_assert(kPartTail + 8 * kPartTailFields == kSaveBytes);
    for (int i = 0; i < kPartTailFields; ++i) PutLE64(out + kPartTail + 8 * i, static_cast<std::uint64_t>(tail[i]));
    return rs.WriteCurFrame(out, sizeof(out));
}

bool CSearchedNTFSPartitionInfo::Restore(IRSData& rs) {
    try {
        std::uint8_t in[kSaveBytes];
        if (!ntfsframe::ReadExact(rs, in, sizeof(in))) return false;
        m_serial = static_cast<std::int64_t>(LE64(in + kPartSerial));
        m_spr = LE32(in + kPartSectorsPerRecord);
        m_buildFrom = LE32(in + kPartBuildFrom);
        m_mftLocated = LE32(in + kPartMftLocated);
        m_reserved = LE32(in + kPartReserved);
        std::int64_t* tail[] = {&m_totalClusters,       &m_logFileMatch,       &m_attrDefMatch,
                                &m_upCaseMatch,         &m_mftSector,          &m_logFileRecordSector,
                                &m_attrDefRecordSector, &m_upCaseRecordSector, &m_bitmapSectors};
        for (int i = 0; i < kPartTailFields; ++i) *tail[i] = static_cast<std::int64_t>(LE64(in + kPartTail + 8 * i));
        return true;
    } catch (const CRSException&) {
        return false;
    }
}
