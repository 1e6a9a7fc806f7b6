#pragma once
// Tree builders for the fuzz targets: what every target leaves alone, one
// that reads what a tree builder reads of each node and drops it, and one
// that keeps the nodes (up to a limit past which it refuses them).

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"

namespace fuzzsupport {

class BuilderBase : public IDirecotryTreeBuilder {
public:
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddSearcherInfo(_tagSearcherType, std::int64_t) override { return 1; }
    void FlashBuild(_tagSearcherType) override {}
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
};

class DroppingBuilder : public BuilderBase {
public:
    int AddNode(IFileNode* node, _tagSearcherType) override {
        sum += static_cast<std::uint64_t>(node->GetFileSize()) + std::strlen(node->GetFileName()) +
               static_cast<std::uint64_t>(node->GetCreationTime()) + (node->IsDirectory() ? 1 : 0);
        node->Release();
        return 1;
    }
    std::uint64_t sum = 0;
};

class KeepingBuilder : public BuilderBase {
public:
    explicit KeepingBuilder(std::size_t limit = std::numeric_limits<std::size_t>::max()) : m_limit(limit) {}
    ~KeepingBuilder() override {
        for (auto* n : nodes) n->Release();
    }
    int AddNode(IFileNode* node, _tagSearcherType) override {
        if (nodes.size() >= m_limit) return 0;  // refused: the searcher releases it
        nodes.push_back(node);
        return 1;
    }
    std::vector<IFileNode*> nodes;

private:
    std::size_t m_limit;
};

}  // namespace fuzzsupport
