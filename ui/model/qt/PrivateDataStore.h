#pragma once
// The application's private data: read-only defaults shipped as a resource
// ("PRODUCTNAME"), overlaid by the user's PrivateData.plist in the config
// folder, which takes every write ("SavePath", "upDataTimeStr"). A damaged
// user file is ignored with a log line and replaced on the next write.

#include <QMap>
#include <QMutex>
#include <QString>

class PrivateDataStore {
public:
    static PrivateDataStore& instance();

    // The user's file: <config folder>/PrivateData.plist.
    static QString UserFilePath();

    QString value(const QString& key);
    // Rewrites the user file atomically; false when it cannot be written.
    bool setValue(const QString& key, const QString& value);
    // Reads the files again (after the test folder or the files changed).
    void reload();

private:
    PrivateDataStore() = default;
    void LoadLocked();

    QMutex m_lock;
    bool m_loaded = false;
    QMap<QString, QString> m_defaults;
    QMap<QString, QString> m_user;
};

// The string entries of a property list (XML or binary); false when the
// bytes are not a property list whose top is a dictionary.
bool ParsePrivateDataPlist(const QByteArray& bytes, QMap<QString, QString>& out);
