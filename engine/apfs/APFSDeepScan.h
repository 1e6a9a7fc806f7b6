// The deep searcher of APFS (searcher type 37). Every block of the scanned
// device passes through it in ascending order: container superblocks start a
// container reader each (copies of a known container's superblock add
// nothing), a lone volume superblock starts one while no container is known,
// and every other plausible block is offered to the readers so that stale
// file-system tree nodes still yield deleted files.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "apfs/APFSContainerReader.h"
#include "foundation/SearcherInterfaces.h"

class IStorageDevice;
class IProgress;
class IDirecotryTreeBuilder;

class APFSDeepScan : public ICompleteFileSystemSearchController, public APFSDelegate {
public:
    // Blocks read and tested per device read (64 KiB).
    static constexpr int kGroupBlocks = 16;
    static constexpr std::size_t kBufferSize = 1024 * 1024;
    // Containers taken at most: each reader holds its own buffers and nodes,
    // and a damaged or hostile disk may hold any number of superblocks.
    static constexpr std::size_t kMaxContainers = 1024;

    APFSDeepScan();
    // Destroys every reader and with it every node handed out: the tree
    // builder and the file writers must be gone first.
    ~APFSDeepScan() override;
    APFSDeepScan(const APFSDeepScan&) = delete;
    APFSDeepScan& operator=(const APFSDeepScan&) = delete;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // One new record per container, in the order of their start sectors, at
    // most `capacity`; 0 for a null array, a capacity below 1 or no container.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int) override {}
    void PreparetoSearch() override {}
    void EndSearch(int build) override;
    void AnalyzeBlock(std::int64_t firstSector, std::int64_t sectorCount) override;
    void SetIProgressSink(IProgress* progress) override { m_progress = progress; }

    // APFSDelegate.
    bool ShouldContinue() override;
    // The reader marks a node as handed over before it calls this, so each
    // node arrives once.
    void AddFileNode(APFSFileNode* node) override;
    int ReadBlocks(APFSContainerReader* reader, std::uint64_t block, int bytes, std::uint8_t* buffer) override;

    // A block at device sector `sector` that is a container superblock: true
    // when it was taken (a new container, or a copy of a known one).
    bool TryContainerSuperblock(std::uint64_t sector, const std::uint8_t* data);
    // A volume superblock met while no container is known: true when taken.
    bool TryVolumeSuperblock(std::uint64_t sector, const std::uint8_t* data);

    std::size_t ReaderCount() const { return m_readers.size(); }
    // The readers in the order of their map keys (start sectors).
    const APFSContainerReader* ReaderAt(std::size_t position) const;
    int GetSectorSize() const { return m_sectorSize; }

private:
    // Whether whole 4096-byte blocks can be addressed in this device's sectors.
    bool BlocksFitSectors() const { return m_sectorSize >= 512 && 4096 % m_sectorSize == 0; }
    void TestBlock(std::uint64_t block, const std::uint8_t* data);
    APFSContainerReader* AddReader(std::uint64_t key, std::uint32_t index, std::uint64_t startSector);
    // Where the container of a superblock met at `sector` starts, and which
    // of its blocks to read it from.
    void FindContainerStart(std::uint64_t sector, const std::uint8_t* data, std::uint64_t& start,
                            std::uint64_t& superblock);
    // One 4096-byte block at device sector `sector`, within the device.
    bool ReadDeviceBlock(std::uint64_t sector, std::vector<std::uint8_t>& block);
    // Whether the block at device sector `sector` is an object of one
    // checkpoint: its type, transaction and object identifier.
    bool IsCheckpointObject(std::uint64_t sector, std::uint16_t type, std::uint64_t xid, std::uint64_t oid,
                            std::vector<std::uint8_t>& block);

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_progress = nullptr;
    std::map<std::uint64_t, std::unique_ptr<APFSContainerReader>> m_readers;
    int m_sectorSize = 512;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    bool m_stopped = false;  // ShouldContinue said no during the current call
};
