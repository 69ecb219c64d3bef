#include "model/delay_inhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include "text/log.h"

namespace tessela {

QDBusConnection logindBus(const std::optional<std::string>& address) {
    if (!address) {
        return QDBusConnection::systemBus();
    }
    return QDBusConnection::connectToBus(QString::fromStdString(*address),
                                         QStringLiteral("tessela-logind"));
}

DelayInhibitor::DelayInhibitor(QDBusConnection bus, QString what, QString why, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), what_(std::move(what)), why_(std::move(why)) {}

void DelayInhibitor::setHolding(bool holding) {
    if (holding == wanted_) {
        return;
    }
    wanted_ = holding;
    if (!holding) {
        inhibitor_ = QDBusUnixFileDescriptor();  // closed: logind goes on
        return;
    }
    if (!bus_.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << what_ << QStringLiteral("Tessela") << why_ << QStringLiteral("delay");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        if (reply.isError()) {
            logMessage(LogLevel::info,
                       {"logind would not wait for Tessela (", what_.toStdString(),
                        "): ", reply.error().message().toStdString()},
                       LogArea::app);
            return;
        }
        // Still wanted now? The items may all have been locked while logind answered.
        if (wanted_) {
            inhibitor_ = reply.value();
        }
    });
}

}  // namespace tessela
