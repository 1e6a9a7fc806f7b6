#include "hfsplus/HFSPlusDirectoryTreeBuilder.h"

#include <algorithm>
#include <vector>

#include "foundation/Bitmap.h"
#include "foundation/DataRun.h"
#include "foundation/FileNode.h"
#include "hfsplus/HFSPlusFileNode.h"

CHFSPlusDirectoryTreeBuilder::CHFSPlusDirectoryTreeBuilder(IDirecotryTreeBuilder* wrapped,
                                                           std::uint32_t sectorsPerBlock, std::uint32_t partitionIndex,
                                                           std::uint64_t startSector)
    : m_wrapped(wrapped),
      m_sectorsPerBlock(sectorsPerBlock),
      m_partitionIndex(partitionIndex),
      m_startSector(startSector) {}

int CHFSPlusDirectoryTreeBuilder::Initialize(const char* caption, IDrirectoryTree* sink, IRecoveryFilter* filter) {
    return m_wrapped ? m_wrapped->Initialize(caption, sink, filter) : 0;
}

int CHFSPlusDirectoryTreeBuilder::AddSearcherInfo(_tagSearcherType type, std::int64_t rootFolderId) {
    return m_wrapped ? m_wrapped->AddSearcherInfo(type, rootFolderId) : 0;
}

void CHFSPlusDirectoryTreeBuilder::FlashBuild(_tagSearcherType type) {
    if (m_wrapped) m_wrapped->FlashBuild(type);
}

void CHFSPlusDirectoryTreeBuilder::Release() {
    // The wrapped builder outlives this wrapper: it is never freed here.
}

void CHFSPlusDirectoryTreeBuilder::SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) {
    if (m_wrapped) m_wrapped->SetPartitonDevice(partition, device);
}

int CHFSPlusDirectoryTreeBuilder::AddNode(IFileNode* node, _tagSearcherType type) {
    if (!m_wrapped) return 0;
    auto* fileNode = dynamic_cast<CFileNode*>(node);
    if (auto* hfsNode = dynamic_cast<CHFSPlusFileNode*>(node))
        hfsNode->SetPlace(static_cast<std::uint16_t>(m_partitionIndex));
    else if (fileNode)
        fileNode->SetBelongedPartition(static_cast<std::uint16_t>(m_partitionIndex));
    IDataRunList* list = fileNode ? fileNode->GetDataRunList() : nullptr;
    if (m_bitmap && node && !node->IsDeleted() && list) {
        std::vector<DataRun> runs;
        for (DataRun* run = list->GetFirst(); run; run = list->GetNext()) runs.push_back(*run);
        const std::uint32_t unit = m_bitmap->GetUnit() ? m_bitmap->GetUnit() : 1;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            DataRun run = runs[i];
            if (run.start < 0 || run.length <= 0) continue;
            // The last run counts one block less.
            if (i + 1 == runs.size()) --run.length;
            std::int64_t first = run.start;
            std::int64_t count = run.length;
            if (!(m_sectorsPerBlock == unit && m_startSector == 0)) {
                first = (run.start * static_cast<std::int64_t>(m_sectorsPerBlock) +
                         static_cast<std::int64_t>(m_startSector)) /
                        unit;
                count = run.length * static_cast<std::int64_t>(m_sectorsPerBlock) / unit;
            }
            if (count <= 0) continue;
            m_bitmap->SetBit(first, 1, static_cast<std::uint32_t>(std::min<std::int64_t>(count, UINT32_MAX)));
        }
    }
    return m_wrapped->AddNode(node, type);
}
