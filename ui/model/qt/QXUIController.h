#pragma once
// The one facade through which the windows drive the engine: the device
// list, scans, and closing the application. Every call forwards to the
// installed backend; the real one is installed by default, and a window test
// installs a fake.

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "model/qt/DiskVolumeNodeData.h"

class IUiControllerBackend {
public:
    virtual ~IUiControllerBackend() = default;

    // Devices.
    virtual void GetDeviceInfoToArray(std::vector<std::unique_ptr<DiskVolumeNodeData>>& out) = 0;
    virtual void NotifiyDeviceInfoAfterInit(const QString& key) = 0;
    virtual void InitDeviceInfoInBgThread() = 0;
    virtual void RefreshDeviceInfo() = 0;
    virtual void initFileType() = 0;
    virtual void SetRecoveryType(unsigned mask) = 0;
    virtual int QXOpenDmgFile(const QString& path) = 0;
    virtual int QXOpenQvxFile(const QString& path) = 0;

    // Scans.
    virtual void DoScanWithDiskIndex(int disk, int volume, const QString& key, QObject* target) = 0;
    virtual void DoScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) = 0;
    virtual void DoDeepScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) = 0;
    virtual void isQvxDoDeepScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) = 0;
    virtual void DoDeepScan(QObject* target, const QString& key) = 0;
    virtual void PauseOrResumeScan() = 0;
    virtual void StopScan(int dropFound) = 0;
    virtual void ResetShouldBuild() = 0;
    virtual bool IsScanRunning() = 0;
    virtual bool IsPause() = 0;
    virtual bool IsDeepScan() = 0;
    virtual void GetScanFileSize(std::uint64_t* size, std::uint64_t* count) = 0;
    virtual void RefreshData() = 0;
    virtual QString GetScanProgress(double* percent, std::uint64_t* count) = 0;

    // Application.
    [[noreturn]] virtual void CloseApp() = 0;
};

class QXUIController {
public:
    QXUIController() = delete;

    // Installs a backend (not owned); null restores the real one.
    static void SetBackend(IUiControllerBackend* backend);
    static IUiControllerBackend& Backend();

    static void GetDeviceInfoToArray(std::vector<std::unique_ptr<DiskVolumeNodeData>>& out) {
        Backend().GetDeviceInfoToArray(out);
    }
    static void NotifiyDeviceInfoAfterInit(const QString& key) { Backend().NotifiyDeviceInfoAfterInit(key); }
    // Scan-result files: saving and restoring (QXUIControllerSave.cpp).
    // Marks the save (save != 0) or the restore running and polls it every
    // 0.1 s on the main thread: `key` is posted when there is news, then
    // "QueryProgressFinish" once it has ended.
    static void RestorPostUIUpdate(const QString& key, int save);
    // Starts the save to `file`, or the restore of `file` (`qvxPath`: the QVX
    // image a result of one was saved from, else empty); 0 when started.
    static int beginSaveOrRestoreNode(int save, const QString& file, const QString& qvxPath);
    static void GetSaveorRestoreProgress(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error,
                                         int save);
    // "<device name>_MM-DD-YYYY at HH:MM:SS", never holding a "/".
    static QString GetSaveFileName();
    static bool SavePathToPList(const QString& folder);
    static QString GetSavePath();
    static void InitDeviceInfoInBgThread() { Backend().InitDeviceInfoInBgThread(); }
    static void RefreshDeviceInfo() { Backend().RefreshDeviceInfo(); }
    static void initFileType() { Backend().initFileType(); }
    static void SetRecoveryType(unsigned mask) { Backend().SetRecoveryType(mask); }
    static int QXOpenDmgFile(const QString& path) { return Backend().QXOpenDmgFile(path); }
    static int QXOpenQvxFile(const QString& path) { return Backend().QXOpenQvxFile(path); }

    static void DoScanWithDiskIndex(int disk, int volume, const QString& key, QObject* target) {
        Backend().DoScanWithDiskIndex(disk, volume, key, target);
    }
    static void DoScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) {
        Backend().DoScanWithData(data, key, target);
    }
    static void DoDeepScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) {
        Backend().DoDeepScanWithData(data, key, target);
    }
    static void isQvxDoDeepScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) {
        Backend().isQvxDoDeepScanWithData(data, key, target);
    }
    static void DoDeepScan(QObject* target, const QString& key) { Backend().DoDeepScan(target, key); }
    static void PauseOrResumeScan() { Backend().PauseOrResumeScan(); }
    static void StopScan(int dropFound) { Backend().StopScan(dropFound); }
    static void ResetShouldBuild() { Backend().ResetShouldBuild(); }
    static bool IsScanRunning() { return Backend().IsScanRunning(); }
    static bool IsPause() { return Backend().IsPause(); }
    static bool IsDeepScan() { return Backend().IsDeepScan(); }
    static void GetScanFileSize(std::uint64_t* size, std::uint64_t* count) { Backend().GetScanFileSize(size, count); }
    static void RefreshData() { Backend().RefreshData(); }
    static QString GetScanProgress(double* percent, std::uint64_t* count) {
        return Backend().GetScanProgress(percent, count);
    }
    [[noreturn]] static void CloseApp() { Backend().CloseApp(); }
};

// The tree lock: building the view trees, searching and clearing check
// marks. Taken before an operation's mutex, never after.
extern std::mutex g_lockerAddData;
// When the last throttled "NormalScranValue" went out (seconds).
extern std::atomic<std::int64_t> g_timeCount;

// Scan news from the scan thread: extends the view trees, then posts
// "NormalScranValue", at most every 2 s unless `final`. A final call is never
// dropped: it waits for the tree lock.
void QXNotifyUIUpdateData(int final);

// Seams of the controller: the clock of the throttle and of the remaining
// time (seconds), and the tree building that the view trees fill in.
void SetControllerClock(std::function<std::int64_t()> clock);
void SetTreeBuildHook(std::function<void(int final)> hook);

// The remaining-time text of a scan at `current` of `total` after `elapsed`
// seconds; `percent` (may be null) gets the done share times 100.
QString ScanRemainingTimeText(std::uint64_t total, std::uint64_t current, std::int64_t elapsed, double* percent);

// Whether the real backend's scan worker still runs (its own flag, apart
// from the scan's status).
bool IsScanWorkerAlive();
// How long RefreshDeviceInfo waits for a scan to unwind (30 s); for tests.
void SetRefreshWaitSeconds(int seconds);

// Ends the application shell's usage statistics.
void SpyIDEnd();
