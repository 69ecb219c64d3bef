#include "views/desktop_application.h"

#include <qcoro/qcorotask.h>
#include <QApplication>
#include <QTimer>
#include <QUrl>

#include <filesystem>
#include <iostream>
#include <memory>

#include "commands/command_socket.h"
#include "commands/sender_check.h"
#include "commands/tessela_command.h"
#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/command_server.h"
#include "model/notifications.h"
#include "views/prompt_panel.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view lockedSuffix = ".tessvault";

// The request a locked item's path or a file link makes: an unlock.
std::optional<TesselaCommand> openingCommand(const std::string& url) {
    std::string path = url;
    if (path.starts_with("file://")) {
        const QUrl link(QString::fromStdString(url));
        path = link.isLocalFile() ? link.toLocalFile().toStdString() : std::string();
    }
    if (!path.empty() && path.front() == '/' && fs::path(path).extension() == lockedSuffix) {
        return TesselaCommand::unlock(fs::path(path).lexically_normal());
    }
    return std::nullopt;
}

// What the application does with the URLs of one request, in order: a locked item to open is
// unlocked; a command is handed to the model, a lock asked for by an unidentified sender only
// once the user confirms it; anything else is ignored.
void intake(AppModel& model, const std::vector<std::string>& urls,
            const std::optional<std::string>& sender) {
    const bool testOverride = AppPaths::isTestOverride();
    for (const std::string& url : urls) {
        if (const std::optional<TesselaCommand> opening = openingCommand(url)) {
            model.handle(*opening);
            continue;
        }
        const std::optional<TesselaCommand> command = TesselaCommand::parse(url);
        if (!command) {
            continue;
        }
        if (command->needsConfirmation(sender, testOverride) &&
            PromptPanel::choose(QString::fromStdString(command->confirmationQuestion()),
                                QStringLiteral("Only lock it if you asked for this."),
                                {QStringLiteral("Lock"), QStringLiteral("Cancel")}) != 0) {
            continue;
        }
        model.handle(*command);
    }
}

// The URLs as a request to the running application: whole paths made absolute.
std::vector<std::string> asURLs(const std::vector<std::string>& opened) {
    std::vector<std::string> urls;
    for (const std::string& item : opened) {
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

}  // namespace

bool isSomethingToOpen(const std::string& argument) {
    return argument.starts_with("tessela:") || argument.starts_with("file:") ||
           fs::path(argument).extension() == lockedSuffix;
}

int runDesktopApplication(int argc, char** argv, const std::vector<std::string>& opened) {
    const std::vector<std::string> urls = asURLs(opened);
    const std::optional<fs::path> socket = CommandSocket::defaultPath();
    // A running application takes what this start was asked to open.
    if (socket && !urls.empty()) {
        try {
            if (CommandSocket::deliver(*socket, urls, std::chrono::seconds(5)) ==
                CommandSocket::Delivery::delivered) {
                return 0;
            }
        } catch (const std::exception&) {
            // Not answered: this start becomes the application and takes them itself.
        }
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessela"));
    QApplication::setQuitOnLastWindowClosed(false);
    AppModel model(AppModel::Options::standard());

    // The operations that open, lock and remove locks join the application with their prompts
    // and progress; until then a request for one is answered honestly rather than dropped.
    QObject::connect(
        &model, &AppModel::operationRequested, &model, [](const TesselaCommand& command) {
            const auto [what, line] = [&]() -> std::pair<const char*, const char*> {
                switch (command.kind()) {
                    case TesselaCommand::Case::lock:
                        return {"lock items", "tessela lock PATH"};
                    case TesselaCommand::Case::lockNow:
                        return {"lock open items again", "tessela relock PATH"};
                    case TesselaCommand::Case::unlock:
                        return {"unlock items", "tessela unlock PATH"};
                    case TesselaCommand::Case::removeLock:
                        return {"remove locks", "tessela remove-lock PATH"};
                    case TesselaCommand::Case::reveal:
                        break;
                }
                return {"do this", "tessela --help"};
            }();
            Notifications::post(QStringLiteral("Tessela"),
                                QStringLiteral("This version of the application cannot %1 yet. In "
                                               "a terminal: %2")
                                    .arg(QString::fromUtf8(what), QString::fromUtf8(line)));
        });
    std::unique_ptr<CommandServer> server;
    QCoro::connect(model.start(), &model, [&](bool started) {
        if (!started) {
            // Another copy works with these records: nothing to show. Queued, since this may
            // run before the event loop does.
            QTimer::singleShot(0, [] { QApplication::exit(0); });
            return;
        }
        if (socket) {
            try {
                server =
                    std::make_unique<CommandServer>(*socket, SenderCheck::Programs::installed());
                QObject::connect(server.get(), &CommandServer::requestReceived, &model,
                                 [&model](const std::vector<std::string>& request,
                                          const std::optional<std::string>& sender) {
                                     intake(model, request, sender);
                                 });
            } catch (const std::exception& error) {
                std::cerr << "tessela: other programs cannot reach Tessela: " << error.what()
                          << '\n';
            }
        }
        intake(model, urls, std::nullopt);
    });
    return QApplication::exec();
}

}  // namespace tessela
