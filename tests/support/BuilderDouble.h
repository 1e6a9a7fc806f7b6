#pragma once
// A tree builder for searcher tests: keeps the nodes it is handed (and owns
// them, as the real builder does) and records every other call.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"

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

    // "folder/sub/name" of a node up to the folder id `root`, from the folder
    // nodes received; "?" marks a parent never received. A live folder is
    // preferred to a deleted one of the same id.
    std::string PathBelow(IFileNode* node, std::int64_t root) const {
        std::string path = node->GetFileName();
        std::int64_t parent = node->GetParentNodeID();
        for (int depth = 0; parent != root && depth < 64; ++depth) {
            IFileNode* folder = nullptr;
            for (auto* n : nodes)
                if (n->IsDirectory() && n->GetCurrentNodeID() == parent &&
                    (!folder || folder->IsDeleted() || !n->IsDeleted()))
                    folder = n;
            if (!folder) return "?/" + path;
            path = std::string(folder->GetFileName()) + "/" + path;
            parent = folder->GetParentNodeID();
        }
        return path;
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
