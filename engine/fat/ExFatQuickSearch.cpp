#include "fat/ExFatQuickSearch.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "fat/FATStructures.h"
#include "foundation/Log.h"
#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"

using byteorder::LE16;
using byteorder::LE32;
using byteorder::LE64;
using exfat::AllZero;
using exfat::CutUtf8;
using exfat::Log2;
using exfat::NameCharsAllowed;

namespace {

constexpr std::size_t kMaxNameBytes = 259;

void SendProgress(IProgress* progress, std::uint32_t state, std::int64_t total, std::int64_t current,
                  std::int64_t error = 0) {
    if (progress == nullptr) return;
    _PROGRESS_INFO info;
    MakeProgressInfo(&info, state, total, current, error);
    progress->UpdateProgress(&info);
}

}  // namespace

// ---- entry sets --------------------------------------------------------------

void CEFDTAnalyze::Prepare(std::uint32_t sectorShift, std::uint32_t clusterShift, std::int64_t totalSectors) {
    m_sectorShift = sectorShift;
    m_clusterShift = clusterShift;
    m_totalSectors = totalSectors;
    m_records.clear();
    ResetSet();
}

void CEFDTAnalyze::ResetSet() {
    m_stage = 0;
    m_secondaries = 0;
    m_index = 0;
    m_checksum = 0;
    m_nameLength = 0;
    m_info = _tagFileBaseInfo{};
    m_setBytes.clear();
    m_nameUnits.clear();
}

bool CEFDTAnalyze::IsBenignType(std::uint8_t type) {
    switch (type & 0x7F) {
    case 0x20:  // volume GUID
    case 0x21:  // TexFAT padding
    case 0x22:  // access control table
    case 0x60:  // vendor extension
    case 0x61:  // vendor allocation
        return true;
    default:
        return false;
    }
}

bool CEFDTAnalyze::Analyze(const std::uint8_t* buffer, std::size_t length, std::int64_t sector) {
    if (buffer == nullptr || length < EXFAT_ENTRY_SIZE) return true;
    bool ok = true;
    const std::size_t count = length / EXFAT_ENTRY_SIZE;
    for (std::size_t i = 0; i < count && ok; ++i) {
        const std::uint8_t* e = buffer + i * EXFAT_ENTRY_SIZE;
        const std::int64_t entrySector = sector + static_cast<std::int64_t>((i * EXFAT_ENTRY_SIZE) >> m_sectorShift);
        switch (e[0]) {
        case EXFAT_ENTRY_BITMAP:
        case EXFAT_ENTRY_UPCASE:
            break;
        case EXFAT_ENTRY_LABEL:
        case EXFAT_ENTRY_LABEL_DELETED:
            ok = Label(e);
            break;
        case EXFAT_ENTRY_FILE:
        case EXFAT_ENTRY_FILE_DELETED:
            ok = StartSet(e, entrySector);
            break;
        case EXFAT_ENTRY_STREAM:
        case EXFAT_ENTRY_STREAM_DELETED:
            ok = Stream(e);
            break;
        case EXFAT_ENTRY_NAME:
        case EXFAT_ENTRY_NAME_DELETED:
            ok = Name(e);
            break;
        default:
            if (m_skipBenign && IsBenignType(e[0])) {
                BenignSecondary(e);
            } else {
                ok = false;
            }
            break;
        }
        ++m_index;
    }
    return ok;
}

bool CEFDTAnalyze::Label(const std::uint8_t* e) const {
    const std::uint8_t n = e[ExFatLabelLayout::kCharCount];
    if (n > ExFatLabelLayout::kMaxUnits) return false;
    if (!NameCharsAllowed(e + ExFatLabelLayout::kUnits, n)) return false;
    for (int i = 0; i < n; ++i)
        if (LE16(e + ExFatLabelLayout::kUnits + 2 * i) == 0) return false;
    return AllZero(e + ExFatLabelLayout::kUnits + 2 * n,
                   ExFatLabelLayout::kReserved - ExFatLabelLayout::kUnits - 2 * static_cast<std::size_t>(n)) &&
           AllZero(e + ExFatLabelLayout::kReserved, ExFatLabelLayout::kReservedBytes);
}

bool CEFDTAnalyze::StartSet(const std::uint8_t* e, std::int64_t sector) {
    ResetSet();
    if (e[ExFatEntryLayout::kType] & (ExFatEntryLayout::kSecondary | ExFatEntryLayout::kBenign)) return false;
    const std::uint8_t secondaries = e[ExFatFileLayout::kSecondaryCount];
    if (secondaries < ExFatFileLayout::kMinSecondaries || secondaries > ExFatFileLayout::kMaxSecondaries) return false;
    const std::uint32_t create = LE32(e + ExFatFileLayout::kCreate), modified = LE32(e + ExFatFileLayout::kModified),
                        accessed = LE32(e + ExFatFileLayout::kAccessed);
    if (!IsValidExFatTimestamp(create) || !IsValidExFatTimestamp(modified) || !IsValidExFatTimestamp(accessed))
        return false;
    if (e[ExFatFileLayout::kCreate10ms] > ExFatFileLayout::kMax10ms ||
        e[ExFatFileLayout::kModified10ms] > ExFatFileLayout::kMax10ms)
        return false;
    if (LE16(e + ExFatFileLayout::kReserved1) != 0 ||
        !AllZero(e + ExFatFileLayout::kReserved2, ExFatFileLayout::kReserved2Bytes))
        return false;
    m_stage = 1;
    m_index = 0;
    m_secondaries = secondaries;
    m_checksum = LE16(e + ExFatFileLayout::kSetChecksum);
    m_info.inUse = (e[ExFatEntryLayout::kType] & ExFatEntryLayout::kInUse) ? 1 : 0;
    m_info.attributes = LE16(e + ExFatFileLayout::kAttributes);
    m_info.create = create;
    m_info.modified = modified;
    m_info.accessed = accessed;
    m_info.entrySector = sector;
    m_setBytes.assign(e, e + EXFAT_ENTRY_SIZE);
    return true;
}

bool CEFDTAnalyze::Stream(const std::uint8_t* e) {
    if ((e[ExFatEntryLayout::kType] & (ExFatEntryLayout::kSecondary | ExFatEntryLayout::kBenign)) !=
        ExFatEntryLayout::kSecondary)
        return false;
    if (e[ExFatStreamLayout::kReserved1] != 0 || LE16(e + ExFatStreamLayout::kReserved2) != 0 ||
        LE32(e + ExFatStreamLayout::kReserved3) != 0)
        return false;
    const std::uint32_t first = LE32(e + ExFatStreamLayout::kFirstCluster);
    if (first == 1 || first > 0xFFFFFFF6u) return false;
    const std::uint64_t valid = LE64(e + ExFatStreamLayout::kValidLength),
                        length = LE64(e + ExFatStreamLayout::kDataLength);
    const std::uint64_t total = m_totalSectors > 0 ? static_cast<std::uint64_t>(m_totalSectors) : 0;
    if ((length >> m_sectorShift) >= total || (valid >> m_sectorShift) >= total) return false;
    const bool noFatChain = (e[ExFatStreamLayout::kFlags] & ExFatStreamLayout::kNoFatChain) != 0;
    if (first != 0 && noFatChain) {
        if ((length >> m_clusterShift) + first > EXFAT_LAST_CLUSTER) return false;
        if ((valid >> m_clusterShift) + first >= 0xFFFFFFF6u) return false;
    }
    const std::uint8_t inUse = (e[ExFatEntryLayout::kType] & ExFatEntryLayout::kInUse) ? 1 : 0;
    if (m_stage == 1 && m_index == 1 && inUse == m_info.inUse) {
        m_stage = 2;
        --m_secondaries;
        m_info.size = static_cast<std::int64_t>(length);
        m_info.firstCluster = first;
        m_info.noFatChain = noFatChain ? 1 : 0;
        m_nameLength = e[ExFatStreamLayout::kNameLength];
        m_setBytes.insert(m_setBytes.end(), e, e + EXFAT_ENTRY_SIZE);
    } else {
        ResetSet();
    }
    return true;
}

bool CEFDTAnalyze::Name(const std::uint8_t* e) {
    if ((e[ExFatEntryLayout::kType] & (ExFatEntryLayout::kSecondary | ExFatEntryLayout::kBenign)) !=
        ExFatEntryLayout::kSecondary)
        return false;
    if (e[ExFatNameLayout::kFlags] != 0 || LE16(e + ExFatNameLayout::kUnits) == 0) return false;
    if (!NameCharsAllowed(e + ExFatNameLayout::kUnits, ExFatNameLayout::kUnitCount)) return false;
    const std::uint8_t inUse = (e[ExFatEntryLayout::kType] & ExFatEntryLayout::kInUse) ? 1 : 0;
    if (m_stage >= 2 && m_stage == m_index && inUse == m_info.inUse) {
        ++m_stage;
        --m_secondaries;
        m_nameUnits.insert(m_nameUnits.end(), e + ExFatNameLayout::kUnits, e + EXFAT_ENTRY_SIZE);
        m_setBytes.insert(m_setBytes.end(), e, e + EXFAT_ENTRY_SIZE);
        FinishIfComplete();
    } else {
        ResetSet();
    }
    return true;
}

// Vendor entries may be secondaries of a file's set: they count towards its
// secondaries and its checksum.
void CEFDTAnalyze::BenignSecondary(const std::uint8_t* e) {
    const bool secondary = (e[0] & 0x40) != 0;
    const std::uint8_t inUse = (e[0] & 0x80) ? 1 : 0;
    if (secondary && m_stage >= 3 && m_stage == m_index && inUse == m_info.inUse && m_secondaries > 0) {
        ++m_stage;
        --m_secondaries;
        m_setBytes.insert(m_setBytes.end(), e, e + EXFAT_ENTRY_SIZE);
        FinishIfComplete();
    } else if (m_stage != 0) {
        ResetSet();
    }
}

void CEFDTAnalyze::FinishIfComplete() {
    if (m_secondaries > 0) return;
    // A set whose checksum does not match was partly overwritten: its
    // entries may describe two different files.
    if (CheckDirEntry(m_setBytes.data(), m_setBytes.size(), m_checksum)) {
        std::size_t units = m_nameUnits.size() / 2;
        if (m_nameLength != 0 && m_nameLength < units) units = m_nameLength;
        std::string name = Utf16LeToUtf8(m_nameUnits.data(), units);
        CutUtf8(name, kMaxNameBytes);
        std::memcpy(m_info.name, name.c_str(), name.size() + 1);
        m_records.push_back(m_info);
    }
    ResetSet();
}

// ---- recogniser ------------------------------------------------------------------

void CExFatVolumeAnalyer::GetLabel(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return;
    if (static_cast<std::size_t>(size) > m_label.size()) std::memcpy(buffer, m_label.c_str(), m_label.size() + 1);
}

IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, std::uint64_t startSector) {
    if (device == nullptr) return nullptr;
    const std::uint32_t ss = device->GetSectorSize();
    std::vector<std::uint8_t> sector(ss > 4096 ? ss : 4096, 0);
    if (device->ReadSector(sector.data(), static_cast<std::int64_t>(startSector), 1) != 1) return nullptr;
    CExFatDBR dbr(sector.data());
    if (!dbr.IsValid(ss)) return nullptr;
    return new CExFatVolumeAnalyer(static_cast<std::int64_t>(dbr.GetTotalSectors()), std::string());
}

// ---- quick search ------------------------------------------------------------------

IQuickFileSystemSearchController* CreateEXFatQuickSearcher() { return new CExFatQuickSearch(); }

CExFatQuickSearch::CExFatQuickSearch() { m_analyzer.SetSkipBenign(true); }

CExFatQuickSearch::~CExFatQuickSearch() { delete m_record; }

int CExFatQuickSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
    if (array == nullptr || capacity < 1) return 1;
    auto* info = new CSearchedPartitionInfo(m_partition.m_sectorSize);
    info->SetCluster0Sector(m_partition.m_dataRegionStart);
    info->SetStartSector(0);
    info->SetTotalSectors(0);
    info->SetFileSystemType(FILE_SYSTEM_EXFAT);
    info->SetSectorsPerCluster(m_partition.m_sectorsPerCluster);
    array[0] = info;
    return 1;
}

EngineResult CExFatQuickSearch::PrepareSearch(IStorageDevice* device) {
    if (device == nullptr) return EXFAT_ERR_NO_DEVICE;
    if (m_builder == nullptr) return EXFAT_ERR_NO_TREE_BUILDER;
    const std::uint32_t ss = device->GetSectorSize();
    std::vector<std::uint8_t> sector(ss > 4096 ? ss : 4096, 0);
    if (device->ReadSector(sector.data(), 0, 1) != 1) return EXFAT_ERR_BOOT_SECTOR_READ;
    CExFatDBR dbr(sector.data());
    if (!dbr.IsValid(ss)) return EXFAT_ERR_NOT_EXFAT;

    const std::uint32_t spc = dbr.GetSectorsperCluster();
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(spc) * ss;
    m_analyzer.Prepare(Log2(ss), Log2(clusterBytes), device->GetTotalSectors());
    m_partition.m_sectorSize = ss;
    m_partition.m_sectorsPerCluster = spc;
    m_partition.m_dataRegionStart = dbr.GetDataRegionStartSector();
    m_partition.m_rootCluster = dbr.GetRootDirStartCluster();
    m_partition.m_clusterBytes = clusterBytes;
    m_partition.m_totalSectors = static_cast<std::int64_t>(dbr.GetTotalSectors());
    const std::uint64_t capacity = static_cast<std::uint64_t>(dbr.GetSectorsPerFat()) * dbr.GetBytePerSector() / 4;
    if (capacity > dbr.GetTotalCluster())
        LogDiagnostic("chang totalClustur = %llu\n", static_cast<unsigned long long>(capacity));
    m_partition.m_totalClusters = dbr.GetClusterLimit();
    if (!m_partition.CreateFatTable(device, dbr.GetFatStartSector(), dbr.GetSectorsPerFat(), dbr.GetTotalCluster()))
        return EXFAT_ERR_NO_FAT;
    try {
        m_cluster.assign(static_cast<std::size_t>(clusterBytes), 0);
    } catch (const std::bad_alloc&) {
        return EXFAT_ERR_NO_MEMORY;
    }
    m_readClusters.clear();
    delete m_record;
    m_record = nullptr;
    GetSearchedPartitionInfo(&m_record, 1);
    if (!m_builder->AddSearcherInfo(SEARCHER_EXFAT, m_partition.ConvertClusterNumToSector(m_partition.m_rootCluster)))
        return EXFAT_ERR_SEARCHER_REFUSED;
    return ENGINE_OK;
}

int CExFatQuickSearch::BuildChildren(IStorageDevice* device, std::uint32_t firstCluster, std::int64_t size,
                                     bool fatInvalid, bool folderDeleted, std::deque<Folder>& queue) {
    m_analyzer.ResetSet();
    const std::uint32_t spc = m_partition.m_sectorsPerCluster;
    const std::int64_t clusterBytes = static_cast<std::int64_t>(m_partition.m_clusterBytes);
    std::int64_t left = size;
    std::uint32_t cluster = firstCluster;
    while (left > 0) {
        if (cluster < 2 || cluster > EXFAT_LAST_CLUSTER) break;
        if (!m_readClusters.insert(cluster).second) break;
        const std::int64_t sector = m_partition.ConvertClusterNumToSector(cluster);
        if (device->ReadSector(m_cluster.data(), sector, spc) != 1) return 0;
        if (!m_analyzer.Analyze(m_cluster.data(), m_cluster.size(), sector)) break;
        left -= clusterBytes;
        cluster = m_partition.GetNextCluster(cluster, fatInvalid);
    }
    const std::int64_t parent = m_partition.ConvertClusterNumToSector(firstCluster);
    for (_tagFileBaseInfo& info : m_analyzer.GetRecords()) {
        if (folderDeleted) info.inUse = 0;
        CExFatFileNode* node = m_partition.BuildFile(info);
        node->SetID(m_partition.ConvertClusterNumToSector(info.firstCluster));
        node->SetParentID(parent);
        // Read what the queue needs before the builder may do as it likes
        // with the node.
        const bool folder = node->IsDirectory() != 0;
        const Folder f{info.firstCluster, info.size, node->IsFatInvalid(), node->IsDeleted() != 0};
        if (!m_builder->AddNode(node, SEARCHER_EXFAT)) {
            node->Release();
            continue;
        }
        if (folder) queue.push_back(f);
    }
    m_analyzer.GetRecords().clear();
    return 1;
}

EngineResult CExFatQuickSearch::QuickSearch(IStorageDevice* device, IProgress* progress) {
    std::deque<Folder> queue;
    const std::uint64_t rootBytes = m_partition.m_totalClusters * m_partition.m_clusterBytes;
    const std::int64_t rootSize =
        rootBytes > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(rootBytes);
    if (!BuildChildren(device, m_partition.m_rootCluster, rootSize, false, false, queue)) return EXFAT_ERR_ROOT_READ;
    std::int64_t processed = 0, lastPercent = 0;
    while (!queue.empty() && (progress == nullptr || progress->Continued())) {
        const Folder f = queue.front();
        queue.pop_front();
        if (!BuildChildren(device, f.firstCluster, f.size, f.fatInvalid, f.deleted, queue)) break;
        ++processed;
        const std::int64_t total = processed + static_cast<std::int64_t>(queue.size());
        const std::int64_t percent = processed * 100 / total;
        if (percent > lastPercent) {
            lastPercent = percent;
            SendProgress(progress, PROGRESS_STATE_RUNNING, total, processed);
        }
    }
    m_builder->SetPartitonDevice(m_record, device);
    m_builder->FlashBuild(SEARCHER_EXFAT);
    return ENGINE_OK;
}

EngineResult CExFatQuickSearch::QuickSearchFiles(IStorageDevice* device, IProgress* progress) {
    EngineResult result = PrepareSearch(device);
    if (result == ENGINE_OK) result = QuickSearch(device, progress);
    m_partition.ClearFatData();
    m_readClusters.clear();
    SendProgress(progress, PROGRESS_STATE_FINISHED, 1, 1,
                 IsEngineFailure(result) ? static_cast<std::int64_t>(result) : 0);
    return result;
}
