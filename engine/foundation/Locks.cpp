#include "foundation/Locks.h"

#include <cerrno>
#include <ctime>

SimpleCs::SimpleCs() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

SimpleCs::~SimpleCs() { pthread_mutex_destroy(&m_mutex); }

void SimpleCs::EnterCS(const char*) {
    pthread_mutex_lock(&m_mutex);
    m_owner = pthread_self();
}

void SimpleCs::LeaveCS() {
    m_owner = 0;
    pthread_mutex_unlock(&m_mutex);
}

SimpleLock::SimpleLock(SimpleCs* cs, const char* tag) : m_cs(cs) {
    if (m_cs) m_cs->EnterCS(tag);
}

SimpleLock::~SimpleLock() {
    if (m_cs) m_cs->LeaveCS();
    m_cs = nullptr;
}

WaitEvent::WaitEvent() {
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_cond, &attr);
    pthread_condattr_destroy(&attr);
}

WaitEvent::~WaitEvent() {
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

int WaitEvent::EnterWait(int milliseconds) {
    if (milliseconds < 0) return pthread_cond_wait(&m_cond, &m_mutex);
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_cond_timedwait(&m_cond, &m_mutex, &until);
}

int WaitEvent::WakeUp() { return pthread_cond_signal(&m_cond); }
