#include "apfs/APFSFileNode.h"

#include <strings.h>

#include <new>

APFSFileNode::~APFSFileNode() = default;  // the base releases the run list

std::int64_t APFSFileNode::TimeConvert(std::uint64_t nanoseconds) {
    return kUnixEpochAs1601 + static_cast<std::int64_t>(nanoseconds / 1000000000ull) * 10000000ll;
}

void APFSFileNode::SetParentNodeID(std::int64_t id) {
    if (m_flags & kFlagHandedOver) return;
    m_flags |= kFlagParentSet;
    if (id == 1) id = static_cast<std::int64_t>((static_cast<std::uint64_t>(GetBelongedPartition()) << 32) | 2);
    m_parentNodeId = id;
}

void APFSFileNode::SetFolder(bool folder) {
    if (m_flags & kFlagKindKnown) return;
    m_flags = static_cast<std::uint8_t>((m_flags & ~kFlagFolder) | (folder ? kFlagFolder : 0) | kFlagKindKnown);
}

void APFSFileNode::SetName(const char* bytes, std::size_t length) {
    if (!bytes) length = 0;
    if (length == 10 && strncasecmp(bytes, ".DS_Store", 9) == 0 && bytes[9] == 0) {
        m_name.clear();
        return;
    }
    // A leading dot stays: .ssh or .config are a user's own folders.
    m_name.assign(bytes ? bytes : "", length);
    const std::size_t dot = length >= 2 && bytes[0] == '.' ? 1 : 0;
    if (length - dot == 8 && strncasecmp(bytes + dot, "Trashes", 7) == 0 && bytes[7 + dot] == 0)
        m_flags |= kFlagFolder | kFlagDeleted | kFlagKindKnown;
    // The stored length may include the terminating zero; the shown name ends there.
    const std::size_t zero = m_name.find('\0');
    if (zero != std::string::npos) m_name.resize(zero);
}

void APFSFileNode::SetSize(std::uint64_t size) {
    if (m_size != 0 && !(m_flags & kFlagDeleted)) return;
    m_size = size;
    m_flags &= static_cast<std::uint8_t>(~kFlagCovered);
}

bool APFSFileNode::MeasureExtents(std::uint32_t sectorSize) {
    std::uint64_t total = 0;
    for (const auto& [offset, run] : m_extents) total += static_cast<std::uint64_t>(run.length) * sectorSize;
    const std::uint64_t rounded = (m_size + 4095) & ~4095ull;
    if (total > rounded) m_size = total;
    if (total >= m_size)
        m_flags |= kFlagCovered;
    else
        m_flags &= static_cast<std::uint8_t>(~kFlagCovered);
    return (m_flags & kFlagCovered) != 0;
}

bool APFSFileNode::AddExtent(std::uint64_t firstSector, std::uint64_t sectorCount, std::uint32_t sectorSize,
                             std::uint64_t logicalOffset) {
    if (m_size != 0 && MeasureExtents(sectorSize)) return false;
    if (logicalOffset == 0 && !m_extents.empty()) m_extents.clear();
    auto it = m_extents.find(logicalOffset);
    if (it != m_extents.end()) {
        if (static_cast<std::uint64_t>(it->second.start) != firstSector ||
            static_cast<std::uint64_t>(it->second.length) >= sectorCount)
            return m_size != 0 && MeasureExtents(sectorSize);
        it->second.length = static_cast<std::int64_t>(sectorCount);
    } else {
        m_extents[logicalOffset] =
            DataRun{static_cast<std::int64_t>(firstSector), static_cast<std::int64_t>(sectorCount)};
    }
    RebuildRuns();
    if (m_size == 0) return false;
    return MeasureExtents(sectorSize);
}

void APFSFileNode::RebuildRuns() {
    if (m_dataRunList) m_dataRunList->Release();
    m_dataRunList = CreateDataRunList();
    if (!m_dataRunList) return;
    for (const auto& [offset, run] : m_extents) m_dataRunList->AddDataRun(&run);
}

void APFSFileNode::LinkUnderFolder(APFSFileNode* folder, APFSFileNode* node) {
    if (!folder || !node || folder == node) return;
    if ((folder->m_flags & kFlagMerged) && folder->m_twin) folder = folder->m_twin;
    node->m_parentFolder = folder;
    node->m_parentNodeId = folder->GetCurrentNodeID();
    if (node->m_flags & kFlagFolder) {
        for (APFSFileNode* c = folder->m_childHead; c; c = c->m_siblingNext) {
            if (c != node && (c->m_flags & kFlagFolder) && c->m_name == node->m_name) {
                node->m_twin = c;
                node->m_flags |= kFlagMerged;
                return;
            }
        }
    }
    for (APFSFileNode* c = folder->m_childHead; c; c = c->m_siblingNext)
        if (c == node) return;  // already listed
    node->m_siblingNext = folder->m_childHead;
    folder->m_childHead = node;
}

bool APFSFileNode::ReadyToHandOver(bool final) {
    if (m_flags & kFlagHandedOver) return false;
    if ((m_flags & kFlagMerged) && m_twin) return false;
    if (m_name.empty()) return false;
    if (!(m_flags & kFlagFolder) && m_createTime == 0) return false;
    if (final) {
        if (static_cast<std::uint64_t>(m_parentNodeId) == kNoParentKey)
            m_parentNodeId = static_cast<std::int64_t>((static_cast<std::uint64_t>(GetBelongedPartition()) << 32) | 3);
        return true;
    }
    return m_parentNodeId == 1 || m_parentNodeId == 2 || m_parentFolder != nullptr;
}

IFileNode* APFSFileNode::Clone() {
    auto* copy = new (std::nothrow) APFSFileNode(*this);
    if (!copy) return nullptr;
    copy->m_flags &= static_cast<std::uint8_t>(~kFlagHandedOver);
    copy->m_parent = nullptr;
    copy->m_firstChild = nullptr;
    copy->m_nextSibling = nullptr;
    m_parentFolder = nullptr;
    m_childHead = nullptr;
    m_siblingNext = nullptr;
    m_twin = nullptr;
    return copy;
}

void APFSFileNode::CopyExtentsFrom(const APFSFileNode& other) {
    if (&other == this || !other.m_dataRunList) return;
    m_extents = other.m_extents;
    if (m_dataRunList) m_dataRunList->Release();
    m_dataRunList = other.m_dataRunList->Clone();
}
