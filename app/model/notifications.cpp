#include "model/notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace tessela {

void Notifications::post(const QString& title, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QString::fromUtf8(applicationName) << 0U << QString::fromUtf8(iconName) << title << body
         << QStringList() << QVariantMap() << -1;
    // Sent without waiting: a missing or slow service never holds the application up.
    call.setAutoStartService(true);
    bus.send(call);
}

}  // namespace tessela
