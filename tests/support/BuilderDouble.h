#pragma once
// A tree builder for searcher tests: keeps the nodes it is handed (and owns
// them, as the real builder does) and records every other call.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "foundation/FileNode.h"
#include "recovery/DirectoryTree.h"

namespace quillory_test {

class BuilderDouble : public IDirecotryTreeBuilder {
public:
    // With `only`, nodes of other searchers are refused.
    explicit BuilderDouble(std::optional<_tagSearcherType> only = std::nullopt) : m_only(only) {}
    ~BuilderDouble() override {
        for (auto* n : nodes) n->Release();
    }
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override {
        types.push_back(type);
        if (refuseAll || node == nullptr || (m_only && type != *m_only)) return 0;
        nodes.push_back(node);
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType type, std::int64_t root) override {
        searchers.emplace_back(type, root);
        return 1;
    }
    void FlashBuild(_tagSearcherType type) override { flashed.push_back(type); }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo* p, IStorageDevice* d) override {
        partition = p;
        device = d;
    }

    std::vector<IFileNode*> nodes;
    std::vector<int> types;  // of every AddNode, refused ones too
    std::vector<std::pair<int, std::int64_t>> searchers;
    std::vector<int> flashed;
    CSearchedPartitionInfo* partition = nullptr;
    IStorageDevice* device = nullptr;
    bool refuseAll = false;

private:
    std::optional<_tagSearcherType> m_only;
};

}  // namespace quillory_test
