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

#include "model/LockOrder.h"
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
    // Thumbnails: a found file's picture, camera-raw preview, video frame or
    // type icon; null for a null node, before the filter exists, or for a
    // video whose path has no ".". Safe from any thread. (The elaborated
    // names keep this block free of includes.)
    static class QImage GetNSImageByFildNode(class IFileNode* node);
    static class QImage GetNSImageByFildNodeNSNumber(class IFileNode* node);
    // The same for a row of the outlines: null for a virtual folder.
    static class QImage GetNSImageByNode(class OpNodeData* row);

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
    // View trees, listing, search and check marks (QXUIControllerTrees.cpp).
    static class TreeStore& QXTreeStore();
    static void QXResetTreeNodeData();
    static void QXGetTreeNodeData(int flag);
    static void QXGetTreeNodeDataPath(int flag);
    static void QXGetNewPathOpNode(std::vector<class OpNodeData*>& out, int flag);
    static int GetScanTreeNodeData(int clearNodeState);
    static void SetViewType(int type);
    static int GetFileNodeToArray(std::vector<class IFileNode*>& out, class OpNodeData* row);
    static std::uint64_t GetNodeChildrenCnt(class OpNodeData* row);
    static bool DoSearchWithString(const QString& text, QObject* object, const QString& key);
    static QString GetSearchString();
    static void StopSearch();
    static bool QXGetIsSearching();
    static void GetSearchResultToArr(std::vector<class IFileNode*>& out);
    static void setNodeState(class OpNodeData* folder, const std::vector<class IFileNode*>& nodes);
    static void RefreshTimeTreeState(int changeTable);
    static void RefreshTypeTreeState(class OpNodeData* folder);
    static void UnselectedAllNodes();
    static void QXCleanOpNodeSate();
    static void QXTableViewCellCilck();
    // Files one node under a date root by the root's own key (takes the lock).
    static void AddFileNode(class IFileNode* node, class OpNodeData* root);
    static class QImage getImageForType(const QString& extension);
    // Wires the outlines to the scan's updates, the posts and the type and
    // date managers; the real backend calls it, tests may call it again.
    static void InstallViewTrees();
    static void GetScanFileSize(std::uint64_t* size, std::uint64_t* count) { Backend().GetScanFileSize(size, count); }
    static void RefreshData() { Backend().RefreshData(); }
    static QString GetScanProgress(double* percent, std::uint64_t* count) {
        return Backend().GetScanProgress(percent, count);
    }
    [[noreturn]] static void CloseApp() { Backend().CloseApp(); }
    // Recovery.
    // Copies the checked files under `folder` on a worker thread and posts
    // `key` when there is news (at most every 0.1 s) and once at the end; 0,
    // or a failure when `roots` or `folder` is null or a recovery still runs.
    static std::uint64_t DoRecovery(const std::vector<class IFileNode*>* roots, const QString& folder,
                                    const QString& key, QObject* object);
    static void DoRecoveryFn(QObject* object);
    // The main-thread poll of the running recovery (a 0.1 s timer).
    static void QueryStatusAndUpdateUI(const QString& key);
    static std::vector<class IFileNode*> GetSelectedFilesAndSize(std::uint64_t* size);
    static void GetSelectedFilesAmout(int* count, std::uint64_t* size);
    static QString GetRecoveryProgressTotal(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error);
    static bool IsRecoveryRunning();
    static void PauseOrResumeRecovery();
    static void StopRecvoery();
    static bool IsRecoveryToSameDevice(const QString& folder);
    static std::uint64_t GetRecoveridedSize();
    static std::uint64_t GetRecoveridedFiles();
    static std::uint64_t GetRecoveryFailedFiles();
    static void ReleaseDataRecovery();
    // Whether the recovery worker still runs (apart from the status).
    static bool IsRecoveryWorkerAlive();
};

// The tree lock: building the view trees, searching and clearing check
// marks. Taken before an operation's mutex, never after (checked in debug
// builds); take it with a deduced guard: std::lock_guard lock(g_lockerAddData).
extern TreeLock g_lockerAddData;
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
