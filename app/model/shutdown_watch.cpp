#include "model/shutdown_watch.h"

#include "text/log.h"

namespace tessela {

ShutdownWatch::ShutdownWatch(const std::optional<std::string>& address, QObject* parent)
    : QObject(parent),
      bus_(logindBus(address)),
      inhibitor_(bus_, QStringLiteral("shutdown"),
                 QStringLiteral("Tessela locks open items before the computer shuts down")) {
    if (!bus_.isConnected() ||
        !bus_.connect(QStringLiteral("org.freedesktop.login1"),
                      QStringLiteral("/org/freedesktop/login1"),
                      QStringLiteral("org.freedesktop.login1.Manager"),
                      QStringLiteral("PrepareForShutdown"), this, SLOT(prepareForShutdown(bool)))) {
        logMessage(LogLevel::info,
                   {"No logind on the system bus: open items are not locked before a shutdown "
                    "unless Tessela is quit first"},
                   LogArea::app);
    }
}

void ShutdownWatch::prepareForShutdown(bool starting) {
    if (starting) {
        Q_EMIT shuttingDown();
    }
}

}  // namespace tessela
