#pragma once
// Lock classes of the engine and the front end.

#include <pthread.h>

class none_copyable {
public:
    none_copyable() = default;
    virtual ~none_copyable() = default;
    none_copyable(const none_copyable&) = delete;
    none_copyable& operator=(const none_copyable&) = delete;
};

// A plain, non-recursive mutex: a thread must not take one it holds.
class mutex_locker : public none_copyable {
public:
    mutex_locker() { pthread_mutex_init(&m_mutex, nullptr); }
    ~mutex_locker() override { pthread_mutex_destroy(&m_mutex); }
    void lock() { pthread_mutex_lock(&m_mutex); }
    void un_lock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};

template <typename Lock>
class autolocker : public none_copyable {
public:
    explicit autolocker(Lock& lock) : m_lock(lock) { m_lock.lock(); }
    ~autolocker() override { m_lock.un_lock(); }

private:
    Lock& m_lock;
};

// Recursive critical section that remembers its owning thread.
class SimpleCs : public none_copyable {
public:
    SimpleCs();
    ~SimpleCs() override;
    void EnterCS(const char* tag);
    void LeaveCS();
    pthread_t Owner() const { return m_owner; }

private:
    friend class SimpleLock;
    pthread_mutex_t m_mutex;
    pthread_t m_owner = 0;
};

// Scoped SimpleCs; a null section is allowed and does nothing.
class SimpleLock : public none_copyable {
public:
    SimpleLock(SimpleCs* cs, const char* tag);
    ~SimpleLock() override;

private:
    SimpleCs* m_cs;
};

class RWLock : public none_copyable {
public:
    RWLock() { pthread_rwlock_init(&m_lock, nullptr); }
    ~RWLock() override { pthread_rwlock_destroy(&m_lock); }
    int EnterRead(const char* = nullptr) { return pthread_rwlock_rdlock(&m_lock); }
    int LeaveRead() { return pthread_rwlock_unlock(&m_lock); }
    int EnterWrite(const char* = nullptr) { return pthread_rwlock_wrlock(&m_lock); }
    int LeaveWrite() { return pthread_rwlock_unlock(&m_lock); }

private:
    pthread_rwlock_t m_lock;
};

class ReadLock : public none_copyable {
public:
    explicit ReadLock(RWLock* lock) : m_lock(lock) {
        if (m_lock) m_lock->EnterRead();
    }
    ~ReadLock() override {
        if (m_lock) m_lock->LeaveRead();
        m_lock = nullptr;
    }

private:
    RWLock* m_lock;
};

class WriteLock : public none_copyable {
public:
    explicit WriteLock(RWLock* lock) : m_lock(lock) {
        if (m_lock) m_lock->EnterWrite();
    }
    ~WriteLock() override {
        if (m_lock) m_lock->LeaveWrite();
        m_lock = nullptr;
    }

private:
    RWLock* m_lock;
};

// A condition to wait on. EnterWait is called with the event's mutex held
// (LockWait/UnlockWait); a negative time waits without limit.
class WaitEvent : public none_copyable {
public:
    WaitEvent();
    ~WaitEvent() override;
    void LockWait() { pthread_mutex_lock(&m_mutex); }
    void UnlockWait() { pthread_mutex_unlock(&m_mutex); }
    int EnterWait(int milliseconds);
    int WakeUp();

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
};
