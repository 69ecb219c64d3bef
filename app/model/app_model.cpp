#include "model/app_model.h"

#include <qcoro/qcorosignal.h>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QStringList>
#include <QUrl>
#include <algorithm>

#include <map>

#include "files/item_facts.h"
#include "files/paths.h"
#include "model/app_paths.h"
#include "model/notifications.h"
#include "model/password_change.h"
#include "secrets/shared_state.h"
#include "text/file_name_order.h"
#include "text/log.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

}  // namespace

AppModel::Options AppModel::Options::standard() {
    return {AppPaths::support(),
            AppPaths::home(),
            runningProgram(),
            DiskImageTool(),
            LockerOptions(),
            AppPaths::keychainService(),
            AppPaths::configHome() / "tessela" / "settings.json",
            AppPaths::isTestOverride(),
            std::nullopt};
}

AppModel::AppModel(Options options, Questions& questions, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      questions_(questions),
      progress_(questions.progress()),
      locker_(options_.support, options_.home, options_.appBundle, options_.tool,
              options_.lockerOptions),
      passwords_(options_.keychainService),
      settings_(options_.settingsFile),
      fingerprint_(std::make_shared<const FingerprintCheck>(options_.fingerprintBus)),
      items_(locker_, passwords_, worker_, !options_.testOverride) {
    idleMinutes_ = static_cast<int>(settings_.idleMinutes());
    touchIDEnabled_ = settings_.touchIDEnabled();
}

AppModel::~AppModel() = default;

bool AppModel::takeSupportLock() {
    if (!supportLock_) {
        supportLock_ = SupportLock::acquire(options_.support);
    }
    return supportLock_.has_value();
}

QCoro::Task<bool> AppModel::start() {
    if (!supportLock_) {
        try {
            if (!takeSupportLock()) {
                co_return false;
            }
        } catch (const std::exception&) {
            logCaught(LogLevel::warning,
                      {"Could not take the lock on the records in ", options_.support},
                      LogArea::app);
            co_return false;
        }
    }
    const RecoveryReport report =
        co_await tracked("finishing interrupted work", [this] { return locker_.recover(); });
    if (const std::optional<RecoveryNotice> notice = report.notice()) {
        Notifications::post(QString::fromStdString(notice->title),
                            QString::fromStdString(notice->body));
    }
    co_await tracked("finishing interrupted work", [this] { (void)locker_.repairLockedItems(); });
    autoLock().start();
    co_await refresh();
    // An unfinished password change is resumed; what it says is for the settings, not here.
    (void)co_await finishPasswordMigrationIfNeeded();
    ready_ = true;
    for (auto& [command, onOutcome] : std::exchange(pending_, {})) {
        post(command, std::move(onOutcome));
    }
    Q_EMIT readyChanged();
    co_return true;
}

void AppModel::handle(const TesselaCommand& command, OutcomeCallback onOutcome) {
    if (activity_.isQuitting()) {
        questions_.beep();
        if (onOutcome) {
            onOutcome(quittingRefusal());
        }
        return;
    }
    // Asked again while the same is still waiting or running (a second click, a sender
    // repeating itself): heard once.
    if (std::ranges::find(handling_, command) != handling_.end()) {
        if (onOutcome) {
            onOutcome(failed("Tessela is doing that already."));
        }
        return;
    }
    handling_.push_back(command);
    if (!ready_) {
        pending_.emplace_back(command, std::move(onOutcome));
        return;
    }
    post(command, std::move(onOutcome));
}

void AppModel::post(const TesselaCommand& command, OutcomeCallback onOutcome) {
    QMetaObject::invokeMethod(
        this, [this, command, onOutcome = std::move(onOutcome)] { run(command, onOutcome); },
        Qt::QueuedConnection);
}

void AppModel::launch(QCoro::Task<> task) {
    QCoro::connect(reported(std::move(task)), this, [] {});
}

QCoro::Task<> AppModel::reported(QCoro::Task<> task) {
    // Said once the failed work is left behind: no question is awaited inside a handler.
    std::optional<std::string> problem;
    try {
        co_await std::move(task);
    } catch (const std::exception& error) {
        problem = error.what();
    }
    if (problem) {
        co_await alert(QStringLiteral("Tessela could not finish that"), *problem);
    }
}

void AppModel::run(const TesselaCommand& command, const OutcomeCallback& onOutcome) {
    Q_EMIT commandStarted(command);
    const std::vector<fs::path>& paths = command.paths();
    const auto revealed = [](QCoro::Task<> showing) -> QCoro::Task<Outcome> {
        co_await std::move(showing);
        co_return Outcome{};
    };
    switch (command.kind()) {
        case TesselaCommand::Case::lock:
            launch(handled(command, lock(paths, true), onOutcome));
            break;
        case TesselaCommand::Case::lockNow:
            launch(handled(command, lockNow(paths), onOutcome));
            break;
        case TesselaCommand::Case::unlock:
            launch(handled(command, unlock(paths.front()), onOutcome));
            break;
        case TesselaCommand::Case::removeLock:
            launch(handled(command, removeLock(paths.front()), onOutcome));
            break;
        case TesselaCommand::Case::reveal:
            launch(handled(command, revealed(reveal(paths.front())), onOutcome));
            break;
    }
}

QCoro::Task<> AppModel::handled(TesselaCommand command, QCoro::Task<Outcome> task,
                                OutcomeCallback onOutcome) {
    // Let go of however the task ends.
    struct Done {
        AppModel& model;
        const TesselaCommand& command;
        ~Done() {
            std::vector<TesselaCommand>& handling = model.handling_;
            if (const auto found = std::ranges::find(handling, command); found != handling.end()) {
                handling.erase(found);
            }
            Q_EMIT model.commandEnded();
        }
    } done{*this, command};
    Outcome outcome;
    try {
        outcome = co_await std::move(task);
    } catch (const std::exception& error) {
        if (onOutcome) {
            onOutcome(failed(error.what()));
        }
        throw;  // said in an alert, as any failure nobody reported
    }
    if (onOutcome) {
        onOutcome(outcome);
    }
}

QCoro::Task<> AppModel::refresh() {
    co_await items_.refresh();
}

QCoro::Task<> AppModel::waitUntilReady() {
    if (!ready_) {
        co_await qCoro(this, &AppModel::readyChanged);
    }
}

QCoro::Task<> AppModel::waitForCommands(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!handling_.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            co_return;
        }
        co_await qCoro(this, &AppModel::commandEnded, left);
    }
}

QCoro::Task<> AppModel::waitUntilIdle() {
    if (!activity_.isIdle()) {
        co_await qCoro(this, &AppModel::idle);
    }
}

QCoro::Task<> AppModel::waitWhilePasswordChanges() {
    if (changingPassword_) {
        co_await qCoro(this, &AppModel::passwordChangeEnded);
    }
}

QCoro::Task<std::optional<OpenItem>> AppModel::openItemFor(fs::path url) {
    // Off the main thread: resolving a path another program named may wait on a slow mount.
    // The items are those open once the work queued before is done, not as the list last
    // showed them: an unlock still waiting on the worker counts. The work is a named task,
    // never a temporary inside the co_await: g++ 12 destroys such a temporary's captures twice.
    QCoro::Task<std::optional<OpenItem>> finding =
        worker_.run([this, url] { return locker_.openItem(url); });
    co_return co_await std::move(finding);
}

QCoro::Task<> AppModel::reveal(fs::path url) {
    if (const std::optional<OpenItem> match = co_await openItemFor(url)) {
        present(*match);
        co_return;
    }
    co_await showInFileManager(std::move(url));
}

QCoro::Task<> AppModel::showInFileManager(fs::path url) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(QString::fromStdString(url.string())).toString()}
         << QString();
    QDBusPendingCallWatcher watcher(QDBusConnection::sessionBus().asyncCall(call, 5000));
    // A call that failed at once (no session bus) is finished already and never says so.
    if (!watcher.isFinished()) {
        co_await qCoro(&watcher, &QDBusPendingCallWatcher::finished);
    }
    if (watcher.isError()) {
        // No file manager answers: the folder that holds the item, opened.
        QDesktopServices::openUrl(
            QUrl::fromLocalFile(QString::fromStdString(url.parent_path().string())));
    }
}

void AppModel::present(const OpenItem& item) const {
    const fs::path content = item.contentURL();
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(content.string())));
}

void AppModel::confirmForget(ItemRow row) {
    launch(askToForget(std::move(row)));
}

QCoro::Task<> AppModel::askToForget(ItemRow row) {
    const QString name = QString::fromStdString(row.name);
    auto asking = questions_.choose(QStringLiteral("Forget %1?").arg(name),
                                    QStringLiteral("Tessela stops listing it. Nothing is deleted."),
                                    {QStringLiteral("Forget"), QStringLiteral("Cancel")},
                                    1);  // Return keeps the item listed
    if (co_await std::move(asking) == 0) {
        co_await forget(std::move(row));
    }
}

void AppModel::chooseAndLock() {
    launch(askAndLock());
}

QCoro::Task<> AppModel::askAndLock() {
    auto asking = questions_.chooseItems(QStringLiteral("Choose files or folders to lock."),
                                         QStringLiteral("Lock"), ItemChoice::filesAndFolders,
                                         QString::fromStdString(options_.home.string()));
    std::vector<fs::path> chosen = co_await std::move(asking);
    if (!chosen.empty()) {
        co_await lock(std::move(chosen));
    }
}

void AppModel::locate(ItemRow row) {
    launch(askWhereAndRelocate(std::move(row)));
}

QCoro::Task<> AppModel::askWhereAndRelocate(ItemRow row) {
    const fs::path near = row.url ? row.url->parent_path() : fs::path(row.location).parent_path();
    auto asking = questions_.chooseItems(
        QStringLiteral("Find %1").arg(QString::fromStdString(row.name)), QStringLiteral("Choose"),
        ItemChoice::lockedItem, QString::fromStdString(near.string()));
    const std::vector<fs::path> chosen = co_await std::move(asking);
    if (!chosen.empty()) {
        co_await relocate(std::move(row), chosen.front());
    }
}

QCoro::Task<> AppModel::relocate(ItemRow row, fs::path url) {
    // Recorded or refused, or why the list could not be read or written.
    auto recording = worker_.run([this, id = row.id, url]() -> std::pair<bool, std::string> {
        try {
            return {locker_.relocate(id, url), {}};
        } catch (const std::exception& error) {
            return {false, error.what()};
        }
    });
    const auto [recorded, problem] = co_await std::move(recording);
    if (!problem.empty()) {
        co_await alert(
            QStringLiteral("Could not record where %1 is").arg(QString::fromStdString(row.name)),
            problem);
    } else if (!recorded) {
        co_await alert(QStringLiteral("%1 is not %2")
                           .arg(QString::fromStdString(url.filename().string()),
                                QString::fromStdString(row.name)),
                       "Choose the locked item that was moved or copied there. Tessela uses only "
                       "its own locked items, and each one for one entry.");
    }
    co_await refresh();
}

QCoro::Task<> AppModel::forget(ItemRow row) {
    auto forgetting = worker_.run([this, id = row.id] {
        try {
            locker_.forget(id);
        } catch (const std::exception&) {
            // The row stays; nothing on disk was touched either way.
            logCaught(LogLevel::warning,
                      {"Could not forget the locked item ", id.string(), "; its row stays"},
                      LogArea::app);
        }
    });
    co_await std::move(forgetting);
    co_await refresh();
}

void AppModel::setIdleMinutes(int minutes) {
    idleMinutes_ = minutes;
    try {
        settings_.setInteger(Settings::idleMinutesKey, minutes);
    } catch (const std::exception&) {
        // Kept for this run; the file is written again at the next change.
        logCaught(LogLevel::warning,
                  {"Could not save the auto-lock time in the settings; it holds for this run"},
                  LogArea::app);
    }
    Q_EMIT idleMinutesChanged();
}

void AppModel::setTouchIDEnabled(bool enabled) {
    touchIDEnabled_ = enabled;
    try {
        settings_.setBoolean(Settings::touchIDKey, enabled);
    } catch (const std::exception&) {
        // Kept for this run; the file is written again at the next change.
        logCaught(LogLevel::warning,
                  {"Could not save the fingerprint setting; it holds for this run"}, LogArea::app);
    }
    Q_EMIT touchIDEnabledChanged();
}

}  // namespace tessela
