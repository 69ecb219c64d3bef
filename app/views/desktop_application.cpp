#include "views/desktop_application.h"

#include <qcoro/qcorotask.h>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include "commands/command_socket.h"
#include "engine/locked_names.h"
#include "model/app_paths.h"
#include "model/notifications.h"
#include "text/log.h"
#include "text/utf8.h"
#include "views/application.h"
#include "views/desktop_shell.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

// One category per area of the log. Only warnings reach the journal unless more is asked for
// (QT_LOGGING_RULES="tessela.*.info=true" or "tessela.*.debug=true"): lines below that may name
// files inside locked items, which the journal would keep long after they are locked.
Q_LOGGING_CATEGORY(engineLog, "tessela.engine", QtWarningMsg)
Q_LOGGING_CATEGORY(appLog, "tessela.app", QtWarningMsg)
Q_LOGGING_CATEGORY(finderLog, "tessela.finder", QtWarningMsg)

// Sends the log through Qt's logging: to standard error, which the desktop session hands to the
// journal, or to the terminal the application was started from.
void logThroughQt() {
    setLogSink([](const LogLine& incoming) {
        // A name may hold control characters: never sent to a terminal as they are.
        LogLine line = incoming;
        line.text = terminalSafe(line.text);
        const QLoggingCategory& (*category)() = line.area == LogArea::app      ? appLog
                                                : line.area == LogArea::finder ? finderLog
                                                                               : engineLog;
        switch (line.level) {
            case LogLevel::debug:
                qCDebug(category, "%s", line.text.c_str());
                break;
            case LogLevel::info:
                qCInfo(category, "%s", line.text.c_str());
                break;
            case LogLevel::warning:
                qCWarning(category, "%s", line.text.c_str());
                break;
        }
    });
}

// The URLs as a request to the running application: whole paths made absolute.
std::vector<std::string> asURLs(const std::vector<std::string>& opened) {
    std::vector<std::string> urls;
    for (const std::string& item : opened) {
        // Lines of the command line's own protocol are never forwarded: a launcher passing
        // them would make a link's request count as the command line's.
        if (item == CommandSocket::awaitLine || item == CommandSocket::quitRequest) {
            continue;
        }
        if (item.starts_with("tessela:") || item.starts_with("file:")) {
            urls.push_back(item);
        } else {
            const fs::path path = fs::absolute(item).lexically_normal();
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path.string()))
                               .toString(QUrl::FullyEncoded)
                               .toStdString());
        }
    }
    return urls;
}

// Hands `urls` to the running application; true once it took them.
bool handOver(const std::optional<fs::path>& socket, const std::vector<std::string>& urls) {
    try {
        return socket && CommandSocket::deliver(*socket, urls, std::chrono::seconds(5)) ==
                             CommandSocket::Delivery::delivered;
    } catch (const std::exception&) {
        logCaught(LogLevel::debug, {"Could not hand the request to the running application"},
                  LogArea::app);
        return false;
    }
}

}  // namespace

bool isSomethingToOpen(const std::string& argument) {
    return argument.starts_with("tessela:") || argument.starts_with("file:") ||
           fs::path(argument).extension() == LockedNames::lockedExtension;
}

int runDesktopApplication(int argc, char** argv, const std::vector<std::string>& opened) {
    logThroughQt();
    const std::vector<std::string> urls = asURLs(opened);
    const std::optional<fs::path> socket = CommandSocket::defaultPath();
    // A running application takes what this start was asked to open; started with nothing to
    // open, its window comes forward.
    const std::vector<std::string> request =
        urls.empty() ? std::vector<std::string>{std::string(CommandSocket::showRequest)} : urls;
    if (handOver(socket, request)) {
        return 0;
    }
    // Without a desktop the application still runs: offscreen.
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
        std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    QApplication qtApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessela"));
    QApplication::setQuitOnLastWindowClosed(false);
    Application application(AppModel::Options::standard());
    try {
        if (!application.takeRecords()) {
            // Another copy works with these records. It listens from the moment it holds them:
            // what this start was asked to open goes there, or is said to be lost.
            for (int attempt = 0; attempt < 20; ++attempt) {
                if (handOver(socket, request)) {
                    return 0;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
            // Started from a menu, nobody reads standard error: the desktop says it too.
            const QString sentence = QStringLiteral(
                "Another copy of Tessela is working with your locked items and could not be "
                "reached. Try again when it has finished.");
            std::cerr << "tessela: " << sentence.toStdString() << '\n';
            Notifications::post(QStringLiteral("Tessela could not open"), sentence);
            // The notification is sent before the process ends: a call on the same connection
            // is answered only after it.
            (void)QDBusConnection::sessionBus().call(
                QDBusMessage::createMethodCall(
                    QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                    QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")),
                QDBus::Block, 2000);
            return 1;
        }
    } catch (const std::system_error& error) {
        std::cerr << "tessela: Tessela cannot use its records in " << AppPaths::support().string()
                  << ": " << error.code().message() << ".\n";
        return 1;
    }
    if (socket) {
        try {
            application.listen(*socket);
        } catch (const std::exception& error) {
            std::cerr << "tessela: other programs cannot reach Tessela: " << error.what() << '\n';
        }
    }
    QObject::connect(&application, &Application::ended, [](int code) { QApplication::exit(code); });
    DesktopShell shell(application.model(), [&application] {
        QCoro::connect(application.quit(true), &application, [](bool) {});
    });
    QObject::connect(&application, &Application::showRequested, &shell.window(),
                     &MainWindow::present);
    application.quitOnSignals();
    application.followSession();
    application.take(urls, std::nullopt);
    QCoro::connect(application.start(), &application, [](bool started) {
        if (!started) {
            QTimer::singleShot(0, [] { QApplication::exit(1); });
        }
    });
    return QApplication::exec();
}

}  // namespace tessela
