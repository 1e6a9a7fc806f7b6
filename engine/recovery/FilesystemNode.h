// The node class of tree roots and lost-file folders.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/FileNode.h"

class CFilesystemNode : public CFileNode {
public:
    CFilesystemNode(const char* name, const char* volumeName, _tagSearcherType type, int64_t nodeId);
    CFilesystemNode(const CFilesystemNode& other);

    const char* GetFileName() override { return m_name.c_str(); }
    int64_t GetFileSize() override { return 0; }
    uint32_t GetAttribute() override { return 0; }
    int64_t GetCreationTime() override { return GetModificationTime(); }
    int64_t GetModificationTime() override { return 0; }
    int64_t GetLastAccessTime() override { return GetModificationTime(); }
    int IsDirectory() override { return 1; }
    int IsDeleted() override { return 0; }
    _tagSearcherType GetSearcheType() const override { return m_type; }
    const char* GetVolumeName() const override { return m_volumeName.c_str(); }
    IFileNode* Clone() override { return new CFilesystemNode(*this); }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}

private:
    _tagSearcherType m_type;
    std::string m_name;
    std::string m_volumeName;
};
