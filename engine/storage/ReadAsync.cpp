#include "storage/ReadAsync.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

// Every device read of the process funnels through here. A read that has to
// wait for the device runs on a reader thread so that the caller can give up
// after a bound: a disconnected or dying disk can leave pread() sleeping
// uninterruptibly for minutes, and a scan must not hang with it. The reader
// reads into the shared buffer; a reader that overruns the bound keeps that
// buffer for itself (it may still write into it), so a late completion can
// never land in memory that a later read is using.
//
// Data the kernel already holds in its page cache needs no such care: a
// preadv2(RWF_NOWAIT) copies it straight into the caller's buffer on the
// caller's thread and returns at once, without touching the device (it says
// EAGAIN, or stops short, where it would have to wait). Only what it leaves
// goes through the reader. Warm reads (re-reading metadata, a scanned image
// in the cache) thus cost no thread hand-off and no second copy.

mutex_locker& g_lockerAsyncData = *new mutex_locker;

namespace {

std::atomic<QXPlatformReadFn> g_platformRead{nullptr};
std::atomic<long long> g_timeoutMs{kQXReadTimeoutMs};

ssize_t PlatformRead(int fd, void* buf, size_t len, off_t off) {
    QXPlatformReadFn fn = g_platformRead.load(std::memory_order_acquire);
    return fn ? fn(fd, buf, len, off) : ::pread(fd, buf, len, off);
}

// Cleared once the kernel says it has no preadv2.
std::atomic<bool> g_noWaitWorks{true};

// Copies what the page cache holds of [off, off + len) into `out`, stopping
// at the first byte that would need the device. Returns the bytes copied.
// An injected platform read stands for the device, so it is never bypassed.
size_t ReadCached(int fd, unsigned char* out, size_t len, off_t off) {
    if (g_platformRead.load(std::memory_order_acquire) != nullptr || !g_noWaitWorks.load(std::memory_order_relaxed))
        return 0;
    size_t got = 0;
    while (got < len) {
        struct iovec iov = {out + got, len - got};
        const ssize_t r = ::preadv2(fd, &iov, 1, off + static_cast<off_t>(got), RWF_NOWAIT);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            // 0 (the end, or nothing cached), EAGAIN, or any error: the
            // reader finds out which.
            if (r < 0 && errno == ENOSYS) g_noWaitWorks.store(false, std::memory_order_relaxed);
            break;
        }
    }
    return got;
}

// Descriptors whose read overran the bound and has not come back yet. The file
// identity is kept with the number so that a reused descriptor number of
// another file is not refused.
struct StalledFd {
    int fd;
    dev_t dev;
    ino_t ino;
    dev_t rdev;
};

std::mutex& StallLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::vector<StalledFd>& StallList() {
    static std::vector<StalledFd>* v = new std::vector<StalledFd>;
    return *v;
}
std::atomic<int> g_stallCount{0};

bool Identify(int fd, StalledFd& out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    out.fd = fd;
    out.dev = st.st_dev;
    out.ino = st.st_ino;
    out.rdev = st.st_rdev;
    return true;
}

bool Same(const StalledFd& a, const StalledFd& b) {
    return a.fd == b.fd && a.dev == b.dev && a.ino == b.ino && a.rdev == b.rdev;
}

void MarkStalled(const StalledFd& id) {
    std::lock_guard<std::mutex> g(StallLock());
    StallList().push_back(id);
    g_stallCount.fetch_add(1, std::memory_order_release);
}

void UnmarkStalled(const StalledFd& id) {
    std::lock_guard<std::mutex> g(StallLock());
    auto& v = StallList();
    for (size_t i = 0; i < v.size(); ++i) {
        if (Same(v[i], id)) {
            v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
            g_stallCount.fetch_sub(1, std::memory_order_release);
            return;
        }
    }
}

bool IsStalled(int fd) {
    if (g_stallCount.load(std::memory_order_acquire) == 0) return false;
    StalledFd id;
    if (!Identify(fd, id)) return false;
    std::lock_guard<std::mutex> g(StallLock());
    for (const auto& s : StallList())
        if (Same(s, id)) return true;
    return false;
}

// One reader thread with the buffer it reads into. While it serves the read
// path it belongs to the caller holding g_lockerAsyncData; once a read overran
// the bound it is abandoned and frees itself when that read finally returns.
class Reader {
public:
    static Reader* Create() {
        auto* r = new (std::nothrow) Reader;
        if (!r) return nullptr;
        r->m_buffer = new (std::nothrow) unsigned char[kQXReadChunk];
        if (!r->m_buffer) {
            delete r;
            return nullptr;
        }
        try {
            std::thread(&Reader::Run, r).detach();
        } catch (...) {
            delete r;
            return nullptr;
        }
        return r;
    }

    unsigned char* Buffer() const { return m_buffer; }

    // Reads one chunk into the buffer. Returns false when the bound passed;
    // the reader is then abandoned and must not be used again.
    bool ReadChunk(int fd, off_t off, size_t len, size_t& got, bool& failed,
                   std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lk(m_lock);
        m_fd = fd;
        m_off = off;
        m_len = len;
        m_done = false;
        m_hasJob = true;
        m_cv.notify_all();
        if (!m_cv.wait_until(lk, deadline, [this] { return m_done; })) {
            m_abandoned = true;
            if (Identify(fd, m_stallId)) {
                m_marked = true;
                MarkStalled(m_stallId);
            }
            m_cv.notify_all();
            return false;
        }
        got = m_got;
        failed = m_failed;
        return true;
    }

    // Stops an idle reader (only used when a fresh one cannot be kept).
    void Quit() {
        std::lock_guard<std::mutex> g(m_lock);
        m_abandoned = true;
        m_cv.notify_all();
    }

private:
    Reader() = default;
    ~Reader() { delete[] m_buffer; }

    void Run() {
        std::unique_lock<std::mutex> lk(m_lock);
        for (;;) {
            m_cv.wait(lk, [this] { return m_hasJob || m_abandoned; });
            if (!m_hasJob) break;  // abandoned while idle
            const int fd = m_fd;
            const off_t off = m_off;
            const size_t len = m_len;
            lk.unlock();

            size_t got = 0;
            bool failed = false;
            while (got < len) {
                ssize_t r = PlatformRead(fd, m_buffer + got, len - got, off + static_cast<off_t>(got));
                if (r > 0) {
                    got += static_cast<size_t>(r);
                } else if (r == 0) {
                    break;  // end of the device or file
                } else if (errno == EINTR) {
                    continue;
                } else {
                    failed = true;
                    break;
                }
            }

            lk.lock();
            m_got = got;
            m_failed = failed;
            m_hasJob = false;
            m_done = true;
            if (m_abandoned) break;
            m_cv.notify_all();
        }
        const bool marked = m_marked;
        const StalledFd id = m_stallId;
        lk.unlock();
        if (marked) UnmarkStalled(id);
        delete this;
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    unsigned char* m_buffer = nullptr;
    int m_fd = -1;
    off_t m_off = 0;
    size_t m_len = 0;
    size_t m_got = 0;
    bool m_failed = false;
    bool m_hasJob = false;
    bool m_done = false;
    bool m_abandoned = false;
    bool m_marked = false;
    StalledFd m_stallId{};
};

Reader* g_reader = nullptr;  // guarded by g_lockerAsyncData

}  // namespace

std::int64_t QXReadAsyncData(void* buffer, int fd, std::int64_t offset, std::int64_t length) {
    if (buffer == nullptr || fd < 0 || offset < 0 || length <= 0) return 0;
    // The last byte's offset must be representable for the platform read.
    if (offset > INT64_MAX - length) return 0;

    autolocker<mutex_locker> guard(g_lockerAsyncData);
    auto* out = static_cast<unsigned char*>(buffer);
    bool allGood = true;
    for (std::int64_t start = 0; start < length;) {
        const size_t len =
            static_cast<size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(kQXReadChunk), length - start));
        unsigned char* const dst = out + start;
        const off_t off = static_cast<off_t>(offset + start);
        size_t got = ReadCached(fd, dst, len, off);
        bool failed = false;
        if (got < len) {
            failed = true;
            if (!IsStalled(fd)) {
                if (g_reader == nullptr) g_reader = Reader::Create();
                if (g_reader != nullptr) {
                    const auto deadline = std::chrono::steady_clock::now() +
                                          std::chrono::milliseconds(g_timeoutMs.load(std::memory_order_relaxed));
                    size_t more = 0;
                    if (g_reader->ReadChunk(fd, off + static_cast<off_t>(got), len - got, more, failed, deadline)) {
                        if (more > 0) std::memcpy(dst + got, g_reader->Buffer(), more);
                        got += more;
                        // A chunk that read nothing at all (wholly past the end) fails.
                        if (got == 0) failed = true;
                    } else {
                        g_reader = nullptr;  // the stuck reader keeps its buffer
                        failed = true;
                    }
                }
            }
        }
        if (got < len) std::memset(out + start + got, 0, len - got);
        if (failed) allGood = false;
        start += static_cast<std::int64_t>(len);
    }
    return allGood ? length : 0;
}

void QXSetPlatformReadForTesting(QXPlatformReadFn fn) { g_platformRead.store(fn, std::memory_order_release); }

void QXSetReadTimeoutForTesting(long long milliseconds) {
    g_timeoutMs.store(milliseconds > 0 ? milliseconds : kQXReadTimeoutMs, std::memory_order_relaxed);
}
