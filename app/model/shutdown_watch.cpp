#include "model/shutdown_watch.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include "text/log.h"

namespace tessela {

namespace {

constexpr const char* service = "org.freedesktop.login1";
constexpr const char* path = "/org/freedesktop/login1";
constexpr const char* manager = "org.freedesktop.login1.Manager";

QDBusConnection busAt(const std::optional<std::string>& address) {
    if (!address) {
        return QDBusConnection::systemBus();
    }
    return QDBusConnection::connectToBus(QString::fromStdString(*address),
                                         QStringLiteral("tessela-logind"));
}

}  // namespace

ShutdownWatch::ShutdownWatch(const std::optional<std::string>& address, QObject* parent)
    : QObject(parent), bus_(busAt(address)) {
    if (!bus_.isConnected() ||
        !bus_.connect(QString::fromLatin1(service), QString::fromLatin1(path),
                      QString::fromLatin1(manager), QStringLiteral("PrepareForShutdown"), this,
                      SLOT(prepareForShutdown(bool)))) {
        logMessage(LogLevel::info,
                   {"No logind on the system bus: open items are not locked before a shutdown "
                    "unless Tessela is quit first"},
                   LogArea::app);
    }
}

void ShutdownWatch::setHolding(bool holding) {
    if (holding == wanted_) {
        return;
    }
    wanted_ = holding;
    if (!holding) {
        inhibitor_ = QDBusUnixFileDescriptor();  // closed: logind goes on
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(service), QString::fromLatin1(path),
                                       QString::fromLatin1(manager), QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown") << QStringLiteral("Tessela")
         << QStringLiteral("Tessela locks open items before the computer shuts down")
         << QStringLiteral("delay");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        if (reply.isError()) {
            logMessage(LogLevel::info,
                       {"logind would not wait for Tessela at shutdown: ",
                        reply.error().message().toStdString()},
                       LogArea::app);
            return;
        }
        // Still wanted now? The items may all have been locked while logind answered.
        if (wanted_) {
            inhibitor_ = reply.value();
        }
    });
}

void ShutdownWatch::prepareForShutdown(bool starting) {
    if (starting) {
        Q_EMIT shuttingDown();
    }
}

}  // namespace tessela
