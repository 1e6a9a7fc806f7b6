// The lock-order checker of debug builds: the tree lock before an
// operation's mutex passes, the reverse is reported before the thread waits,
// whether the operation's mutex was taken through a deduced guard or through
// one typed on std::recursive_mutex, as the scan bridge takes it.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "model/LockOrder.h"
#include "model/QXUIOperation.h"
#include "model/QXUIScan.h"
#include "model/qt/QXUIController.h"

#if QUILLORY_LOCK_ORDER_CHECKS

namespace {

// An operation whose mutex the test can take.
class ProbeOperation : public QXUIOperation {
public:
    OperationMutex& Lock() { return m_lock; }
    void UpdateProgress(_PROGRESS_INFO*) override {}
};

std::vector<std::string> g_reports;
void Record(const std::string& message) { g_reports.push_back(message); }

// Installs the recording handler for one test and restores the default.
class LockOrderChecks : public ::testing::Test {
protected:
    void SetUp() override {
        g_reports.clear();
        m_previous = lock_order::SetViolationHandler(&Record);
    }
    void TearDown() override {
        lock_order::SetViolationHandler(m_previous);
        EXPECT_EQ(lock_order::HeldCount(), 0) << "a lock was left on this thread's list";
    }
    lock_order::ViolationHandler m_previous = nullptr;
};

TEST_F(LockOrderChecks, OrdersOfTheTreeLockAndAnOperationMutex) {
    ProbeOperation op, other;
    struct Case {
        const char* what;
        std::function<void()> run;
        bool reported;
    };
    const Case cases[] = {
        {"tree lock, then the operation's mutex",
         [&] {
             std::lock_guard trees(g_lockerAddData);
             std::lock_guard hold(op.Lock());
             EXPECT_EQ(op.GetStatus(), QXOP_IDLE);  // its own accessors retake it: recursive
         },
         false},
        {"the operation's mutex, then the tree lock",
         [&] {
             std::lock_guard hold(op.Lock());
             std::lock_guard trees(g_lockerAddData);
         },
         true},
        {"a guard typed on std::recursive_mutex, then the tree lock",
         [&] {
             std::lock_guard<std::recursive_mutex> hold(op.Lock());
             std::lock_guard trees(g_lockerAddData);
         },
         true},
        {"two operations' mutexes, then neither any more, then the tree lock",
         [&] {
             {
                 std::unique_lock a(op.Lock());
                 std::unique_lock b(other.Lock());
                 a.unlock();  // released out of order
             }
             std::lock_guard trees(g_lockerAddData);
         },
         false},
        {"trying the tree lock while holding the operation's mutex never waits",
         [&] {
             std::lock_guard hold(op.Lock());
             std::unique_lock trees(g_lockerAddData, std::try_to_lock);
             EXPECT_TRUE(trees.owns_lock());
         },
         false},
        {"the scan bridge's news under the tree lock",
         [&] {
             std::lock_guard trees(g_lockerAddData);
             (void)QXUIScan::instance().GetStatus();
             (void)QXUIScan::instance().GetProgressInfo();
         },
         false},
    };
    for (const Case& c : cases) {
        g_reports.clear();
        c.run();
        EXPECT_EQ(!g_reports.empty(), c.reported) << c.what;
        if (c.reported && !g_reports.empty()) {
            EXPECT_NE(g_reports.front().find("the tree lock comes before an operation's mutex"), std::string::npos)
                << g_reports.front();
        }
        EXPECT_EQ(lock_order::HeldCount(), 0) << c.what;
    }
}

// Without a handler of its own the checker stops the program at once, with
// the inversion in words.
TEST(LockOrderDeathTest, InversionAbortsWithItsDescription) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ProbeOperation op;
    EXPECT_DEATH(
        {
            std::lock_guard hold(op.Lock());
            std::lock_guard trees(g_lockerAddData);
        },
        "lock order violated: taking the tree lock .* while holding an operation's mutex");
}

}  // namespace

#endif
