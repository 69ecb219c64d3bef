#include "views/application.h"

#include <QTimer>
#include <QUrl>

#include "commands/sender_check.h"
#include "commands/tessela_command.h"
#include "engine/locked_names.h"
#include "model/app_paths.h"
#include "model/notifications.h"

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
    : QObject(parent), model_(std::move(options), questions_) {
    // Nothing can be locked before a password is set; until the application has its own setup
    // window, the user is told where to set one.
    connect(&model_, &AppModel::setupRequested, this, [] {
        Notifications::post(QStringLiteral("Tessela needs a password first"),
                            QStringLiteral("Set one in a terminal with: tessela setup"));
    });
}

Application::~Application() = default;

bool Application::takeRecords() {
    return model_.takeSupportLock();
}

void Application::listen(const fs::path& socket) {
    server_ = std::make_unique<CommandServer>(socket, SenderCheck::Programs::installed());
    connect(server_.get(), &CommandServer::requestReceived, this,
            [this](const std::vector<std::string>& request,
                   const std::optional<std::string>& sender) { take(request, sender); });
}

void Application::take(std::vector<std::string> urls, std::optional<std::string> sender) {
    queue_.push_back({std::move(urls), std::move(sender)});
    if (!taking_) {
        taking_ = true;
        // From the event loop, never inside the socket's handler.
        QTimer::singleShot(0, this, [this] { QCoro::connect(takeInTurn(), this, [] {}); });
    }
}

QCoro::Task<bool> Application::start() {
    co_return co_await model_.start();
}

QCoro::Task<> Application::takeInTurn() {
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

QCoro::Task<> Application::handle(std::string url, std::optional<std::string> sender) {
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

}  // namespace tessela
