#pragma once
// A thin tree builder in front of the real one, used when a deep scan lists
// one HFS+ volume: it stamps each node with the volume's partition index (and
// its ids with the volume's place, HFSPlusTreeId) and marks the space live
// files use in the scan's used-space bit map.

#include <cstdint>

#include "foundation/DirectoryTree.h"

class TBitmap;

class CHFSPlusDirectoryTreeBuilder : public IDirecotryTreeBuilder {
public:
    // `wrapped` is borrowed (may be null).
    CHFSPlusDirectoryTreeBuilder(IDirecotryTreeBuilder* wrapped, std::uint32_t sectorsPerBlock,
                                 std::uint32_t partitionIndex, std::uint64_t startSector);
    ~CHFSPlusDirectoryTreeBuilder() override = default;

    int Initialize(const char* caption, IDrirectoryTree* sink, IRecoveryFilter* filter) override;
    int AddNode(IFileNode* node, _tagSearcherType type) override;
    int AddSearcherInfo(_tagSearcherType type, std::int64_t rootFolderId) override;
    void FlashBuild(_tagSearcherType type) override;
    // Does nothing: the wrapped builder outlives this wrapper, which is
    // deleted by whoever made it.
    void Release() override;
    void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override;

    // Borrowed; none until set.
    void SetBitmap(TBitmap* bitmap) { m_bitmap = bitmap; }

private:
    IDirecotryTreeBuilder* m_wrapped = nullptr;
    TBitmap* m_bitmap = nullptr;
    std::uint32_t m_sectorsPerBlock = 0;
    std::uint32_t m_partitionIndex = 0;
    std::uint64_t m_startSector = 0;
};
