#pragma once
// The interfaces every file system's searcher implements, and the factories
// that make them. Quick searchers read one volume's metadata in one call;
// deep ("complete") searchers are fed the whole device block by block.

#include <cstdint>
#include <map>

#include "foundation/EngineResult.h"
#include "foundation/Types.h"

class IStorageDevice;
class IProgress;
class IDirecotryTreeBuilder;
class CSearchedPartitionInfo;
class TBitmap;

class IFileSystemSearchController {
public:
    // The builder that receives found nodes; not owned.
    virtual void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) = 0;
    // Reports the partitions found; the records handed out are new and belong
    // to the caller. 0 = none. Each searcher documents how it answers a null
    // or too small array.
    virtual int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) = 0;
    virtual ~IFileSystemSearchController() = default;
};

class IQuickFileSystemSearchController : public IFileSystemSearchController {
public:
    // Reads the volume's metadata, hands each node to the builder, asks the
    // progress sink Continued() at its checkpoints and lets the builder build.
    virtual EngineResult QuickSearchFiles(IStorageDevice* device, IProgress* progress) = 0;
};

class ICompleteFileSystemSearchController : public IFileSystemSearchController {
public:
    // The read-ahead cache device the searcher reads from.
    virtual void SetDevice(IStorageDevice* device) = 0;
    // Size, in sectors, of the blocks it will be fed.
    virtual void SetBlockSize(int sectors) = 0;
    // Allocate buffers and reset state before the first block.
    virtual void PreparetoSearch() = 0;
    // Finish after the last block; with `build` non-zero, rebuild partitions
    // and hand the trees to the builder.
    virtual void EndSearch(int /*build*/) {}
    // Examine one block, already current in the cache device.
    virtual void AnalyzeBlock(std::int64_t firstSector, std::int64_t sectorCount) = 0;
    virtual void SetIProgressSink(IProgress* /*progress*/) {}
    // The scan's used-space bit map; not owned.
    virtual void SetBitmap(TBitmap* /*bitmap*/) {}
    // Sector -> tag map shared by the FAT searcher and the raw search; owned
    // by the controller.
    virtual void SetFileSectorMap(std::map<std::int64_t, std::uint32_t>* /*map*/) {}
    virtual TBitmap* GetBitmap() { return nullptr; }
    // The scanned device is a volume of this searcher's own file system.
    virtual void SetActivePartition(bool /*active*/) {}
};

// The deep controller's list element.
struct _SEARCHER_INFO {
    _tagSearcherType type;
    ICompleteFileSystemSearchController* searcher;  // owned by the controller
};

// Quick searchers (owned by the caller, destroyed through the destructor).
// Each scanner's folder defines its own; null means "no such searcher".
IQuickFileSystemSearchController* CreateFATQuickSearcher();  // FAT12/16/32
IQuickFileSystemSearchController* CreateNTFSQuickSearcher();
IQuickFileSystemSearchController* CreateEXFatQuickSearcher();
IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher();
IQuickFileSystemSearchController* CreateAPFSQuickSearcher();  // always null

// Deep searchers.
ICompleteFileSystemSearchController* CreateHFSPlusSearcher();
ICompleteFileSystemSearchController* CreateEXFatSearcher();
ICompleteFileSystemSearchController* CreateFATSearcher();
ICompleteFileSystemSearchController* CreateNTFSSearcher();
ICompleteFileSystemSearchController* CreateAPFSDeepSearcher();
ICompleteFileSystemSearchController* CreateRAWSearcher();
