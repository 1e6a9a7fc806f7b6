// The found-file node the APFS container reader makes for every file and
// folder it rebuilds. Records of one file arrive in any order (inode,
// directory record, extents, from live and stale nodes), so the node keeps
// the keys and links the reader needs to put them together.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "foundation/DataRun.h"
#include "foundation/FileNode.h"

class APFSFileNode : public CFileNode {
public:
    enum : std::uint8_t {
        kFlagFolder = 1,
        kFlagDeleted = 2,
        kFlagHandedOver = 4,
        kFlagCovered = 8,     // the extents cover the size
        kFlagKindKnown = 16,  // folder-or-file decided
        kFlagMerged = 32,     // merged into a same-named twin folder
        kFlagParentSet = 64,
    };
    static constexpr std::uint64_t kNoParentKey = ~0ull;
    // 1970-01-01 in 100-ns units since 1601-01-01.
    static constexpr std::int64_t kUnixEpochAs1601 = 0x19DB1DED53E8000ll;

    APFSFileNode() = default;
    ~APFSFileNode() override;

    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return static_cast<std::int64_t>(m_size); }
    std::uint32_t GetAttribute() override { return (m_flags & kFlagFolder) ? 16 : 32; }
    std::int64_t GetCreationTime() override { return TimeConvert(m_createTime); }
    std::int64_t GetModificationTime() override { return TimeConvert(m_modifyTime); }
    std::int64_t GetLastAccessTime() override { return TimeConvert(m_accessTime); }
    int IsDirectory() override { return (m_flags & kFlagFolder) ? -1 : 0; }
    int IsDeleted() override { return (m_flags & kFlagDeleted) ? -1 : 0; }
    void SetParentNodeID(std::int64_t id) override;
    IFileNode* Clone() override;
    // The container reader owns its nodes: they are freed when it is.
    void Release() override {}
    void MarkDeleted() override { m_flags |= kFlagDeleted; }
    void FilterFileNameByDot() override {}
    void UpdateFileSize(std::int64_t) override {}
    void UpdateNodeInfo() override {}
    void SetFileName(const char*) override {}
    virtual _tagSearcherType GetFileSystemSearcherType() const { return SEARCHER_APFS; }

    // 100-ns units since 1601 of whole seconds of a time in ns since 1970.
    static std::int64_t TimeConvert(std::uint64_t nanoseconds);

    void SetNodeId(std::int64_t id) { m_nodeId = id; }
    // Only until decided once.
    void SetFolder(bool folder);
    // Applies the name rule: ".DS_Store" becomes empty, any other name is
    // kept as stored, ".Trashes" (or "Trashes") marks a deleted folder.
    void SetName(const char* bytes, std::size_t length);
    // Ignored when the node has a size and is not deleted.
    void SetSize(std::uint64_t size);
    // True when the extents now cover the size.
    bool AddExtent(std::uint64_t firstSector, std::uint64_t sectorCount, std::uint32_t sectorSize,
                   std::uint64_t logicalOffset);
    static void LinkUnderFolder(APFSFileNode* folder, APFSFileNode* node);
    bool ReadyToHandOver(bool final);

    void SetTimes(std::uint64_t create, std::uint64_t modify, std::uint64_t access) {
        m_createTime = create;
        m_modifyTime = modify;
        m_accessTime = access;
    }
    void SetKeys(std::uint64_t own, std::uint64_t parent) {
        m_ownKey = own;
        m_parentKey = parent;
    }
    void SetParentKey(std::uint64_t parent) { m_parentKey = parent; }
    void SetBlock(std::uint64_t block) { m_block = block; }
    void SetFlags(std::uint8_t set) { m_flags |= set; }
    // Takes a copy of another node's extents and runs (a file met again
    // under the same key whose extents were read elsewhere).
    void CopyExtentsFrom(const APFSFileNode& other);

    const std::string& Name() const { return m_name; }
    std::uint8_t Flags() const { return m_flags; }
    std::uint64_t OwnKey() const { return m_ownKey; }
    std::uint64_t ParentKey() const { return m_parentKey; }
    std::uint64_t Block() const { return m_block; }
    std::uint64_t CreateTimeNs() const { return m_createTime; }
    APFSFileNode* ParentFolder() const { return m_parentFolder; }
    APFSFileNode* Twin() const { return m_twin; }
    APFSFileNode* FirstChildNode() const { return m_childHead; }
    APFSFileNode* NextSiblingNode() const { return m_siblingNext; }
    const std::map<std::uint64_t, DataRun>& Extents() const { return m_extents; }

private:
    // Grows the size to the extents' total when they exceed it (rounded up
    // to a block) and sets or clears the covered flag; true when covered.
    bool MeasureExtents(std::uint32_t sectorSize);
    void RebuildRuns();

    std::string m_name;
    std::uint64_t m_size = 0;
    std::uint64_t m_createTime = 0, m_modifyTime = 0, m_accessTime = 0;
    std::uint64_t m_block = 0;
    std::uint64_t m_ownKey = 0;
    std::uint64_t m_parentKey = kNoParentKey;
    APFSFileNode* m_parentFolder = nullptr;
    APFSFileNode* m_childHead = nullptr;
    APFSFileNode* m_siblingNext = nullptr;
    APFSFileNode* m_twin = nullptr;
    std::uint8_t m_flags = 0;
    std::map<std::uint64_t, DataRun> m_extents;  // logical byte offset -> sectors
};
