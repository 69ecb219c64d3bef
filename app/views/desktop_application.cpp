#include "views/desktop_application.h"

#include <qcoro/qcorotask.h>
#include <QApplication>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "commands/command_socket.h"
#include "commands/sender_check.h"
#include "commands/tessela_command.h"
#include "engine/locked_names.h"
#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/command_server.h"
#include "model/notifications.h"
#include "views/widget_questions.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

// The request a locked item's path or a file link makes: an unlock.
std::optional<TesselaCommand> openingCommand(const std::string& url) {
    std::string path = url;
    if (path.starts_with("file://")) {
        const QUrl link(QString::fromStdString(url));
        path = link.isLocalFile() ? link.toLocalFile().toStdString() : std::string();
    }
    if (!path.empty() && path.front() == '/' &&
        fs::path(path).extension() == LockedNames::lockedExtension) {
        return TesselaCommand::unlock(fs::path(path).lexically_normal());
    }
    return std::nullopt;
}

// What the application does with the URLs of the requests it gets, in order: a locked item to
// open is unlocked; a command is handed to the model, a lock asked for by an unidentified
// sender only once the user confirms it; anything else is ignored. Requests are taken one at a
// time from the event loop, never inside the socket's handler, so one confirmation is up at a
// time and later requests wait their turn.
class Intake {
  public:
    Intake(AppModel& model, Questions& questions) : model_(model), questions_(questions) {}

    void take(std::vector<std::string> urls, std::optional<std::string> sender) {
        queue_.push_back({std::move(urls), std::move(sender)});
        if (!taking_) {
            taking_ = true;
            QTimer::singleShot(0, &model_, [this] { QCoro::connect(next(), &model_, [] {}); });
        }
    }

  private:
    struct Request {
        std::vector<std::string> urls;
        std::optional<std::string> sender;
    };

    // Takes the requests in order; a confirmation is awaited, never run in a loop of its own.
    QCoro::Task<> next() {
        while (!queue_.empty()) {
            const Request request = queue_.front();
            queue_.pop_front();
            for (const std::string& url : request.urls) {
                auto handling = handle(url, request.sender);
                co_await std::move(handling);
            }
        }
        taking_ = false;
    }

    QCoro::Task<> handle(std::string url, std::optional<std::string> sender) {
        if (const std::optional<TesselaCommand> opening = openingCommand(url)) {
            model_.handle(*opening);
            co_return;
        }
        const std::optional<TesselaCommand> command = TesselaCommand::parse(url);
        if (!command) {
            co_return;
        }
        // "Cancel" is the default: Return pressed in another window never locks anything.
        if (command->needsConfirmation(sender, AppPaths::isTestOverride())) {
            auto asking = questions_.choose(QString::fromStdString(command->confirmationQuestion()),
                                            QStringLiteral("Only lock it if you asked for this."),
                                            {QStringLiteral("Lock"), QStringLiteral("Cancel")}, 1);
            if (co_await std::move(asking) != 0) {
                co_return;
            }
        }
        model_.handle(*command);
    }

    AppModel& model_;
    Questions& questions_;
    std::deque<Request> queue_;
    bool taking_ = false;
};

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

// Hands `urls` to the running application; true once it took them.
bool handOver(const std::optional<fs::path>& socket, const std::vector<std::string>& urls) {
    try {
        return socket && CommandSocket::deliver(*socket, urls, std::chrono::seconds(5)) ==
                             CommandSocket::Delivery::delivered;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool isSomethingToOpen(const std::string& argument) {
    return argument.starts_with("tessela:") || argument.starts_with("file:") ||
           fs::path(argument).extension() == LockedNames::lockedExtension;
}

int runDesktopApplication(int argc, char** argv, const std::vector<std::string>& opened) {
    const std::vector<std::string> urls = asURLs(opened);
    const std::optional<fs::path> socket = CommandSocket::defaultPath();
    // A running application takes what this start was asked to open.
    if (!urls.empty() && handOver(socket, urls)) {
        return 0;
    }
    // Without a desktop the application still runs: offscreen.
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
        std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessela"));
    QApplication::setQuitOnLastWindowClosed(false);
    WidgetQuestions questions;
    AppModel model(AppModel::Options::standard(), questions);
    try {
        if (!model.takeSupportLock()) {
            // Another copy works with these records. It listens from the moment it holds them:
            // what this start was asked to open goes there, or is said to be lost.
            for (int attempt = 0; attempt < 20 && !urls.empty(); ++attempt) {
                if (handOver(socket, urls)) {
                    return 0;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
            if (!urls.empty()) {
                std::cerr << "tessela: Tessela is running but could not be reached.\n";
                return 1;
            }
            return 0;  // nothing to open: nothing to show
        }
    } catch (const std::system_error& error) {
        std::cerr << "tessela: Tessela cannot use its records in " << AppPaths::support().string()
                  << ": " << error.code().message() << ".\n";
        return 1;
    }

    // Nothing can be locked before a password is set; until the application has its own setup
    // window, the user is told where to set one.
    QObject::connect(&model, &AppModel::setupRequested, &model, [] {
        Notifications::post(QStringLiteral("Tessela needs a password first"),
                            QStringLiteral("Set one in a terminal with: tessela setup"));
    });
    // Listening from the start: requests that come during start-up wait in the model until
    // it is ready.
    Intake intake(model, questions);
    std::unique_ptr<CommandServer> server;
    if (socket) {
        try {
            server = std::make_unique<CommandServer>(*socket, SenderCheck::Programs::installed());
            QObject::connect(server.get(), &CommandServer::requestReceived, &model,
                             [&intake](const std::vector<std::string>& request,
                                       const std::optional<std::string>& sender) {
                                 intake.take(request, sender);
                             });
        } catch (const std::exception& error) {
            std::cerr << "tessela: other programs cannot reach Tessela: " << error.what() << '\n';
        }
    }
    intake.take(urls, std::nullopt);
    QCoro::connect(model.start(), &model, [](bool started) {
        if (!started) {
            QTimer::singleShot(0, [] { QApplication::exit(1); });
        }
    });
    return QApplication::exec();
}

}  // namespace tessela
