#include "model/qt/NotificationBus.h"

#include <QCoreApplication>
#include <QThread>

#include "model/QXPublic.h"

NotificationBus* NotificationBus::instance() {
    static NotificationBus* bus = [] {
        auto* made = new NotificationBus();
        if (QCoreApplication* app = QCoreApplication::instance(); app != nullptr && made->thread() != app->thread())
            made->moveToThread(app->thread());
        return made;
    }();
    return bus;
}

void NotificationBus::post(const QString& name, const QVariant& object) { emit notified(name, object); }

QMetaObject::Connection NotificationBus::observe(const QString& name, QObject* context,
                                                 std::function<void(const QVariant&)> fn) {
    return connect(this, &NotificationBus::notified, context,
                   [name, fn = std::move(fn)](const QString& posted, const QVariant& object) {
                       if (posted == name) fn(object);
                   });
}

void QXUIPublic::NotifyMainThread(const std::string& name) {
    NotificationBus* bus = NotificationBus::instance();
    const QString key = QString::fromStdString(name);
    QMetaObject::invokeMethod(
        bus, [bus, key] { bus->post(key); }, Qt::QueuedConnection);
}
