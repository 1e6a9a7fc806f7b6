#pragma once
// Read-only descriptors of block devices from UDisks2 over the system D-Bus,
// for a desktop user who may not open them. UDisks2 checks the polkit action
// "open-device", which for an active session asks for an administrator
// password once and keeps it for a few minutes. Descriptors granted are kept
// by device path for the rest of the process, so the next listing opens
// those devices again without asking.

#include <QHash>
#include <QMutex>
#include <QString>

#include "model/DiskVolumeData.h"

class QXUIDeviceData;

class UDisksAccess {
public:
    static UDisksAccess& instance();

    // Registers the engine's open fallback: listing devices asks UDisks2
    // without ever showing a password dialog.
    void Install();
    void Uninstall();

    // A new read-only descriptor of "/dev/NAME" (the caller owns it), or -1.
    // `interactive` lets polkit ask the user. OpenForBackup is asked first;
    // when the kernel refuses it as busy (it opens exclusively, and a mounted
    // volume is in use) the non-exclusive OpenDevice("r") is asked.
    int Open(const QString& devicePath, bool interactive, QString* error = nullptr);
    // Whether UDisks2 is on the bus or can be started by it.
    bool IsAvailable();

    // Forgets the descriptors granted and the bus connection; the next call
    // connects again (to DBUS_SYSTEM_BUS_ADDRESS when set). For tests.
    void Reset();

private:
    UDisksAccess() = default;
    int Granted(const QString& devicePath);

    QMutex m_lock;
    QHash<QString, int> m_granted;  // owned descriptors, by device path
    int m_connection = 0;           // generation of the bus connection's name
};

// Asks again, letting polkit ask the user, for a listed disk and its listed
// volumes (volume -1: the disk and all its volumes; else that volume). 1 when
// every device asked for was granted. Run it off the main thread; the caller
// then refreshes the device list, which opens them with the descriptors.
int RequestDeviceAccess(QXUIDeviceData& model, int disk, int volume);

// The text the front end shows for a device the user cannot read: how to get
// access, or that Quillory will ask for a password. Empty for a readable one.
QString DeviceAccessHelp(const _DiskVolumeData& record);
