#pragma once
// The order of the front end's locks: the tree lock (`g_lockerAddData`)
// before an operation's mutex, never the reverse. A thread that takes them
// the other way round deadlocks against one that keeps the order, but only
// when both meet at the wrong instant, so tests rarely see it. Debug builds
// therefore check every blocking acquisition against the locks the calling
// thread already holds (a per-thread list) and report an inversion before
// waiting, where the deadlock would begin. Release builds keep no list: both
// lock types then only forward to their mutex.
//
// Take both locks with deduced guards (`std::lock_guard lock(g_lockerAddData);`,
// `std::lock_guard hold(m_lock);`) so that the list sees them. An operation
// mutex taken through a guard typed on `std::recursive_mutex` bypasses the
// list; a tree-lock acquisition still finds such a holder by asking every
// operation mutex whether the calling thread owns it.

#include <mutex>
#include <string>

#if !defined(NDEBUG)
#define QUILLORY_LOCK_ORDER_CHECKS 1
#else
#define QUILLORY_LOCK_ORDER_CHECKS 0
#endif

namespace lock_order {

// Locks of a lower rank are taken first.
enum class Rank { Tree = 1, Operation = 2 };

// Called with a description of an inversion. The default writes it to
// standard error and aborts, as a failed assertion does; a test installs its
// own to observe inversions. Returns the previous handler; null restores the
// default.
using ViolationHandler = void (*)(const std::string& message);
ViolationHandler SetViolationHandler(ViolationHandler handler);

// The bookkeeping behind the lock types (debug builds only). WillAcquire
// checks a blocking acquisition before it waits; Acquired and Released keep
// the calling thread's list.
void WillAcquire(const void* lock, Rank rank, const char* name);
void Acquired(const void* lock, Rank rank, const char* name);
void Released(const void* lock);
// How many acquisitions the calling thread holds on its list.
int HeldCount();

}  // namespace lock_order

// The tree lock's type: a plain mutex whose acquisitions are checked.
class TreeLock {
public:
    TreeLock() = default;
    TreeLock(const TreeLock&) = delete;
    TreeLock& operator=(const TreeLock&) = delete;

    void lock() {
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::WillAcquire(this, lock_order::Rank::Tree, "the tree lock");
#endif
        m_mutex.lock();
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::Acquired(this, lock_order::Rank::Tree, "the tree lock");
#endif
    }
    // Never waits, so it cannot close a deadlock: recorded, not checked.
    bool try_lock() {
        if (!m_mutex.try_lock()) return false;
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::Acquired(this, lock_order::Rank::Tree, "the tree lock");
#endif
        return true;
    }
    void unlock() {
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::Released(this);
#endif
        m_mutex.unlock();
    }

private:
    std::mutex m_mutex;
};

// An operation's recursive mutex. It stays a `std::recursive_mutex`, so
// guards typed on that keep compiling; deduced guards call the checked
// members below.
class OperationMutex : public std::recursive_mutex {
public:
#if QUILLORY_LOCK_ORDER_CHECKS
    OperationMutex();
    ~OperationMutex();
#else
    OperationMutex() = default;
#endif
    OperationMutex(const OperationMutex&) = delete;
    OperationMutex& operator=(const OperationMutex&) = delete;

    void lock() {
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::WillAcquire(this, lock_order::Rank::Operation, "an operation's mutex");
#endif
        std::recursive_mutex::lock();
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::Acquired(this, lock_order::Rank::Operation, "an operation's mutex");
#endif
    }
    bool try_lock() {
        if (!std::recursive_mutex::try_lock()) return false;
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::Acquired(this, lock_order::Rank::Operation, "an operation's mutex");
#endif
        return true;
    }
    void unlock() {
#if QUILLORY_LOCK_ORDER_CHECKS
        lock_order::Released(this);
#endif
        std::recursive_mutex::unlock();
    }

    // Whether the calling thread holds this mutex, however it was taken
    // (debug builds; false where the C library does not say).
    bool HeldByThisThread();
};
