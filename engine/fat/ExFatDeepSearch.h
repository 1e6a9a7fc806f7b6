#pragma once
// The exFAT deep search: every sector of the device is classified as an
// up-case table start, a boot sector, a FAT start or a directory sector;
// directory sectors are gathered into file sets (entry sets split across
// sectors are joined by their checksum) and the partition builder turns
// them into partitions whose folder trees go to the tree builder.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fat/ExFatPartitionBuilder.h"
#include "foundation/SearcherInterfaces.h"
#include "storage/DeviceWithCache.h"

namespace exfatdeep {

// Gathers directory sectors into file sets.
class CFDTPreAnaylze {
public:
    static constexpr std::uint32_t kClusterShiftLimit = 25;  // clusters of at most 32 MiB
    static constexpr std::size_t kTailBytes = 576;           // 18 entries
    static constexpr std::size_t kMaxOpen = 1u << 16;        // open heads / tails kept

    void Prepare(std::uint32_t sectorShift, std::int64_t totalSectors);
    void Clear();
    // Analyses the directory sector `s` at `p`; `avail` bytes may be read
    // from `p` (the sector and what follows it in the buffer). Returns a
    // finished set worth handing out, or null.
    std::unique_ptr<CFileSet> AnalyzeSector(const std::uint8_t* p, std::size_t avail, std::int64_t s);
    // Ends the set being gathered (a sector that is no directory sector).
    std::unique_ptr<CFileSet> FinishSet();
    // True when AnalyzeSector would pass over the sector at `p` at once:
    // nothing gathered yet and no directory entry type at its start. The
    // caller then only drops the empty set (DropSet), as AnalyzeSector does.
    bool PassesOver(const std::uint8_t* p, std::size_t avail) const;
    void DropSet() { m_set.reset(); }

    // Joins an open head (its first sector, its entry set's bytes as far as
    // its sector holds them) with the bytes at the start of a tail; the
    // joined file goes into the set being gathered.
    bool Joint(std::int64_t headSector, const std::vector<std::uint8_t>& head, const std::uint8_t* tail,
               std::size_t tailBytes);

    std::size_t OpenHeads() const { return m_heads.size(); }
    std::size_t OpenTails() const { return m_tails.size(); }

private:
    struct Record {
        int stage = 0;  // 0 none, 1 file entry, 2.. stream and names
        int secondaries = 0;
        int index = 0;  // entry index within the set of the next entry
        std::uint16_t checksum = 0;
        std::uint8_t nameLength = 0;
        ExFatFoundFile file;
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint8_t> nameUnits;
        void Reset() { *this = Record{}; }
    };
    bool FileEntryValid(const std::uint8_t* e) const;
    bool StreamValid(const std::uint8_t* e) const;
    static bool NameValid(const std::uint8_t* e);
    static bool LabelValid(const std::uint8_t* e);
    bool AllocationEntryValid(const std::uint8_t* e) const;
    void StartRecord(const std::uint8_t* e, std::int64_t sector);
    // Feeds a stream or name entry to the record; true when it belonged.
    bool Feed(const std::uint8_t* e);
    bool CompleteRecord();  // checksum; moves the file into m_set
    CFileSet& Set();
    void OfferTail(const std::uint8_t* p, std::size_t avail);
    std::unique_ptr<CFileSet> TakeSet();

    std::int64_t m_totalSectors = 0;
    std::uint32_t m_sectorShift = 9;
    std::uint32_t m_entriesPerSector = 16;
    std::map<std::int64_t, std::vector<std::uint8_t>> m_heads;
    std::map<std::int64_t, std::vector<std::uint8_t>> m_tails;
    std::map<std::int64_t, std::int64_t> m_links;  // head sector -> tail sector
    std::unique_ptr<CFileSet> m_set;
    Record m_record;
};

class CExFatCompleteSearch : public ICompleteFileSystemSearchController {
public:
    CExFatCompleteSearch() = default;
    ~CExFatCompleteSearch() override;

    void SetDevice(IStorageDevice* device) override { m_device = device; }
    void SetBlockSize(int sectors) override { m_blockSize = sectors; }
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_treeBuilder = builder; }
    // Forgets everything a previous search gathered.
    void PreparetoSearch() override;
    void AnalyzeBlock(std::int64_t firstSector, std::int64_t sectorCount) override;
    void EndSearch(int build) override;
    // The number of partitions; one new record each when `capacity` holds
    // them all (the caller owns them).
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;

    const std::vector<CExFatPartitionEx*>& Partitions() const { return m_partitions; }
    CPartitionBuilder& Builder() { return m_builder; }

private:
    bool SetUp();
    void AnalyzeSectors(std::int64_t firstSector, const std::uint8_t* buffer, std::size_t bufferIndex,
                        std::int64_t count, std::size_t validSectors);
    // Sectors [from, to) of the run "pending sectors of the last block, this
    // block, kCarry zero sectors" copied together into m_stitch.
    const std::uint8_t* Stitch(std::size_t from, std::size_t to, std::size_t pending, const std::uint8_t* block,
                               std::size_t count);
    // The last block's unanalysed sectors, examined with nothing after them.
    void AnalyzePendingAlone();
    void HandOut(std::unique_ptr<CFileSet> set);
    void FreePartitions();

    IStorageDevice* m_device = nullptr;
    IDirecotryTreeBuilder* m_treeBuilder = nullptr;
    int m_blockSize = 0;
    std::uint32_t m_sectorSize = 0;
    std::uint32_t m_sectorShift = 9;
    std::int64_t m_totalSectors = 0;
    bool m_ready = false;
    // Blocks are examined where the cache holds them; only the few sectors
    // around a block's ends, whose entry sets may run on into the next
    // block, are copied.
    CachedSectorReader m_blockReader;
    std::vector<std::uint8_t> m_tail;  // the last block's last sectors (up to kCarry)
    std::size_t m_tailSectors = 0;
    std::vector<std::uint8_t> m_stitch;  // sectors across a block's ends
    std::size_t m_lookahead = 1;         // sectors an entry set starting in a sector can reach
    std::int64_t m_nextExpected = -1;    // first sector of the block that would follow
    std::int64_t m_analysedTo = 0;       // sectors below this are analysed
    CFDTPreAnaylze m_pre;
    CPartitionBuilder m_builder;
    std::vector<CExFatPartitionEx*> m_partitions;
};

}  // namespace exfatdeep
