#include "model/TreeStore.h"

#include <chrono>
#include <optional>
#include <thread>

TreeStore::TreeStore(TreeLockRef lock) : m_lock(lock), m_generation(std::make_unique<Arena>()) {
    m_generation->number = 1;
}

TreeStore::~TreeStore() = default;

namespace {
std::mutex g_sharedLockGuard;
std::optional<TreeLockRef> g_sharedLock;
}  // namespace

void TreeStore::SetSharedLock(TreeLockRef lock) {
    std::lock_guard hold(g_sharedLockGuard);
    g_sharedLock = lock;
}

TreeStore& TreeStore::shared() {
    static TreeStore* store = [] {
        std::lock_guard hold(g_sharedLockGuard);
        if (g_sharedLock) return new TreeStore(*g_sharedLock);
        static std::mutex own;
        return new TreeStore(TreeLockRef(own));
    }();
    return *store;
}

OpNodeData* TreeStore::Create(const __TreeNodeData__& data) { return &m_generation->rows.emplace_back(data); }

OpNodeData* TreeStore::CreateFolder(const std::string& name, std::uint32_t type, std::uint32_t expandable) {
    OpNodeData* row = Create(__TreeNodeData__{1, 0, 0, nullptr});
    row->setType(type);
    row->setFadeName(name);
    row->setExpandAble(expandable);
    return row;
}

std::vector<OpNodeData*>& TreeStore::Roots(int list) {
    if (list < 0 || list >= kRootListCount) list = kRootsPath;
    return m_generation->roots[static_cast<std::size_t>(list)];
}

OpNodeData* TreeStore::ViewOf(IFileNode* node) const {
    auto it = m_generation->views.find(node);
    return it == m_generation->views.end() ? nullptr : it->second;
}

void TreeStore::SetView(IFileNode* node, OpNodeData* row) {
    if (node == nullptr) return;
    if (row == nullptr)
        m_generation->views.erase(node);
    else
        m_generation->views[node] = row;
}

std::size_t TreeStore::ViewCount() const { return m_generation->views.size(); }

std::size_t TreeStore::RowsInGeneration() const { return m_generation->rows.size(); }

std::uint64_t TreeStore::Retire() {
    auto next = std::make_unique<Arena>();
    next->number = m_generation->number + 1;
    // Readers of the old number stop at once: they look at this before the lock.
    m_current.store(next->number, std::memory_order_release);
    {
        std::lock_guard hold(m_retiredLock);
        m_retired.push_back(std::move(m_generation));
    }
    m_generation = std::move(next);
    return m_generation->number;
}

void TreeStore::BeginLongHold() { m_longHolds.fetch_add(1, std::memory_order_acq_rel); }

void TreeStore::EndLongHold() { m_longHolds.fetch_sub(1, std::memory_order_acq_rel); }

void TreeStore::FreeRetired(std::uint64_t before) {
    std::vector<std::unique_ptr<Arena>> doomed;
    {
        std::lock_guard hold(m_retiredLock);
        for (auto it = m_retired.begin(); it != m_retired.end();) {
            if (before == 0 || (*it)->number < before) {
                doomed.push_back(std::move(*it));
                it = m_retired.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Freed outside the list's lock: a million rows take a while.
    doomed.clear();
}

std::size_t TreeStore::RetiredCount() const {
    std::lock_guard hold(m_retiredLock);
    return m_retired.size();
}

bool TreeStore::Enter(std::uint64_t generation) const {
    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::microseconds(2);
    bool waiting = false;
    bool entered = false;
    for (;;) {
        if (generation != Generation() || m_longHolds.load(std::memory_order_acquire) != 0) break;
        if (m_lock.try_lock()) {
            // Retired or announced while we were getting the lock.
            if (generation != Generation() || m_longHolds.load(std::memory_order_acquire) != 0)
                m_lock.unlock();
            else
                entered = true;
            break;
        }
        if (!waiting) {
            waiting = true;
            m_readersWaiting.fetch_add(1, std::memory_order_acq_rel);
        }
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::microseconds(50)) pause *= 2;
    }
    if (waiting) m_readersWaiting.fetch_sub(1, std::memory_order_acq_rel);
    if (!entered) return false;
    const std::int64_t waited =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    std::int64_t longest = m_longestWait.load(std::memory_order_relaxed);
    while (waited > longest && !m_longestWait.compare_exchange_weak(longest, waited)) {
    }
    return true;
}

void TreeStore::YieldToReaders() {
    if (m_readersWaiting.load(std::memory_order_acquire) == 0) return;
    m_lock.unlock();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
    while (m_readersWaiting.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    m_lock.lock();
}

void TreeStore::LetGo() {
    m_lock.unlock();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
    while (m_readersWaiting.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    m_lock.lock();
}

std::int64_t TreeStore::TakeLongestReaderWait() { return m_longestWait.exchange(0); }

const std::vector<OpChild>* TreeStore::ChildrenOf(const OpNodeData* parent) const {
    return parent == nullptr ? nullptr : &parent->children();
}

int TreeStore::RowCount(std::uint64_t generation, int list, const OpNodeData* parent) const {
    if (list < 0 || list >= kRootListCount) return 0;
    int count = 0;
    Read(generation, [&] {
        if (parent == nullptr)
            count = static_cast<int>(m_generation->roots[static_cast<std::size_t>(list)].size());
        else
            count = static_cast<int>(parent->children().size());
    });
    return count;
}

OpChild TreeStore::ChildAt(std::uint64_t generation, int list, const OpNodeData* parent, int row) const {
    OpChild child;
    if (list < 0 || list >= kRootListCount || row < 0) return child;
    Read(generation, [&] {
        const auto index = static_cast<std::size_t>(row);
        if (parent == nullptr) {
            const auto& roots = m_generation->roots[static_cast<std::size_t>(list)];
            if (index < roots.size()) child.obj = roots[index];
        } else if (index < parent->children().size()) {
            child = parent->children()[index];
        }
    });
    return child;
}

bool TreeStore::ParentOf(std::uint64_t generation, int list, const OpNodeData* row, OpNodeData** parent,
                         int* index) const {
    if (row == nullptr || list < 0 || list >= kRootListCount) return false;
    bool found = false;
    Read(generation, [&] {
        OpNodeData* up = row->parent();
        const auto* siblings = ChildrenOf(up);
        int at = -1;
        if (siblings != nullptr) {
            for (std::size_t i = 0; i < siblings->size(); ++i)
                if ((*siblings)[i].obj == row) {
                    at = static_cast<int>(i);
                    break;
                }
        } else {
            const auto& roots = m_generation->roots[static_cast<std::size_t>(list)];
            for (std::size_t i = 0; i < roots.size(); ++i)
                if (roots[i] == row) {
                    at = static_cast<int>(i);
                    break;
                }
        }
        if (at < 0) return;
        if (parent != nullptr) *parent = up;
        if (index != nullptr) *index = at;
        found = true;
    });
    return found;
}

bool TreeStore::Fields(std::uint64_t generation, const OpChild& entry, OpRowFields& out) const {
    if (entry.obj == nullptr && entry.file == nullptr) return false;
    return Read(generation, [&] {
        out = OpRowFields{};
        if (entry.obj != nullptr) {
            const OpNodeData& row = *entry.obj;
            out.row = entry.obj;
            out.node = row.fileNode();
            out.name = row.name();
            out.nodeType = row.nodeType();
            out.state = row.state();
            out.isDirect = row.isDirect();
            out.isFade = row.isFadeNode();
            out.isDeleted = row.isDeleted();
            out.isShow = row.IsShow();
            out.isExpandAble = row.isExpandAble();
            out.size = row.size();
            out.childCount = static_cast<int>(row.children().size());
        } else {
            IFileNode* node = entry.file;
            out.node = node;
            out.name = OpNodeData::fileNodeName(node);
            out.nodeType = 1;
            out.state = OpNodeData::fileNodeState(node);
            out.isDirect = node->IsDirectory() != 0;
            out.isDeleted = node->IsDeleted() != 0;
            out.isShow = node->IsNodeShow() != 0;
            out.size = out.isDirect ? 0 : node->GetFileSize();
        }
    });
}
