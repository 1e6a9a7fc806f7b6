#include "model/qt/QXUIController.h"

#include <QCoreApplication>
#include <QStringList>
#include <QThreadPool>
#include <QVariantList>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "foundation/Log.h"
#include "foundation/MessageCenter.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIRecovery.h"
#include "model/QXUIScan.h"
#include "model/WorkerThread.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/QXTypeMgr.h"
#include "model/qt/UDisksAccess.h"

TreeLock g_lockerAddData;
std::atomic<std::int64_t> g_timeCount{0};

namespace {

std::mutex g_seamLock;
std::function<std::int64_t()> g_clock;
std::function<void(int)> g_treeBuild;

std::int64_t Now() {
    std::lock_guard<std::mutex> hold(g_seamLock);
    return g_clock ? g_clock() : static_cast<std::int64_t>(std::time(nullptr));
}

// Runs on the main thread, whatever thread asks.
void OnMainThread(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

void PostBadSector(void*) { QXUIPublic::NotifyMainThread("BadSectorNotify"); }

class QXControllerBackend : public IUiControllerBackend {
public:
    QXControllerBackend() {
        QXUIScan::instance().SetNotifyHook(&QXNotifyUIUpdateData);
        QXUIScan::instance().SetNameMatcher(&QXUIPublic::IsStringInFileNode);
        QXUIController::InstallViewTrees();
        // The engine's bad-sector events reach the windows from the start.
        CProgressNotify::SetBadSectorHook(&PostBadSector, nullptr);
    }

    void GetDeviceInfoToArray(std::vector<std::unique_ptr<DiskVolumeNodeData>>& out) override {
        std::list<_DiskVolumeData> records;
        QXUIDeviceData::instance().GetAllDeviceInfo(records);
        for (auto& row : DiskVolumeNodeData::MakeRows(records)) out.push_back(std::move(row));
    }

    // A request while the listing it started still runs waits for that
    // listing: its key is posted when the listing ends, once per key, and
    // the device list (whose lock the listing holds) is not asked meanwhile,
    // so the main thread never waits for the disks. A failed listing leaves
    // the state at 0, so the next request lists again.
    void NotifiyDeviceInfoAfterInit(const QString& key) override {
        std::lock_guard hold(m_listingLock);
        if (m_listing) {
            if (!m_listingKeys.contains(key)) m_listingKeys.append(key);
            return;
        }
        if (QXUIDeviceData::instance().GetInitState() == 2) {
            QXUIPublic::NotifyMainThread(key.toStdString());
            return;
        }
        m_listing = true;
        m_listingKeys = QStringList{key};
        QThreadPool::globalInstance()->start([this] {
            InitDeviceInfoInBgThread();
            QStringList keys;
            {
                std::lock_guard done(m_listingLock);
                m_listing = false;
                keys.swap(m_listingKeys);
            }
            for (const QString& k : keys) QXUIPublic::NotifyMainThread(k.toStdString());
        });
    }

    void InitDeviceInfoInBgThread() override { QXUIDeviceData::instance().InitDeviceInfo(); }

    // The devices a scan still reads stay alive through their pin; the list
    // is rebuilt once the scan has unwound, or after 30 s in any case.
    void RefreshDeviceInfo() override {
        QXUIScan& scan = QXUIScan::instance();
        scan.StopOperation(1);
        for (int i = 0; i < m_refreshWaitSeconds && (!scan.IsOperationExit() || m_scanAlive.load()); ++i)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        QXUIDeviceData& model = QXUIDeviceData::instance();
        model.Clear();
        model.InitDeviceInfo();
        scan.SaveScanSorage(nullptr);
    }

    void initFileType() override { ::initFileType(); }

    void SetRecoveryType(unsigned mask) override { QXUIFilter::instance().ResetFilter(mask); }

    int QXOpenDmgFile(const QString& path) override {
        return QXUIDeviceData::instance().QXOpenDmgFile(path.toLocal8Bit().constData());
    }
    int QXOpenQvxFile(const QString& path) override {
        return QXUIDeviceData::instance().QXOpenQvxFileImp(path.toLocal8Bit().constData());
    }

    void DoScanWithDiskIndex(int disk, int volume, const QString&, QObject*) override {
        QXUIDeviceData& model = QXUIDeviceData::instance();
        if (!CanOpen(disk, volume)) {
            // polkit's dialog may take a while: ask off the main thread.
            QThreadPool::globalInstance()->start([this, disk, volume] {
                const int granted = RequestDeviceAccess(QXUIDeviceData::instance(), disk, volume);
                OnMainThread([this, disk, volume, granted] {
                    if (granted == 0) {
                        NotificationBus::instance()->post("DeviceAccessDenied", QVariantList{disk, volume});
                        return;
                    }
                    RefreshDeviceInfo();
                    StartScan(disk, volume);
                });
            });
            return;
        }
        (void)model;
        StartScan(disk, volume);
    }

    void DoScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) override {
        if (data == nullptr) return;
        QXUIScan::instance().SetDeepScan(0);
        DoScanWithDiskIndex(data->diskIndex(), data->volumeIndex(), key, target);
    }
    void DoDeepScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) override {
        if (data == nullptr) return;
        QXUIScan::instance().SetDeepScan(1);
        DoScanWithDiskIndex(data->diskIndex(), data->volumeIndex(), key, target);
    }
    void isQvxDoDeepScanWithData(const DiskVolumeNodeData* data, const QString& key, QObject* target) override {
        DoDeepScanWithData(data, key, target);
    }
    void DoDeepScan(QObject* target, const QString& key) override {
        int disk = -1, volume = -1;
        IStorageDevice* saved = QXUIScan::instance().GetSavedStorage();
        if (saved == nullptr || !QXUIDeviceData::instance().GetDiskVolumeIndexByStorage(saved, disk, volume) ||
            disk == -1)
            return;
        QXUIScan::instance().SetDeepScan(1);
        DoScanWithDiskIndex(disk, volume, key, target);
    }

    void PauseOrResumeScan() override { QXUIScan::instance().PauseOrResumeOperation(); }
    void StopScan(int dropFound) override { QXUIScan::instance().StopOperation(dropFound); }
    void ResetShouldBuild() override { QXUIScan::instance().SetShouldBuildTree(1); }
    bool IsScanRunning() override {
        const int status = QXUIScan::instance().GetStatus();
        return status == QXOP_STOP_REQUESTED || status == QXOP_RUNNING || status == QXOP_PAUSED;
    }
    bool IsPause() override { return QXUIScan::instance().GetStatus() == QXOP_PAUSED; }
    bool IsDeepScan() override { return QXUIScan::instance().IsDeepScan() != 0; }
    void GetScanFileSize(std::uint64_t* size, std::uint64_t* count) override {
        if (size != nullptr) *size = QXUIScan::instance().GetScanFileSize();
        if (count != nullptr) *count = QXUIScan::instance().GetScanFileCnt();
    }
    void RefreshData() override { QXUIScan::instance().RefreshAllData(); }
    QString GetScanProgress(double* percent, std::uint64_t* count) override {
        QXUIScan& scan = QXUIScan::instance();
        const _PROGRESS_INFO info = scan.GetProgressInfo();
        if (count != nullptr) *count = scan.GetScanFileCnt();
        return ScanRemainingTimeText(static_cast<std::uint64_t>(info.total), static_cast<std::uint64_t>(info.current),
                                     scan.GetScanElapseTime(), percent);
    }

    // Stops and joins before it exits, so that no worker writes on under
    // destroyed objects; a worker that does not end in time is left to the
    // kernel (_Exit runs no destructors).
    [[noreturn]] void CloseApp() override {
        QXUIScan::instance().StopOperation(1);
        QXUIRecovery::instance().StopOperation(1);
        const bool joined = ThreadRegistry::instance().JoinAll(std::chrono::seconds(5));
        CMessageCenter::Instance()->StopReceiveMessage();
        SpyIDEnd();
        std::fflush(nullptr);
        if (!joined) std::_Exit(0);
        std::exit(0);
    }

    bool ScanWorkerAlive() const { return m_scanAlive.load(); }
    void SetRefreshWaitSeconds(int seconds) { m_refreshWaitSeconds = seconds; }

private:
    static bool CanOpen(int disk, int volume) {
        std::list<_DiskVolumeData> records;
        QXUIDeviceData::instance().GetAllDeviceInfo(records);
        for (const _DiskVolumeData& record : records) {
            if (record.diskIndex != disk) continue;
            if (volume < 0) return record.beCanOpen != 0;
            for (const _DiskVolumeData& v : record.volumes)
                if (v.volumeIndex == volume) return v.beCanOpen != 0;
            return record.beCanOpen != 0;
        }
        return true;  // not listed: the start below finds no device
    }

    // A scan starts only when no scan worker is alive: an unwinding worker's
    // last report would otherwise end the new scan at once.
    void StartScan(int disk, int volume) {
        QXUIScan& scan = QXUIScan::instance();
        if (m_scanAlive.load() || !scan.IsOperationExit()) return;
        QXUIDeviceData& model = QXUIDeviceData::instance();
        // Dropped by the body when the scan ends, not with the worker object,
        // which the registry may keep until after the enumerator is gone.
        auto pin = std::make_shared<std::unique_ptr<DevicePin>>(std::make_unique<DevicePin>(model));
        IStorageDevice* storage = model.GetStorageByDiskVolumeIndex(disk, volume);
        if (storage == nullptr) return;
        {
            std::lock_guard trees(g_lockerAddData);
            g_timeCount = 0;
        }
        // The rows of the last result point at nodes the new scan releases.
        QXUIController::QXResetTreeNodeData();
        scan.ClearData();
        scan.SetStatus(QXOP_RUNNING);
        m_scanAlive = true;
        auto worker = WorkerThread::Start("scan", [this, storage, pin] { DoScanFn(storage, *pin); });
        if (!worker) {
            scan.SetStatus(QXOP_IDLE);
            m_scanAlive = false;
        }
    }

    void DoScanFn(IStorageDevice* storage, std::unique_ptr<DevicePin>& pin) {
        QXUIScan& scan = QXUIScan::instance();
        CMessageCenter* centre = CMessageCenter::Instance();
        centre->StartReceiveMessage();
        {
            CProgressNotify observer(centre);
            scan.DoScan(storage, nullptr);
            scan.ReCalTotalSize();
        }
        centre->StopReceiveMessage();
        pin.reset();
        scan.SetStatus(QXOP_IDLE);
        m_scanAlive = false;
    }

    std::atomic<bool> m_scanAlive{false};
    int m_refreshWaitSeconds = 30;
    // The listing started by a request, and the keys waiting for it.
    std::mutex m_listingLock;
    bool m_listing = false;
    QStringList m_listingKeys;
};

QXControllerBackend& RealBackend() {
    static QXControllerBackend* backend = new QXControllerBackend;
    return *backend;
}

std::atomic<IUiControllerBackend*> g_backend{nullptr};

}  // namespace

void QXUIController::SetBackend(IUiControllerBackend* backend) { g_backend = backend; }

IUiControllerBackend& QXUIController::Backend() {
    IUiControllerBackend* installed = g_backend.load();
    return installed != nullptr ? *installed : RealBackend();
}

bool IsScanWorkerAlive() { return RealBackend().ScanWorkerAlive(); }

void SetRefreshWaitSeconds(int seconds) { RealBackend().SetRefreshWaitSeconds(seconds); }

void QXNotifyUIUpdateData(int final) {
    if (final == 0 && QXUIScan::instance().IsOpTreeFinished() == 0) return;
    std::lock_guard trees(g_lockerAddData);
    std::function<void(int)> build;
    {
        std::lock_guard<std::mutex> hold(g_seamLock);
        build = g_treeBuild;
    }
    if (build) build(final);
    if (final != 0) {
        QXUIPublic::NotifyMainThread("NormalScranValue");
        return;
    }
    const std::int64_t now = Now();
    if (now - g_timeCount.load() >= 2) {
        g_timeCount = now;
        QXUIPublic::NotifyMainThread("NormalScranValue");
    }
}

void SetControllerClock(std::function<std::int64_t()> clock) {
    std::lock_guard<std::mutex> hold(g_seamLock);
    g_clock = std::move(clock);
}

void SetTreeBuildHook(std::function<void(int)> hook) {
    std::lock_guard<std::mutex> hold(g_seamLock);
    g_treeBuild = std::move(hook);
}

QString ScanRemainingTimeText(std::uint64_t total, std::uint64_t current, std::int64_t elapsed, double* percent) {
    const double done = static_cast<double>(current) * 100.0 / static_cast<double>(total == 0 ? 1 : total);
    if (percent != nullptr) *percent = done;
    const QString unknown = QStringLiteral("-:-:-");
    if (elapsed < 1 || current == 0 || done < 1.0) return unknown;
    const std::uint64_t left = total > current ? total - current : 0;
    std::int64_t remaining = static_cast<std::int32_t>(static_cast<std::uint64_t>(elapsed) * left / current);
    if (remaining < 0) remaining = 0;
    std::int64_t adjusted = remaining;
    if (current < total / 4)
        adjusted = static_cast<std::int64_t>(static_cast<double>(remaining) * 0.5);
    else if (current < total / 2)
        adjusted = static_cast<std::int64_t>(static_cast<double>(remaining) * 0.7);
    if (adjusted > 0) remaining = adjusted;
    if (remaining / 3600 > 100) return unknown;
    return QString::asprintf("%02d:%02d:%02d", static_cast<int>(remaining / 3600),
                             static_cast<int>(remaining % 3600 / 60), static_cast<int>(remaining % 60));
}

void SpyIDEnd() {}
