// The controller's side of scan-result files: starting a save or restore, the
// poll that tells the windows about it, its progress, the proposed file name
// and the remembered folder.
#include <QDateTime>
#include <QTimer>

#include <ctime>

#include "foundation/Log.h"
#include "model/QXUIDeviceData.h"
#include "model/QXUIScan.h"
#include "model/SaveRestoreResult.h"
#include "model/qt/NotificationBus.h"
#include "model/qt/PrivateDataStore.h"
#include "model/qt/QXUIController.h"

namespace {

QXUIOperation& OperationOf(int save) {
    if (save != 0) return QXSaveAndRestoreNodeOperate::instance();
    return QXUIScan::instance();
}

// Over once the operation left "running" and its thread has ended: the end
// record comes last, so nothing is posted after the finish.
bool Ended(QXUIOperation& operation) {
    const int status = operation.GetStatus();
    return status != QXOP_RUNNING && status != QXOP_PAUSED && !SaveRestoreResult::IsRunning();
}

}  // namespace

void QXUIController::RestorPostUIUpdate(const QString& key, int save) {
    OperationOf(save).SetStatus(QXOP_RUNNING);
    NotificationBus* bus = NotificationBus::instance();
    // The timer lives on the main thread whoever asks.
    QMetaObject::invokeMethod(bus, [bus, key, save] {
        auto* timer = new QTimer(bus);
        timer->setInterval(100);
        QObject::connect(timer, &QTimer::timeout, bus, [bus, timer, key, save] {
            QXUIOperation& operation = OperationOf(save);
            const bool ended = Ended(operation);
            if (operation.IsNeedUIUpdate() != 0) {
                operation.SetNeedUIUpdate(0);
                bus->post(key);
            }
            if (!ended) return;
            timer->stop();
            timer->deleteLater();
            CatchExeception::WriteLog("---------Send Progress finish notify to UI-------\n");
            bus->post("QueryProgressFinish");
            CatchExeception::WriteLog("---------The Progress thread is exited-----------\n");
        });
        timer->start();
    });
}

int QXUIController::beginSaveOrRestoreNode(int save, const QString& file, const QString& qvxPath) {
    const QByteArray path = file.toUtf8();
    int started = 0;
    IProgress* sink = nullptr;
    if (save != 0) {
        sink = &QXSaveAndRestoreNodeOperate::instance();
        started = DoSaveScanResult(path.constData(), sink);
    } else {
        QXUIScan& scan = QXUIScan::instance();
        sink = &scan;
        scan.ClearData();
        scan.SetStatus(QXOP_RUNNING);
        const QByteArray qvx = qvxPath.toUtf8();
        started = DoRestoreScanResult(path.constData(), sink, qvxPath.isEmpty() ? nullptr : qvx.constData());
    }
    if (started != 0) {
        // Nothing runs: end the operation with a failure, so that the poll
        // ends and the window shows it.
        SaveRestoreResult::TipError(sink, scanresult::kResultNotOpened);
        OperationOf(save).SetStatus(QXOP_IDLE);
        OperationOf(save).SetNeedUIUpdate(1);
    }
    return started;
}

void QXUIController::GetSaveorRestoreProgress(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error,
                                              int save) {
    const _PROGRESS_INFO info = OperationOf(save).GetProgressInfo();
    if (total != nullptr) *total = static_cast<std::uint64_t>(info.total);
    if (current != nullptr)
        *current = static_cast<std::uint64_t>(info.state == PROGRESS_STATE_FINISHED ? info.total : info.current);
    if (error != nullptr) *error = static_cast<std::uint64_t>(info.error);
}

QString QXUIController::GetSaveFileName() {
    QXUIDeviceData& devices = QXUIDeviceData::instance();
    IStorageDevice* storage = QXUIScan::instance().GetSavedStorage();
    _DiskVolumeData record;
    if (storage != nullptr) {
        if (devices.IsDiskStorage(storage))
            devices.GetDiskDataByStorage(storage, record);
        else
            devices.GetVolumeDataByStorage(storage, record);
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[64];
    std::snprintf(when, sizeof when, "%02d-%02d-%04d at %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    // A name is a file name: a "/" in a device's name would make it a path.
    QString name = QString::fromStdString(record.name);
    name.replace('/', '_');
    return QStringLiteral("%1_%2").arg(name, QString::fromLatin1(when));
}

bool QXUIController::SavePathToPList(const QString& folder) {
    return PrivateDataStore::instance().setValue(QStringLiteral("SavePath"), folder);
}

QString QXUIController::GetSavePath() { return PrivateDataStore::instance().value(QStringLiteral("SavePath")); }
