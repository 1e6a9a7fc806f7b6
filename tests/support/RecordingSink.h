#pragma once
// The tree a scan shows, kept for a test to look at: every node and root the
// tree builder hands to the view, and a node's path below its root.

#include <string>
#include <vector>

#include "foundation/DirectoryTree.h"

namespace quillory_test {

struct RecordingSink : IDrirectoryTree {
    void ShowNodes(IFileNode** nodes, unsigned count, int) override {
        for (unsigned i = 0; i < count; ++i) shown.push_back(nodes[i]);
    }
    void ShowFilesystemNode(IFilesystemNode* root) override { roots.push_back(root); }
    std::vector<IFileNode*> shown;
    std::vector<IFilesystemNode*> roots;
};

// "Folder/Sub/name" below the tree's root (the root itself not named).
inline std::string TreePath(IFileNode* n) {
    std::string path = n->GetFileName();
    for (IFileNode* p = n->GetParent(); p && p->GetParent(); p = p->GetParent())
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

}  // namespace quillory_test
