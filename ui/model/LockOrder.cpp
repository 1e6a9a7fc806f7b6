#include "model/LockOrder.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace lock_order {
namespace {

struct Held {
    const void* lock;
    Rank rank;
    const char* name;
};

// The calling thread's acquisitions, oldest first; a recursive mutex taken
// twice stands twice.
thread_local std::vector<Held> t_held;

void DefaultHandler(const std::string& message) {
    // Straight to standard error, as a failed assertion writes: the process
    // ends next, and the log's sink may be set to discard.
    std::fprintf(stderr, "lock order violated: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::atomic<ViolationHandler> g_handler{&DefaultHandler};

// Every live operation mutex, for the ownership probe. Leaked so that it
// outlives the never-destroyed singletons that hold such mutexes.
struct Registry {
    std::mutex lock;
    std::vector<OperationMutex*> mutexes;
};
Registry& Operations() {
    static Registry* registry = new Registry;
    return *registry;
}

std::string Describe(const void* lock, const char* name) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", lock);
    return std::string(name) + " (" + address + ")";
}

void Report(const std::string& message) { g_handler.load()(message); }

}  // namespace

ViolationHandler SetViolationHandler(ViolationHandler handler) {
    return g_handler.exchange(handler != nullptr ? handler : &DefaultHandler);
}

void WillAcquire(const void* lock, Rank rank, const char* name) {
    for (const Held& h : t_held) {
        if (h.lock == lock) {
            if (rank == Rank::Tree)
                Report("taking " + Describe(lock, name) + " again on the thread that holds it: it would wait for ever");
            continue;  // an operation's mutex is recursive
        }
        if (h.rank > rank) {
            Report("taking " + Describe(lock, name) + " while holding " + Describe(h.lock, h.name) +
                   ": the tree lock comes before an operation's mutex");
            return;
        }
    }
    if (rank != Rank::Tree) return;
    // Operation mutexes taken through guards typed on std::recursive_mutex
    // never reached the list: ask each whether this thread owns it.
    std::vector<OperationMutex*> owned;
    {
        Registry& r = Operations();
        std::lock_guard<std::mutex> hold(r.lock);
        for (OperationMutex* m : r.mutexes)
            if (m->HeldByThisThread()) owned.push_back(m);
    }
    for (OperationMutex* m : owned) {
        const bool listed = std::any_of(t_held.begin(), t_held.end(), [m](const Held& h) { return h.lock == m; });
        if (!listed) {
            Report("taking " + Describe(lock, name) + " while holding " + Describe(m, "an operation's mutex") +
                   ": the tree lock comes before an operation's mutex");
            return;
        }
    }
}

void Acquired(const void* lock, Rank rank, const char* name) { t_held.push_back(Held{lock, rank, name}); }

void Released(const void* lock) {
    // Guards may be released out of order (unique_lock): drop the newest
    // entry of this lock.
    for (auto it = t_held.rbegin(); it != t_held.rend(); ++it)
        if (it->lock == lock) {
            t_held.erase(std::next(it).base());
            return;
        }
}

int HeldCount() { return static_cast<int>(t_held.size()); }

}  // namespace lock_order

#if QUILLORY_LOCK_ORDER_CHECKS
OperationMutex::OperationMutex() {
    auto& r = lock_order::Operations();
    std::lock_guard<std::mutex> hold(r.lock);
    r.mutexes.push_back(this);
}

OperationMutex::~OperationMutex() {
    auto& r = lock_order::Operations();
    std::lock_guard<std::mutex> hold(r.lock);
    r.mutexes.erase(std::remove(r.mutexes.begin(), r.mutexes.end(), this), r.mutexes.end());
}
#endif

bool OperationMutex::HeldByThisThread() {
#if defined(__GLIBC__)
    // glibc keeps the owner's thread id in a recursive mutex while it is
    // held; only the owner itself can see its own id there.
    pthread_mutex_t* handle = native_handle();
    return __atomic_load_n(&handle->__data.__owner, __ATOMIC_RELAXED) == static_cast<int>(gettid());
#else
    return false;
#endif
}
