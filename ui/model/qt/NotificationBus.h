#pragma once
// Named notifications from any thread to the windows, delivered on the main
// thread. Nothing here ever waits for the main thread: the main thread itself
// waits for workers (a device-list refill), so a worker waiting on it would
// deadlock.

#include <QObject>
#include <QString>
#include <QVariant>
#include <functional>

class NotificationBus : public QObject {
    Q_OBJECT
public:
    // Made on first call and moved to the application's thread; call it on
    // the main thread before any worker starts.
    static NotificationBus* instance();

    // Emits notified() at once, on the calling thread.
    void post(const QString& name, const QVariant& object = {});
    // Calls `fn` for each notification of that name, in `context`'s thread,
    // until `context` is destroyed or the connection is broken.
    QMetaObject::Connection observe(const QString& name, QObject* context, std::function<void(const QVariant&)> fn);

signals:
    void notified(const QString& name, const QVariant& object);

private:
    using QObject::QObject;
};
