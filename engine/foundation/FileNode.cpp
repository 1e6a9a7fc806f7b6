#include "foundation/FileNode.h"

#include <cassert>
#include <cstring>
#include <vector>

#include "foundation/DataRun.h"

namespace {

// Status word: bits 0-3 check state, 4-7 shown flag (both signed 4-bit),
// 8-23 partition index, 24-63 metadata sector (signed 40-bit).
constexpr std::uint64_t kCheckMask = 0xFull;
constexpr std::uint64_t kShownMask = 0xF0ull;
constexpr int kPartitionShift = 8;
constexpr std::uint64_t kPartitionMask = 0xFFFFull << kPartitionShift;
constexpr int kMetadataShift = 24;
constexpr std::uint64_t kLow24Mask = 0xFFFFFFull;

int SignExtend4(std::uint64_t v) {
    int x = static_cast<int>(v & 0xF);
    return x >= 8 ? x - 16 : x;
}

bool NamesEqual(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

}  // namespace

CFileNode::CFileNode(const CFileNode& other) : IFilesystemNode(other) { *this = other; }

CFileNode& CFileNode::operator=(const CFileNode& other) {
    if (this == &other) return *this;
    m_firstChild = other.m_firstChild;
    m_nextSibling = other.m_nextSibling;
    m_shownChildren = other.m_shownChildren;
    // The list is owned: take a copy rather than share it.
    IDataRunList* otherRuns = other.GetDataRunList();
    IDataRunList* runs = otherRuns ? otherRuns->Clone() : nullptr;
    if (m_dataRunList) m_dataRunList->Release();
    m_dataRunList = runs;
    m_nodeId = other.m_nodeId;
    m_parentNodeId = other.m_parentNodeId;
    m_status = other.m_status;
    m_parent = other.m_parent;
    m_checkedSum = other.m_checkedSum;
    m_compressed = other.m_compressed;
    return *this;
}

CFileNode::~CFileNode() {
    if (m_dataRunList) m_dataRunList->Release();
    m_dataRunList = nullptr;
    m_firstChild = nullptr;
    m_nextSibling = nullptr;
    m_parent = nullptr;
}

int CFileNode::CheckBits() const { return SignExtend4(m_status); }

void CFileNode::SetCheckBits(int state) {
    m_status = (m_status & ~kCheckMask) | (static_cast<std::uint64_t>(state) & kCheckMask);
}

void CFileNode::SetShownBits(int show) {
    m_status = (m_status & ~kShownMask) | ((static_cast<std::uint64_t>(show) & 0xF) << 4);
}

int CFileNode::IsNodeShow() const { return SignExtend4(m_status >> 4); }

_tagCheckedStatus CFileNode::GetCheckedStatus() { return static_cast<_tagCheckedStatus>(CheckBits()); }

std::uint16_t CFileNode::GetBelongedPartition() const {
    return static_cast<std::uint16_t>((m_status & kPartitionMask) >> kPartitionShift);
}

void CFileNode::SetBelongedPartition(std::uint16_t index) {
    m_status = (m_status & ~kPartitionMask) | (static_cast<std::uint64_t>(index) << kPartitionShift);
}

std::int64_t CFileNode::GetMetadataStartPosition() const {
    // Arithmetic shift of the top 40 bits keeps the sign.
    return static_cast<std::int64_t>(m_status) >> kMetadataShift;
}

void CFileNode::SetMetaDataSector(std::int64_t sector) {
    m_status = (m_status & kLow24Mask) | (static_cast<std::uint64_t>(sector) << kMetadataShift);
}

void CFileNode::ShowNode(int show) {
    const bool wasShown = IsNodeShow() != 0;
    const bool nowShown = SignExtend4(static_cast<std::uint64_t>(show)) != 0;
    if (m_parent && wasShown != nowShown) ShowParent(m_parent, nowShown ? 1 : -1);
    SetShownBits(show);
}

void CFileNode::ShowParent(CFileNode* node, int delta) {
    // A folder is shown exactly while one of its children is. Walked as a
    // loop: damaged file systems give very deep chains.
    while (node && delta != 0) {
        if (delta < 0 && node->m_shownChildren == 0) {
            delta = 0;  // nothing counted here to take away
        } else {
            node->m_shownChildren =
                static_cast<std::uint32_t>(static_cast<std::int64_t>(node->m_shownChildren) + delta);
        }
        const bool wasShown = node->IsNodeShow() != 0;
        const bool nowShown = node->m_shownChildren != 0;
        node->SetShownBits(nowShown ? 1 : 0);
        if (wasShown == nowShown) break;
        delta = nowShown ? 1 : -1;
        node = node->m_parent;
    }
}

void CFileNode::SetCheck(_tagCheckedStatus state) {
    assert(state != CHECKED_PART && "partly checked is derived, never set");
    if (!IsNodeShow() || static_cast<int>(state) >= 3 || static_cast<int>(state) < 0) return;
    const int old = CheckBits();
    if (m_parent && static_cast<int>(state) != old) SetParentStatus(m_parent, state - old);
    if (m_firstChild) SetChildStatus(this, state);
    SetCheckBits(state);
    m_checkedSum = m_shownChildren * static_cast<std::uint32_t>(state);
}

void CFileNode::SetParentStatus(CFileNode* node, int delta) {
    while (node && delta != 0) {
        std::int64_t sum = static_cast<std::int64_t>(node->m_checkedSum) + delta;
        const std::int64_t full = 2 * static_cast<std::int64_t>(node->m_shownChildren);
        if (sum < 0) sum = 0;
        if (sum > full) sum = full;
        node->m_checkedSum = static_cast<std::uint32_t>(sum);
        const int state = sum == 0 ? CHECKED_NONE : (sum == full ? CHECKED_ALL : CHECKED_PART);
        delta = state - node->CheckBits();
        node->SetCheckBits(state);
        node = node->m_parent;
    }
}

void CFileNode::SetChildStatus(CFileNode* top, int state) {
    // Pushes the state down to every shown descendant of `top`; hidden nodes
    // keep their marks and their subtrees are left alone. A loop with a
    // stack of sibling lists still to visit: trees can be very deep.
    std::vector<CFileNode*> pending;
    CFileNode* node = top->m_firstChild;
    for (;;) {
        if (!node) {
            if (pending.empty()) break;
            node = pending.back();
            pending.pop_back();
            continue;
        }
        if (node->IsNodeShow()) {
            node->SetCheckBits(state);
            node->m_checkedSum = node->m_shownChildren * static_cast<std::uint32_t>(state);
            if (node->m_firstChild) {
                if (node->m_nextSibling) pending.push_back(node->m_nextSibling);
                node = node->m_firstChild;
                continue;
            }
        }
        node = node->m_nextSibling;
    }
}

int CFileNode::IsLoopedToSelf(IFileNode* node, IFileNode* candidate) {
    if (!node || !candidate) return 0;
    // Walks up from `node`; a parent chain that loops (only a damaged tree
    // has one) counts as a loop too.
    IFileNode* slow = node;
    IFileNode* fast = node;
    while (slow) {
        if (slow == candidate) return 1;
        slow = slow->GetParent();
        for (int i = 0; i < 2 && fast; ++i) fast = fast->GetParent();
        if (fast && fast == slow) return 1;
    }
    return 0;
}

int CFileNode::AddChild(IFileNode* child) {
    CFileNode* node = dynamic_cast<CFileNode*>(child);
    if (!node || IsLoopedToSelf(this, node)) return 0;
    // Only shown children count, so the count stays true to its name.
    if (node->IsNodeShow()) ++m_shownChildren;
    node->m_parent = this;
    node->m_nextSibling = m_firstChild;
    m_firstChild = node;
    return 1;
}

int CFileNode::AddNext(IFileNode* next) {
    CFileNode* node = dynamic_cast<CFileNode*>(next);
    if (!node || node == this) return 0;
    // The new node goes directly behind this one; the former followers go
    // behind it (threaded through the new node's own list).
    CFileNode* at = this;
    CFileNode* insert = node;
    while (insert) {
        CFileNode* former = at->m_nextSibling;
        at->m_nextSibling = insert;
        if (!former || former == insert) break;
        at = insert;
        insert = former;
    }
    return 1;
}

int CFileNode::RemoveChild(CFileNode* child) {
    if (!child) return 0;
    CFileNode* prev = nullptr;
    CFileNode* cur = m_firstChild;
    while (cur && cur != child) {
        prev = cur;
        cur = cur->m_nextSibling;
    }
    if (!cur) return 0;
    if (prev)
        prev->m_nextSibling = cur->m_nextSibling;
    else
        m_firstChild = cur->m_nextSibling;
    if (child->IsNodeShow() && m_shownChildren > 0) --m_shownChildren;
    child->m_parent = nullptr;
    child->m_nextSibling = nullptr;
    child->m_firstChild = nullptr;
    return 1;
}

void CFileNode::MergeNode(CFileNode* other) {
    if (!other) return;
    // Lists kept compact are decoded first: this node's, so that it never
    // decodes its own later, and the other's, which this node takes.
    GetDataRunList();
    other->GetDataRunList();
    if (m_dataRunList) m_dataRunList->Release();
    m_dataRunList = other->m_dataRunList;
    other->m_dataRunList = nullptr;
    UpdateFileSize(other->GetFileSize());
}

bool CFileNode::operator==(CFileNode& other) {
    if (GetCurrentNodeID() != other.GetCurrentNodeID()) return false;
    const int dir = IsDirectory() ? 1 : 0;
    if (dir != (other.IsDirectory() ? 1 : 0)) return false;
    if (GetParentNodeID() != other.GetParentNodeID()) return false;
    if (!NamesEqual(GetFileName(), other.GetFileName())) return false;
    if (dir) return true;
    if (GetSearcheType() == SEARCHER_HFSPLUS && GetCreationTime() == other.GetCreationTime() &&
        GetFileSize() == other.GetFileSize())
        return true;
    return GetBelongedPartition() == other.GetBelongedPartition();
}

bool CFileNode::IsDuplicateOf(CFileNode& other) {
    if (GetCurrentNodeID() != other.GetCurrentNodeID()) return false;
    const int dir = IsDirectory() ? 1 : 0;
    if (dir != (other.IsDirectory() ? 1 : 0)) return false;
    if (GetParentNodeID() != other.GetParentNodeID()) return false;
    if (!NamesEqual(GetFileName(), other.GetFileName())) {
        if (GetSearcheType() == SEARCHER_FAT && other.IsDirectory() && other.GetCreationTime() >= GetCreationTime())
            AdoptPropertiesFrom(other);
        return false;
    }
    return *this == other;
}

void CFileNode::AdoptPropertiesFrom(const CFileNode&) {}

std::string CFileNode::FilterFileNameByDot(const std::string& name) {
    // A leading dot is part of the name on Linux (.ssh, .config): dropping it
    // would recover a hidden folder under a name it never had.
    return name;
}
