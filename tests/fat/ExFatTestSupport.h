#pragma once
// What the exFAT quick and deep search tests share: a builder that keeps the
// nodes of the exFAT searcher and names them by path, and a reader of a
// node's clusters through its partition record.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "foundation/DataRun.h"
#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "support/BuilderDouble.h"

namespace exfattest {

// Keeps every exFAT node it is given and names it by path.
class RecordingBuilder : public quillory_test::BuilderDouble {
public:
    RecordingBuilder() : BuilderDouble(SEARCHER_EXFAT) {}

    // The path up to the first searcher's root.
    std::string PathOf(IFileNode* node) const {
        return PathBelow(node, searchers.empty() ? -1 : searchers.front().second);
    }
    std::set<std::string> Paths(bool deletedOnly = false) const {
        std::set<std::string> out;
        for (auto* n : nodes)
            if (!deletedOnly || n->IsDeleted()) out.insert(PathOf(n));
        return out;
    }
    IFileNode* Find(const std::string& path) const {
        for (auto* n : nodes)
            if (PathOf(n) == path) return n;
        return nullptr;
    }
};

// A node's clusters read through the device where its record places them,
// cut to the node's size; empty when a run lies outside the partition.
inline std::vector<std::uint8_t> ReadRuns(IStorageDevice& dev, IFileNode* node, const CSearchedPartitionInfo& record) {
    std::vector<std::uint8_t> out;
    auto* fnode = dynamic_cast<CFileNode*>(node);
    IDataRunList* runs = fnode ? fnode->GetDataRunList() : nullptr;
    if (!runs) return out;
    const std::uint32_t spc = record.GetSectorsPerCluster(), ss = dev.GetSectorSize();
    for (DataRun* r = runs->GetFirst(); r; r = runs->GetNext()) {
        std::int64_t sector = 0;
        if (!record.GetRunDeviceSector(r->start, &sector)) return {};
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(r->length) * spc * ss);
        if (!dev.ReadSector(buf.data(), sector, r->length * spc)) return {};
        out.insert(out.end(), buf.begin(), buf.end());
    }
    if (out.size() > static_cast<std::size_t>(node->GetFileSize())) out.resize(node->GetFileSize());
    return out;
}

}  // namespace exfattest
