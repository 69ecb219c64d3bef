#include "views/application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <qcoro/qcorosignal.h>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPointer>
#include <QSessionManager>
#include <QTimer>
#include <QUrl>

#include "commands/command_socket.h"
#include "commands/sender_check.h"
#include "commands/tessela_command.h"
#include "engine/locked_names.h"
#include "model/app_paths.h"
#include "text/log.h"

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

}  // namespace

Application::Application(AppModel::Options options, QObject* parent)
    : QObject(parent), shutdown_(options.logindBus), model_(std::move(options), questions_) {
    // While anything is open, logind waits for the items to be locked before a shutdown.
    connect(&model_.items(), &ItemList::openItemsChanged, this,
            [this] { shutdown_.setHolding(!model_.items().openItems().empty()); });
    connect(&shutdown_, &ShutdownWatch::shuttingDown, this,
            [this] { QCoro::connect(endNow(), this, [] {}); });
}

Application::~Application() = default;

bool Application::takeRecords() {
    return model_.takeSupportLock();
}

void Application::listen(const fs::path& socket, const SenderCheck::Programs& programs) {
    server_ = std::make_unique<CommandServer>(socket, programs);
    connect(server_.get(), &CommandServer::requestReceived, this,
            [this](const std::vector<std::string>& request,
                   const std::optional<std::string>& sender) { take(request, sender); });
    connect(server_.get(), &CommandServer::awaitedRequestReceived, this,
            [this](const std::vector<std::string>& urls, const std::optional<std::string>& sender,
                   std::uint64_t request) { takeAwaited(urls, sender, request); });
}

void Application::takeAwaited(const std::vector<std::string>& urls,
                              const std::optional<std::string>& sender, std::uint64_t request) {
    if (urls.size() == 1 && urls.front() == CommandSocket::quitRequest) {
        if (sender != SenderCheck::ownIdentifier) {
            server_->answer(request, {AppModel::Outcome::Kind::failed,
                                      "Only Tessela's own command line can make it quit."});
            return;
        }
        QCoro::connect(quitAndAnswer(request), this, [] {});
        return;
    }
    const std::optional<TesselaCommand> command =
        urls.size() == 1 ? TesselaCommand::parse(urls.front()) : std::nullopt;
    if (!command) {
        server_->answer(
            request, {AppModel::Outcome::Kind::failed, "Tessela did not understand the request."});
        return;
    }
    // Only Tessela's own command line waits on an outcome; nothing it asks needs a question.
    if (command->needsConfirmation(sender, AppPaths::isTestOverride())) {
        server_->answer(request, {AppModel::Outcome::Kind::failed,
                                  "Tessela takes such a request only from its own programs."});
        return;
    }
    // The server as the context: gone at the end, it answers nobody.
    model_.handle(*command, [server = QPointer<CommandServer>(server_.get()),
                             request](const AppModel::Outcome& outcome) {
        if (server) {
            server->answer(request, outcome);
        }
    });
}

void Application::take(std::vector<std::string> urls, std::optional<std::string> sender) {
    for (const std::string& url : urls) {
        logMessage(LogLevel::debug,
                   {"Took ", url, " from ", sender ? *sender : "an unidentified sender"},
                   LogArea::app);
        if (url == CommandSocket::showRequest) {
            Q_EMIT showRequested();
            continue;
        }
        if (isRepeat(url)) {
            continue;
        }
        if (const std::optional<TesselaCommand> opening = openingCommand(url)) {
            model_.handle(*opening);
            continue;
        }
        const std::optional<TesselaCommand> command = TesselaCommand::parse(url);
        if (!command) {
            continue;
        }
        if (!command->needsConfirmation(sender, AppPaths::isTestOverride())) {
            model_.handle(*command);
            continue;
        }
        if (std::ranges::find(confirmations_, *command) != confirmations_.end()) {
            continue;  // the same question waits already
        }
        confirmations_.push_back(*command);
        if (!confirming_) {
            confirming_ = true;
            // From the event loop, never inside the socket's handler.
            QTimer::singleShot(0, this, [this] { QCoro::connect(confirmInTurn(), this, [] {}); });
        }
    }
}

bool Application::isRepeat(const std::string& url) {
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(lastTaken_, [&](const auto& taken) { return now - taken.second > repeatWindow; });
    const bool repeated = lastTaken_.contains(url);
    lastTaken_[url] = now;
    return repeated;
}

QCoro::Task<bool> Application::start() {
    co_return co_await model_.start();
}

QCoro::Task<bool> Application::quit(bool asking) {
    if (quitting_) {
        // One quit at a time: a second asker hears how the first one ends.
        co_return co_await qCoro(this, &Application::quitEnded);
    }
    quitting_ = true;
    bool ending = false;
    try {
        ending = co_await model_.quit(asking);
    } catch (const std::exception&) {
        // Whatever failed, the application goes on as it was, able to quit again.
        logCaught(LogLevel::warning, {"Could not quit"}, LogArea::app);
        model_.activity().cancelQuitting();
    }
    quitting_ = false;
    Q_EMIT quitEnded(ending);
    if (ending) {
        co_await model_.waitForCommands(commandsOnTheWayOut);
        QTimer::singleShot(0, this, [this] { finish(0); });
    }
    co_return ending;
}

QCoro::Task<> Application::quitAndAnswer(std::uint64_t request) {
    const bool ending = co_await quit(true);
    if (server_) {
        server_->answer(request, ending
                                     ? AppModel::Outcome{}
                                     : AppModel::Outcome{AppModel::Outcome::Kind::cancelled, {}});
    }
}

namespace {

// The write end of the pipe the signal handler tells the main thread through.
int signalPipe[2] = {-1, -1};

void toMainThread(int signal) {
    const int saved = errno;
    const auto byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

void Application::quitOnSignals() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        logMessage(LogLevel::warning, {"Termination signals end Tessela without locking"},
                   LogArea::app);
        return;
    }
    struct sigaction action {};
    action.sa_handler = toMainThread;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    signals_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(signals_.get(), &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        ssize_t got = 0;
        int received = 0;
        while ((got = ::read(signalPipe[0], bytes, sizeof bytes)) > 0) {
            received += static_cast<int>(got);
        }
        // Two that came together count as two: the second ends at once.
        for (int signal = 0; signal < std::min(received, 2); ++signal) {
            onTerminationSignal();
        }
    });
}

void Application::onTerminationSignal() {
    const auto now = std::chrono::steady_clock::now();
    if (lastSignal_ && now - *lastSignal_ < secondSignal) {
        QCoro::connect(endNow(), this, [] {});
        return;
    }
    lastSignal_ = now;
    QCoro::connect(quitOnSignal(), this, [] {});
}

QCoro::Task<> Application::quitOnSignal() {
    // The user logging out (a Wayland session ends its programs so): nobody is there to answer
    // a question, so everything is locked at once, forced where files are in use.
    const QPointer<Application> alive(this);
    const bool closing = co_await model_.autoLock().isSessionClosing();
    if (!alive) {
        co_return;
    }
    if (closing) {
        co_await endNow();
        co_return;
    }
    // Quietly: nothing asks whether to wait for running work; what is in use is still asked.
    (void)co_await quit(false);
}

void Application::followSession() {
    auto* guiApplication = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (guiApplication == nullptr) {
        return;
    }
    guiApplication->installEventFilter(this);
    connect(guiApplication, &QGuiApplication::commitDataRequest, this,
            [this](QSessionManager&) { lockForSessionEnd(); });
    // Only an end nobody decided on: after a quit, what the user chose to leave open (Quit
    // Anyway) stays open.
    connect(guiApplication, &QCoreApplication::aboutToQuit, this, [this] {
        if (!ending_ && !ended_) {
            lockForSessionEnd();
        }
    });
}

bool Application::eventFilter(QObject* watched, QEvent* event) {
    // QCoreApplication::quit() and the session manager's "die" arrive as this event; left to
    // Qt, it would end the event loop with items open.
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        event->ignore();
        QCoro::connect(endNow(), this, [] {});
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void Application::lockForSessionEnd(std::chrono::milliseconds allowance) {
    QEventLoop waiting;
    bool done = false;
    QCoro::connect(model_.lockOpenItemsNow(), &waiting, [&] {
        done = true;
        waiting.quit();
    });
    if (!done) {
        QTimer::singleShot(allowance, &waiting, &QEventLoop::quit);
        waiting.exec();
    }
    if (!done) {
        logMessage(LogLevel::warning,
                   {"The session ended before every open item could be locked"}, LogArea::app);
    }
}

QCoro::Task<> Application::endNow() {
    // Ended already (items the user chose to leave open stay open).
    if (ending_ || ended_) {
        co_return;
    }
    ending_ = true;
    try {
        co_await model_.lockEverythingNow();
        co_await model_.refresh();
    } catch (const std::exception&) {
        // Ends all the same: what is still open is left to the next start's recovery.
        logCaught(LogLevel::warning, {"Could not lock everything before the end"}, LogArea::app);
    }
    shutdown_.setHolding(false);  // locked, or left to the next start's recovery: go on
    co_await model_.waitForCommands(commandsOnTheWayOut);
    finish(0);
}

void Application::finish(int code) {
    ended_ = true;
    Q_EMIT ended(code);
}

QCoro::Task<> Application::confirmInTurn() {
    while (!confirmations_.empty()) {
        const TesselaCommand command = confirmations_.front();
        // "Cancel" is the default: Return pressed in another window never locks anything.
        auto asking = questions_.choose(QString::fromStdString(command.confirmationQuestion()),
                                        QStringLiteral("Only lock it if you asked for this."),
                                        {QStringLiteral("Lock"), QStringLiteral("Cancel")}, 1);
        const int choice = co_await std::move(asking);
        confirmations_.pop_front();
        if (choice == 0) {
            model_.handle(command);
        }
    }
    confirming_ = false;
}

}  // namespace tessela
