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
    for (const std::string& url : urls) {
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
