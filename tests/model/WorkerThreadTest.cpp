// Workers: their stack, their liveness, and joining them all with a bound.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "model/WorkerThread.h"

namespace {

using namespace std::chrono_literals;

TEST(WorkerThread, StackIsAtLeastTwoMiBAndNeverBelowTheDefault) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    size_t systemDefault = 0;
    pthread_attr_getstacksize(&attr, &systemDefault);
    pthread_attr_destroy(&attr);

    ThreadRegistry registry;
    std::atomic<size_t> seen{0};
    auto worker = WorkerThread::Start(
        "stack",
        [&] {
            pthread_attr_t own;
            if (pthread_getattr_np(pthread_self(), &own) != 0) return;
            size_t bytes = 0;
            pthread_attr_getstacksize(&own, &bytes);
            pthread_attr_destroy(&own);
            seen = bytes;
        },
        registry);
    ASSERT_NE(worker, nullptr);
    ASSERT_TRUE(worker->Join(5s));
    EXPECT_GE(seen.load(), WorkerThread::kMinStackBytes);
    EXPECT_GE(seen.load(), systemDefault);
    EXPECT_EQ(worker->StackBytes(), std::max(WorkerThread::kMinStackBytes, systemDefault));
}

TEST(WorkerThread, JoinAllWaitsOnlyWithinItsBound) {
    ThreadRegistry registry;
    std::atomic<bool> release{false};
    auto slow = WorkerThread::Start(
        "slow scan",
        [&] {
            while (!release) std::this_thread::sleep_for(1ms);
        },
        registry);
    auto quick = WorkerThread::Start(
        "quick", [] {}, registry);
    ASSERT_TRUE(slow && quick);
    EXPECT_TRUE(quick->Join(5s));
    EXPECT_FALSE(quick->IsRunning());
    EXPECT_TRUE(slow->IsRunning());
    EXPECT_EQ(registry.Running(), std::vector<std::string>{"slow scan"});

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(registry.JoinAll(100ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    release = true;
    EXPECT_TRUE(registry.JoinAll(5s));
    EXPECT_FALSE(slow->IsRunning());
    EXPECT_TRUE(registry.Running().empty());
    EXPECT_TRUE(slow->Join(0ms));  // joining again is harmless
}

}  // namespace
