#include "model/qt/UDisksAccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>
#include <algorithm>

#include "foundation/Log.h"
#include "model/QXUIDeviceData.h"
#include "model/qt/TextLookup.h"
#include "platform/SysfsBlockInfo.h"
#include "storage/DeviceAccess.h"
#include "storage/DeviceData.h"
#include "storage/DevicePath.h"

namespace {

constexpr char kService[] = "org.freedesktop.UDisks2";
constexpr char kManagerPath[] = "/org/freedesktop/UDisks2/Manager";
constexpr char kManagerInterface[] = "org.freedesktop.UDisks2.Manager";
constexpr char kBlockInterface[] = "org.freedesktop.UDisks2.Block";
// A password dialog waits for the user; a listing must not.
constexpr int kInteractiveTimeoutMs = 5 * 60 * 1000;
constexpr int kQuietTimeoutMs = 10 * 1000;

QDBusConnection Bus(int generation) {
    const QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address.isEmpty()) return QDBusConnection::systemBus();
    const QString name = QStringLiteral("quillory-udisks-%1").arg(generation);
    QDBusConnection existing(name);
    if (existing.isConnected()) return existing;
    return QDBusConnection::connectToBus(QString::fromLocal8Bit(address), name);
}

bool IsAuthorisationError(const QString& name) {
    return name.startsWith("org.freedesktop.UDisks2.Error.NotAuthorized");
}

// A duplicate of the descriptor in the reply, or -1 with the error text.
int DescriptorOf(const QDBusMessage& reply, QString* error) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        if (error) *error = reply.errorName() + ": " + reply.errorMessage();
        return -1;
    }
    const auto fd = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().first());
    if (!fd.isValid()) {
        if (error) *error = QStringLiteral("no descriptor in the reply");
        return -1;
    }
    return ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

}  // namespace

UDisksAccess& UDisksAccess::instance() {
    static UDisksAccess access;
    return access;
}

void UDisksAccess::Install() {
    SetDeviceOpenFallback([this](const std::string& path) { return Open(QString::fromStdString(path), false); });
}

void UDisksAccess::Uninstall() { SetDeviceOpenFallback({}); }

int UDisksAccess::Granted(const QString& devicePath) {
    QMutexLocker hold(&m_lock);
    auto it = m_granted.find(devicePath);
    return it == m_granted.end() ? -1 : ::fcntl(*it, F_DUPFD_CLOEXEC, 0);
}

int UDisksAccess::Open(const QString& devicePath, bool interactive, QString* error) {
    // Only device nodes: UDisks2 knows nothing of image files.
    if (!devicePath.startsWith("/dev/")) return -1;
    if (const int fd = Granted(devicePath); fd >= 0) return fd;

    int generation;
    {
        QMutexLocker hold(&m_lock);
        generation = m_connection;
    }
    QDBusConnection bus = Bus(generation);
    if (!bus.isConnected()) {
        if (error) *error = QStringLiteral("no system bus");
        return -1;
    }
    QVariantMap options;
    options.insert("auth.no_user_interaction", !interactive);
    const int timeout = interactive ? kInteractiveTimeoutMs : kQuietTimeoutMs;

    QDBusMessage resolve = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerInterface, "ResolveDevice");
    QVariantMap spec;
    spec.insert("path", devicePath);
    resolve << spec << options;
    const QDBusMessage resolved = bus.call(resolve, QDBus::Block, timeout);
    const QList<QDBusObjectPath> objects =
        resolved.type() == QDBusMessage::ReplyMessage && !resolved.arguments().isEmpty()
            ? qdbus_cast<QList<QDBusObjectPath>>(resolved.arguments().first())
            : QList<QDBusObjectPath>();
    if (objects.isEmpty()) {
        if (error) *error = resolved.errorName().isEmpty() ? QStringLiteral("unknown device") : resolved.errorMessage();
        return -1;
    }
    const QString object = objects.first().path();

    QDBusMessage backup = QDBusMessage::createMethodCall(kService, object, kBlockInterface, "OpenForBackup");
    backup << options;
    QDBusMessage reply = bus.call(backup, QDBus::Block, timeout);
    int fd = DescriptorOf(reply, error);
    if (fd < 0 && reply.type() == QDBusMessage::ErrorMessage && !IsAuthorisationError(reply.errorName())) {
        // OpenForBackup opens exclusively, which the kernel refuses for a
        // mounted volume or a disk in use; OpenDevice("r") does not.
        QDBusMessage plain = QDBusMessage::createMethodCall(kService, object, kBlockInterface, "OpenDevice");
        plain << QStringLiteral("r") << options;
        fd = DescriptorOf(bus.call(plain, QDBus::Block, timeout), error);
    }
    if (fd < 0) {
        LogDiagnostic("UDisks2 gave no descriptor for %s\n", qPrintable(devicePath));
        return -1;
    }
    QMutexLocker hold(&m_lock);
    if (!m_granted.contains(devicePath)) {
        const int kept = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (kept >= 0) m_granted.insert(devicePath, kept);
    }
    return fd;
}

bool UDisksAccess::IsAvailable() {
    int generation;
    {
        QMutexLocker hold(&m_lock);
        generation = m_connection;
    }
    QDBusConnection bus = Bus(generation);
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    if (bus.interface()->isServiceRegistered(kService)) return true;
    const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}

void UDisksAccess::Reset() {
    QMutexLocker hold(&m_lock);
    for (int fd : std::as_const(m_granted)) ::close(fd);
    m_granted.clear();
    QDBusConnection::disconnectFromBus(QStringLiteral("quillory-udisks-%1").arg(m_connection));
    ++m_connection;
}

int RequestDeviceAccess(QXUIDeviceData& model, int disk, int volume) {
    IStorageDevice* diskDevice = model.GetStorageByDiskVolumeIndex(disk, -1);
    if (diskDevice == nullptr) return 0;
    std::vector<std::string> names;
    auto add = [&names](const std::string& name) {
        if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    if (const CCollectDiskDeviceInfoStruct* info = DiskInfoOf(diskDevice); info != nullptr && volume < 0) {
        const std::string diskName(info->bsdName, strnlen(info->bsdName, sizeof info->bsdName));
        add(diskName);
        // A disk that could not be read was listed without its partition
        // table, so its listed volumes are not all it holds: the kernel's
        // partitions are asked for too.
        for (const SysfsPartition& partition : SysfsBlockInfo("/sys").ListPartitions(diskName)) add(partition.name);
    }
    std::list<IStorageDevice*> volumes;
    model.GetDiskVolumeStorage(diskDevice, volumes);
    int index = 0;
    for (IStorageDevice* v : volumes) {
        if (volume < 0 || index == volume)
            if (const CCollectedVolumeDeviceInfoStruct* info = VolumeInfoOf(v))
                add(std::string(info->bsdName, strnlen(info->bsdName, sizeof info->bsdName)));
        ++index;
    }
    if (names.empty()) return 0;
    int granted = 1;
    for (const std::string& name : names) {
        const std::string path = DevicePathOf(name.c_str());
        if (path.empty()) continue;  // a converted partition has no node of its own
        const int fd = UDisksAccess::instance().Open(QString::fromStdString(path), true);
        if (fd < 0)
            granted = 0;
        else
            ::close(fd);
    }
    return granted;
}

QString DeviceAccessHelp(const _DiskVolumeData& record) {
    if (record.beCanOpen) return QString();
    return UDisksAccess::instance().IsAvailable() ? L("DEVICE_ACCESS_WILL_ASK") : L("DEVICE_ACCESS_DISK_GROUP");
}
