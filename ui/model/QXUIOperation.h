#pragma once
// The front end's side of one long engine operation (a scan, a recovery, the
// saving or restoring of a scan-result file): the engine's worker thread
// reports into it and asks it whether to go on, while the windows read the
// same object to show progress and to pause, resume or stop.

#include <cstdint>
#include <ctime>
#include <mutex>

#include "foundation/Progress.h"
#include "model/LockOrder.h"

// Status values.
enum : std::uint32_t {
    QXOP_IDLE = 0,
    QXOP_STOP_REQUESTED = 1,
    QXOP_RUNNING = 2,
    QXOP_PAUSED = 3,
    QXOP_EXIT = 4,
};

class QXUIOperation : public IProgress {
public:
    QXUIOperation() = default;
    ~QXUIOperation() override = default;
    QXUIOperation(const QXUIOperation&) = delete;
    QXUIOperation& operator=(const QXUIOperation&) = delete;

    // Blocks while paused, sleeping without the lock so that the windows can
    // resume or stop meanwhile; non-zero only while running.
    int Continued() override;
    int shouldBuild() override;

    virtual int IsOpTreeFinished();
    virtual void SetOpTreeFinished(int finished);

    int GetStatus();
    void SetStatus(int status);
    int IsNeedUIUpdate();
    void SetNeedUIUpdate(int flag);
    void SetShouldBuildTree(int flag);
    _PROGRESS_INFO GetProgressInfo();
    void SetProgressInfo(_PROGRESS_INFO info);
    // True when idle or exiting.
    bool IsOperationExit();
    // Running and paused swap; any other status stays.
    void PauseOrResumeOperation();
    // A non-zero argument drops what was found (should-build 0).
    void StopOperation(int dropFound);
    std::int64_t GetScanElapseTime();

    // The derived operations keep these.
    void SetStartTime(std::int64_t seconds);
    void SetLatestTime(std::int64_t seconds);

protected:
    // Recursive: a derived operation calls the accessors while it holds it.
    // Taken after the tree lock, never before (checked in debug builds).
    OperationMutex m_lock;
    std::int64_t m_startTime = 0;
    std::int64_t m_latestTime = 0;
    std::uint32_t m_status = QXOP_IDLE;
    std::uint32_t m_shouldBuild = 1;
    std::uint32_t m_needUIUpdate = 0;
    _PROGRESS_INFO m_progress{};
};
