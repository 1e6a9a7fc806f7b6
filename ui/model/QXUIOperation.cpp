#include "model/QXUIOperation.h"

#include <chrono>
#include <thread>

int QXUIOperation::Continued() {
    for (;;) {
        const int status = GetStatus();
        if (status == QXOP_PAUSED) {
            std::this_thread::sleep_for(std::chrono::microseconds(80000));
            continue;
        }
        return status == QXOP_RUNNING ? 1 : 0;
    }
}

int QXUIOperation::shouldBuild() {
    std::lock_guard hold(m_lock);
    return static_cast<int>(m_shouldBuild);
}

int QXUIOperation::IsOpTreeFinished() { return 1; }

void QXUIOperation::SetOpTreeFinished(int) {}

int QXUIOperation::GetStatus() {
    std::lock_guard hold(m_lock);
    return static_cast<int>(m_status);
}

void QXUIOperation::SetStatus(int status) {
    std::lock_guard hold(m_lock);
    m_status = static_cast<std::uint32_t>(status);
}

int QXUIOperation::IsNeedUIUpdate() {
    std::lock_guard hold(m_lock);
    return static_cast<int>(m_needUIUpdate);
}

void QXUIOperation::SetNeedUIUpdate(int flag) {
    std::lock_guard hold(m_lock);
    m_needUIUpdate = static_cast<std::uint32_t>(flag);
}

void QXUIOperation::SetShouldBuildTree(int flag) {
    std::lock_guard hold(m_lock);
    m_shouldBuild = static_cast<std::uint32_t>(flag);
}

_PROGRESS_INFO QXUIOperation::GetProgressInfo() {
    std::lock_guard hold(m_lock);
    return m_progress;
}

void QXUIOperation::SetProgressInfo(_PROGRESS_INFO info) {
    std::lock_guard hold(m_lock);
    m_progress = info;
}

bool QXUIOperation::IsOperationExit() {
    std::lock_guard hold(m_lock);
    return m_status == QXOP_IDLE || m_status == QXOP_EXIT;
}

void QXUIOperation::PauseOrResumeOperation() {
    std::lock_guard hold(m_lock);
    if (m_status == QXOP_PAUSED)
        m_status = QXOP_RUNNING;
    else if (m_status == QXOP_RUNNING)
        m_status = QXOP_PAUSED;
}

void QXUIOperation::StopOperation(int dropFound) {
    std::lock_guard hold(m_lock);
    if (m_status != QXOP_IDLE) {
        m_status = QXOP_STOP_REQUESTED;
        m_shouldBuild = dropFound != 0 ? 0 : 1;
    }
    // Even an idle operation wakes the poll so that the windows settle.
    m_needUIUpdate = 1;
}

std::int64_t QXUIOperation::GetScanElapseTime() {
    std::lock_guard hold(m_lock);
    return m_latestTime - m_startTime;
}

void QXUIOperation::SetStartTime(std::int64_t seconds) {
    std::lock_guard hold(m_lock);
    m_startTime = seconds;
}

void QXUIOperation::SetLatestTime(std::int64_t seconds) {
    std::lock_guard hold(m_lock);
    m_latestTime = seconds;
}
