#include "ntfs/NTFSQuickSearch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "foundation/StorageDevice.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileReaderEx.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMetaFileRecordType.h"
#include "ntfs/NTFSMultiFileRecord.h"

namespace {

std::uint32_t SectorSizeOf(IStorageDevice* device) {
    const std::uint32_t s = device->GetSectorSize();
    return (s == 0 || s % 512 != 0) ? 512 : s;
}

}  // namespace

IQuickFileSystemSearchController* CreateNTFSQuickSearcher() {
    // Recycle-bin index files of NTFS are mostly resident: the tree builder
    // reads them through the NTFS reader.
    InstallNTFSIndexFileReader();
    return new (std::nothrow) CNTFSQuickSearch;
}

CNTFSQuickSearch::CNTFSQuickSearch() : m_volume(512) {}

int CNTFSQuickSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
    if (array == nullptr || capacity < 1) return 1;
    const std::uint32_t ss = m_device ? SectorSizeOf(m_device) : 512;
    auto* info = new (std::nothrow) CSearchedPartitionInfo(ss);
    if (info == nullptr) return 0;
    *info = m_volume;
    info->SetStartSector(0);
    info->SetCluster0Sector(0);
    info->SetTotalSectors(m_device ? static_cast<std::uint64_t>(m_device->GetTotalSectors()) : 0);
    info->SetFileSystemType(FILE_SYSTEM_NTFS);
    array[0] = info;
    return 1;
}

void CNTFSQuickSearch::NotifyUIWithProgess(std::uint32_t state, std::int64_t total, std::int64_t current,
                                           std::int64_t error) {
    if (m_progress == nullptr) return;
    _PROGRESS_INFO info;
    MakeProgressInfo(&info, state, total, current, error);
    m_progress->UpdateProgress(&info);
}

bool CNTFSQuickSearch::ReadDBR(IStorageDevice* device, std::int64_t start, std::int64_t total, CNTFSDBR& dbr) {
    if (device == nullptr || total <= 1 || start < 0 || start >= device->GetTotalSectors()) return false;
    std::vector<std::uint8_t> area(std::max<std::uint32_t>(4096, SectorSizeOf(device)), 0);
    if (!CNTFSMultiFileRecord::ReadSectorsChecked(*device, area.data(), start, 1)) return false;
    return dbr.InitFromBuffer(area.data());
}

bool CNTFSQuickSearch::ReadMFTInfoFromFileRecord(std::int64_t sector, std::uint8_t sectors, IStorageDevice* device,
                                                 CMFTInfo& info, std::int64_t partitionStart, std::uint8_t spc) {
    const std::uint32_t ss = SectorSizeOf(device);
    if (sectors == 0) sectors = 1;
    const std::size_t bytes = static_cast<std::size_t>(sectors) * ss;
    if (bytes > 65536) return false;
    std::vector<std::uint8_t> area(65536, 0);
    if (!CNTFSMultiFileRecord::ReadSectorsChecked(*device, area.data(), sector, sectors)) return false;
    const int size = static_cast<int>(std::max<std::size_t>(bytes, 1024));
    if (!CNTFSFileRecord::IsValid(area.data(), size)) return false;
    {
        CNTFSFileRecord record(area.data(), size, 1);
        if (!CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(record)) return false;
        if (CNTFSFileRecord::HasAttributeList(record.GetBuffer()))
            return GetMFTDataRunListfromMFTFileRecordHaving0x20(area.data(), size, sector, device, info, partitionStart,
                                                                spc);
    }
    return info.InitFromBuffer(area.data(), size, sector);
}

bool CNTFSQuickSearch::GetMFTDataRunListfromMFTFileRecordHaving0x20(std::uint8_t* record, int size, std::int64_t sector,
                                                                    IStorageDevice* device, CMFTInfo& info,
                                                                    std::int64_t partitionStart, std::uint8_t spc) {
    CNTFSDataRunList& runs = info.GetDataRunList();
    runs.ClearDataRunList();
    CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record, size, runs, 0, nullptr);
    info.SetSectorAddress(sector);
    info.SetSectorsPerCluster(spc);
    std::unique_ptr<ExtendFileRecordInfoList> list(
        CNTFSMultiFileRecord::GetExtendFileRecordInfoList(record, size, partitionStart, spc, *device));
    if (list == nullptr) return !runs.IsEmpty();
    list->erase(std::remove_if(list->begin(), list->end(),
                               [](const CAttributeListExtendFileRecordInfo& e) { return e.mftNumber == 0; }),
                list->end());
    const std::uint32_t ss = SectorSizeOf(device);
    const std::uint8_t spr = static_cast<std::uint8_t>(std::max<std::uint32_t>(1, m_recordSize / ss));
    std::vector<std::uint8_t> area(std::max<std::uint32_t>(4096, ss), 0);
    for (const CAttributeListExtendFileRecordInfo& e : *list) {
        const std::int64_t at =
            CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(e.mftNumber, spc, partitionStart, &runs, spr);
        if (at < 0) continue;
        std::fill(area.begin(), area.end(), 0);
        const std::int64_t count = static_cast<std::int64_t>(area.size() / ss);
        if (!CNTFSMultiFileRecord::ReadSectorsChecked(*device, area.data(), at, count)) continue;
        const int recBytes = static_cast<int>(std::min<std::size_t>(m_recordSize, area.size()));
        if (CNTFSFileRecord::IsValid(area.data(), recBytes))
            CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(area.data(), recBytes, runs, 0, nullptr);
    }
    runs.Sort();
    return !runs.IsEmpty();
}

bool CNTFSQuickSearch::GetMFTInfoFromMFT(CNTFSDBR& dbr, IStorageDevice* device, CMFTInfo& info,
                                         std::int64_t partitionStart, std::uint8_t spc) {
    const std::int64_t cluster = dbr.GetMFTStartCluster();
    if (cluster < 0 || cluster > (INT64_MAX / 256)) return false;
    const std::int64_t sector = partitionStart + cluster * spc;
    const std::uint32_t n = m_recordSize / SectorSizeOf(device);
    return ReadMFTInfoFromFileRecord(sector, static_cast<std::uint8_t>(std::min<std::uint32_t>(n, 128)), device, info,
                                     partitionStart, spc);
}

bool CNTFSQuickSearch::GetMFTInfoFromMFTMirr(CNTFSDBR& dbr, IStorageDevice* device, CMFTInfo& info,
                                             std::int64_t partitionStart, std::uint8_t spc) {
    const std::int64_t cluster = dbr.GetMFTMirrorStartCluster();
    if (cluster < 0 || cluster > (INT64_MAX / 256)) return false;
    const std::int64_t sector = partitionStart + cluster * spc;
    // In sectors of the device, as for $MFT: 512-byte units would read a
    // 4 KiB-sector volume's mirror eight times too long.
    const std::uint32_t n = m_recordSize / SectorSizeOf(device);
    return ReadMFTInfoFromFileRecord(sector, static_cast<std::uint8_t>(std::min<std::uint32_t>(n, 128)), device, info,
                                     partitionStart, spc);
}

bool CNTFSQuickSearch::GetMFTInfo(CNTFSDBR& dbr, IStorageDevice* device, CMFTInfo& info, std::int64_t partitionStart,
                                  std::uint8_t spc) {
    if (GetMFTInfoFromMFT(dbr, device, info, partitionStart, spc)) return true;
    CMFTInfo mirror;
    if (!GetMFTInfoFromMFTMirr(dbr, device, mirror, partitionStart, spc)) return false;
    info = mirror;
    return true;
}

EngineResult CNTFSQuickSearch::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
    if (device == nullptr || progress == nullptr) {
        if (progress) {
            m_progress = progress;
            NotifyUIWithProgess(PROGRESS_STATE_FINISHED, 1, 1, 0);
        }
        return NTFS_QUICK_ERR_NO_DEVICE_OR_PROGRESS;
    }
    m_device = device;
    m_progress = progress;
    const std::uint32_t ss = SectorSizeOf(device);
    m_volume = CSearchedPartitionInfo(ss);
    m_volume.SetFileSystemType(FILE_SYSTEM_NTFS);
    m_volume.SetStartSector(0);
    m_volume.SetCluster0Sector(0);
    m_volume.SetSectorsPerCluster(1);
    const std::int64_t total = device->GetTotalSectors();
    m_volume.SetTotalSectors(total > 0 ? static_cast<std::uint64_t>(total - 1) : 0);

    CNTFSDBR dbr;
    // Fewer than 3 sectors cannot hold a boot sector and an MFT.
    if (total < 3 || !ReadDBR(device, 0, total, dbr)) {
        NotifyUIWithProgess(PROGRESS_STATE_FINISHED, 1, 1, 0);
        return NTFS_QUICK_ERR_NOT_NTFS;
    }
    const std::uint8_t spc = dbr.GetSectorsperCluster();
    m_volume.SetSectorsPerCluster(spc);
    m_recordSize = dbr.GetFileRecordSizeByByte();
    // Cluster-size guesses count in this volume's sectors.
    GetSectorsPerCluster::g_nSectorSize = static_cast<int>(ss);

    CMFTInfo mft;
    if (!GetMFTInfo(dbr, device, mft, 0, spc)) {
        NotifyUIWithProgess(PROGRESS_STATE_FINISHED, 1, 1, 0);
        return NTFS_QUICK_ERR_NO_MFT_RUNS;
    }
    if (m_builder) m_builder->AddSearcherInfo(SEARCHER_NTFS, 5);
    // What the journal still holds repairs deleted files left with size 0.
    if (m_logFinder.Init(device, &mft.GetDataRunList(), spc, 0)) m_logFinder.Analyzer();
    const std::uint8_t spr =
        static_cast<std::uint8_t>(std::max<std::uint32_t>(1, std::min<std::uint32_t>(128, m_recordSize / ss)));
    const EngineResult result = BuildFileNodeFromMFTFileRecord(&mft.GetDataRunList(), spr);
    m_logFinder.Reset();
    return result;
}

EngineResult CNTFSQuickSearch::BuildFileNodeFromMFTFileRecord(CNTFSDataRunList* mftRuns, std::uint8_t spr) {
    if (spr == 0) spr = 1;
    const std::uint32_t ss = SectorSizeOf(m_device);
    const std::uint8_t spc = static_cast<std::uint8_t>(m_volume.GetSectorsPerCluster());
    const std::int64_t deviceTotal = m_device->GetTotalSectors();
    // The walk's length comes from disk: never more than the volume holds.
    std::int64_t total = 0;
    for (const CDataRun& r : mftRuns->Runs()) {
        if (r.length <= 0) continue;
        if (r.length > deviceTotal / std::max<std::uint8_t>(spc, 1)) {
            total = deviceTotal;
            break;
        }
        total += r.length * spc;
        if (total >= deviceTotal) {
            total = deviceTotal;
            break;
        }
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(kBatchSectors) * ss, 0);
    std::vector<std::int64_t> sectorNumbers(kBatchSectors, -1);
    NotifyUIWithProgess(PROGRESS_STATE_RUNNING, total, 0, 0);
    EngineResult result = ENGINE_OK;
    std::int64_t done = 0;
    std::int64_t firstIndex = 0;
    int filled = 0;
    bool stopped = false;
    for (const CDataRun& run : mftRuns->Runs()) {
        if (stopped || done >= total) break;
        if (run.length <= 0) continue;
        std::int64_t runSectors = run.length * spc;
        if (runSectors > total - done) runSectors = total - done;
        const std::int64_t first = run.LCN < 0 ? -1 : run.LCN * spc;
        std::int64_t pos = 0;
        while (pos < runSectors) {
            if (!m_progress->Continued()) {
                stopped = true;
                break;
            }
            const std::int64_t n = std::min<std::int64_t>(runSectors - pos, kBatchSectors - filled);
            std::uint8_t* dst = buffer.data() + static_cast<std::size_t>(filled) * ss;
            // A refused read (a run past the volume, a sparse run) leaves
            // zeros, never the previous batch's records.
            std::memset(dst, 0, static_cast<std::size_t>(n) * ss);
            if (first >= 0) CNTFSMultiFileRecord::ReadSectorsChecked(*m_device, dst, first + pos, n);
            for (std::int64_t k = 0; k < n; ++k)
                sectorNumbers[static_cast<std::size_t>(filled + k)] = first >= 0 ? first + pos + k : -1;
            filled += static_cast<int>(n);
            pos += n;
            done += n;
            if (filled == kBatchSectors) {
                result = BuildFileNodeFromBuffer(buffer.data(), kBatchSectors, spr, firstIndex, mftRuns, sectorNumbers);
                firstIndex += kBatchSectors;
                filled = 0;
                NotifyUIWithProgess(PROGRESS_STATE_RUNNING, total, done, static_cast<std::int64_t>(result));
            }
        }
    }
    if (!stopped && m_progress->Continued() && filled > 0)
        result = BuildFileNodeFromBuffer(buffer.data(), static_cast<std::uint32_t>(filled), spr, firstIndex, mftRuns,
                                         sectorNumbers);
    if (m_builder) {
        m_builder->SetPartitonDevice(&m_volume, m_device);
        m_builder->FlashBuild(SEARCHER_NTFS);
    }
    NotifyUIWithProgess(PROGRESS_STATE_FINISHED, total, total, static_cast<std::int64_t>(result));
    return result;
}

EngineResult CNTFSQuickSearch::BuildFileNodeFromBuffer(std::uint8_t* buffer, std::uint32_t sectors, std::uint8_t spr,
                                                       std::int64_t firstIndex, CNTFSDataRunList* mftRuns,
                                                       const std::vector<std::int64_t>& sectorNumbers) {
    const std::uint32_t ss = SectorSizeOf(m_device);
    const std::uint8_t spc = static_cast<std::uint8_t>(m_volume.GetSectorsPerCluster());
    const std::int64_t clusterSize = static_cast<std::int64_t>(spc) * ss;
    if (spr == 0) spr = 1;
    for (std::uint32_t i = 0; i < sectors; i += spr) {
        std::uint8_t* record = buffer + static_cast<std::size_t>(i) * ss;
        const int length = static_cast<int>(std::min<std::uint32_t>(sectors - i, spr) * ss);
        if (length < CNTFSFileRecord::kRecordBytes) continue;
        const std::int64_t mft = (firstIndex + i) / spr;
        const std::int64_t sector = sectorNumbers[i];
        if (sector < 0) continue;
        if (CIsMetaFileRecord::IsMetaFileRecord(record, length)) continue;
        if (!CNTFSFileRecord::IsValid(record, length) || CNTFSFileRecord::IsExtendFileRecord(record)) continue;
        CCommonFileRecordInfo info;
        if (!info.InitFromBuffer(record, length, sector)) continue;
        info.SetMFTFileRecordNumber(mft);
        ExtendFileRecordInfoList* ext =
            CNTFSMultiFileRecord::InitExtendFileRecord(record, length, sector, spc, 0, *m_device, mftRuns, spr);
        CNTFSMultiFileRecord multi(record, static_cast<std::uint32_t>(length), sector, m_device, ext);
        std::int64_t parent = -1;
        CNTFSFileProperties* props =
            CNTFSFilePropertiesBuilder::BuildFileProperties(sector, multi, clusterSize, &parent);
        if (info.GetParentFileRecordNumber() == -1 && parent != -1) info.SetParentFileRecordNumber(parent);
        if (props != nullptr) {
            // The record's own number identifies it in the journal (its
            // parent's would match another file).
            if (props->GetFileSize() == 0 && (props->GetAttribute() & NTFS_ATTR_DIRECTORY) == 0 &&
                (props->GetState() & 1) != 0)
                m_logFinder.ReplaceFileRecordInfo(record, *props, mft, ext);
            CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(props, spc);
            props->SetExtendFileRecordInfoList(ext);
        } else {
            delete ext;
        }
        CreateFileNode(mft, info.GetParentFileRecordNumber(), props);
    }
    return ENGINE_OK;
}

EngineResult CNTFSQuickSearch::CreateFileNode(std::int64_t mft, std::int64_t parent, CNTFSFileProperties* properties) {
    if (properties == nullptr) return 1;
    CNTFSFileNode* node = CreateNTFSFileNode();
    if (node == nullptr) {
        delete properties;
        return 0;
    }
    node->SetFileProperties(properties);  // the node owns them from here
    node->SetCurrentNodeID(mft);
    node->SetParentNodeID(parent);
    if (m_builder == nullptr) {
        node->Release();
        return 0;
    }
    const int accepted = m_builder->AddNode(node, SEARCHER_NTFS);
    if (accepted == 0) node->Release();
    return static_cast<EngineResult>(accepted);
}
