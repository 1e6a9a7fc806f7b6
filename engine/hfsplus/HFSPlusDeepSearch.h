#pragma once
// Deep search of HFS+: finds volume headers, journal info blocks, journal
// headers and catalog B-tree nodes anywhere on a device, rebuilds the lost
// volumes they belong to and lists their files.

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "foundation/SearcherInterfaces.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusBTree.h"
#include "hfsplus/HFSPlusFormat.h"
#include "hfsplus/HFSPlusJournal.h"
#include "hfsplus/HFSPlusVolume.h"
#include "storage/DeviceData.h"
#include "storage/DeviceWithCache.h"

// One candidate volume.
class CompleteSearchPatition {
public:
    CompleteSearchPatition(std::int64_t start, std::int64_t count, std::uint32_t index)
        : startSector(start), sectorCount(count), index(index) {}
    ~CompleteSearchPatition();
    CompleteSearchPatition(const CompleteSearchPatition&) = delete;
    CompleteSearchPatition& operator=(const CompleteSearchPatition&) = delete;

    std::int64_t startSector = 0;
    std::int64_t sectorCount = 0;
    std::uint32_t blockSize = 4096;
    std::uint32_t fileCount = 0;
    std::uint32_t folderCount = 0;
    std::unique_ptr<HFSPlusVolumeHeader> header;
    std::int64_t headerSector = -1;
    // Byte of the header inside its sector (a 512-byte slice of a larger
    // sector).
    std::uint32_t headerSlice = 0;
    // The device the volume reads through (a window over the scanned device);
    // it outlives the volume.
    std::unique_ptr<IStorageDevice> device;
    std::unique_ptr<CHFSPlusVolume> volume;
    std::unique_ptr<JournalInfoBlock> journalInfoBlock;
    std::int64_t journalInfoBlockSector = -1;
    std::unique_ptr<JournalHeader> journalHeader;
    std::int64_t journalHeaderSector = -1;
    std::uint32_t index = 0;
    // An open was tried on the scanned device itself (candidate 0).
    bool openTried = false;
    // Every header of this volume the walk met: the primary, the alternate
    // 1,024 bytes before the volume's end, copies in the journal. With the
    // primary lost, one of the others names the special files.
    struct HeaderCopy {
        std::int64_t sector = -1;
        std::uint32_t slice = 0;
        HFSPlusVolumeHeader header;
    };
    std::vector<HeaderCopy> headerCopies;
    // Catalog records met in the candidate's journal while its volume could
    // not be listed whole, held back to the end: a journal copy stands for a
    // deleted file only when no live node names its catalog ID, so an older
    // transaction never replaces what the live tree holds.
    struct JournalRecord {
        std::int64_t sector = 0;
        std::unique_ptr<HFSPlusCatalogKey> key;
        std::unique_ptr<HFSPlusCatalogRecord> record;
    };
    std::vector<JournalRecord> journalRecords;
    std::unordered_set<std::uint32_t> liveIds;
    // Copies the last placing of the volume looked at: it is tried again
    // only when more have been found.
    std::size_t copiesTried = 0;
    // Where the volume was found to start when it was opened (its special
    // files' B-tree header nodes are there); -1 while not known.
    std::int64_t resolvedStart = -1;
    // Device sectors [first, end) of the live catalog and the journal of a
    // volume its quick search listed: that search read them whole, the
    // journal newest record first.
    std::vector<std::pair<std::int64_t, std::int64_t>> listedRanges;
    bool IsListedSector(std::int64_t sector) const {
        for (const auto& r : listedRanges)
            if (sector >= r.first && sector < r.second) return true;
        return false;
    }
};

class CHFSPlusCompleteFileSystemSearchController : public ICompleteFileSystemSearchController {
public:
    // Catalog bytes one candidate volume may keep in memory: a disk may hold
    // many old volumes, and each one opened keeps its own cache.
    static constexpr std::uint64_t kCandidateCatalogCache = 32ull << 20;

    CHFSPlusCompleteFileSystemSearchController();
    ~CHFSPlusCompleteFileSystemSearchController() override;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // One new record per candidate when `max` can hold them all; otherwise
    // the number of candidates, nothing filled.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** out, int max) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int sectors) override { m_blockSize = sectors; }
    void PreparetoSearch() override;
    void EndSearch(int build) override;
    void AnalyzeBlock(std::int64_t firstSector, std::int64_t count) override;
    void SetIProgressSink(IProgress* progress) override { m_progress = progress; }
    void SetBitmap(TBitmap* bitmap) override { m_bitmap = bitmap; }
    TBitmap* GetBitmap() override { return m_bitmap; }
    void SetActivePartition(bool active) override { m_skip = active; }

    // Tests of one sector; `data` holds the sector (null: it is read).
    bool CheckVolumeHeader(std::int64_t sector, const std::uint8_t* data = nullptr);
    bool CheckJournalInfoBlock(std::int64_t sector, const std::uint8_t* data = nullptr);
    bool CheckJournalHeader(std::int64_t sector, const std::uint8_t* data = nullptr);
    // Sectors the node found at `sector` covers (capped at `remaining`), 0
    // when none is there. `data` holds `available` bytes from the sector.
    std::int64_t CheckBTNodeDescriptor(std::int64_t sector, std::int64_t remaining, const std::uint8_t* data = nullptr,
                                       std::size_t available = 0);

    const std::vector<std::unique_ptr<CompleteSearchPatition>>& GetCandidates() const { return m_candidates; }
    EngineResult GetLastError() const { return m_status; }
    // Type of the device under the read-ahead cache (0 disk, 1 partition,
    // 2 volume).
    int GetUnderlyingType() const { return m_underType; }
    bool GetSkipFlag() const { return m_skip; }

    // New candidate at `start` (count capped at the device end); null when
    // the start lies outside the device.
    CompleteSearchPatition* UpDataPartitionInfo(std::int64_t start, std::int64_t count);
    // A volume header found in `slice` (byte offset) of `sector`.
    void UpDataPartitionInfo(std::int64_t sector, const HFSPlusVolumeHeader& header, std::uint32_t slice);
    void UpDataPartitionInfo(std::int64_t sector, const JournalInfoBlock& block);
    void UpDataPartitionInfo(std::int64_t sector, const JournalHeader& header);

    // Frees every candidate.
    void InitCompleteSearchPartitinAndJournalList();

private:
    void AnalyzeNode(std::int64_t sector, const std::uint8_t* buffer, std::uint32_t size);
    CompleteSearchPatition* AdjustNodeBelongsPartitionIndex(const HFSPlusCatalogRecord& record, std::int64_t sector);
    // Opens the candidate's volume; true when it has one to answer with.
    bool OpenCandidateVolume(CompleteSearchPatition& candidate);
    void QuickSearchCandidate(CompleteSearchPatition& candidate, std::int64_t partitionStart);
    // Where the candidate's volume starts by what was found of it: the
    // journal info block, else the primary volume header; -1 when neither
    // tells.
    std::int64_t KnownStart(const CompleteSearchPatition& candidate) const;
    // Where in the candidate's journal `sector` lies (bytes from the
    // journal's start), by the journal info block the walk found; -1 when
    // outside it or when no journal is known.
    std::int64_t JournalPosition(const CompleteSearchPatition& candidate, std::int64_t sector) const;
    // The held-back journal records of a candidate whose live catalog names
    // no such ID join the tree as deleted files, the newest copy of each.
    void AddJournalLeftovers(CompleteSearchPatition& candidate);
    // Whether `sector` lies outside the candidate's volume once its start is
    // known: a candidate that begins where the walk began (sector 0, or the
    // first place a GPT leaves) would otherwise take the nodes of every
    // volume after its own.
    bool IsOutsideResolvedVolume(const CompleteSearchPatition& candidate, std::int64_t sector) const;
    // A start of the candidate's volume, and the header copy to open it
    // with, that the B-tree header nodes on the device confirm; -1 (and
    // null) when no copy and start agree with the disk.
    std::pair<std::int64_t, const CompleteSearchPatition::HeaderCopy*> ResolveStart(
        const CompleteSearchPatition& candidate);
    // Whether the special-file trees `header` names begin with their B-tree
    // header nodes when the volume starts at `start`.
    bool TreesStartAt(std::int64_t start, const HFSPlusVolumeHeader& header);
    // Opens the volume at `start` with `copy` standing in for a lost primary
    // header and lists it as a quick scan would; false when it fails.
    bool OpenAndList(CompleteSearchPatition& candidate, std::int64_t start,
                     const CompleteSearchPatition::HeaderCopy& copy);
    // Sector `sector` into m_sector; null when it cannot be read.
    const std::uint8_t* ReadOne(std::int64_t sector);
    std::uint32_t BitmapUnit() const;
    bool IsKnownVolumeStart(std::int64_t start) const;

    IStorageDevice* m_device = nullptr;
    IDirecotryTreeBuilder* m_builder = nullptr;
    int m_blockSize = 0;
    std::uint32_t m_sectorSize = 512;
    std::int64_t m_totalSectors = 0;
    std::vector<std::unique_ptr<CompleteSearchPatition>> m_candidates;
    std::vector<std::uint8_t> m_sector;
    EngineResult m_status = 0;
    IProgress* m_progress = nullptr;
    TBitmap* m_bitmap = nullptr;
    bool m_skip = false;
    int m_underType = 0;
    std::vector<CCollectedVolumeDeviceInfoStruct> m_knownVolumes;
    // One read of each block of the walk.
    CachedSectorReader m_blockReader;
    std::vector<std::uint8_t> m_node;
    // Parses catalog records out of found nodes; it reads no tree.
    std::unique_ptr<CHFSPlusCatalog> m_parser;
};
