#include "model/OpNodeData.h"

#include <mutex>
#include <unordered_set>

#include "model/QXPublic.h"

namespace {

std::mutex g_lookupsLock;
OpNodeData::Lookups& CurrentLookups() {
    static auto* lookups = new OpNodeData::Lookups;
    return *lookups;
}

OpNodeData::Lookups CopyLookups() {
    std::lock_guard hold(g_lookupsLock);
    return CurrentLookups();
}

// The icon kind of each category bit, in bit order (1, 2, 4 ... 64).
int CategoryIcon(unsigned bit) {
    switch (bit) {
    case 1: return 2;
    case 2: return 3;
    case 4: return 4;
    case 8: return 5;
    case 16: return 6;
    case 32: return 7;
    default: return 8;  // "other", and extension folders, which no title names
    }
}

std::string FormatTime(std::int64_t time) {
    auto format = CopyLookups().formatTime;
    return format ? format(time) : std::string();
}

}  // namespace

void OpNodeData::SetLookups(Lookups lookups) {
    std::lock_guard hold(g_lookupsLock);
    CurrentLookups() = std::move(lookups);
}

std::string OpNodeData::Text(const char* key) {
    auto text = CopyLookups().text;
    std::string answer = text ? text(key) : std::string();
    return answer.empty() ? std::string(key) : answer;
}

OpNodeData::OpNodeData(const __TreeNodeData__& data)
    : m_node(data.node), m_isFileSystem(data.volumeRoot) {
    m_createTime = m_modifyTime = std::time(nullptr);
}

OpNodeData::OpNodeData(IFileNode* node) : m_node(node) { m_createTime = m_modifyTime = std::time(nullptr); }

void OpNodeData::setSubNode(std::vector<OpChild> children) {
    m_children = std::move(children);
    for (OpChild& child : m_children)
        if (child.obj != nullptr) child.obj->setParent(this);
}

void OpNodeData::addChildObject(OpNodeData* child) {
    if (child == nullptr) return;
    m_children.push_back(OpChild{child, nullptr});
}

void OpNodeData::addChildFile(IFileNode* file) {
    if (file == nullptr) return;
    m_children.push_back(OpChild{nullptr, file});
}

void OpNodeData::insertChildObject(std::size_t index, OpNodeData* child) {
    if (child == nullptr) return;
    if (index > m_children.size()) index = m_children.size();
    m_children.insert(m_children.begin() + static_cast<std::ptrdiff_t>(index), OpChild{child, nullptr});
}

void OpNodeData::free() {
    // Iterative: a deep path tree must not exhaust the stack.
    std::vector<OpNodeData*> pending{this};
    while (!pending.empty()) {
        OpNodeData* row = pending.back();
        pending.pop_back();
        for (OpChild& child : row->m_children)
            if (child.obj != nullptr && child.obj != row) pending.push_back(child.obj);
        std::vector<OpChild>().swap(row->m_children);
    }
}

bool OpNodeData::isDirect() const {
    if (isFadeNode()) return true;
    return m_node != nullptr && m_node->IsDirectory() != 0;
}

std::int64_t OpNodeData::size() const {
    if (isDirect() || m_node == nullptr) return 0;
    return m_node->GetFileSize();
}

std::string OpNodeData::name() const {
    if (m_node != nullptr) return fileNodeName(m_node);
    if (!isFadeNode()) return std::string();
    if (!m_hasFadeName) return "Unknown";
    return m_fadeName;
}

std::string OpNodeData::path() const {
    if (isFadeNode() || m_node == nullptr) return std::string();
    return QXUIPublic::GetPathByFileNode(m_node);
}

std::string OpNodeData::createTime() const {
    if (isFadeNode() || m_node == nullptr) return std::string();
    const std::int64_t time = m_node->GetCreationTime();
    return time == 0 ? std::string() : FormatTime(time);
}

std::string OpNodeData::modifyTime() const {
    if (isFadeNode() || m_node == nullptr) return std::string();
    return FormatTime(m_node->GetModificationTime());
}

std::string OpNodeData::lastAccessTime() const {
    if (isFadeNode() || m_node == nullptr) return std::string();
    return FormatTime(m_node->GetLastAccessTime());
}

std::int64_t OpNodeData::createTimeValue() const {
    return isFadeNode() || m_node == nullptr ? 0 : m_node->GetCreationTime();
}

std::int64_t OpNodeData::modifyTimeValue() const {
    return isFadeNode() || m_node == nullptr ? 0 : m_node->GetModificationTime();
}

bool OpNodeData::isDeleted() const { return !isFadeNode() && m_node != nullptr && m_node->IsDeleted() != 0; }

bool OpNodeData::IsShow() const {
    if (isFadeNode()) return true;
    return m_node != nullptr && m_node->IsNodeShow() != 0;
}

void OpNodeData::SetShow(int flag) {
    if (isFadeNode() || m_node == nullptr) return;
    m_node->ShowNode(flag);
}

bool OpNodeData::isHasFolderChildren() const {
    if (m_node == nullptr) return isFadeNode() && m_isExpandAble != 0;
    // A damaged sibling chain may loop: each child is looked at once.
    std::unordered_set<IFileNode*> seen;
    for (IFileNode* child = m_node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
        if (!seen.insert(child).second) break;
        if (child->IsDirectory() != 0) return true;
    }
    return false;
}

int OpNodeData::nodeType() const {
    if (m_node != nullptr) return m_isFileSystem != 0 ? 0 : 1;
    if (!isFadeNode()) return 11;
    if (m_type == kOpTreeType) {
        auto toBit = CopyLookups().filterTypeOfTitle;
        return CategoryIcon(toBit ? toBit(name().c_str()) : 64u);
    }
    if (m_type == kOpTreeCreate || m_type == kOpTreeModify) {
        // By depth: the root and its years share the year icon, months
        // below them get the month icon.
        const bool month = m_parent != nullptr && m_parent->m_parent != nullptr;
        return month ? 10 : 9;
    }
    return 11;
}

int OpNodeData::state() const {
    if (m_node != nullptr) return static_cast<int>(m_node->GetCheckedStatus());
    return static_cast<int>(m_state);
}

void OpNodeData::setNodeState(int state) {
    if (m_node != nullptr)
        setFileNode(m_node, state);
    else
        m_state = static_cast<std::uint32_t>(state);
    if (m_parent != nullptr && m_parent->isFadeNode()) setParentNodeState(state);
    SetChildrenNodeState(state);
}

void OpNodeData::setParentNodeState(int state) {
    // Climbs while the parents are virtual folders.
    OpNodeData* node = this;
    int s = state;
    while (node != nullptr) {
        node->m_state = static_cast<std::uint32_t>(s);
        OpNodeData* up = node->m_parent;
        if (up == nullptr || !up->isFadeNode()) return;
        if (s != 1) {
            std::int64_t sum = 0;
            for (const OpChild& child : up->m_children)
                sum += child.obj != nullptr ? child.obj->state() : fileNodeState(child.file);
            const auto count = static_cast<std::int64_t>(up->m_children.size());
            s = sum == 0 ? 0 : (sum == 2 * count ? 2 : 1);
        }
        node = up;
    }
}

void OpNodeData::SetChildrenNodeState(int state) {
    if (state < 0 || state > 2) return;
    if (m_node != nullptr) {
        // Below a virtual folder the engine does not know this row's place;
        // elsewhere the engine spreads its own marks.
        if (m_parent != nullptr && m_parent->isFadeNode()) setFileNode(m_node, state);
        return;
    }
    std::vector<OpNodeData*> pending{this};
    while (!pending.empty()) {
        OpNodeData* row = pending.back();
        pending.pop_back();
        if (row->m_node != nullptr) {
            setFileNode(row->m_node, state);
            continue;
        }
        row->m_state = static_cast<std::uint32_t>(state);
        if (state == 1) continue;  // a partial mark says nothing about the children
        for (const OpChild& child : row->m_children) {
            if (child.obj != nullptr && child.obj != row)
                pending.push_back(child.obj);
            else if (child.file != nullptr)
                setFileNode(child.file, state);
        }
    }
}

bool OpNodeData::isFileNodeDirect(IFileNode* node) { return node != nullptr && node->IsDirectory() != 0; }

bool OpNodeData::isFileNodeDeleted(IFileNode* node) { return node != nullptr && node->IsDeleted() != 0; }

int OpNodeData::fileNodeState(IFileNode* node) {
    return node == nullptr ? 0 : static_cast<int>(node->GetCheckedStatus());
}

void OpNodeData::setFileNode(IFileNode* node, int state) {
    if (node == nullptr) return;
    if (state == CHECKED_NONE || state == CHECKED_ALL) node->SetCheck(static_cast<_tagCheckedStatus>(state));
}

std::string OpNodeData::fileNodeName(IFileNode* node) {
    if (node == nullptr) return std::string();
    const char* name = node->GetFileName();
    if (name == nullptr) return std::string();
    if (!isValidString(name)) return "Unknown";
    return name;
}
