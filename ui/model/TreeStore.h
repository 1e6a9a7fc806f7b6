#pragma once
// The result outlines shared between the threads that grow them (the scan
// worker, the search thread, main-thread builders) and the item models that
// paint them.
//
// The store owns the four root lists (path, type, creation date,
// modification date), the map from engine node to its path row, and every
// row, in a *generation*: an arena of rows with a number. Rules:
//   - every change is made under the tree lock, through the writer calls;
//   - views read only through the short locked reader calls, which copy what
//     they answer: no reference into a vector leaves the lock;
//   - resetting the outlines retires the current generation and starts a new
//     one. Readers asking about a retired generation answer "no rows" at
//     once, without waiting for the lock; so do all readers while a writer
//     announced a long hold (a search). A retired generation is freed later
//     on the main thread, after the models were told of the new content, so
//     no index they hold points into freed memory.
// The seven type roots belong to the type manager and outlive generations;
// only their entries in the type root list are the store's.

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "model/OpNodeData.h"

// The tree lock, whatever its mutex type (the debug build checks lock order
// with a wrapper of its own).
class TreeLockRef {
public:
    template <class Mutex>
        requires(!std::is_same_v<std::remove_cv_t<Mutex>, TreeLockRef>)
    explicit TreeLockRef(Mutex& mutex)
        : m_mutex(&mutex),
          m_lock([](void* m) { static_cast<Mutex*>(m)->lock(); }),
          m_unlock([](void* m) { static_cast<Mutex*>(m)->unlock(); }),
          m_tryLock([](void* m) {
              // A lock without try_lock makes readers wait like writers.
              if constexpr (requires(Mutex& x) { x.try_lock(); }) {
                  return static_cast<bool>(static_cast<Mutex*>(m)->try_lock());
              } else {
                  static_cast<Mutex*>(m)->lock();
                  return true;
              }
          }) {}
    void lock() const { m_lock(m_mutex); }
    void unlock() const { m_unlock(m_mutex); }
    bool try_lock() const { return m_tryLock(m_mutex); }

private:
    void* m_mutex;
    void (*m_lock)(void*);
    void (*m_unlock)(void*);
    bool (*m_tryLock)(void*);
};

// The four root lists.
enum TreeRootList : int {
    kRootsPath = 0,
    kRootsType = 1,
    kRootsCreate = 2,
    kRootsModify = 3,
    kRootListCount = 4,
};

// What a view shows of one row or file entry, copied under the lock.
struct OpRowFields {
    OpNodeData* row = nullptr;  // null for a file entry
    IFileNode* node = nullptr;
    std::string name;
    int nodeType = 11;
    int state = 0;
    bool isDirect = false;
    bool isFade = false;
    bool isDeleted = false;
    bool isShow = true;
    std::uint32_t isExpandAble = 0;
    std::int64_t size = 0;
    int childCount = 0;
};

class TreeStore {
public:
    explicit TreeStore(TreeLockRef lock);
    ~TreeStore();

    // The process-wide store, made on first use over the lock set before
    // (the controller sets the tree lock when the program starts); without
    // one, over a lock of its own (plain C++ tests). Never destroyed.
    static TreeStore& shared();
    static void SetSharedLock(TreeLockRef lock);
    // The lock this store was made over, for writers that take it here.
    TreeLockRef& Lock() const { return m_lock; }
    TreeStore(const TreeStore&) = delete;
    TreeStore& operator=(const TreeStore&) = delete;

    // ---- Writers: the caller holds the tree lock.

    // A new row in the current generation.
    OpNodeData* Create(const __TreeNodeData__& data);
    // A virtual folder: named, of the given outline, expandable or not.
    OpNodeData* CreateFolder(const std::string& name, std::uint32_t type, std::uint32_t expandable);
    std::vector<OpNodeData*>& Roots(int list);
    // The path row of an engine node in the current generation, or null.
    OpNodeData* ViewOf(IFileNode* node) const;
    void SetView(IFileNode* node, OpNodeData* row);
    std::size_t ViewCount() const;
    // Retires the current generation (rows, root lists and map) and starts
    // an empty one; the new generation's number.
    std::uint64_t Retire();
    // Between these, readers answer "no rows" without waiting. Call Begin
    // before taking the lock for a long hold and End after releasing it.
    void BeginLongHold();
    void EndLongHold();
    // Rows made in the current generation.
    std::size_t RowsInGeneration() const;
    // Between two steps of a long extension: when readers wait for the
    // lock, lets them in (for at most 10 ms) before going on.
    void YieldToReaders();
    // Between two slices of a long extension: lets the lock go whether or
    // not a reader waits (a hold ends there), lets waiting readers in (for at
    // most 10 ms), and takes it again.
    void LetGo();

    // ---- Main thread.

    // Frees the retired generations numbered below `before` (all when 0).
    void FreeRetired(std::uint64_t before = 0);
    std::size_t RetiredCount() const;

    // ---- Readers: any thread; each takes the lock briefly.
    //
    // `generation` is the number the reader read from Generation() when it
    // last reset; a parent of null means the root list. Answers are empty
    // (0, null, false) for a retired generation, during a long hold, for a
    // row index out of range, and for a row that is no folder.

    std::uint64_t Generation() const { return m_current.load(std::memory_order_acquire); }
    int RowCount(std::uint64_t generation, int list, const OpNodeData* parent) const;
    OpChild ChildAt(std::uint64_t generation, int list, const OpNodeData* parent, int row) const;
    // The row's parent (null at a root) and the row's index under it; false
    // when it cannot be answered.
    bool ParentOf(std::uint64_t generation, int list, const OpNodeData* row, OpNodeData** parent, int* index) const;
    bool Fields(std::uint64_t generation, const OpChild& entry, OpRowFields& out) const;

    // Runs `fn` under the lock when `generation` is current and no long hold
    // is announced; false when it did not run.
    template <class Fn>
    bool Read(std::uint64_t generation, Fn&& fn) const {
        if (!Enter(generation)) return false;
        fn();
        m_lock.unlock();
        return true;
    }

    // Longest wait of a reader for the lock, in nanoseconds, since the last
    // call (for the benchmark's probe).
    std::int64_t TakeLongestReaderWait();

private:
    struct Arena {
        std::uint64_t number = 0;
        std::deque<OpNodeData> rows;
        std::array<std::vector<OpNodeData*>, kRootListCount> roots;
        std::unordered_map<IFileNode*, OpNodeData*> views;
    };

    // Takes the lock for a reader, or gives up (false) as soon as the
    // generation is retired or a long hold is announced.
    bool Enter(std::uint64_t generation) const;
    const std::vector<OpChild>* ChildrenOf(const OpNodeData* parent) const;

    mutable TreeLockRef m_lock;
    std::unique_ptr<Arena> m_generation;
    std::atomic<std::uint64_t> m_current{1};
    std::atomic<int> m_longHolds{0};
    mutable std::atomic<int> m_readersWaiting{0};
    mutable std::atomic<std::int64_t> m_longestWait{0};
    mutable std::mutex m_retiredLock;
    std::vector<std::unique_ptr<Arena>> m_retired;
};
