#pragma once
// A minimal concrete node for tests of the node model.

#include <string>

#include "foundation/FileNode.h"

class TestNode : public CFileNode {
public:
    explicit TestNode(std::string name = "n", bool dir = false, _tagSearcherType type = SEARCHER_DEFAULT,
                      std::int64_t id = -1)
        : m_name(std::move(name)), m_dir(dir), m_type(type) {
        m_nodeId = id;
    }
    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return m_size; }
    std::uint32_t GetAttribute() override { return m_dir ? 0x10 : 0x20; }
    std::int64_t GetCreationTime() override { return m_ctime; }
    std::int64_t GetModificationTime() override { return 0; }
    std::int64_t GetLastAccessTime() override { return 0; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return 1; }
    _tagSearcherType GetSearcheType() const override { return m_type; }
    IFileNode* Clone() override { return new TestNode(*this); }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
    void UpdateFileSize(std::int64_t size) override { m_size = size; }
    void AdoptPropertiesFrom(const CFileNode&) override { ++m_adopted; }

    void SetParentId(std::int64_t id) { m_parentNodeId = id; }
    void SetRuns(IDataRunList* runs) { m_dataRunList = runs; }

    std::string m_name;
    bool m_dir;
    _tagSearcherType m_type;
    std::int64_t m_size = 0;
    std::int64_t m_ctime = 0;
    int m_adopted = 0;
};
