#pragma once
// The threads of long work (scans, recoveries, searches, saves, restores):
// joinable, with a stack of at least 2 MiB, and registered by name so that
// closing the application can stop and join every one with a bound instead
// of exiting under a thread that still writes.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class ThreadRegistry;

class WorkerThread {
public:
    // Deep folder walks recurse; 2 MiB is the least a worker gets, and the
    // system default when that is larger (8 MiB on most Linux systems).
    static constexpr std::size_t kMinStackBytes = 2 * 1024 * 1024;

    // Starts `body` on a new thread registered under `name`; null when the
    // thread cannot be made.
    static std::shared_ptr<WorkerThread> Start(std::string name, std::function<void()> body);
    static std::shared_ptr<WorkerThread> Start(std::string name, std::function<void()> body, ThreadRegistry& registry);

    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    const std::string& Name() const { return m_name; }
    // True until the body has returned.
    bool IsRunning() const { return m_running.load(); }
    // Waits at most `bound` for the body to end; true once it ended and the
    // thread was joined.
    bool Join(std::chrono::milliseconds bound);
    // The stack size the thread was made with.
    std::size_t StackBytes() const { return m_stackBytes; }

    static std::size_t StackBytesFor();

private:
    WorkerThread(std::string name, std::function<void()> body);
    static void* Run(void* self);

    std::string m_name;
    std::function<void()> m_body;
    pthread_t m_thread{};
    bool m_started = false;
    bool m_joined = false;
    std::mutex m_joinLock;
    std::atomic<bool> m_running{false};
    std::size_t m_stackBytes = 0;
};

class ThreadRegistry {
public:
    static ThreadRegistry& instance();

    void Add(std::shared_ptr<WorkerThread> worker);
    // Joins every registered worker within `bound` in all; true when all
    // ended. Ended workers leave the registry.
    bool JoinAll(std::chrono::milliseconds bound);
    // Names of the workers whose bodies still run.
    std::vector<std::string> Running();

private:
    std::mutex m_lock;
    std::vector<std::shared_ptr<WorkerThread>> m_workers;
};
