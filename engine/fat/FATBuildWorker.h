#pragma once
// Turns one FAT partition into nodes of the result tree: the folder reader
// (entry groups with long names, FAT32 first-cluster repair), the run lists
// of files, and the walks over the folder tree (quick from the root, complete
// from recorded folder sectors).

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fat/FATGeometry.h"
#include "fat/FATLayout.h"
#include "foundation/ContentProbes.h"
#include "foundation/EngineResult.h"

class IStorageDevice;
class IProgress;
class IDirecotryTreeBuilder;
class IFATTable;
class IDataRunList;
class CFATFileNode;
class CFATFileProperties;
class CFATSearchedPartitionInfo;
class CTempFATDirEntry;

constexpr EngineResult FAT_ERR_ROOT_NOT_BUILT = 0x010A008E00000001ull;
constexpr EngineResult FAT_ERR_STOPPED = 0x010A00980000000Dull;

// A folder sector the deep search recorded.
struct FIRSTFOLDERSECTOR {
    std::int64_t sector = 0;                      // absolute
    std::uint32_t ownCluster = FAT_CLUSTER_NONE;  // none: not a folder's first sector
    std::uint32_t parentCluster = 0;
};
struct FIRSTFOLDERSECTORLESS {
    bool operator()(const FIRSTFOLDERSECTOR& a, const FIRSTFOLDERSECTOR& b) const { return a.sector < b.sector; }
};
using FolderSectorSet = std::set<FIRSTFOLDERSECTOR, FIRSTFOLDERSECTORLESS>;
using FileSectorMap = std::map<std::int64_t, std::uint32_t>;

// Process-wide source of first-cluster numbers for empty files, so that empty
// files never share a node id. Numbers start above every real cluster.
class CEmptyFileVirtualClusterNum {
public:
    static constexpr std::uint64_t kFirst = 0x100000000ull;
    void ResetVirtualClusterNum() { m_next = kFirst; }
    std::uint64_t GetVirtualClusterNum() { return m_next++; }

private:
    std::uint64_t m_next = kFirst;
};
CEmptyFileVirtualClusterNum* GetEmptyFileVirtualClusterNumObject();

// The previous-file-cluster hint of the FAT32 repair (one per process).
extern std::uint64_t g_u64PreReadFileCluNum;
// Test hook: restarts the "DIR%d" numbering of made-up folders.
void ResetFATMadeUpFolderCounter();

// Cluster lists of files, in cluster units relative to cluster 2.
class CFATBuildDataRun {
public:
    CFATBuildDataRun(IFATTable* fat, std::uint32_t sectorSize, std::uint32_t sectorsPerCluster,
                     std::uint64_t sectorLimit)
        : m_fat(fat), m_sectorSize(sectorSize), m_spc(sectorsPerCluster), m_limit(sectorLimit) {}
    // A new list, or null (no FAT, no data, or a run past the partition end).
    IDataRunList* BuildDataRunList(std::uint64_t firstCluster, std::int64_t size, bool deleted);
    IDataRunList* BuildDeleteFileDataRunList(std::uint64_t firstCluster, std::int64_t size);

private:
    IFATTable* m_fat;
    std::uint32_t m_sectorSize;
    std::uint32_t m_spc;
    std::uint64_t m_limit;
};

// Geometry and collaborators shared by the worker and the folder reader.
struct FATBuildContext : FATGeometry {
    IDirecotryTreeBuilder* builder = nullptr;
    IProgress* progress = nullptr;
    CFATSearchedPartitionInfo* partition = nullptr;
    IStorageDevice* device = nullptr;
    std::uint32_t type = 0;      // 1 FAT16, 2 FAT32 (0 FAT12)
    std::int64_t rootStart = 0;  // FAT12/16 fixed root
    std::uint32_t rootSectors = 0;
    std::uint32_t rootCluster = 0;  // FAT32
    bool rootWanted = true;
    IFATTable* fat = nullptr;
    std::uint32_t sectorSize = 512;
};

using FolderQueue = std::deque<CFATFileNode*>;

// Reads one folder and hands its entries to the builder.
class CFATBuildChildren {
public:
    CFATBuildChildren(const FATBuildContext& ctx, std::unordered_set<std::uint32_t>* visited,
                      std::unordered_map<std::uint64_t, CFATFileNode*>* folderMap);
    ~CFATBuildChildren();

    bool BuildRoot(FolderQueue& queue, bool includeExisting, bool wanted);
    // 1 done; 0 when the cluster does not start such a folder.
    int BuildChildren(CFATFileNode* parent, std::uint64_t firstCluster, FolderQueue& queue, bool root,
                      bool includeExisting);
    // Offset where the walk stopped (or of a long-name group still open at
    // the end); 0xFFFFFFFF for a bad parent or a third "." entry.
    std::uint32_t BuildChildrenFromBuffer(std::uint8_t* buffer, std::uint32_t length, CFATFileNode* parent,
                                          FolderQueue* queue, bool stopAtInvalid, bool includeExisting);
    std::int64_t ConvertClusterNumToSector(std::uint64_t cluster) const;
    IDataRunList* BuildDataRunList(std::uint64_t first, std::int64_t size, bool deleted);
    void SetFileSectorMap(FileSectorMap* map) { m_fileSectorMap = map; }
    void SetQuickScan(bool fileSectorTest) { m_fileSectorTest = fileSectorTest; }

    // FAT32 first-cluster repair of one built entry; sets the properties'
    // first cluster. Public for tests.
    std::uint64_t ReverseDelFileFirstNum(CTempFATDirEntry& entry, std::uint64_t parentCluster, std::uint64_t& hint,
                                         CFATFileProperties* props, bool underMadeUpFolder);
    std::uint64_t TryGetRealFirstNum(std::uint64_t cluster, bool* found, int tries, bool folder);
    bool bReviseFAT32FileFirstClu(std::uint64_t cluster, bool flag);
    bool bEffectiveDIRFDT(std::uint64_t cluster);
    bool bInDelFileOrDIRMap(std::uint64_t& cluster, CTempFATDirEntry& entry, CFATFileProperties* props, bool* found,
                            std::uint64_t G, bool folder);
    bool bInAnalyzeMap(std::uint32_t key);
    bool bInAnalyzeMultimap(std::uint16_t key, std::uint8_t* sector);
    bool bInAnalyzeList(std::uint8_t* sector);
    static bool bWindowsPEFiles(const std::uint8_t* sector, std::uint32_t length);

private:
    // What a folder's entries inherit from it.
    struct FolderFacts {
        std::uint64_t cluster = 0;  // first cluster; 0 for a fixed root
        bool deleted = false;
        bool madeUp = false;             // stands in for a lost folder cluster
        std::uint64_t repairParent = 0;  // the cluster the FAT32 repair may lean on
    };
    enum class EntryStep { Build, Skip, Invalid, NoFolder };

    static bool ReadFolderFacts(CFATFileNode* parent, FolderFacts& facts);
    // Whether one entry that is not a long-name piece names a child.
    EntryStep CheckEntry(const CTempFATDirEntry& entry, bool valid, const FolderFacts& folder, bool includeExisting,
                         int& dots) const;
    // Properties of the entry group (long-name pieces, then the entry),
    // with the first cluster repaired; null when the group gives none.
    CFATFileProperties* BuildEntryProperties(const std::uint8_t* group, std::uint32_t bytes, CTempFATDirEntry& entry,
                                             const FolderFacts& folder, std::uint64_t& hint);
    void RepairFirstCluster(CTempFATDirEntry& entry, CFATFileProperties* props, const FolderFacts& folder,
                            std::uint64_t& hint);
    IDataRunList* BuildRuns(CFATFileProperties* props, bool isDir);
    // The node handed to the builder; null (and released) when refused.
    CFATFileNode* HandOverNode(CFATFileProperties* props, IDataRunList* runs);
    void QueueFolder(CFATFileNode* node, FolderQueue* queue);
    void IniRawDllValue();
    bool ReadCandidateSector(std::uint64_t cluster);

    FATBuildContext m_ctx;
    std::unordered_set<std::uint32_t>* m_visited;
    std::unordered_map<std::uint64_t, CFATFileNode*>* m_folderMap;
    FileSectorMap* m_fileSectorMap = nullptr;
    bool m_fileSectorTest = false;
    std::string m_ext;
    // One sector plus 4,096 zero bytes: analysers may look past the sector.
    std::vector<std::uint8_t> m_candidate;
    // The raw search's recognisers (FAT32 only); null leaves them unasked.
    IFileContentProbes* m_probes = nullptr;
    std::map<std::uint64_t, std::string> m_delFiles;
    std::map<std::uint64_t, std::string> m_delFolders;
    std::map<std::uint64_t, std::string> m_folders;
};

class CFATBuildWorker {
public:
    CFATBuildWorker(IDirecotryTreeBuilder* builder, IProgress* progress, CFATSearchedPartitionInfo* partition,
                    IStorageDevice* device, std::uint32_t type, std::int64_t partitionStart,
                    std::uint32_t sectorsPerCluster, std::int64_t rootStart, std::uint32_t rootSectors,
                    std::uint32_t rootCluster, bool rootWanted, std::int64_t dataStart, std::uint64_t totalSectors,
                    IFATTable* fat);

    // A valid FAT16/FAT32 boot sector for the device whose FATs fit in the
    // volume and at least one of whose FAT copies starts like a FAT.
    static bool IsFullValidDBR(const std::uint8_t* sector, std::int64_t partitionStart, IStorageDevice* device);
    EngineResult QuickBuildDirectoryTree(bool includeExisting);
    int CompleteBuildDirectoryTree(const FolderSectorSet& sectors);
    void SetFileSectorMap(FileSectorMap* map) { m_fileSectorMap = map; }

    std::uint32_t ConvertSectorToClusterNum(std::int64_t sector) const;
    std::int64_t ConvertClusterNumToSector(std::uint64_t cluster) const;
    bool IsFirsectorInCluster(std::int64_t sector) const;
    CFATFileNode* CreateTempFileNode(std::uint32_t cluster, std::uint32_t parentCluster);

private:
    void BuildFat16LostRoot(CFATBuildChildren& children, std::int64_t sector);
    void BuildLostNode(CFATBuildChildren& children, const FolderSectorSet& sectors);
    // Copies the long-name pieces that end the folder cluster before
    // `sector` without a short entry to just before `to`; their byte count.
    std::uint32_t OpenLongNameBefore(std::int64_t sector, const FolderSectorSet& sectors, std::uint8_t* to);

    FATBuildContext m_ctx;
    std::unordered_map<std::uint64_t, CFATFileNode*> m_folderMap;
    std::unordered_set<std::uint32_t> m_visited;
    FileSectorMap* m_fileSectorMap = nullptr;
};
