#include "model/WorkerThread.h"

#include <time.h>

#include <algorithm>
#include <cerrno>

#include "foundation/Log.h"

std::size_t WorkerThread::StackBytesFor() {
    pthread_attr_t attr;
    std::size_t fallback = 0;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &fallback);
        pthread_attr_destroy(&attr);
    }
    return std::max(kMinStackBytes, fallback);
}

WorkerThread::WorkerThread(std::string name, std::function<void()> body)
    : m_name(std::move(name)), m_body(std::move(body)) {}

WorkerThread::~WorkerThread() {
    // The registry keeps running workers; one dropped while still running is
    // left to end on its own rather than blocking here.
    std::lock_guard<std::mutex> hold(m_joinLock);
    if (m_started && !m_joined) pthread_detach(m_thread);
}

void* WorkerThread::Run(void* self) {
    auto* worker = static_cast<WorkerThread*>(self);
    worker->m_body();
    worker->m_running = false;
    return nullptr;
}

std::shared_ptr<WorkerThread> WorkerThread::Start(std::string name, std::function<void()> body) {
    return Start(std::move(name), std::move(body), ThreadRegistry::instance());
}

std::shared_ptr<WorkerThread> WorkerThread::Start(std::string name, std::function<void()> body,
                                                  ThreadRegistry& registry) {
    std::shared_ptr<WorkerThread> worker(new WorkerThread(std::move(name), std::move(body)));
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return nullptr;
    worker->m_stackBytes = StackBytesFor();
    pthread_attr_setstacksize(&attr, worker->m_stackBytes);
    worker->m_running = true;
    const int error = pthread_create(&worker->m_thread, &attr, &WorkerThread::Run, worker.get());
    pthread_attr_destroy(&attr);
    if (error != 0) {
        worker->m_running = false;
        LogDiagnostic("worker %s cannot start: error %d\n", worker->m_name.c_str(), error);
        return nullptr;
    }
    worker->m_started = true;
    registry.Add(worker);
    return worker;
}

bool WorkerThread::Join(std::chrono::milliseconds bound) {
    std::lock_guard<std::mutex> hold(m_joinLock);
    if (!m_started || m_joined) return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const auto ms = std::max<std::chrono::milliseconds::rep>(0, bound.count());
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    if (pthread_timedjoin_np(m_thread, nullptr, &deadline) != 0) return false;
    m_joined = true;
    return true;
}

ThreadRegistry& ThreadRegistry::instance() {
    // Never destroyed: workers may still end after static destruction began.
    static auto* registry = new ThreadRegistry();
    return *registry;
}

void ThreadRegistry::Add(std::shared_ptr<WorkerThread> worker) {
    std::lock_guard<std::mutex> hold(m_lock);
    // Workers that ended are joined on the way, so the list stays short.
    m_workers.erase(std::remove_if(m_workers.begin(), m_workers.end(),
                                   [](const std::shared_ptr<WorkerThread>& w) {
                                       return !w->IsRunning() && w->Join(std::chrono::milliseconds(0));
                                   }),
                    m_workers.end());
    m_workers.push_back(std::move(worker));
}

bool ThreadRegistry::JoinAll(std::chrono::milliseconds bound) {
    std::vector<std::shared_ptr<WorkerThread>> workers;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        workers = m_workers;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool all = true;
    for (const auto& worker : workers) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!worker->Join(std::max(left, std::chrono::milliseconds(0)))) all = false;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    m_workers.erase(std::remove_if(m_workers.begin(), m_workers.end(),
                                   [](const std::shared_ptr<WorkerThread>& w) {
                                       return !w->IsRunning() && w->Join(std::chrono::milliseconds(0));
                                   }),
                    m_workers.end());
    return all;
}

std::vector<std::string> ThreadRegistry::Running() {
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::string> names;
    for (const auto& worker : m_workers)
        if (worker->IsRunning()) names.push_back(worker->Name());
    return names;
}
