#include "fat/FATBuildWorker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"
#include "fat/FATTable.h"
#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/IniReader.h"
#include "foundation/Log.h"
#include "foundation/Progress.h"
#include "foundation/StorageDevice.h"

std::uint64_t g_u64PreReadFileCluNum = 0;

namespace {

constexpr std::uint32_t kEndOfChain = FAT32_END_OF_CHAIN;
constexpr std::uint64_t kFirstCluster = FAT_FIRST_DATA_CLUSTER;
// One folder read covers at most this many sectors (the largest cluster).
constexpr std::uint32_t kMaxRunSectors = 128;
constexpr std::uint32_t kMaxCarry = 1023;
constexpr std::uint32_t kBadOffset = 0xFFFFFFFF;
// A folder opens with "." and ".."; a third dot entry marks no folder.
constexpr int kDotEntries = 2;

// The FAT32 first-cluster repair. An erased entry keeps only the low half
// of its first cluster, so the candidates are that low half plus each high
// half in turn (kHighStep apart); a candidate holds when its first sector
// looks like the start of the file's kind, or of a folder.
constexpr std::uint64_t kHighStep = FAT32_CLUSTER_HIGH_STEP;
constexpr std::uint64_t kLowMask = kHighStep - 1;
// High halves tried: from the bare low half for a file, near the previous
// entry's cluster for a file, for a folder, and past a cluster another
// deleted file (or folder) already claimed.
constexpr int kFileTries = 35;
constexpr int kFileTriesNearHint = 10;
constexpr int kFolderTries = 50;
constexpr int kClaimedFileTries = 40;
// A cluster claimed by two names is moved on at most this many times.
constexpr int kClaimRounds = 10;
// The high halves a folder search from the bare low half reaches: a
// previous cluster beyond them is searched from its own high half.
constexpr std::uint64_t kFolderSearchReach = (kFolderTries - 1) * kHighStep;
// Candidate sectors this close to the device's end are not read.
constexpr std::int64_t kCandidateEndMargin = 10;
// Zero bytes behind a candidate sector: analysers may look past it.
constexpr std::size_t kAnalyserLookAhead = 4096;
// An MZ executable keeps the offset of its "PE" header at byte 60 of its
// 64-byte DOS header.
constexpr std::uint32_t kMzHeaderBytes = 64;
constexpr std::size_t kMzPeOffset = 60;

// A FAT16 root left without a boot sector lies just before the data area;
// folder sectors up to this many bytes in front of it are read as pieces of
// it (4,096 entries).
constexpr std::uint32_t kLostRootReachBytes = 0x20000;
// The buffer one lost root sector is read into: at least the largest sector.
constexpr std::size_t kLostRootBufferBytes = 4096;

unsigned g_madeUpFolderCounter = 0;

std::uint64_t High(std::uint64_t v) { return v & ~kLowMask; }

}  // namespace

CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject() {
    static CEmptyFileVirtualClusterNum counter;
    return &counter;
}

void ResetFATMadeUpFolderCounter() { g_madeUpFolderCounter = 0; }

// ---- run lists ---------------------------------------------------------------

IDataRunList* CFATBuildDataRun::BuildDataRunList(std::uint64_t first, std::int64_t size, bool deleted) {
    if (deleted) return BuildDeleteFileDataRunList(first, size);
    if (m_fat == nullptr || m_limit == 0 || m_spc == 0 || first < kFirstCluster || size <= 0) return nullptr;
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(m_sectorSize) * m_spc;
    const std::uint64_t need = (static_cast<std::uint64_t>(size) + clusterBytes - 1) / clusterBytes;
    IDataRunList* list = CreateDataRunList();
    auto pastEnd = [&](const DataRun& r) { return static_cast<std::uint64_t>(r.start + r.length) * m_spc > m_limit; };
    DataRun run{static_cast<std::int64_t>(first - kFirstCluster), 1};
    std::uint64_t placed = 0;  // clusters in finished runs
    std::uint64_t cur = first;
    // A chain that comes back to one of its own clusters ends there, as a
    // chain that ends early does.
    std::unordered_set<std::uint64_t> seen{first};
    for (;;) {
        std::uint32_t next = m_fat->GetNextCluster(static_cast<std::uint32_t>(cur));
        if (!seen.insert(next).second) next = 0;
        // The file cannot need more than its size: a chain that goes on (or a
        // cross-linked one) is cut there.
        const bool full = placed + static_cast<std::uint64_t>(run.length) >= need;
        if (next < kFirstCluster || next >= kEndOfChain || full) {
            run.length = static_cast<std::int64_t>(need - placed);
            if (pastEnd(run)) {
                list->Release();
                return nullptr;
            }
            list->AddDataRun(&run);
            break;
        }
        if (next == cur + 1) {
            ++run.length;
            cur = next;
            continue;
        }
        if (pastEnd(run)) {
            list->Release();
            return nullptr;
        }
        list->AddDataRun(&run);
        placed += static_cast<std::uint64_t>(run.length);
        if (placed >= need) break;
        run = DataRun{static_cast<std::int64_t>(next - kFirstCluster), 1};
        cur = next;
    }
    return list;
}

IDataRunList* CFATBuildDataRun::BuildDeleteFileDataRunList(std::uint64_t first, std::int64_t size) {
    if (first < kFirstCluster || size <= 0 || m_spc == 0) return nullptr;
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(m_sectorSize) * m_spc;
    IDataRunList* list = CreateDataRunList();
    bool any = false;
    bool followFat = m_fat != nullptr;
    std::uint64_t placed = 0;
    std::uint64_t cur = first;
    // Entries of a reused or damaged table may lead back to a cluster
    // already placed: the walk ends there.
    std::unordered_set<std::uint64_t> seen;
    while (placed < static_cast<std::uint64_t>(size) && cur >= kFirstCluster &&
           (cur - kFirstCluster) * m_spc < m_limit) {
        if (!seen.insert(cur).second) break;
        if (cur != FAT32_BAD_CLUSTER) {
            DataRun r{static_cast<std::int64_t>(cur - kFirstCluster), 1};
            list->AddDataRun(&r);
            any = true;
            placed += clusterBytes;
        }
        std::uint64_t next = cur + 1;
        if (followFat) {
            const std::uint32_t e = m_fat->GetNextCluster(static_cast<std::uint32_t>(cur));
            if (e == 0)
                followFat = false;  // from the first free entry on: consecutive
            else
                next = e;
        }
        if (next == FAT32_END_OF_CHAIN_MAX) break;
        cur = next;
    }
    if (!any) {
        list->Release();
        return nullptr;
    }
    return list;
}

// ---- folder reader -------------------------------------------------------------

CFATBuildChildren::CFATBuildChildren(const FATBuildContext& ctx, std::unordered_set<std::uint32_t>* visited,
                                     std::unordered_map<std::uint64_t, CFATFileNode*>* folderMap)
    : m_ctx(ctx), m_visited(visited), m_folderMap(folderMap) {
    if (m_ctx.sectorSize == 0) m_ctx.sectorSize = 512;
    if (m_ctx.type == FILE_SYSTEM_FAT32) {
        g_u64PreReadFileCluNum = 0;
        // Read as the settings file asks; no step of the folder reader
        // depends on it.
        CIniFile ini;
        if (ini.Init(GetAppWorkPath() + "/UIConfig.ini") == 0) {
            std::string value;
            (void)ini.ReadItem("UserExperience", "bRevise", value);
        }
        IniRawDllValue();
    }
}

CFATBuildChildren::~CFATBuildChildren() = default;

void CFATBuildChildren::IniRawDllValue() { m_probes = GetFileContentProbes(); }

std::int64_t CFATBuildChildren::ConvertClusterNumToSector(std::uint64_t cluster) const {
    return m_ctx.ClusterToSector(cluster);
}

IDataRunList* CFATBuildChildren::BuildDataRunList(std::uint64_t first, std::int64_t size, bool deleted) {
    CFATBuildDataRun runs(m_ctx.fat, m_ctx.sectorSize, m_ctx.sectorsPerCluster, m_ctx.DataAreaLimit());
    return runs.BuildDataRunList(first, size, deleted);
}

bool CFATBuildChildren::BuildRoot(FolderQueue& queue, bool includeExisting, bool wanted) {
    if (!wanted) return false;
    if (m_ctx.type == FILE_SYSTEM_FAT32)
        return BuildChildren(nullptr, m_ctx.rootCluster, queue, true, includeExisting) != 0;
    if (m_ctx.rootSectors == 0 || m_ctx.device == nullptr) return false;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(m_ctx.rootSectors) * m_ctx.sectorSize);
    if (m_ctx.device->ReadSector(buf.data(), m_ctx.rootStart, m_ctx.rootSectors) != 1) return false;
    return BuildChildrenFromBuffer(buf.data(), static_cast<std::uint32_t>(buf.size()), nullptr, &queue, false,
                                   includeExisting) != kBadOffset;
}

int CFATBuildChildren::BuildChildren(CFATFileNode* parent, std::uint64_t firstCluster, FolderQueue& queue, bool root,
                                     bool includeExisting) {
    if (m_ctx.fat == nullptr || m_ctx.device == nullptr || m_ctx.sectorsPerCluster == 0 ||
        m_ctx.sectorsPerCluster > kMaxRunSectors)
        return 0;
    const std::uint32_t ss = m_ctx.sectorSize;
    const std::uint32_t spc = m_ctx.sectorsPerCluster;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(kMaxRunSectors + 2) * ss + kMaxCarry);
    std::uint32_t carried = 0;
    bool firstPass = true;
    std::uint64_t cluster = firstCluster;
    while (cluster >= kFirstCluster && cluster < kEndOfChain) {
        // One run of consecutive clusters, at most 128 sectors.
        std::uint32_t count = 1;
        std::uint64_t last = cluster;
        std::uint32_t next = 0;
        for (;;) {
            next = m_ctx.fat->GetNextCluster(static_cast<std::uint32_t>(last));
            if (next != last + 1 || (count + 1) * spc > kMaxRunSectors) break;
            last = next;
            ++count;
        }
        if (m_visited->count(static_cast<std::uint32_t>(cluster))) break;  // loop guard
        for (std::uint64_t c = cluster; c <= last; ++c) m_visited->insert(static_cast<std::uint32_t>(c));

        const std::uint32_t runBytes = count * spc * ss;
        // A folder cluster outside the partition is not read.
        if (m_ctx.ClusterToSector(cluster) + static_cast<std::int64_t>(count) * spc > m_ctx.PartitionEnd()) break;
        if (m_ctx.device->ReadSector(buf.data() + carried, m_ctx.ClusterToSector(cluster),
                                     static_cast<std::int64_t>(count) * spc) != 1)
            break;
        if (firstPass) {
            firstPass = false;
            const std::uint8_t* e0 = buf.data() + carried;
            const bool dot = CFATFolderAnalyser::IsCurDirFileName(e0);
            const bool dotdot = CFATFolderAnalyser::IsParentDirFileName(e0 + FAT_DIR_ENTRY_SIZE);
            if (root ? (dot || dotdot) : !(dot && dotdot)) return 0;
        }
        const std::uint32_t total = carried + runBytes;
        const std::uint32_t off = BuildChildrenFromBuffer(buf.data(), total, parent, &queue, false, includeExisting);
        if (off == kBadOffset) break;
        const std::uint32_t rest = off <= total ? total - off : 0;
        if (rest >= 1 && rest <= kMaxCarry) {
            std::memmove(buf.data(), buf.data() + off, rest);
            carried = rest;
        } else {
            carried = 0;
        }
        cluster = next;
    }
    return 1;
}

bool CFATBuildChildren::ReadFolderFacts(CFATFileNode* parent, FolderFacts& facts) {
    facts = FolderFacts{};
    if (parent == nullptr) return true;
    CFATFileProperties* pp = parent->GetFileProperties();
    if (pp == nullptr) return false;
    facts.cluster = static_cast<std::uint64_t>(pp->GetFirstClusterNum());
    facts.deleted = (pp->GetState() & FAT_STATE_DELETED) != 0;
    facts.madeUp = (pp->GetState() & FAT_STATE_MADE_UP_FOLDER) == FAT_STATE_MADE_UP_FOLDER;
    // The stand-in parent of a lost cluster's entries has no cluster
    // (0xFFFFFFFF): as a repair hint it would push every later entry's first
    // cluster to 0xFFFFxxxx, past any partition.
    facts.repairParent = facts.cluster <= FAT32_CLUSTER_MASK ? facts.cluster : 0;
    return true;
}

CFATBuildChildren::EntryStep CFATBuildChildren::CheckEntry(const CTempFATDirEntry& entry, bool valid,
                                                           const FolderFacts& folder, bool includeExisting,
                                                           int& dots) const {
    if (!valid) return EntryStep::Invalid;
    if (entry.IsVolumeLabel()) return EntryStep::Skip;
    if (entry.Raw()[tagFATDIRENTRY::kName] == '.') return ++dots > kDotEntries ? EntryStep::NoFolder : EntryStep::Skip;
    const bool existing = !entry.IsErased() && !folder.deleted;
    if (existing && !entry.IsDirectory() && !includeExisting) return EntryStep::Skip;
    const std::uint64_t cluster = entry.GetFirstClusterNO();
    if (!(cluster <= kFirstCluster || (cluster - kFirstCluster) * m_ctx.sectorsPerCluster <= m_ctx.totalSectors))
        return EntryStep::Invalid;
    if (folder.cluster != 0 && cluster == folder.cluster) return EntryStep::Skip;
    return EntryStep::Build;
}

void CFATBuildChildren::RepairFirstCluster(CTempFATDirEntry& entry, CFATFileProperties* props,
                                           const FolderFacts& folder, std::uint64_t& hint) {
    const std::uint64_t stored = entry.GetFirstClusterNO();
    const std::uint64_t repaired = ReverseDelFileFirstNum(entry, folder.repairParent, hint, props, folder.madeUp);
    // A repair that lands on the folder itself is no repair.
    if (folder.cluster != 0 && repaired == folder.cluster) props->SetFirstClusterNum(static_cast<std::int64_t>(stored));
}

CFATFileProperties* CFATBuildChildren::BuildEntryProperties(const std::uint8_t* group, std::uint32_t bytes,
                                                            CTempFATDirEntry& entry, const FolderFacts& folder,
                                                            std::uint64_t& hint) {
    CFATFileProperties* props = CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(group, bytes);
    if (props == nullptr) return nullptr;
    if (folder.deleted) props->SetState(props->GetState() | FAT_STATE_DELETED);
    props->SetParentFirstClusterNum(static_cast<std::int64_t>(folder.cluster));
    props->SetMetaDataSector(m_ctx.ClusterToSector(folder.cluster));
    RepairFirstCluster(entry, props, folder, hint);
    return props;
}

IDataRunList* CFATBuildChildren::BuildRuns(CFATFileProperties* props, bool isDir) {
    if (isDir) return nullptr;
    if (props->GetFileSize() <= 0) {
        // An empty file has no cluster: it gets a number of its own so that
        // no two empty files share a node id.
        props->SetFirstClusterNum(
            static_cast<std::int64_t>(GetEmptyFileVirtualClusterNumObject()->GetVirtualClusterNum()));
        return nullptr;
    }
    const bool deleted = (props->GetState() & FAT_STATE_DELETED) != 0;
    return BuildDataRunList(static_cast<std::uint64_t>(props->GetFirstClusterNum()), props->GetFileSize(), deleted);
}

CFATFileNode* CFATBuildChildren::HandOverNode(CFATFileProperties* props, IDataRunList* runs) {
    auto* node = new CFATFileNode();
    node->SetFileProperties(props);
    node->SetDataRunList(runs);
    if (m_ctx.partition) node->SetPartition(m_ctx.partition->GetPartitionIndex());
    if (m_ctx.builder == nullptr || !m_ctx.builder->AddNode(node, SEARCHER_FAT)) {
        node->Release();
        return nullptr;
    }
    return node;
}

void CFATBuildChildren::QueueFolder(CFATFileNode* node, FolderQueue* queue) {
    m_folderMap->emplace(static_cast<std::uint64_t>(node->GetFileProperties()->GetFirstClusterNum()), node);
    if (queue) queue->push_back(node);
}

std::uint32_t CFATBuildChildren::BuildChildrenFromBuffer(std::uint8_t* buffer, std::uint32_t length,
                                                         CFATFileNode* parent, FolderQueue* queue, bool stopAtInvalid,
                                                         bool includeExisting) {
    FolderFacts folder;
    if (!ReadFolderFacts(parent, folder)) return kBadOffset;
    std::uint64_t hint = folder.madeUp ? 0 : folder.repairParent;
    // Start of the run of long-name pieces before the current entry; -1
    // when none is open.
    std::int64_t pending = -1;
    int dots = 0;
    std::uint32_t off = 0;
    for (; off + FAT_DIR_ENTRY_SIZE <= length; off += FAT_DIR_ENTRY_SIZE) {
        CTempFATDirEntry entry(buffer + off);
        const bool valid = entry.IsValidFATDirEntry(false);
        if (valid && entry.IsLongFileNameEntry()) {
            if (pending < 0) pending = off;
            continue;
        }
        // Any other entry closes the run: the pieces name this entry or none.
        const std::uint32_t from = pending >= 0 ? static_cast<std::uint32_t>(pending) : off;
        pending = -1;
        switch (CheckEntry(entry, valid, folder, includeExisting, dots)) {
        case EntryStep::NoFolder:
            return kBadOffset;
        case EntryStep::Invalid:
            if (stopAtInvalid) return off;
            continue;
        case EntryStep::Skip:
            continue;
        case EntryStep::Build:
            break;
        }
        CFATFileProperties* props =
            BuildEntryProperties(buffer + from, off + FAT_DIR_ENTRY_SIZE - from, entry, folder, hint);
        if (props == nullptr) continue;
        const bool isDir = entry.IsDirectory();
        CFATFileNode* node = HandOverNode(props, BuildRuns(props, isDir));
        if (node != nullptr && isDir) QueueFolder(node, queue);
    }
    return pending >= 0 ? static_cast<std::uint32_t>(pending) : off;
}

// ---- FAT32 first-cluster repair ---------------------------------------------------

bool CFATBuildChildren::ReadCandidateSector(std::uint64_t cluster) {
    const std::int64_t sector = ConvertClusterNumToSector(cluster);
    if (sector == 0 || m_ctx.device == nullptr) return false;
    if (sector > m_ctx.device->GetTotalSectors() - kCandidateEndMargin) return false;
    // The bytes behind the sector are zeroed once: reads fill only the
    // sector, and the analysers only look at the bytes.
    if (m_candidate.empty()) m_candidate.assign(static_cast<std::size_t>(m_ctx.sectorSize) + kAnalyserLookAhead, 0);
    if (m_ctx.device->ReadSector(m_candidate.data(), sector, 1) == 1) return true;
    std::memset(m_candidate.data(), 0, m_ctx.sectorSize);
    return false;
}

bool CFATBuildChildren::bWindowsPEFiles(const std::uint8_t* s, std::uint32_t length) {
    if (s == nullptr || length < kMzHeaderBytes || s[0] != 'M' || s[1] != 'Z') return false;
    const std::uint64_t pe = byteorder::LE32(s + kMzPeOffset);
    return pe + 2 <= length && s[pe] == 'P' && s[pe + 1] == 'E';
}

bool CFATBuildChildren::bInAnalyzeMap(std::uint32_t key) { return m_probes && m_probes->HasFourByteKey(key); }

bool CFATBuildChildren::bInAnalyzeMultimap(std::uint16_t key, std::uint8_t* sector) {
    return m_probes && m_probes->MatchesTwoByteKey(key, sector);
}

bool CFATBuildChildren::bInAnalyzeList(std::uint8_t* sector) { return m_probes && m_probes->MatchesUnkeyed(sector); }

bool CFATBuildChildren::bReviseFAT32FileFirstClu(std::uint64_t cluster, bool /*flag*/) {
    if (m_fileSectorTest) {
        if (m_fileSectorMap == nullptr || m_ext.empty()) return true;
        auto it = m_fileSectorMap->find(ConvertClusterNumToSector(cluster));
        IFileContentProbes* probes = GetFileContentProbes();
        const char* ext = it != m_fileSectorMap->end() && probes ? probes->ExtensionOf(it->second) : nullptr;
        if (ext == nullptr) return true;
        return strcasecmp(ext, m_ext.c_str()) != 0;
    }
    if (!ReadCandidateSector(cluster)) return true;
    std::uint8_t* s = m_candidate.data();
    if (bInAnalyzeMap(byteorder::LE32(s))) return false;
    if (bInAnalyzeMultimap(byteorder::LE16(s), s)) return false;
    if (bInAnalyzeList(s)) return false;
    return !bWindowsPEFiles(s, m_ctx.sectorSize);
}

bool CFATBuildChildren::bEffectiveDIRFDT(std::uint64_t cluster) {
    if (!ReadCandidateSector(cluster)) return false;
    return CFATFolderAnalyser::IsCurDirFileName(m_candidate.data()) &&
           CFATFolderAnalyser::IsParentDirFileName(m_candidate.data() + FAT_DIR_ENTRY_SIZE);
}

std::uint64_t CFATBuildChildren::TryGetRealFirstNum(std::uint64_t cluster, bool* found, int tries, bool folder) {
    *found = false;
    for (int k = 0; k < tries - 1; ++k) {
        const std::uint64_t c = cluster + static_cast<std::uint64_t>(k) * kHighStep;
        if (c > FAT32_LAST_USED_CLUSTER) break;
        const bool match = folder ? bEffectiveDIRFDT(c) : !bReviseFAT32FileFirstClu(c, false);
        if (match) {
            *found = true;
            return c;
        }
    }
    return cluster;
}

bool CFATBuildChildren::bInDelFileOrDIRMap(std::uint64_t& cluster, CTempFATDirEntry& entry, CFATFileProperties* props,
                                           bool* found, std::uint64_t G, bool folder) {
    auto& map = folder ? m_delFolders : m_delFiles;
    const std::string name = props->GetFileName();
    std::uint64_t c = cluster;
    bool ok = true;
    bool settled = false;
    for (int round = 0; round < kClaimRounds && !settled; ++round) {
        auto it = map.find(c);
        if (it == map.end()) {
            if (ok) map[c] = name;
            settled = true;
            break;
        }
        if (it->second == name) {
            settled = true;
            break;
        }
        bool f = false;
        const std::uint64_t cand =
            TryGetRealFirstNum(c + kHighStep, &f, folder ? kFolderTries : kClaimedFileTries, folder);
        if (f) {
            c = cand;
            ok = true;
        } else if (cand < G) {
            c = High(G) | (cand & kLowMask);
        } else {
            ok = false;
            settled = true;
        }
    }
    if (!settled) ok = false;  // still colliding after every round
    *found = ok;
    if (ok) {
        cluster = c;
        entry.SetFirstClusterNO(static_cast<std::uint32_t>(c));
    }
    return ok;
}

std::uint64_t CFATBuildChildren::ReverseDelFileFirstNum(CTempFATDirEntry& entry, std::uint64_t P, std::uint64_t& R,
                                                        CFATFileProperties* props, bool madeUp) {
    std::uint64_t c = entry.GetFirstClusterNO();
    if (m_ctx.type != FILE_SYSTEM_FAT32) {
        props->SetFirstClusterNum(static_cast<std::int64_t>(c));
        return c;
    }
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(m_ctx.sectorSize) * m_ctx.sectorsPerCluster;
    const std::uint64_t size = entry.GetSize();
    const std::uint64_t need = clusterBytes ? (size + clusterBytes - 1) / clusterBytes : 0;
    bool repaired = false;
    const bool isDir = entry.IsDirectory();

    if (entry.IsErased() && !isDir && c < kHighStep) {
        const std::string name = props->GetFileName();
        const std::size_t dot = name.rfind('.');
        if (dot != std::string::npos && name.size() > 1) m_ext = name.substr(dot + 1);
        if (P != 0 && High(R) == High(P) && !madeUp) {
            c += High(P);
            if (c < kHighStep) {
                bool found = false;
                std::uint64_t cand = TryGetRealFirstNum(c, &found, kFileTries, false);
                if (found && High(cand) != High(P)) {
                    bool placed = false;
                    bInDelFileOrDIRMap(cand, entry, props, &placed, g_u64PreReadFileCluNum, false);
                    if (placed) {
                        c = cand;
                        repaired = true;
                    }
                }
            }
        } else {
            bool found = false;
            const std::uint64_t start = High(R) + c;
            std::uint64_t cand = TryGetRealFirstNum(start, &found, kFileTriesNearHint, false);
            if (!found && cand == start) cand = TryGetRealFirstNum(c, &found, kFileTries, false);
            if (found) {
                c = cand;
                repaired = true;
            } else if (c < kHighStep) {
                if (R > kHighStep)
                    c += High(R);
                else if (P > kHighStep && !madeUp)
                    c += High(P);
            }
        }
        entry.SetFirstClusterNO(static_cast<std::uint32_t>(c));
    } else if (entry.IsErased() && isDir) {
        if (bEffectiveDIRFDT(c)) {
            bool placed = false;
            bInDelFileOrDIRMap(c, entry, props, &placed, g_u64PreReadFileCluNum, true);
        } else {
            bool found = false;
            std::uint64_t cand = TryGetRealFirstNum(c, &found, kFolderTries, true);
            if (found) {
                bool placed = false;
                bInDelFileOrDIRMap(cand, entry, props, &placed, g_u64PreReadFileCluNum, true);
                if (placed) c = cand;
            } else if (g_u64PreReadFileCluNum > kFolderSearchReach) {
                cand = TryGetRealFirstNum(c + High(g_u64PreReadFileCluNum), &found, kFolderTries, true);
                if (found) {
                    c = cand;
                    entry.SetFirstClusterNO(static_cast<std::uint32_t>(c));
                    g_u64PreReadFileCluNum = c;
                }
            }
        }
    } else if (!entry.IsErased() && isDir) {
        m_folders[c] = props->GetFileName();
    }

    R = c + need;
    if ((!isDir && repaired) || c > kHighStep) g_u64PreReadFileCluNum = R;
    if (R < P) R = P;
    props->SetFirstClusterNum(static_cast<std::int64_t>(c));
    return c;
}

// ---- worker --------------------------------------------------------------------

CFATBuildWorker::CFATBuildWorker(IDirecotryTreeBuilder* builder, IProgress* progress,
                                 CFATSearchedPartitionInfo* partition, IStorageDevice* device, std::uint32_t type,
                                 std::int64_t partitionStart, std::uint32_t sectorsPerCluster, std::int64_t rootStart,
                                 std::uint32_t rootSectors, std::uint32_t rootCluster, bool rootWanted,
                                 std::int64_t dataStart, std::uint64_t totalSectors, IFATTable* fat) {
    m_ctx.builder = builder;
    m_ctx.progress = progress;
    m_ctx.partition = partition;
    m_ctx.device = device;
    m_ctx.type = type;
    m_ctx.partitionStart = partitionStart;
    m_ctx.sectorsPerCluster = sectorsPerCluster;
    m_ctx.rootStart = rootStart;
    m_ctx.rootSectors = rootSectors;
    m_ctx.rootCluster = rootCluster;
    m_ctx.rootWanted = rootWanted;
    m_ctx.dataStart = dataStart;
    m_ctx.totalSectors = totalSectors;
    m_ctx.fat = fat;
    m_ctx.sectorSize = device && device->GetSectorSize() ? device->GetSectorSize() : 512;
}

bool CFATBuildWorker::IsFullValidDBR(const std::uint8_t* sector, std::int64_t partitionStart, IStorageDevice* device) {
    if (sector == nullptr || device == nullptr) return false;
    const std::uint32_t ss = device->GetSectorSize();
    CTempFATDBR dbr(sector, ss);
    if (!dbr.IsValidDBR()) return false;
    if (static_cast<std::uint64_t>(dbr.GetNumberOfFat()) * dbr.GetSectorsPerFat() > dbr.GetTotalSectors()) return false;
    std::vector<std::uint8_t> buf(ss ? ss : 512);
    std::uint32_t type = 0;
    const std::int64_t fat1 = partitionStart + dbr.GetReservedSector();
    if (device->ReadSector(buf.data(), fat1, 1) == 1 &&
        CFATTableAnalyser::IsValidFATTableFirstSector(buf.data(), ss, &type))
        return true;
    return device->ReadSector(buf.data(), fat1 + dbr.GetSectorsPerFat(), 1) == 1 &&
           CFATTableAnalyser::IsValidFATTableFirstSector(buf.data(), ss, &type);
}

std::uint32_t CFATBuildWorker::ConvertSectorToClusterNum(std::int64_t sector) const {
    return m_ctx.SectorToCluster(sector);
}

std::int64_t CFATBuildWorker::ConvertClusterNumToSector(std::uint64_t cluster) const {
    return m_ctx.ClusterToSector(cluster);
}

bool CFATBuildWorker::IsFirsectorInCluster(std::int64_t sector) const { return m_ctx.IsClusterStart(sector); }

EngineResult CFATBuildWorker::QuickBuildDirectoryTree(bool includeExisting) {
    GetEmptyFileVirtualClusterNumObject()->ResetVirtualClusterNum();
    CFATBuildChildren children(m_ctx, &m_visited, &m_folderMap);
    children.SetQuickScan(false);
    FolderQueue queue;
    if (!children.BuildRoot(queue, includeExisting, true)) return FAT_ERR_ROOT_NOT_BUILT;
    EngineResult result = ENGINE_OK;
    std::uint64_t processed = 0;
    std::int64_t lastPercent = 0;
    _PROGRESS_INFO info;
    while (!queue.empty()) {
        if (m_ctx.progress && !m_ctx.progress->Continued()) {
            result = FAT_ERR_STOPPED;
            break;
        }
        CFATFileNode* node = queue.front();
        queue.pop_front();
        ++processed;
        const std::int64_t percent = static_cast<std::int64_t>(processed * 100 / (processed + queue.size()));
        if (percent > lastPercent && m_ctx.progress) {
            lastPercent = percent;
            MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 100, percent);
            m_ctx.progress->UpdateProgress(&info);
        }
        if (node->GetFirstChild() != nullptr) continue;
        const CFATFileProperties* p = node->GetFileProperties();
        if (p == nullptr) continue;
        children.BuildChildren(node, static_cast<std::uint64_t>(p->GetFirstClusterNum()), queue, false,
                               includeExisting);
    }
    if (m_ctx.progress) {
        MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 100, 100);
        m_ctx.progress->UpdateProgress(&info);
    }
    return result;
}

CFATFileNode* CFATBuildWorker::CreateTempFileNode(std::uint32_t cluster, std::uint32_t parentCluster) {
    char name[32];
    std::snprintf(name, sizeof name, "DIR%u", g_madeUpFolderCounter++);
    auto* props = CFATFileProperties::Create();
    props->SetFileName(name);
    props->SetAttribute(FAT_ATTR_DIRECTORY);
    props->SetState(FAT_STATE_MADE_UP_FOLDER);
    props->SetFirstClusterNum(cluster);
    props->SetParentFirstClusterNum(parentCluster);
    props->SetMetaDataSector(ConvertClusterNumToSector(parentCluster));
    auto* node = new CFATFileNode();
    node->SetFileProperties(props);
    return node;
}

void CFATBuildWorker::BuildFat16LostRoot(CFATBuildChildren& children, std::int64_t sector) {
    std::vector<std::uint8_t> buf(std::max<std::size_t>(kLostRootBufferBytes, m_ctx.sectorSize), 0);
    if (m_ctx.device->ReadSector(buf.data(), sector, 1) != 1) return;
    children.BuildChildrenFromBuffer(buf.data(), m_ctx.sectorSize, nullptr, nullptr, true, true);
}

std::uint32_t CFATBuildWorker::OpenLongNameBefore(std::int64_t sector, const FolderSectorSet& sectors,
                                                  std::uint8_t* to) {
    const std::uint32_t spc = m_ctx.sectorsPerCluster;
    const std::int64_t previous = sector - static_cast<std::int64_t>(spc);
    if (previous < m_ctx.dataStart) return 0;
    // Only a folder cluster read before this one (or one the walk saw as a
    // folder sector) can hold the first pieces of a name cut there.
    if (!m_visited.count(ConvertSectorToClusterNum(previous)) && !sectors.count(FIRSTFOLDERSECTOR{sector - 1, 0, 0}))
        return 0;
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(spc) * m_ctx.sectorSize);
    if (m_ctx.device->ReadSector(buf.data(), previous, spc) != 1) return 0;
    const std::uint32_t length = static_cast<std::uint32_t>(buf.size());
    std::int64_t open = -1;
    for (std::uint32_t off = 0; off + FAT_DIR_ENTRY_SIZE <= length; off += FAT_DIR_ENTRY_SIZE) {
        CTempFATDirEntry entry(buf.data() + off);
        if (entry.IsValidFATDirEntry(false) && entry.IsLongFileNameEntry()) {
            if (open < 0) open = off;
        } else {
            open = -1;
        }
    }
    if (open < 0 || length - open > kMaxCarry) return 0;
    const std::uint32_t n = length - static_cast<std::uint32_t>(open);
    std::memcpy(to - n, buf.data() + open, n);
    return n;
}

void CFATBuildWorker::BuildLostNode(CFATBuildChildren& children, const FolderSectorSet& sectors) {
    const std::uint32_t spc = m_ctx.sectorsPerCluster;
    if (spc == 0 || spc > kMaxRunSectors) return;
    // Room in front of the cluster for the long-name pieces carried into it.
    const std::size_t front = kMaxCarry + 1;
    std::vector<std::uint8_t> buf(front + static_cast<std::size_t>(m_ctx.sectorSize) * kMaxRunSectors);
    std::uint8_t* cluster = buf.data() + front;
    const std::int64_t end = m_ctx.PartitionEnd();
    for (const FIRSTFOLDERSECTOR& f : sectors) {
        if (f.sector < m_ctx.dataStart || f.sector >= end) continue;
        if (f.ownCluster != FAT_CLUSTER_NONE || !IsFirsectorInCluster(f.sector)) continue;
        if (m_visited.count(ConvertSectorToClusterNum(f.sector))) continue;
        if (f.sector + static_cast<std::int64_t>(spc) > end) continue;
        if (m_ctx.device->ReadSector(cluster, f.sector, spc) != 1) continue;
        // A folder whose chain is gone is read one cluster at a time: the
        // long name of an entry whose short entry opens this cluster began at
        // the end of the one before, as in a folder read whole.
        const std::uint32_t carried = OpenLongNameBefore(f.sector, sectors, cluster);
        CFATFileNode* temp = CreateTempFileNode(FAT_CLUSTER_NONE, f.parentCluster);
        children.BuildChildrenFromBuffer(cluster - carried, carried + spc * m_ctx.sectorSize, temp, nullptr, true,
                                         true);
        temp->Release();
    }
}

int CFATBuildWorker::CompleteBuildDirectoryTree(const FolderSectorSet& sectors) {
    GetEmptyFileVirtualClusterNumObject()->ResetVirtualClusterNum();
    CFATBuildChildren children(m_ctx, &m_visited, &m_folderMap);
    children.SetFileSectorMap(m_fileSectorMap);
    children.SetQuickScan(true);
    FolderQueue list;
    children.BuildRoot(list, true, m_ctx.rootWanted);
    list.clear();
    std::int64_t from = m_ctx.dataStart;
    if (m_ctx.type != FILE_SYSTEM_FAT32 && !m_ctx.rootWanted) {
        from = m_ctx.dataStart - static_cast<std::int64_t>(kLostRootReachBytes / m_ctx.sectorSize);
        if (from < 0) from = 0;
    }
    const std::int64_t end = m_ctx.PartitionEnd();
    auto first = sectors.lower_bound(FIRSTFOLDERSECTOR{from, 0, 0});
    if (first == sectors.end() || first->sector >= end) return 1;
    // No stop test here: a stopped deep scan still builds what it found.
    for (auto it = first; it != sectors.end() && it->sector < end; ++it) {
        if (it->sector < m_ctx.dataStart) {
            BuildFat16LostRoot(children, it->sector);
            continue;
        }
        if (it->ownCluster == FAT_CLUSTER_NONE || ConvertSectorToClusterNum(it->sector) != it->ownCluster ||
            !IsFirsectorInCluster(it->sector))
            continue;
        CFATFileNode* node = nullptr;
        auto found = m_folderMap.find(it->ownCluster);
        if (found != m_folderMap.end()) {
            node = found->second;
        } else {
            node = CreateTempFileNode(it->ownCluster, it->parentCluster);
            if (m_ctx.partition) node->SetPartition(m_ctx.partition->GetPartitionIndex());
            if (m_ctx.builder == nullptr || !m_ctx.builder->AddNode(node, SEARCHER_FAT)) {
                node->Release();
                continue;
            }
            m_folderMap.emplace(it->ownCluster, node);
        }
        children.BuildChildren(node, it->ownCluster, list, false, true);
        list.clear();
    }
    BuildLostNode(children, sectors);
    return 1;
}
