#pragma once
// The raw search: the deep searcher that finds files by their content alone.
// Fed every block of the device in ascending order, it asks the analyser
// registry whether a file starts at each sector the file systems do not
// account for, keeps up to 32 candidates that size themselves by streaming
// the following sectors, sizes the others from a ring of the 20 most recent
// blocks (or from the device at the end), and files every sized candidate in
// the "(RAW Files)" tree (34) or the "(Label RAW Files)" tree (36).

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "foundation/SearcherInterfaces.h"
#include "raw/BufferStorageDevice.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawSearchState.h"

class CRAWFileManagerSet;
class CRAWFileManager;

class CRAWSearchController : public ICompleteFileSystemSearchController {
public:
    static constexpr int kOpenSet = 32;            // candidates streamed at once
    static constexpr int kRingBlocks = 20;         // recent blocks kept for sizing
    static constexpr std::uint32_t kSpare = 4096;  // bytes of the next block after the current one
    // Ring slots beyond those it holds: the block being searched, and the
    // one its spare bytes are read into.
    static constexpr std::uint32_t kRingSpareSlots = 2;
    // Largest type with an extension slot; larger ones never index the table.
    static constexpr std::uint32_t kMaxType = RAW_FILE_TYPE_COUNT - 1;

    CRAWSearchController();
    ~CRAWSearchController() override;
    CRAWSearchController(const CRAWSearchController&) = delete;
    CRAWSearchController& operator=(const CRAWSearchController&) = delete;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // One record: the device's sector size, score 1.0, one sector per cluster
    // (runs count in sectors), count 1. Returns 1 in every case.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int n) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int sectorsPerBlock) override;
    void PreparetoSearch() override;
    // With `build` 0 nothing happens. Otherwise the remaining candidates are
    // sized (until a stop), the rest deleted, and both trees flushed even
    // after a stop.
    void EndSearch(int build) override;
    void AnalyzeBlock(std::int64_t firstSector, std::int64_t count) override;
    void SetIProgressSink(IProgress* progress) override { m_state.NotifyCenter().SetProgress(progress); }
    void SetBitmap(TBitmap* bitmap) override { m_bitmap = bitmap; }
    void SetFileSectorMap(std::map<std::int64_t, std::uint32_t>* map) override { m_fileSectorMap = map; }
    TBitmap* GetBitmap() override { return m_bitmap; }

    // Candidates evicted from the open set that no device sizer could size
    // afterwards (formats without a twin), by type; counted at EndSearch.
    const std::map<std::uint32_t, std::uint64_t>& EvictionLosses() const { return m_evictionLosses; }
    CRawSearchState& State() { return m_state; }

private:
    struct Streaming {
        CRawFileInfo* record;
        bool evicted;
    };
    using StreamList = std::list<Streaming>;
    struct Open {
        CRawFileInfo* record;
        StreamList::iterator at;  // its entry in the streaming list
    };

    // What every sector of the block shares: the buffer and the view.
    void InitBlockContext(std::int64_t first, std::int64_t count);
    // The block's context with the zero runs of sector `p` at its ends.
    void InitContext(const std::uint8_t* p, CRawFileInfo::SearchContext& ctx) const;
    IRawFileAnalyser* FindAnalyser(std::uint8_t* p, CRawFileInfo& temp, std::int64_t sector);
    CRawFileInfo* CreateRawFileInfo(CRawFileInfo& temp, std::int64_t sector, IRawFileAnalyser* analyser);
    // Null for a type without an extension slot or without a tree builder.
    CRAWFileManagerSet* GetFileManager(std::uint32_t type);
    void AddRawFileInfoToList(CRawFileInfo* record, std::uint8_t* p, std::int64_t sector);
    void CalcRawFileSize(std::uint8_t* p, CRawFileInfo* newRecord, std::int64_t sector,
                         CRawFileInfo::SearchContext& ctx);
    // A size <= 0 is no size; one past the device's end is cut at it.
    // True when the record has a size afterwards.
    bool SizeGate(CRawFileInfo* record);
    // Makes the node when the record has a size and a manager; true then.
    bool File(CRawFileInfo* record);
    bool Continue();
    // Reads the block and the spare bytes after it; the sectors read.
    std::int64_t ReadBlock(std::int64_t first, std::int64_t count);
    void SizePendingFromRing();
    // Parks a record for sizing from the ring (or from the device at the end).
    void AddPending(CRawFileInfo* record);
    // The pending entries from `begin` to `end`, in the order they were parked.
    template <typename It>
    void CollectPending(It begin, It end);
    void DeleteAll();

    CRawSearchState m_state;
    std::unique_ptr<CRAWFileManagerSet> m_managers;
    IStorageDevice* m_device = nullptr;
    int m_sectorsPerBlock = 0;
    IDirecotryTreeBuilder* m_builder = nullptr;
    CBufferStorageDevice m_buffered;
    StreamList m_streaming;
    // Records waiting to be sized, by start sector, so that each block's
    // sizing looks only at the records that start before the ring's end;
    // the number keeps the order in which they were parked, which decides
    // the order of their nodes (and so their names).
    struct PendingEntry {
        std::uint64_t order;
        CRawFileInfo* record;
    };
    using PendingMap = std::multimap<std::int64_t, PendingEntry>;
    PendingMap m_pending;
    std::uint64_t m_pendingOrder = 0;
    std::vector<PendingMap::iterator> m_due;  // reused by every sizing pass
    std::map<std::int64_t, std::uint32_t>* m_fileSectorMap = nullptr;
    // Where blocks are searched: straight in the ring's next slot, the
    // previous block in front of it, or (when the ring cannot be had so)
    // in a buffer of two blocks and the spare bytes, shifted block by block.
    CHugePageBuffer m_blockBuffer;
    bool m_inRing = false;
    bool m_ready = false;
    std::uint8_t* m_upper = nullptr;  // the current block
    std::uint32_t m_spareBytes = 0;
    std::uint32_t m_halfBytes = 0;
    std::uint32_t m_spareHeld = 0;     // real bytes after the current block
    std::int64_t m_lowerHalfEnd = -1;  // sector after the lower half's block; -1 = none
    std::int64_t m_nextBlock = -1;     // where the ring expects the next block
    TBitmap* m_bitmap = nullptr;
    std::uint32_t m_sectorSize = 512;
    std::int64_t m_totalSectors = 0;
    std::vector<Open> m_open;
    CRawFileInfo m_temp;  // reused for every sector that is dispatched
    // What every sector of the current block shares (see InitBlockContext),
    // and set 0's dispatch.
    CRawFileInfo::SearchContext m_blockCtx;
    const CRawFileAnalyserListSingle::Dispatch* m_dispatch = nullptr;
    std::uint32_t m_sinceCheck = 0;
    bool m_stopped = false;
    std::map<std::uint32_t, std::uint64_t> m_evictionLosses;
};
