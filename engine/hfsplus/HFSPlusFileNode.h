#pragma once
// The found-file node the HFS+ searches make from one catalog key and record.

#include <cstdint>
#include <string>

#include "foundation/FileNode.h"
#include "hfsplus/HFSPlusFormat.h"

class CHFSPlusVolume;
class IDataRunList;

constexpr std::uint32_t kHFSHardLinkFileType = 0x686C6E6B;  // 'hlnk'
constexpr std::uint32_t kHFSPlusCreator = 0x6866732B;       // 'hfs+'
constexpr std::uint32_t kHFSFolderAliasType = 0x66647270;   // 'fdrp'
constexpr std::uint8_t kHFSOwnerCompressed = 0x20;          // UF_COMPRESSED

// The tree id of an HFS+ catalog node. Catalog node ids repeat from one HFS+
// volume to the next (two copies of one volume share every id), and a deep
// scan puts every volume it finds in one tree: the second volume's folders
// and files would be taken for the first's and merged away. Volumes after
// the first carry their place above the 32-bit catalog id; the root folder
// and its parent (ids 1 and 2) stay the shared tree root, and ids that mark
// a record with no node (negative) stay as they are.
constexpr int kHFSTreeIdPlaceShift = 48;
inline std::int64_t HFSPlusTreeId(std::uint16_t place, std::int64_t catalogId) {
    if (place == 0 || catalogId <= kHFSRootFolderID) return catalogId;
    return catalogId | (static_cast<std::int64_t>(place) << kHFSTreeIdPlaceShift);
}

class CHFSPlusFileNode : public CFileNode {
public:
    enum : std::uint8_t { kFlagDeleted = 0x1, kFlagDirectory = 0x2, kFlagCompressed = 0x4 };

    CHFSPlusFileNode(CHFSPlusVolume* volume, BTKey* key, HFSPlusCatalogRecord* record, int deleted);
    CHFSPlusFileNode(CHFSPlusVolume* volume, std::int64_t metadataSector, std::uint16_t partitionIndex, BTKey* key,
                     HFSPlusCatalogRecord* record);
    ~CHFSPlusFileNode() override = default;

    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return static_cast<std::int64_t>(m_fileSize); }
    std::uint32_t GetAttribute() override { return m_attribute; }
    std::int64_t GetCreationTime() override { return TimeConvert(m_createDate); }
    std::int64_t GetModificationTime() override { return TimeConvert(m_modifyDate); }
    std::int64_t GetLastAccessTime() override { return TimeConvert(m_accessDate); }
    int IsDirectory() override { return (m_flags & kFlagDirectory) ? 1 : 0; }
    int IsDeleted() override { return (m_flags & kFlagDeleted) ? 1 : 0; }
    _tagSearcherType GetSearcheType() const override { return SEARCHER_HFSPLUS; }
    // Hands back this very node: no caller releases a clone of an HFS+ node,
    // so the one object stays owned by whoever owns the original.
    IFileNode* Clone() override { return this; }
    void MarkDeleted() override { m_flags |= kFlagDeleted; }
    void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
    void UpdateFileSize(std::int64_t size) override { m_fileSize = static_cast<std::uint64_t>(size); }
    void UpdateNodeInfo() override;
    int IsCompressed() const override { return (m_flags & kFlagCompressed) ? 1 : 0; }
    // The decmpfs reader of a compressed file (null for others).
    IFileReader* CreateCompressFileReader(void* device) override;
    // Bytes of the fork the run list holds (the resource fork of a
    // compressed file, whose node size is the uncompressed size).
    std::uint64_t GetForkSize() const { return m_forkSize; }

    // 100 ns units since 1601-01-01 of HFS+ seconds since 1904; 0 stays 0.
    static std::int64_t TimeConvert(std::uint32_t hfsTime);
    // Allocation-block runs of a fork, overflow records (live, then deleted)
    // included; null when the list cannot be made.
    static IDataRunList* BuildFileDataRun(CHFSPlusVolume* volume, std::uint32_t fileID, const HFSPlusForkData& fork,
                                          std::uint8_t forkType = kHFSDataForkType);
    // UTF-8 of a catalog name: leading zero units skipped, '/' shown as ':'.
    static std::string ConvertName(const HFSUniStr255& name);

    CHFSPlusVolume* GetVolume() const { return m_volume; }
    // The catalog node id on disk, without the place a deep scan adds.
    std::uint32_t GetCatalogID() const { return static_cast<std::uint32_t>(m_nodeId); }
    // Stamps the node with the place of the volume a deep scan read it from
    // and makes its node id and parent id that volume's (HFSPlusTreeId).
    void SetPlace(std::uint16_t place);
    std::uint32_t GetCreateDate() const { return m_createDate; }
    std::uint8_t GetFlags() const { return m_flags; }

private:
    void CreateFileNode(std::int64_t metadataSector, std::uint16_t partitionIndex, BTKey* key,
                        HFSPlusCatalogRecord* record, int deleted);

    std::uint32_t m_createDate = 0;
    CHFSPlusVolume* m_volume = nullptr;
    std::string m_name;
    std::uint64_t m_fileSize = 0;
    std::uint32_t m_modifyDate = 0;
    std::uint32_t m_accessDate = 0;
    std::uint16_t m_attribute = 0;
    std::uint8_t m_flags = 0;
    std::uint64_t m_forkSize = 0;
};

// A new node for (key, record), or null when allocation fails.
CHFSPlusFileNode* CreateHFSPlusFileNode(CHFSPlusVolume* volume, HFSPlusCatalogKey* key, HFSPlusCatalogRecord* record,
                                        int deleted);
