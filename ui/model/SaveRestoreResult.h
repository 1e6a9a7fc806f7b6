#pragma once
// Saving the last scan's result to a scan-result file and restoring one, each
// on a worker thread that reports through a progress sink: a begin record
// (current 5 of 100), steps (never past 98, at most one per 100 ms), then an
// end record (state 3, current = total = 100) whose error field carries the
// result code of scanresult::ResultCode.
//
// A restore finds the scanned device again among the live devices and runs
// the scan bridge's normal scan with a replay hook in place of the searchers,
// so the result reaches the views exactly as a scan's does.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "model/QXUIOperation.h"
#include "model/ScanResultFile.h"

class IStorageDevice;
class QXUIDeviceData;
class QXUIScan;
class WorkerThread;

// The process-wide sink of saves: the controller's poll reads its progress.
class QXSaveAndRestoreNodeOperate : public QXUIOperation {
public:
    static QXSaveAndRestoreNodeOperate& instance();

    // Keeps the record; an end record makes the operation idle.
    void UpdateProgress(_PROGRESS_INFO* info) override;
    // A save or restore cannot be cancelled through its sink.
    int Continued() override { return 1; }
};

namespace SaveRestoreResult {

struct OperationPara {
    std::string path;
    IProgress* progress = nullptr;
    std::string qvxPath;  // empty for a save, or a result not of a QVX image
};

// The code of the running (or last) operation.
extern std::atomic<int> iErrorCode;

// Begin record, end record, or a step (0 and nothing sent when the last
// counted step is less than 100 ms old). Returns 0 or the sink's answer.
int IncProgress(IProgress* sink, bool bEnd, bool bBegin);
// Sends {3, 100, 100, code} and remembers the code for the end record.
void TipError(IProgress* sink, int code);
// The clock of the steps; tests inject one. An empty function restores the
// steady clock.
void SetStepClock(std::function<std::chrono::steady_clock::time_point()> clock);

// The thread bodies; they own and delete their argument.
void Static_SaveScanResult(OperationPara* para);
void Static_RestoreScanResult(OperationPara* para);

// The live device of a stored device record: the QVX image (opened again
// from its record and `qvxPath`), the DMG image (from its record), the device
// at the stored indexes when its size and name are the stored ones, else the
// first disk or volume with the stored name, file system and size. Null when
// none.
IStorageDevice* GetFromDiskVolumeData(const scanresult::StoredDevice& stored, const char* qvxPath, const char* rsfPath,
                                      QXUIDeviceData& devices);

// Whether a save or restore thread still runs; waits at most `bound` for it.
bool IsRunning();
bool Join(std::chrono::milliseconds bound);

}  // namespace SaveRestoreResult

// Start a save or restore thread: -1 for a null path or sink, -2 when no
// thread could be made, -3 when refused (a scan, search, save or restore
// runs), else 0. The caller does not wait.
int DoSaveScanResult(const char* path, IProgress* progress);
int DoRestoreScanResult(const char* path, IProgress* progress, const char* qvxPath);
