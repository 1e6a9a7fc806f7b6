#include "fat/FATDeepSearch.h"

#include <iterator>

#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "fat/FATTable.h"
#include "foundation/DirectoryTree.h"
#include "foundation/StorageDevice.h"

namespace {

constexpr std::uint32_t kMaxSectorSize = 4096;
constexpr std::uint32_t kNoCluster = 0xFFFFFFFF;
constexpr std::uint32_t kBootFlags =
    FAT_FLAG_FAT12_DBR | FAT_FLAG_FAT16_DBR | FAT_FLAG_FAT32_DBR | FAT_FLAG_FAT32_BACKUP_DBR;
// Sectors ahead of the walk whose first bytes are asked for early: the walk
// mostly reads one cache line of each sector of a block in memory.
constexpr std::int64_t kPrefetchSectors = 8;
// A made-up FAT16 root directory is at most this many bytes.
constexpr std::uint32_t kFolderOnlyRootBytes = 16384;

bool InRange(std::uint64_t clusters, std::uint32_t type) {
    if (type == FILE_SYSTEM_FAT32) return clusters >= FAT32_MIN_CLUSTERS && clusters < FAT32_END_CLUSTERS;
    if (type == FILE_SYSTEM_FAT16) return clusters >= FAT16_MIN_CLUSTERS && clusters < FAT16_END_CLUSTERS;
    return false;
}

// Bytes of two FAT entries: the sizing below counts FAT sectors as
// ceil(clusters x this / (2 x sector size)).
std::uint64_t TwoEntryBytes(std::uint32_t type) { return type == FILE_SYSTEM_FAT32 ? 8 : 4; }

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

}  // namespace

bool CFatSearchedPartitionInfoLess::operator()(const CFATSearchedPartitionInfo* a,
                                               const CFATSearchedPartitionInfo* b) const {
    return a->GetDataStartSector() < b->GetDataStartSector();
}

CFATCompleteFSearcher::~CFATCompleteFSearcher() {
    ReleaseCandidates();
    for (CFATSearchedPartitionInfo* p : m_kept) DestroyFATSearchedPartitionInfo(p);
}

void CFATCompleteFSearcher::ReleaseCandidates() {
    m_fatPositions.clear();
    for (CFATSearchedPartitionInfo* p : m_candidates) DestroyFATSearchedPartitionInfo(p);
    m_candidates.clear();
}

int CFATCompleteFSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
    const int count = static_cast<int>(m_kept.size());
    if (array == nullptr || capacity < count) return count;
    for (int i = 0; i < count; ++i) array[i] = m_kept[static_cast<std::size_t>(i)]->Clone();
    return count;
}

void CFATCompleteFSearcher::SetDevice(IStorageDevice* device) {
    m_device = device;
    m_sectorSize = 512;
    m_deviceSectors = 0;
    if (device == nullptr) return;
    if (device->GetSectorSize() != 0) m_sectorSize = device->GetSectorSize();
    m_deviceSectors = device->GetTotalSectors() > 0 ? device->GetTotalSectors() : 0;
}

void CFATCompleteFSearcher::SetBlockSize(int sectors) { m_blockSectors = sectors; }

void CFATCompleteFSearcher::PreparetoSearch() {
    for (CFATSearchedPartitionInfo* p : m_kept) DestroyFATSearchedPartitionInfo(p);
    m_kept.clear();
    ReleaseCandidates();
    m_folderSectors.clear();
    if (m_device != nullptr) SetDevice(m_device);
    if (UsableSectorSize()) m_sector.assign(m_sectorSize, 0);
}

bool CFATCompleteFSearcher::UsableSectorSize() const {
    // Boot-sector views read 512 bytes; larger sectors than 4,096 bytes are
    // not supported by this search.
    return m_sectorSize >= 512 && m_sectorSize <= kMaxSectorSize && m_sectorSize % 512 == 0;
}

// ---- sector walk -----------------------------------------------------------

void CFATCompleteFSearcher::AnalyzeBlock(std::int64_t first, std::int64_t count) {
    if (m_device == nullptr || m_blockSectors < 1 || count < 1 || first < 0 || !UsableSectorSize()) return;
    const std::size_t ss = m_sectorSize;
    if (const std::uint8_t* block = m_blockReader.Read(m_device, first, count)) {
        const std::uint8_t* p = block;
        for (std::int64_t i = 0; i < count; ++i, p += ss) {
            __builtin_prefetch(p + kPrefetchSectors * ss);
            AnalyzeSector(first + i, p);
        }
        return;
    }
    // Some sector of the block failed: look at the others one by one.
    if (m_sector.size() < ss) m_sector.assign(ss, 0);
    for (std::int64_t i = 0; i < count; ++i)
        if (m_device->ReadSector(m_sector.data(), first + i, 1) == 1) AnalyzeSector(first + i, m_sector.data());
}

int CFATCompleteFSearcher::AnalyzeSector(std::int64_t s, const std::uint8_t* sector) {
    if (sector[0] == 0) return 0;
    // Every boot sector the search takes names two FATs and the device's
    // sector size in its first cache line: tested before the signature at
    // the sector's end, which costs a second line of nearly every sector.
    if (sector[tagFATPARTITIONDBR::kNumberOfFats] == 2 &&
        byteorder::LE16(sector + tagFATPARTITIONDBR::kBytesPerSector) == m_sectorSize &&
        CTempFATDBR::SimpleCheck(sector) && AnalyzeFATDBRSector(s, sector))
        return 1;
    // A FAT16 or FAT32 table begins with its second and third bytes all ones.
    if (sector[1] == 0xFF && sector[2] == 0xFF &&
        CFATTableAnalyser::IsValidFATTableFirstSector(sector, m_sectorSize, nullptr)) {
        UpdateFATTableInfo(s);
        return 0;
    }
    // A folder sector's first entry is a valid one: its attribute byte holds
    // no bit above the defined ones (a long-name piece's included).
    if (sector[tagFATDIRENTRY::kAttribute] > FAT_ATTR_ALL) return 0;
    CFATFolderAnalyser folder(m_sectorSize);
    if (!folder.AnalyseSector(sector)) return 0;
    if (folder.GetDirectoryEntryType() == FAT_SECTOR_FOLDER_START) {
        const std::uint32_t own = folder.GetCurDirFirstClusterNum();
        AnalyzeFATSubFolderFirstSector(s, own, folder.GetMaxClusterNum());
        m_folderSectors.insert(FIRSTFOLDERSECTOR{s, own, folder.GetParentFirstClusterNum()});
    } else {
        m_folderSectors.insert(FIRSTFOLDERSECTOR{s, kNoCluster, kNoCluster});
    }
    return 0;
}

int CFATCompleteFSearcher::AnalyzeFATDBRSector(std::int64_t s, const std::uint8_t* sector) {
    CTempFATDBR dbr(sector, m_sectorSize);
    if (!dbr.IsValidDBR()) return 0;
    int answer = 0;
    if (CFATSearchedPartitionInfo* c = BuildPartitionInfoAccordingFATDBR(s, dbr, false)) {
        AddCandidate(c);
        AddFATPositions(c);
        answer = 1;
    }
    // A FAT32 boot sector may also be the backup, six sectors into its volume.
    if (dbr.GetFileSystemType() == FILE_SYSTEM_FAT32 && s >= 6) {
        if (CFATSearchedPartitionInfo* b = BuildPartitionInfoAccordingFATDBR(s - 6, dbr, true)) {
            if (CFATSearchedPartitionInfo* m =
                    FindMatchedPartitionInfo(b->GetDataStartSector(), b->GetSectorsPerCluster())) {
                m->MergeFlag(FAT_FLAG_FAT32_BACKUP_DBR);
                DestroyFATSearchedPartitionInfo(b);
            } else {
                AddCandidate(b);
                AddFATPositions(b);
            }
            answer = 1;
        }
    }
    return answer;
}

CFATSearchedPartitionInfo* CFATCompleteFSearcher::BuildPartitionInfoAccordingFATDBR(std::int64_t start,
                                                                                    const CTempFATDBR& dbr,
                                                                                    bool backup) {
    if (start < 0 || start >= m_deviceSectors) return nullptr;
    const std::uint32_t type = dbr.GetFileSystemType();
    if (type != FILE_SYSTEM_FAT16 && type != FILE_SYSTEM_FAT32) return nullptr;
    const std::uint32_t spc = dbr.GetSectorsperCluster();
    const std::uint32_t reserved = dbr.GetReservedSector();
    const std::uint32_t spf = dbr.GetSectorsPerFat();
    if (spc == 0 || spf == 0) return nullptr;
    // Never past the device's end.
    std::uint64_t total = dbr.GetTotalSectors();
    const std::uint64_t room = static_cast<std::uint64_t>(m_deviceSectors - start);
    if (total > room) total = room;

    std::uint64_t dataOffset = reserved + static_cast<std::uint64_t>(dbr.GetNumberOfFat()) * spf;
    std::uint32_t flag = 0;
    std::uint32_t rootInfo = 0;
    if (type == FILE_SYSTEM_FAT32) {
        flag = backup ? FAT_FLAG_FAT32_BACKUP_DBR : FAT_FLAG_FAT32_DBR;
        rootInfo = dbr.GetRootDirStartCluster();
    } else {
        const std::uint32_t rootSectors =
            static_cast<std::uint32_t>(dbr.GetRootEntries() * FAT_DIR_ENTRY_SIZE / m_sectorSize);
        dataOffset += rootSectors;
        flag = FAT_FLAG_FAT16_DBR;
        rootInfo = rootSectors;
    }
    const std::uint64_t dataSectors = total > dataOffset ? total - dataOffset : 1;
    const std::uint64_t clusters = dataSectors / spc;
    if (!InRange(clusters, type)) return nullptr;
    if (CeilDiv(clusters * TwoEntryBytes(type), 2ull * m_sectorSize) > spf) return nullptr;
    if (type == FILE_SYSTEM_FAT32 && rootInfo > clusters) return nullptr;

    CFATSearchedPartitionInfo* p = CreateFATSearchedPartitionInfo(m_sectorSize);
    p->SetDataStartSector(start + static_cast<std::int64_t>(dataOffset));
    p->SetSectorsPerCluster(spc);
    p->SetFileSystemType(type);
    p->SetTotalSectors(total);
    p->SetSectorPerFAT(spf);
    p->SetTotalCluster(static_cast<std::uint32_t>(clusters));
    p->SetStartSector(start);
    p->SetReservedSector(static_cast<std::uint16_t>(reserved));
    p->SetRootInfo(rootInfo);
    p->MergeFlag(flag);
    return p;
}

CFATSearchedPartitionInfo* CFATCompleteFSearcher::FindMatchedPartitionInfo(std::int64_t dataStart,
                                                                           std::uint32_t spc) const {
    CFATSearchedPartitionInfo key(m_sectorSize);
    key.SetDataStartSector(dataStart);
    auto range = m_candidates.equal_range(&key);
    for (auto it = range.first; it != range.second; ++it)
        if ((*it)->GetSectorsPerCluster() == spc) return *it;
    return nullptr;
}

void CFATCompleteFSearcher::AddCandidate(CFATSearchedPartitionInfo* candidate) { m_candidates.insert(candidate); }

void CFATCompleteFSearcher::AddFATPositions(CFATSearchedPartitionInfo* c) {
    const std::int64_t fat1 = c->GetStartSector() + c->GetReservedSector();
    m_fatPositions.insert(FATTableInfo{fat1, c});
    m_fatPositions.insert(FATTableInfo{fat1 + static_cast<std::int64_t>(c->GetSectorPerFAT()), c});
}

void CFATCompleteFSearcher::UpdateFATTableInfo(std::int64_t s) {
    // The walk only moves forward: positions up to here are settled.
    auto it = m_fatPositions.begin();
    while (it != m_fatPositions.end() && it->sector <= s) {
        if (it->sector == s) {
            CFATSearchedPartitionInfo* c = it->candidate;
            const std::int64_t fat1 = c->GetStartSector() + c->GetReservedSector();
            if (s == fat1) c->MergeFlag(FAT_FLAG_FAT1_FOUND | FAT_FLAG_FAT1_USABLE);
            if (s == fat1 + static_cast<std::int64_t>(c->GetSectorPerFAT()))
                c->MergeFlag(FAT_FLAG_FAT2_FOUND | FAT_FLAG_FAT2_USABLE);
        }
        it = m_fatPositions.erase(it);
    }
}

void CFATCompleteFSearcher::AnalyzeFATSubFolderFirstSector(std::int64_t s, std::uint32_t cluster,
                                                           std::uint32_t /*largest*/) {
    if (cluster < 2) return;  // no data start fits a folder below cluster 2
    bool usable[std::size(FAT_SUPPORTED_SECTORS_PER_CLUSTER)] = {};
    for (std::size_t i = 0; i < std::size(FAT_SUPPORTED_SECTORS_PER_CLUSTER); ++i) {
        const std::uint32_t spc = FAT_SUPPORTED_SECTORS_PER_CLUSTER[i];
        const std::int64_t d = s - static_cast<std::int64_t>(cluster - 2) * spc;
        if (d < 0 || d > s) continue;
        usable[i] = true;
        if (CFATSearchedPartitionInfo* m = FindMatchedPartitionInfo(d, spc)) {
            m->MergeFlag(FAT_FLAG_FOLDER_PLACES_DATA);
            m->SetVotes(m->GetVotes() + 1);
            return;
        }
    }
    for (std::size_t i = 0; i < std::size(FAT_SUPPORTED_SECTORS_PER_CLUSTER); ++i) {
        if (!usable[i]) continue;
        if (CFATSearchedPartitionInfo* c =
                BuildPartitionInfoAccordingtoSubFolder(s, cluster, FAT_SUPPORTED_SECTORS_PER_CLUSTER[i]))
            AddCandidate(c);
    }
}

bool CFATCompleteFSearcher::IsValidFileSystem(std::int64_t d, std::uint32_t spc, std::uint32_t type,
                                              std::uint64_t* clusters, std::uint64_t* spf) const {
    if (spc == 0 || d < 0 || d >= m_deviceSectors) return false;
    std::uint64_t n = static_cast<std::uint64_t>(m_deviceSectors - d) / spc;
    if (!InRange(n, type)) return false;
    const std::uint64_t fatSectors = CeilDiv(n * TwoEntryBytes(type), 2ull * m_sectorSize);
    const std::uint64_t room = static_cast<std::uint64_t>(d) / 2;
    if (room < fatSectors) {
        // Two FATs must fit before the data start: count only the clusters
        // they can describe.
        n = room * 2 * m_sectorSize / TwoEntryBytes(type);
        if (!InRange(n, type)) return false;
    }
    *clusters = n;
    *spf = fatSectors;
    return true;
}

std::uint32_t CFATCompleteFSearcher::CalcFileSystemType(std::int64_t d, std::uint32_t spc, std::uint64_t* clusters,
                                                        std::uint64_t* spf) const {
    if (IsValidFileSystem(d, spc, FILE_SYSTEM_FAT32, clusters, spf)) return FILE_SYSTEM_FAT32;
    if (IsValidFileSystem(d, spc, FILE_SYSTEM_FAT16, clusters, spf)) return FILE_SYSTEM_FAT16;
    return FILE_SYSTEM_UNKNOWN;
}

CFATSearchedPartitionInfo* CFATCompleteFSearcher::BuildPartitionInfoAccordingtoSubFolder(std::int64_t s,
                                                                                         std::uint32_t cluster,
                                                                                         std::uint32_t spc) {
    if (cluster < 2 || spc == 0) return nullptr;
    const std::int64_t d = s - static_cast<std::int64_t>(cluster - 2) * spc;
    if (d < 0 || d > s) return nullptr;
    std::uint64_t clusters = 0, spf = 0;
    const std::uint32_t type = CalcFileSystemType(d, spc, &clusters, &spf);
    if (type == FILE_SYSTEM_UNKNOWN) return nullptr;
    // One reserved sector and two FATs before the data start.
    std::int64_t start = d - 2 * static_cast<std::int64_t>(spf) - 1;
    if (start < 0) start = 0;
    std::uint32_t rootSectors = 0;
    std::uint32_t rootInfo = 2;
    if (type == FILE_SYSTEM_FAT16) {
        const std::int64_t most = kFolderOnlyRootBytes / m_sectorSize;
        rootSectors = static_cast<std::uint32_t>(start < most ? start : most);
        start -= rootSectors;
        rootInfo = rootSectors;
    }
    std::uint64_t total = clusters * spc + rootSectors + 2 * spf + 1;
    const std::uint64_t room = static_cast<std::uint64_t>(m_deviceSectors - start);
    if (total > room) total = room;

    CFATSearchedPartitionInfo* p = CreateFATSearchedPartitionInfo(m_sectorSize);
    p->SetDataStartSector(d);
    p->SetSectorsPerCluster(spc);
    p->SetFileSystemType(type);
    p->SetTotalSectors(total);
    p->SetSectorPerFAT(static_cast<std::uint32_t>(spf));
    p->SetTotalCluster(static_cast<std::uint32_t>(clusters));
    p->SetStartSector(start);
    p->SetReservedSector(1);
    p->SetRootInfo(rootInfo);
    p->MergeFlag(FAT_FLAG_FOLDER_PLACES_DATA);
    return p;
}

// ---- end -------------------------------------------------------------------

void CFATCompleteFSearcher::AddSearchedPartitionInfoList2(std::vector<CFATSearchedPartitionInfo*>& kept) {
    std::uint16_t index = static_cast<std::uint16_t>(kept.size());
    for (CFATSearchedPartitionInfo* c : m_candidates) {
        const std::uint32_t flag = c->GetFlag();
        const bool boot = (flag & kBootFlags) != 0;
        const bool fat1 = (flag & FAT_FLAG_FAT1_FOUND) != 0;
        const bool fat2 = (flag & FAT_FLAG_FAT2_FOUND) != 0;
        const bool survives = boot ? (c->GetVotes() >= 1 || fat1 || fat2) : c->GetVotes() >= 1;
        if (!survives) {
            DestroyFATSearchedPartitionInfo(c);
            continue;
        }
        const std::uint64_t fatPart = fat1 && fat2 ? 50 : (fat1 || fat2 ? 45 : 10);
        std::uint64_t bootPart = 10;
        if (c->GetFileSystemType() == FILE_SYSTEM_FAT32) {
            const bool main = (flag & FAT_FLAG_FAT32_DBR) != 0;
            const bool backup = (flag & FAT_FLAG_FAT32_BACKUP_DBR) != 0;
            bootPart = main && backup ? 50 : (main || backup ? 45 : 10);
        } else if (flag & (FAT_FLAG_FAT12_DBR | FAT_FLAG_FAT16_DBR)) {
            bootPart = 50;
        }
        c->SetCount(fatPart + bootPart);
        c->SetPartitionIndex(index++);
        kept.push_back(c);
    }
    m_candidates.clear();
    m_fatPositions.clear();
}

void CFATCompleteFSearcher::EndSearch(int build) {
    if (!build) return;
    const std::size_t before = m_kept.size();
    AddSearchedPartitionInfoList2(m_kept);
    if (m_kept.size() > before && m_builder != nullptr && m_device != nullptr) {
        m_builder->AddSearcherInfo(SEARCHER_FAT, 0);
        for (std::size_t i = before; i < m_kept.size(); ++i) (void)CompleteBulidDirectoryTree(m_kept[i]);
        m_builder->SetPartitonDevice(nullptr, m_device);
        m_builder->FlashBuild(SEARCHER_FAT);
    }
    m_folderSectors.clear();
}

EngineResult CFATCompleteFSearcher::CompleteBulidDirectoryTree(CFATSearchedPartitionInfo* p) {
    if (p == nullptr || m_device == nullptr) return FAT_ERR_DEEP_NO_FAT_OBJECT;
    const std::int64_t start = p->GetStartSector();
    const std::uint32_t type = p->GetFileSystemType();
    const std::uint32_t spf = p->GetSectorPerFAT();
    const std::uint32_t flag = p->GetFlag();
    IFATTable* fat =
        IFATTableFactory::CreateFATTable(m_device, start + p->GetReservedSector(), type, spf,
                                         (flag & FAT_FLAG_FAT1_USABLE) != 0, (flag & FAT_FLAG_FAT2_USABLE) != 0);
    if (fat == nullptr) return FAT_ERR_DEEP_NO_FAT_OBJECT;
    const bool rootWanted = (flag & kBootFlags) != 0;
    std::int64_t rootStart = 0;
    std::uint32_t rootSectors = 0, rootCluster = 0;
    if (rootWanted) {
        if (type == FILE_SYSTEM_FAT32) {
            rootCluster = p->GetRootInfo();
        } else {
            rootStart = start + p->GetReservedSector() + 2 * static_cast<std::int64_t>(spf);
            rootSectors = p->GetRootInfo();
        }
    }
    CFATBuildWorker worker(m_builder, m_progress, p, m_device, type, start, p->GetSectorsPerCluster(), rootStart,
                           rootSectors, rootCluster, rootWanted, p->GetDataStartSector(), p->GetTotalSectors(), fat);
    worker.SetFileSectorMap(m_fileSectorMap);
    (void)worker.CompleteBuildDirectoryTree(m_folderSectors);
    IFATTableFactory::DestroyFATTable(fat);
    return ENGINE_OK;
}
