#pragma once
// FAT nodes, their properties made from directory entries, and the FAT
// partition record.

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/FileNode.h"
#include "foundation/FileProperties.h"
#include "foundation/SearchedPartitionInfo.h"

class IDataRunList;

// Bits of a node's state word: the entry is erased, or sits under an erased
// folder; the folder stands in for a lost folder cluster (as "DIRn"), and
// is deleted as well.
enum : std::uint8_t {
    FAT_STATE_DELETED = 0x01,
    FAT_STATE_MADE_UP = 0x08,
    FAT_STATE_MADE_UP_FOLDER = FAT_STATE_DELETED | FAT_STATE_MADE_UP,
};

// The facts of one directory entry group.
struct CFATFilePropertiesStruct {
    std::string name;  // UTF-8
    bool hasName = false;
    std::uint16_t nameLength = 0;
    std::int64_t size = 0;
    std::uint16_t attribute = 0;
    std::int64_t creationTime = 0;  // FILETIME, 0 = none
    std::int64_t modificationTime = 0;
    std::int64_t lastAccessTime = 0;
    std::uint8_t state = 0;         // FAT_STATE_* bits
    std::int64_t firstCluster = 0;  // real, or virtual (>= 2^32) for empty files
    std::int64_t parentFirstCluster = 0;
    std::int64_t metadataSector = 0;  // sector holding the directory entry
    IDataRunList* runs = nullptr;     // owned
};

class CFATFileProperties : public IFileProperties {
public:
    CFATFileProperties() = default;
    ~CFATFileProperties() override;
    CFATFileProperties(const CFATFileProperties&) = delete;
    // Copies name, state, attribute, clusters, times and size (not the runs).
    CFATFileProperties& operator=(const CFATFileProperties& other);

    int GetFileNameLength() override { return m_p.nameLength; }
    void SetFileName(const char* name) override;
    const char* GetFileName() override { return m_p.name.c_str(); }
    std::int64_t GetFileSize() override { return m_p.size; }
    std::uint32_t GetAttribute() override { return m_p.attribute; }
    std::int64_t GetRawFileCreateTime() override { return 0; }
    std::int64_t GetCreationTime() override { return m_p.creationTime; }
    std::int64_t GetModificationTime() override { return m_p.modificationTime; }
    std::int64_t GetLastAccessTime() override { return m_p.lastAccessTime; }
    unsigned short GetState() override { return m_p.state; }
    void SetState(unsigned short state) override { m_p.state = static_cast<std::uint8_t>(state); }
    IDataRunList* GetDataRunList() override { return m_p.runs; }
    // Same values, own copy of the name and of the run list.
    IFileProperties* Clone() override;

    bool HasFileName() const { return m_p.hasName; }
    void SetFileSize(std::int64_t size) { m_p.size = size; }
    void SetAttribute(std::uint16_t attribute) { m_p.attribute = attribute; }
    void SetCreationTime(std::int64_t filetime) { m_p.creationTime = filetime; }
    void SetCreationTime(std::uint16_t dosDate, std::uint16_t dosTime);
    void SetModificationTime(std::int64_t filetime) { m_p.modificationTime = filetime; }
    void SetModificationTime(std::uint16_t dosDate, std::uint16_t dosTime);
    void SetLastAccessTime(std::int64_t filetime) { m_p.lastAccessTime = filetime; }
    void SetLastAccessTimeFromDosDate(std::uint16_t dosDate);
    // Takes ownership; releases the list held before.
    void SetDataRunList(IDataRunList* runs);
    IDataRunList* DetachDataRunList();
    std::int64_t GetFirstClusterNum() const { return m_p.firstCluster; }
    void SetFirstClusterNum(std::int64_t c) { m_p.firstCluster = c; }
    std::int64_t GetParentFirstClusterNum() const { return m_p.parentFirstCluster; }
    void SetParentFirstClusterNum(std::int64_t c) { m_p.parentFirstCluster = c; }
    std::int64_t GetMetaDataSector() const { return m_p.metadataSector; }
    void SetMetaDataSector(std::int64_t s) { m_p.metadataSector = s; }

    static CFATFileProperties* Create() { return new CFATFileProperties(); }
    static void Destory(CFATFileProperties* p) { delete p; }

private:
    CFATFilePropertiesStruct m_p;
};

class CFATFileNode : public CFileNode {
public:
    CFATFileNode() = default;
    ~CFATFileNode() override;
    CFATFileNode(const CFATFileNode&) = delete;
    CFATFileNode& operator=(const CFATFileNode&) = delete;

    const char* GetFileName() override;
    std::int64_t GetFileSize() override;
    std::uint32_t GetAttribute() override;
    std::int64_t GetCreationTime() override;
    std::int64_t GetModificationTime() override;
    std::int64_t GetLastAccessTime() override;
    int IsDirectory() override;
    int IsDeleted() override;
    _tagSearcherType GetSearcheType() const override { return SEARCHER_FAT; }
    void SetParentNodeID(std::int64_t id) override { m_parentNodeId = id; }
    IFileNode* Clone() override;
    void MarkDeleted() override;
    void FilterFileNameByDot() override;
    void SetFileName(const char* name) override;
    void AdoptPropertiesFrom(const CFileNode& other) override;

    // Takes ownership; node id, parent id and metadata sector follow it.
    void SetFileProperties(CFATFileProperties* properties);
    CFATFileProperties* GetFileProperties() const { return m_properties; }
    // The node's own run list (owned; the previous one is released).
    void SetDataRunList(IDataRunList* runs);
    void DelDataRunList();
    void SetCurrentNodeID(std::int64_t id) { m_nodeId = id; }
    // Stamps the node with the index of the partition it was read from, and
    // makes its node id and parent id that partition's (FATNodeId).
    void SetPartition(std::uint16_t index);

private:
    CFATFileProperties* m_properties = nullptr;
};

// The tree id of a FAT node. Cluster numbers repeat from one FAT partition to
// the next, and a deep scan puts every partition it rebuilds in one tree: the
// folders of two volumes with the same first cluster would take each other's
// children (or be merged as one folder). Partitions after the first carry
// their index above every cluster and virtual cluster number; 0, the parent
// id of a root folder's entries, stays the tree root of every partition. A
// partition record not numbered yet (0xFFFF) counts as the only one.
constexpr int kFATNodeIdPartitionShift = 48;
inline std::int64_t FATNodeId(std::uint16_t partition, std::int64_t cluster) {
    if (partition == 0 || partition == 0xFFFF || cluster == 0) return cluster;
    return cluster | (static_cast<std::int64_t>(partition) << kFATNodeIdPartitionShift);
}

class CFATFilePropertiesBuilder {
public:
    // Properties of one short entry under the given name; null without entry.
    static CFATFileProperties* BuildFATFilePropertyFromDirEntry(const char* name, const std::uint8_t* entry);
    // Long-name pieces then the short entry they belong to, from the buffer
    // start. Null when there is no short entry or the joined name reaches
    // 2047 bytes.
    static CFATFileProperties* BuildFATFilePropertyFromDirEntryBuffer(const std::uint8_t* buffer, std::size_t length);
    static constexpr std::size_t kMaxJoinedName = 2047;
};

// Evidence flags of a FAT partition record.
enum : std::uint32_t {
    FAT_FLAG_FAT12_DBR = 0x001,
    FAT_FLAG_FAT16_DBR = 0x002,
    FAT_FLAG_FAT32_DBR = 0x004,
    FAT_FLAG_FAT32_BACKUP_DBR = 0x008,
    FAT_FLAG_FOLDER_PLACES_DATA = 0x010,
    FAT_FLAG_FAT1_FOUND = 0x040,
    FAT_FLAG_FAT1_USABLE = 0x080,
    FAT_FLAG_FAT2_FOUND = 0x100,
    FAT_FLAG_FAT2_USABLE = 0x200,
    FAT_FLAGS_QUICK_FAT16 = 0x3C3,
    FAT_FLAGS_QUICK_FAT32 = 0x3CC,
};

// A FAT partition. The base record's start sector is the partition start and
// its cluster-0 sector is the data start (the sector of cluster 2); the third
// position holds the deep search's vote count and the count field its score.
class CFATSearchedPartitionInfo : public CSearchedPartitionInfo {
public:
    static constexpr int kType = 1;
    explicit CFATSearchedPartitionInfo(std::uint32_t sectorSize) : CSearchedPartitionInfo(sectorSize) {}
    int GetType() const override { return kType; }

    std::int64_t GetDataStartSector() const { return GetCluster0Sector(); }
    void SetDataStartSector(std::int64_t s) { SetCluster0Sector(s); }
    std::uint16_t GetReservedSector() const { return m_reserved; }
    void SetReservedSector(std::uint16_t n) { m_reserved = n; }
    std::uint32_t GetSectorPerFAT() const { return m_sectorsPerFat; }
    void SetSectorPerFAT(std::uint32_t n) { m_sectorsPerFat = n; }
    std::uint32_t GetTotalCluster() const { return m_totalClusters; }
    void SetTotalCluster(std::uint32_t n) { m_totalClusters = n; }
    // FAT12/16: sectors of the fixed root folder; FAT32: the root's cluster.
    std::uint32_t GetRootInfo() const { return m_rootInfo; }
    void SetRootInfo(std::uint32_t v) { m_rootInfo = v; }
    void MergeFlag(std::uint32_t f) { m_flags |= f; }
    std::uint32_t GetFlag() const { return m_flags; }
    std::int64_t GetVotes() const { return GetThirdPosition(); }
    void SetVotes(std::int64_t v) { SetThirdPosition(v); }

    // Geometry and evidence, not votes or score.
    CFATSearchedPartitionInfo* Clone() const;

private:
    std::uint16_t m_reserved = 0;
    std::uint32_t m_sectorsPerFat = 0;
    std::uint32_t m_totalClusters = 0;
    std::uint32_t m_rootInfo = 0;
    std::uint32_t m_flags = 0;
};

CFATSearchedPartitionInfo* CreateFATSearchedPartitionInfo(std::uint32_t sectorSize);
void DestroyFATSearchedPartitionInfo(CFATSearchedPartitionInfo* info);
