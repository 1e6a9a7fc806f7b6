// The result sink that receives found trees, and the tree builder that every
// searcher hands its nodes to.
#pragma once

#include <cstdint>

#include "foundation/FileNode.h"

class IStorageDevice;
class CSearchedPartitionInfo;
class IRecoveryFilter;

// Implemented by whoever runs a scan. Called on the scan's worker thread only.
class IDrirectoryTree {
public:
    virtual ~IDrirectoryTree() = default;
    // A batch of nodes to file; the array is valid during the call only and the
    // nodes stay owned by the tree builder. flag is 1 for the batch of lost files
    // that ends a build, else 0. count may be 0.
    virtual void ShowNodes(IFileNode** nodes, unsigned count, int flag) = 0;
    // A new root: the tree of one searcher type on the scanned device.
    virtual void ShowFilesystemNode(IFilesystemNode* root) = 0;
};

// Collects the nodes of each searcher type and links them into trees.
class IDirecotryTreeBuilder {
public:
    virtual ~IDirecotryTreeBuilder() = default;
    // 0 when any argument is null; an empty caption becomes "Disk".
    virtual int Initialize(const char* caption, IDrirectoryTree* sink, IRecoveryFilter* filter) = 0;
    // 1 when the builder took the node (it then owns it); 0 leaves the node the caller's.
    virtual int AddNode(IFileNode* node, _tagSearcherType type) = 0;
    // Announces a searcher's tree and its root folder id; always 1.
    virtual int AddSearcherInfo(_tagSearcherType type, int64_t rootFolderId) = 0;
    // Final build of that type's tree.
    virtual void FlashBuild(_tagSearcherType type) = 0;
    virtual void Release() = 0;
    // Device and partition record used to read recycle-bin index files.
    virtual void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) = 0;
};
