#include "model/qt/AppInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QMutex>
#include <QStandardPaths>

#include "model/QXPublic.h"

namespace {

QMutex g_lock;
// Held until the process ends; never destroyed, so the lock file outlives
// static destruction as long as the process does.
QHash<QString, QLockFile*>& HeldLocks() {
    static auto* held = new QHash<QString, QLockFile*>();
    return *held;
}

}  // namespace

QString AppInstanceLockPath() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) folder = QDir::tempPath();
    return folder + "/quillory.lock";
}

bool IsAppRunningAt(const QString& lockPath) {
    QMutexLocker hold(&g_lock);
    if (HeldLocks().contains(lockPath)) return false;
    QDir().mkpath(QFileInfo(lockPath).absolutePath());
    auto* lock = new QLockFile(lockPath);
    // Never stale by age: a long recovery holds it for hours.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        HeldLocks().insert(lockPath, lock);
        return false;
    }
    const bool held = lock->error() == QLockFile::LockFailedError;
    delete lock;
    return held;
}

bool IsAppRunning() { return IsAppRunningAt(AppInstanceLockPath()); }
