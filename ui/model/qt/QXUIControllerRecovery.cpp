// The controller's recovery side: starting a recovery on a worker thread,
// the main-thread poll that tells the windows, the checked-file totals, the
// progress, pause, resume and stop, and the same-device guard.
#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <memory>

#include "foundation/Log.h"
#include "model/QXPublic.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIRecovery.h"
#include "model/QXUIScan.h"
#include "model/WorkerThread.h"
#include "model/qt/QXUIController.h"

namespace {

// No roots or no folder.
constexpr std::uint64_t kRecoveryNilArgument = 0x0102052400000001ULL;
// A recovery still runs (or still unwinds).
constexpr std::uint64_t kRecoveryBusy = 0x0102052500000010ULL;
// The worker thread could not be made.
constexpr std::uint64_t kRecoveryNoThread = 0x0102052600000011ULL;

// Set before the worker starts, cleared when its body has returned.
std::atomic<bool> g_recoveryAlive{false};

void RunOnMainThread(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    if (QThread::currentThread() == app->thread())
        fn();
    else
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

}  // namespace

std::uint64_t QXUIController::DoRecovery(const std::vector<IFileNode*>* roots, const QString& folder,
                                         const QString& key, QObject* object) {
    if (roots == nullptr || folder.isNull()) return kRecoveryNilArgument;
    if (g_recoveryAlive.load() || IsRecoveryRunning()) return kRecoveryBusy;
    QXUIRecovery& recovery = QXUIRecovery::instance();
    const std::string destination = QFile::encodeName(folder).toStdString() + "/";
    recovery.SetRecoveryPath(destination.c_str());
    recovery.ClearCreateDirIndex();
    recovery.SetShouldBuildTree(1);
    recovery.SetStatus(QXOP_RUNNING);
    g_recoveryAlive = true;
    QueryStatusAndUpdateUI(key);
    auto worker = WorkerThread::Start("recovery", [object] {
        DoRecoveryFn(object);
        g_recoveryAlive = false;
    });
    if (!worker) {
        recovery.SetStatus(QXOP_IDLE);
        recovery.SetNeedUIUpdate(1);
        g_recoveryAlive = false;
        return kRecoveryNoThread;
    }
    return 0;
}

void QXUIController::DoRecoveryFn(QObject*) {
    // The scanned device stays alive while its files are read, whatever
    // happens to the device list meanwhile.
    DevicePin pin;
    std::string tagFolders, rawFolders;
    int flags[3] = {0, 0, 0};
    (void)QXUIRecovery::instance().DoRecovery(tagFolders, rawFolders, flags);
}

// A timer on the main thread rather than a thread of its own: the windows are
// only touched there, and it also fires inside a modal dialog's loop.
void QXUIController::QueryStatusAndUpdateUI(const QString& key) {
    RunOnMainThread([key] {
        auto* timer = new QTimer(QCoreApplication::instance());
        auto posted = std::make_shared<bool>(false);
        timer->setInterval(100);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, key, posted] {
            QXUIRecovery& recovery = QXUIRecovery::instance();
            if (recovery.IsNeedUIUpdate() != 0) {
                recovery.SetNeedUIUpdate(0);
                if (recovery.IsOpTreeFinished() != 0) {
                    QXUIPublic::NotifyMainThread(key.toStdString());
                    *posted = true;
                }
            }
            if (!recovery.IsOperationExit() || g_recoveryAlive.load()) return;
            if (!*posted) QXUIPublic::NotifyMainThread(key.toStdString());
            recovery.SetNeedUIUpdate(0);
            CatchExeception::WriteLog("!!!!!!! The state query thread is exited!!!!!!!!!\n");
            timer->stop();
            timer->deleteLater();
        });
        timer->start();
    });
}

std::vector<IFileNode*> QXUIController::GetSelectedFilesAndSize(std::uint64_t* size) {
    std::vector<IFileNode*> checked;
    for (const auto& [type, nodes] : QXUIScan::instance().GetTypeMap())
        for (IFileNode* node : nodes) {
            if (node == nullptr || node->IsNodeShow() == 0 || node->GetCheckedStatus() != CHECKED_ALL) continue;
            checked.push_back(node);
            if (size != nullptr) *size += static_cast<std::uint64_t>(node->GetFileSize());
        }
    return checked;
}

void QXUIController::GetSelectedFilesAmout(int* count, std::uint64_t* size) {
    std::uint64_t local = 0;
    std::uint64_t* total = size != nullptr ? size : &local;
    const std::vector<IFileNode*> checked = GetSelectedFilesAndSize(total);
    if (count != nullptr) *count = static_cast<int>(checked.size());
    QXUIRecovery& recovery = QXUIRecovery::instance();
    recovery.SetRecoveryTotalSize(*total);
    recovery.SetRecoveryTotalFilesCnt(checked.size());
}

QString QXUIController::GetRecoveryProgressTotal(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error) {
    QXUIRecovery& recovery = QXUIRecovery::instance();
    const _PROGRESS_INFO info = recovery.GetProgressInfo();
    if (total != nullptr) *total = static_cast<std::uint64_t>(info.total);
    if (current != nullptr) *current = static_cast<std::uint64_t>(info.current);
    if (error != nullptr) *error = static_cast<std::uint64_t>(info.error);
    IFileNode* node = recovery.GetCurrentRecoveryNode();
    const char* name = node != nullptr ? node->GetFileName() : nullptr;
    return name != nullptr ? QString::fromUtf8(name) : QString();
}

bool QXUIController::IsRecoveryRunning() {
    const int status = QXUIRecovery::instance().GetStatus();
    return status == QXOP_RUNNING || status == QXOP_PAUSED;
}

void QXUIController::PauseOrResumeRecovery() { QXUIRecovery::instance().PauseOrResumeOperation(); }

void QXUIController::StopRecvoery() { QXUIRecovery::instance().StopOperation(1); }

bool QXUIController::IsRecoveryToSameDevice(const QString& folder) {
    if (folder.isEmpty()) return false;
    return QXUIRecovery::instance().RecoveryPathIsSameDevice(QFile::encodeName(folder).constData()) != 0;
}

std::uint64_t QXUIController::GetRecoveridedSize() { return QXUIRecovery::instance().GetRecoveriedFileSize(); }

std::uint64_t QXUIController::GetRecoveridedFiles() { return QXUIRecovery::instance().GetRecoveriedFilesCnt(); }

std::uint64_t QXUIController::GetRecoveryFailedFiles() { return QXUIRecovery::instance().GetRecoveryFailedFilesCnt(); }

void QXUIController::ReleaseDataRecovery() {
    QXUIScan::instance().ReleaseDataRecovery();
    QXUIRecovery::instance().ReleaseDataRecovery();
}

bool QXUIController::IsRecoveryWorkerAlive() { return g_recoveryAlive.load(); }
