#pragma once
// An HFS+ volume on a storage device: readers of its special files, its
// three B-trees, attribute look-ups and the deleted-record collections that
// the journal fills.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "hfsplus/HFSPlusBTree.h"
#include "hfsplus/HFSPlusFormat.h"

class IStorageDevice;
class CHFSPlusVolume;
class CHFSPlusJournal;

// Reader of one special file (or fork) through its extents, the overflow
// records included.
class CHFSPlusRawfile {
public:
    CHFSPlusRawfile(CHFSPlusVolume* volume, std::uint32_t fileID, const HFSPlusForkData& fork,
                    std::uint8_t forkType = kHFSDataForkType);
    virtual ~CHFSPlusRawfile();
    // Bytes read into `buffer` from byte `offset` of the file.
    virtual std::uint64_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length);

    EngineResult GetLastError() const { return m_status; }
    std::uint32_t GetFileID() const { return m_fileID; }
    const std::vector<HFSPlusExtentDescriptor>& GetExtents() const { return m_extents; }
    // Bytes the extents cover.
    std::uint64_t GetExtentBytes() const;

protected:
    std::uint64_t RawRead(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length);

    CHFSPlusVolume* m_volume = nullptr;
    std::uint32_t m_fileID = 0;
    EngineResult m_status = 0;
    std::vector<HFSPlusExtentDescriptor> m_extents;
};

// A special-file reader that keeps the first min(size, 256 MiB) of the file
// in memory (the catalog, read over and over by searches).
class CHFSPlusFileCache : public CHFSPlusRawfile {
public:
    static constexpr std::uint64_t kMaxCache = 0x10000000;

    // At most `limit` bytes are kept (never more than kMaxCache).
    CHFSPlusFileCache(CHFSPlusVolume* volume, std::uint32_t fileID, const HFSPlusForkData& fork,
                      std::uint64_t limit = kMaxCache);
    std::uint64_t Read(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) override;
    std::uint64_t GetCacheSize() const { return m_cache.size(); }

private:
    std::vector<std::uint8_t> m_cache;
};

// Deleted (key, record) pairs, newest first; a look-up takes the newest pair
// whose key compares equal. Pairs are indexed by key in the tree's own order,
// so thousands of journal records cost no quadratic time.
class CHFSPlusRecordCollection {
public:
    struct Entry {
        std::unique_ptr<BTKey> key;
        std::unique_ptr<BTRecord> record;
    };
    using Order = std::function<int(const BTKey*, const BTKey*)>;

    CHFSPlusRecordCollection() : m_index(Less{this}) {}
    CHFSPlusRecordCollection(const CHFSPlusRecordCollection&) = delete;
    CHFSPlusRecordCollection& operator=(const CHFSPlusRecordCollection&) = delete;

    // The key order of the tree the records come from; set before any pair.
    void SetOrder(Order order) { m_order = std::move(order); }
    // Takes ownership of both; the new pair is the newest.
    void AddFront(BTKey* key, BTRecord* record);
    std::size_t Size() const { return m_entries.size(); }
    // Entry i, newest first.
    Entry& At(std::size_t i) { return m_entries[m_entries.size() - 1 - i]; }
    // The newest pair whose key equals `key` and that `accept` (when given)
    // takes; null when none.
    Entry* Find(const BTKey* key, const std::function<bool(const Entry&)>& accept = nullptr);
    void Clear() {
        m_index.clear();
        m_entries.clear();
    }

private:
    struct Less {
        const CHFSPlusRecordCollection* owner;
        bool operator()(const BTKey* a, const BTKey* b) const { return owner->m_order(a, b) < 0; }
    };
    Order m_order;
    std::deque<Entry> m_entries;  // oldest first
    std::multimap<const BTKey*, std::size_t, Less> m_index;
};

class CHFSPlusVolume {
public:
    // Opens the volume on `device` (borrowed). With `withoutCatalog` the
    // catalog is not read: the volume still serves reads, extent and
    // attribute look-ups, and its status ends as 0x6 (no catalog header).
    // At most `catalogCacheLimit` bytes of the catalog are kept in memory.
    // `fallbackHeader` (host order) stands in for a primary header that
    // fails the header test: a copy found elsewhere (the alternate header at
    // the volume's end, or one in the journal) still names every special
    // file.
    CHFSPlusVolume(IStorageDevice* device, bool withoutCatalog,
                   std::uint64_t catalogCacheLimit = CHFSPlusFileCache::kMaxCache,
                   const HFSPlusVolumeHeader* fallbackHeader = nullptr);
    ~CHFSPlusVolume();
    CHFSPlusVolume(const CHFSPlusVolume&) = delete;
    CHFSPlusVolume& operator=(const CHFSPlusVolume&) = delete;

    static bool IsValidVolumeHeader(const std::uint8_t* buffer, std::uint16_t length);

    EngineResult ReadVolumeHeader();
    // Whether the header at byte 1,024 passed the header test when read.
    bool HasValidPrimaryHeader() const { return m_primaryValid; }
    // Bytes read from byte `byteOffset` of the volume.
    std::uint64_t Read(std::uint64_t byteOffset, void* buffer, std::uint64_t length);
    // fileID 4 catalog, 3 extents, 8 attributes.
    EngineResult Search(int fileID, BTKey* key, HFSPlusSearchResult& result, BTRecord** record);
    EngineResult Traverse(int fileID, IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress);
    // Inline data of the attribute `name` of `fileID` (live, else deleted) in a
    // new buffer (*data, free with delete[]); returns its size, 0 when none.
    std::uint32_t getAttribute(std::uint32_t fileID, const char* name, std::uint8_t** data);

    EngineResult FindDeleteCatalog(BTKey* key, HFSPlusSearchResult& result, BTRecord** record);
    EngineResult FindDeleteExtent(BTKey* key, HFSPlusSearchResult& result, BTRecord** record);
    EngineResult FindDeleteAttribute(BTKey* key, HFSPlusSearchResult& result, BTRecord** record);
    // Takes in the deleted catalog, extent and attribute records the journal
    // still holds, as a quick search does before it walks the catalog: for
    // readers of deleted files found earlier (a restored scan result).
    void LoadJournalDeletedRecords();

    // Special file (4, 3, 8, 6, 7) whose extents hold `byteOffset`, else 0.
    int GetNodeBelongToFile(std::uint64_t byteOffset);
    bool IsBelongToFile(std::uint32_t fileID, const HFSPlusForkData& fork, std::uint64_t byteOffset);

    // The extents of a fork, the overflow records (live, then deleted when
    // `useDeleted`) included. Stops when the fork's blocks are placed, when a
    // record adds nothing, or after a bounded number of rounds. Returns false
    // when the overflow record needed is missing (the extents found so far
    // stay in `out`).
    bool CollectForkExtents(std::uint32_t fileID, std::uint8_t forkType, const HFSPlusForkData& fork, bool useDeleted,
                            std::vector<HFSPlusExtentDescriptor>& out);

    EngineResult GetLastError() const { return m_status; }
    void SetLastError(EngineResult status) { m_status = status; }
    const HFSPlusVolumeHeader* GetVolumeHeader() const { return m_header.get(); }
    std::uint32_t GetBlockSize() const { return m_header ? m_header->blockSize : 0; }
    std::uint32_t GetSectorSize() const { return m_sectorSize; }
    IStorageDevice* GetDevice() const { return m_device; }
    std::uint8_t GetKeyCompareType() const { return m_keyCompareType; }

    CHFSPlusCatalog* GetCatalogTree() const { return m_catalogTree; }
    CHFSPlusExtents* GetExtentsTree() const { return m_extentsTree; }
    CHFSPlusAttribute* GetAttributesTree() const { return m_attributesTree; }
    CHFSPlusJournal* GetJournal() const { return m_journal; }

    CHFSPlusRecordCollection& DeletedCatalog() { return m_deletedCatalog; }
    CHFSPlusRecordCollection& DeletedExtents() { return m_deletedExtents; }
    CHFSPlusRecordCollection& DeletedAttributes() { return m_deletedAttributes; }

    // Lists the files and folders whose records survive only in the journal
    // (marked deleted, newest first), then the live catalog.
    EngineResult QuickSearchFiles(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress);

    // Catalog key order of this volume.
    int CompareCatalogKeys(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b) const;

private:
    EngineResult FindDeleted(CHFSPlusRecordCollection& collection, int fileID, BTKey* key, HFSPlusSearchResult& result,
                             BTRecord** record);

    std::uint32_t m_sectorSize = 512;
    IStorageDevice* m_device = nullptr;
    EngineResult m_status = 0;
    std::unique_ptr<HFSPlusVolumeHeader> m_header;
    bool m_primaryValid = false;
    CHFSPlusRawfile* m_extentsFile = nullptr;
    CHFSPlusExtents* m_extentsTree = nullptr;
    CHFSPlusRawfile* m_attributesFile = nullptr;
    CHFSPlusAttribute* m_attributesTree = nullptr;
    CHFSPlusFileCache* m_catalogFile = nullptr;
    CHFSPlusCatalog* m_catalogTree = nullptr;
    CHFSPlusJournal* m_journal = nullptr;
    std::uint8_t m_keyCompareType = 0;
    CHFSPlusRecordCollection m_deletedCatalog;
    CHFSPlusRecordCollection m_deletedExtents;
    CHFSPlusRecordCollection m_deletedAttributes;
};
