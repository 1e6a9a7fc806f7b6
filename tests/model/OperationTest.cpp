// The operation's pause, resume and stop as the engine's worker thread sees
// them through Continued(), and the status transitions the windows make.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "model/QXUIOperation.h"

namespace {

struct TestOperation : QXUIOperation {
    void UpdateProgress(_PROGRESS_INFO* info) override { SetProgressInfo(*info); }
};

using Clock = std::chrono::steady_clock;

TEST(Operation, FreshOperationIsIdleAndBuilds) {
    TestOperation op;
    EXPECT_EQ(op.shouldBuild(), 1);
    EXPECT_TRUE(op.IsOperationExit());
    EXPECT_EQ(op.IsOpTreeFinished(), 1);
    EXPECT_EQ(op.Continued(), 0);
}

TEST(Operation, TransitionTable) {
    struct Case {
        int from;
        const char* action;
        int to;
        int shouldBuild;
        bool exit;
    };
    const Case cases[] = {
        {QXOP_RUNNING, "pause", QXOP_PAUSED, 1, false},
        {QXOP_PAUSED, "pause", QXOP_RUNNING, 1, false},
        {QXOP_IDLE, "pause", QXOP_IDLE, 1, true},
        {QXOP_STOP_REQUESTED, "pause", QXOP_STOP_REQUESTED, 1, false},
        {QXOP_RUNNING, "stop0", QXOP_STOP_REQUESTED, 1, false},
        {QXOP_RUNNING, "stop1", QXOP_STOP_REQUESTED, 0, false},
        {QXOP_PAUSED, "stop1", QXOP_STOP_REQUESTED, 0, false},
        {QXOP_IDLE, "stop1", QXOP_IDLE, 1, true},
        {QXOP_EXIT, "pause", QXOP_EXIT, 1, true},
    };
    for (const Case& c : cases) {
        TestOperation op;
        op.SetStatus(c.from);
        const std::string action = c.action;
        if (action == "pause") op.PauseOrResumeOperation();
        if (action == "stop0") op.StopOperation(0);
        if (action == "stop1") op.StopOperation(1);
        SCOPED_TRACE(std::to_string(c.from) + " " + action);
        EXPECT_EQ(op.GetStatus(), c.to);
        EXPECT_EQ(op.shouldBuild(), c.shouldBuild);
        EXPECT_EQ(op.IsOperationExit(), c.exit);
        // Every stop wakes the windows, even on an idle operation.
        EXPECT_EQ(op.IsNeedUIUpdate(), action.rfind("stop", 0) == 0 ? 1 : 0);
    }
}

// A worker loops on Continued() as the engine does; the main thread pauses,
// resumes and stops it.
TEST(Operation, WorkerHeldWhilePausedAndReleasedByResumeOrStop) {
    for (const bool stopWhilePaused : {false, true}) {
        TestOperation op;
        op.SetStatus(QXOP_RUNNING);
        std::atomic<int> checks{0};
        std::atomic<bool> done{false};
        std::atomic<int> lastAnswer{-1};
        std::thread worker([&] {
            for (;;) {
                const int answer = op.Continued();
                lastAnswer = answer;
                ++checks;
                if (!answer) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            done = true;
        });
        while (checks < 3) std::this_thread::yield();
        op.PauseOrResumeOperation();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int heldAt = checks;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_LE(checks - heldAt, 1) << "the worker went on while paused";
        // The windows still read and write the operation while the worker waits.
        op.SetNeedUIUpdate(1);
        EXPECT_EQ(op.GetStatus(), QXOP_PAUSED);

        const auto released = Clock::now();
        if (stopWhilePaused) {
            op.StopOperation(0);
            while (!done && Clock::now() - released < std::chrono::seconds(2)) std::this_thread::yield();
            EXPECT_TRUE(done);
            EXPECT_EQ(lastAnswer, 0);
        } else {
            op.PauseOrResumeOperation();
            while (checks == heldAt && Clock::now() - released < std::chrono::seconds(2)) std::this_thread::yield();
            EXPECT_GT(checks, heldAt);
            EXPECT_EQ(lastAnswer, 1);
            op.StopOperation(1);
        }
        EXPECT_LT(Clock::now() - released, std::chrono::milliseconds(300));
        worker.join();
    }
}

TEST(Operation, ProgressRecordAndElapsedTime) {
    TestOperation op;
    _PROGRESS_INFO info;
    MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, 100, 40, 7);
    info.extra[4095] = 9;
    op.UpdateProgress(&info);
    const _PROGRESS_INFO copy = op.GetProgressInfo();
    EXPECT_EQ(copy.total, 100);
    EXPECT_EQ(copy.current, 40);
    EXPECT_EQ(copy.error, 7);
    EXPECT_EQ(copy.extra[4095], 9);
    op.SetStartTime(1000);
    op.SetLatestTime(1042);
    EXPECT_EQ(op.GetScanElapseTime(), 42);
}

}  // namespace
