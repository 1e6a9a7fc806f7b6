// Rebuilds the files and folders of one APFS container (or of one volume
// found without its container) from every checkpoint generation it can
// reach, and from file-system tree nodes found anywhere on the device, so
// that stale nodes of earlier transactions still yield deleted files.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "apfs/APFSFileNode.h"

struct APFSRecord;
class APFSContainerReader;

class APFSDelegate {
public:
    virtual ~APFSDelegate() = default;
    virtual bool ShouldContinue() = 0;
    virtual void AddFileNode(APFSFileNode* node) = 0;
    // Reads `bytes` bytes at 4096-byte block `block` counted from the
    // reader's start sector; non-zero on success.
    virtual int ReadBlocks(APFSContainerReader* reader, std::uint64_t block, int bytes, std::uint8_t* buffer) = 0;
};

class APFSContainerReader {
public:
    // Nodes whose identifier is not their key get one from this reserved
    // range, counted per reader, so saved scan results are the same each run.
    static constexpr std::uint64_t kUniqueIdBase = 1ull << 62;

    APFSContainerReader(APFSDelegate* delegate, std::uint32_t containerIndex, std::uint64_t startSector);
    // Frees every node the reader made: the tree builder and any writer must
    // be done with them first.
    ~APFSContainerReader();
    APFSContainerReader(const APFSContainerReader&) = delete;
    APFSContainerReader& operator=(const APFSContainerReader&) = delete;

    void SetSectorSize(int sectorSize);
    // 0 after a walk, -1 when the superblock cannot be read, -2 when it is
    // not a usable container superblock (block sizes other than 4096
    // included). The walk starts from block 0, or from the newest checkpoint
    // copy at block `superblock` when block 0 is lost.
    int AnalyzeFromContainerSuperblock(std::uint64_t superblock = 0);
    int AnalyzeFromVolumeSuperblock(std::uint64_t block);
    // Offers one 4096-byte block of the device at `sector` (block `block`).
    void ScanBlock(std::uint64_t sector, std::uint64_t block, const std::uint8_t* data);
    // Hands over pending nodes that are ready; ~0 is the final flush.
    void FlushNodes(std::uint64_t upToBlock);

    std::uint64_t GetStartSector() const { return m_startSector; }
    std::uint32_t GetContainerIndex() const { return m_containerIndex; }
    std::uint64_t GetBlockCount() const { return m_blockCount; }
    // The container's span on the device; a reader made from a lone volume
    // superblock is given the device's size instead.
    std::uint64_t GetSizeInSectors() const { return m_sizeInSectors; }
    void SetSizeInSectors(std::uint64_t sectors) { m_sizeInSectors = sectors; }
    // The container UUID from its superblock (zeros until it is read).
    const std::uint8_t* GetUuid() const { return m_uuid; }
    const std::string& GetContainerName() const { return m_containerName; }
    int GetSectorSize() const { return m_sectorSize; }
    std::size_t NodeCount() const { return m_nodes.size(); }

private:
    using NodeMap = std::multimap<std::uint64_t, APFSFileNode*>;

    bool ReadBlock(std::uint64_t block, std::uint8_t* buf, int bytes);
    void TakeVolume(const std::uint8_t* volume);
    void QueueWalk(std::vector<std::uint64_t> queue);
    void HandleRecords(const std::uint8_t* node, std::uint64_t block);
    void HandleRecord(const APFSRecord& r, std::uint64_t block);
    void HandleExtent(const APFSRecord& r, std::uint64_t block);
    void HandleNamed(const APFSRecord& r, std::uint64_t block);
    APFSFileNode* NewNode(NodeMap& map, std::uint64_t key, std::uint64_t parentKey, int folder, const std::string& name,
                          APFSFileNode* nearest, std::uint64_t block);
    // How a node under the searched key is judged: taken outright, preferred
    // over any distance, or measured by how far its last record lies.
    enum class Pick { Take, Prefer, Measure };
    // The node under `key` that `judge` takes, or else the preferred one, or
    // else the one whose last record lies nearest `block` (with `bounded`,
    // only within the reach its size allows). `matched` says it was taken.
    template <typename Judge>
    APFSFileNode* Nearest(NodeMap& map, std::uint64_t key, std::uint64_t block, bool bounded, bool& matched,
                          Judge judge);
    APFSFileNode* NearestFolder(std::uint64_t key, std::uint64_t block);
    void LinkToParent(APFSFileNode* node, std::uint64_t block);
    void AfterRecord(APFSFileNode* node);
    void HandOver(APFSFileNode* node);
    std::uint64_t Key(std::uint64_t id) const { return (static_cast<std::uint64_t>(m_containerIndex) << 32) | id; }

    APFSDelegate* m_delegate;
    std::uint32_t m_blockSize = 4096;
    int m_sectorSize = 512;
    std::uint32_t m_containerIndex;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::uint64_t m_startSector;
    std::uint64_t m_startBlock = 0;
    std::uint64_t m_blockCount = 0;
    std::uint64_t m_sizeInSectors = 0;
    std::string m_containerName;
    bool m_laterGeneration = false;
    std::uint8_t m_uuid[16] = {};
    NodeMap m_files;
    NodeMap m_folders;
    std::vector<std::unique_ptr<APFSFileNode>> m_nodes;  // owns every node
    std::set<APFSFileNode*> m_pending;
    std::set<std::uint64_t> m_visited;
    std::uint64_t m_nextUniqueId = kUniqueIdBase;
};
