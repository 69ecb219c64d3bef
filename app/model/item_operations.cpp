// The model's operations that change items: lock, unlock, lock again, lock everything, remove a
// lock, and the password prompts they share.
#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>

#include "activity/cancel_token.h"
#include "engine/locked_names.h"
#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/lock_step_text.h"
#include "model/notifications.h"
#include "privacy/thumbnail_scrubber.h"
#include "text/log.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

QString shown(const std::string& text) {
    return QString::fromStdString(text);  // ill-formed UTF-8 shows as replacement characters
}

// What an engine call failed with, as far as the alerts need it.
struct Failure {
    std::optional<TesselaError::Case> errorCase;  // none for an error that is not the engine's
    std::string description;
    std::vector<std::string> apps;  // who holds files, for inUse
    std::optional<TesselaError::LockedNotice> notice;

    [[nodiscard]] bool is(TesselaError::Case wanted) const { return errorCase == wanted; }
};

Failure failureOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const TesselaError& engine) {
        Failure failure{engine.errorCase(), engine.errorDescription(), {}, engine.lockedNotice()};
        if (const auto* apps = std::get_if<std::vector<std::string>>(&engine.payload())) {
            failure.apps = *apps;
        }
        return failure;
    } catch (const std::exception& other) {
        return {std::nullopt, other.what(), {}, std::nullopt};
    } catch (...) {
        logCaught(LogLevel::warning, {"An item operation failed"}, LogArea::app);
        return {std::nullopt, "Something unexpected went wrong.", {}, std::nullopt};
    }
}

}  // namespace

QString AppModel::message(LockStep step, const QString& name) {
    return QString::fromStdString(LockStepText::sentence(step, name.toStdString()));
}

QCoro::Task<> AppModel::alert(QString title, std::string message) {
    auto telling = questions_.choose(std::move(title), shown(message), {QStringLiteral("OK")});
    (void)co_await std::move(telling);
}

QString AppModel::cancelledWord() {
    return QStringLiteral("Cancelled. Nothing was changed.");
}

std::shared_ptr<ItemJob> AppModel::startJob(ItemJob::Kind kind, std::string name,
                                            ItemJob::Work work,
                                            std::shared_ptr<CancelToken> cancel) {
    auto job = std::make_shared<ItemJob>(kind, std::move(name), std::move(work), std::move(cancel));
    jobs_.push_back(job);
    connect(job.get(), &ItemJob::finished, this, [this, ended = job.get()] {
        std::erase_if(jobs_, [ended](const auto& running) { return running.get() == ended; });
        Q_EMIT jobsChanged();
    });
    job->start(worker_);
    Q_EMIT jobsChanged();
    return job;
}

std::shared_ptr<ItemJob> AppModel::startRelock(const OpenItem& item, bool force) {
    return startJob(ItemJob::Kind::relock, item.name,
                    [this, item, force](const CancelToken&, const ProgressCallback&,
                                        const CopyProgressCallback&) {
                        locker_.relock(item, force);
                        scrubPreviews(item.lockedURL);
                    });
}

QCoro::Task<> AppModel::waitForJobs() {
    while (!jobs_.empty()) {
        co_await qCoro(this, &AppModel::jobsChanged);
    }
}

void AppModel::showInPanel(const std::shared_ptr<ItemJob>& job, const QString& stepsOf) {
    ProgressState& state = progress_.state();
    // The operation's token, not the job: pressed between two tries of one operation, it still
    // stops the next.
    state.setOnCancel([token = job->cancelToken()] { token->cancel(); });
    connect(job.get(), &ItemJob::bytesChanged, &state, &ProgressState::setBytes);
    if (!stepsOf.isEmpty()) {
        connect(job.get(), &ItemJob::stepChanged, &state,
                [&state, stepsOf](LockStep step) { state.setMessage(message(step, stepsOf)); });
    }
}

QCoro::Task<> AppModel::takeProgressPanel() {
    while (panelTaken_) {
        co_await qCoro(this, &AppModel::progressPanelReleased);
    }
    panelTaken_ = true;
}

void AppModel::scrubPreviews(const fs::path& item) const {
    (void)ThumbnailScrubber::reset(locker_.mountsRoot(), {item}, AppPaths::previewPlaces());
}

void AppModel::scheduleLockedLookRecheck() {
    for (const std::chrono::seconds delay : {std::chrono::seconds(3), std::chrono::seconds(30)}) {
        // The model as the timer's context: a model gone by then repairs nothing.
        QTimer::singleShot(delay, this, [this] { launch(repairLockedItemsNow()); });
    }
}

QCoro::Task<> AppModel::repairLockedItemsNow() {
    auto repairing = worker_.run([this] { return locker_.repairLockedItems(); });
    if (co_await std::move(repairing)) {
        co_await refresh();
    }
}

QCoro::Task<AppModel::Outcome> AppModel::lock(std::vector<fs::path> urls, bool tellWhenLocked) {
    co_await waitUntilReady();
    co_await waitWhilePasswordChanges();
    auto loading = worker_.run([this] {
        std::optional<StoredSecret> stored = passwords_.load();
        return std::pair(stored, stored ? PasswordStore::Presence::present : passwords_.presence());
    });
    const auto [stored, presence] = co_await std::move(loading);
    std::vector<std::string> names;
    for (const fs::path& url : urls) {
        names.push_back(url.filename().string());
    }
    if (!stored && presence == PasswordStore::Presence::absent) {
        items_.setNeedsSetup(true);
        Q_EMIT setupRequested();
        co_return failed(
            "No Tessela password is kept in your keyring yet. Create one with "
            "tessela setup.");
    }
    if (!stored) {
        // Kept, but the keyring would not give it (locked, or not answering): not a first run.
        const std::string unreadable =
            "Tessela could not read its password from the desktop keyring. Unlock the keyring, "
            "then try again.";
        co_await alert(QStringLiteral("Could not lock %1").arg(shown(TesselaError::list(names))),
                       unreadable);
        co_return failed(unreadable);
    }
    if (activity_.isQuitting()) {
        questions_.beep();
        co_return quittingRefusal();
    }
    std::optional<Outcome> outcome;  // the first item's that was not done
    {
        const Tracking tracking(*this, "locking " + TesselaError::list(names));
        co_await takeProgressPanel();
        const PanelTurn turn(*this);
        std::vector<std::string> locked;
        qint64 panelUp = 0;  // milliseconds the panel showed this request's locks
        for (const fs::path& url : urls) {
            const QString name = shown(url.filename().string());
            progress_.show(message(LockStep::preparing, name), {});
            QElapsedTimer onScreen;
            onScreen.start();
            const std::shared_ptr<ItemJob> job =
                startJob(ItemJob::Kind::lock, url.filename().string(),
                         [this, url, secret = *stored](const CancelToken& cancel,
                                                       const ProgressCallback& onStep,
                                                       const CopyProgressCallback& onBytes) {
                             (void)locker_.lock(url, secret.password, secret.generation, &cancel,
                                                onStep, onBytes);
                             scrubPreviews(url);
                         });
            showInPanel(job, name);
            std::optional<Failure> failure;
            try {
                co_await job->result();
            } catch (...) {
                failure = failureOf(std::current_exception());
            }
            panelUp += onScreen.elapsed();
            if (failure && !outcome) {
                const std::string said = urls.size() > 1
                                             ? url.filename().string() + ": " + failure->description
                                             : failure->description;
                outcome = failure->is(TesselaError::Case::cancelled)
                              ? Outcome{Outcome::Kind::cancelled, {}}
                          : failure->notice ? Outcome{Outcome::Kind::partlyDone, said}
                                            : failed(said);
            }
            if (failure && failure->is(TesselaError::Case::cancelled)) {
                // Only this item was left as it was: those before it in the request are locked.
                progress_.showLastWord(
                    locked.empty() ? cancelledWord()
                                   : QStringLiteral("Cancelled. %1 was not changed.").arg(name));
                continue;
            }
            progress_.hide();
            if (!failure || failure->notice) {
                scheduleLockedLookRecheck();  // locked, whatever is left to recovery
            }
            if (!failure) {
                locked.push_back(url.filename().string());
                continue;
            }
            if (failure->notice) {
                co_await alert(shown(failure->notice->title), failure->notice->message);
            } else {
                co_await alert(QStringLiteral("Could not lock %1").arg(name), failure->description);
            }
        }
        // Locks over before anyone could read the panel: the user who asked from the file
        // manager still learns, once for the whole request, that they are done.
        if (tellWhenLocked && !locked.empty() && panelUp < panelReadable.count()) {
            Notifications::post((locked.size() == 1 ? QStringLiteral("%1 is locked")
                                                    : QStringLiteral("%1 are locked"))
                                    .arg(shown(TesselaError::list(locked))),
                                QString());
        }
    }
    co_await refresh();
    co_return outcome.value_or(Outcome{});
}

QCoro::Task<AppModel::Outcome> AppModel::lockNow(std::vector<fs::path> urls) {
    co_await waitUntilReady();
    std::vector<std::string> stillOpen;
    for (fs::path& url : urls) {
        if (const std::optional<OpenItem> open = co_await openItemFor(std::move(url))) {
            auto relocking = relock(*open, true);
            if (!co_await std::move(relocking)) {
                stillOpen.push_back(open->name);
            }
        }
    }
    co_await refresh();
    if (!stillOpen.empty()) {
        co_return failed(TesselaError::list(stillOpen) + (stillOpen.size() == 1 ? " is" : " are") +
                         " still unlocked.");
    }
    co_return Outcome{};
}

QCoro::Task<> AppModel::lockAll() {
    co_await waitUntilReady();
    // The items open once the work queued before is done: an unlock still waiting counts.
    auto reading = worker_.run([this] { return locker_.openItems(); });
    const std::vector<OpenItem> open = co_await std::move(reading);
    for (const OpenItem& item : open) {
        auto relocking = relock(item, true);
        (void)co_await std::move(relocking);
    }
    co_await refresh();
}

QCoro::Task<bool> AppModel::quit(bool asking) {
    // With nothing running, the open items as the engine knows them (the worker is free, so the
    // read is quick): the list may not show yet an item an operation has just opened, which
    // would otherwise be left open at the end.
    if (activity_.isIdle() && jobs_.empty()) {
        auto reading = worker_.run([this] { return locker_.openItems(); });
        bool nothingOpen = false;
        try {
            nothingOpen = (co_await std::move(reading)).empty();
        } catch (const std::exception&) {
            // Not known: the quit below locks what it can and says what stays open.
            logCaught(LogLevel::warning, {"Could not read which items are open"}, LogArea::app);
        }
        if (nothingOpen && activity_.isIdle() && jobs_.empty()) {
            activity_.beginQuitting();  // nothing new starts in the moment before the end
            co_return true;
        }
    }
    if (!activity_.isIdle() && asking) {
        auto answering = questions_.choose(
            QString::fromStdString(Activity::quitQuestion(activity_.descriptions())),
            QStringLiteral("Tessela quits as soon as it is done."),
            {QStringLiteral("Quit When Finished"), QStringLiteral("Cancel")});
        if (co_await std::move(answering) != 0) {
            co_return false;
        }
    }
    activity_.beginQuitting();
    for (;;) {
        co_await waitUntilIdle();
        co_await waitForJobs();
        auto locking = lockEverythingBeforeQuitting();
        if (!co_await std::move(locking)) {
            activity_.cancelQuitting();
            co_return false;
        }
        if (activity_.isIdle() && jobs_.empty()) {
            co_return true;
        }
    }
}

QCoro::Task<bool> AppModel::lockEverythingBeforeQuitting() {
    co_await lockAll();
    if (items_.openItems().empty()) {
        co_return true;
    }
    // Return keeps the application running: leaving items unlocked takes a deliberate choice.
    auto answering = questions_.choose(
        QStringLiteral("Some items are still unlocked"),
        QStringLiteral("They stay unlocked until you lock them or restart your computer."),
        {QStringLiteral("Quit Anyway"), QStringLiteral("Cancel")}, 1);
    co_return co_await std::move(answering) == 0;
}

QCoro::Task<> AppModel::lockEverythingNow() {
    activity_.beginQuitting();
    // No time to wait for running work: it is cancelled (a lock or removal leaves its item as it
    // was), so the engine gets to the open items at once.
    for (const std::shared_ptr<ItemJob>& job : jobs_) {
        job->cancel();
    }
    co_await lockOpenItemsNow();
}

QCoro::Task<> AppModel::lockOpenItemsNow() {
    (void)co_await lockEachOpenItem(true);
}

QCoro::Task<std::vector<OpenItem>> AppModel::lockEachOpenItem(bool force) {
    // The items open once the work queued before is done, not as the list last showed them: an
    // unlock still waiting on the worker is locked too.
    auto reading = worker_.run([this] { return locker_.openItems(); });
    const std::vector<OpenItem> open = co_await std::move(reading);
    for (const OpenItem& item : open) {
        const Tracking tracking(*this, "locking " + item.name);
        const std::shared_ptr<ItemJob> job = startRelock(item, force);
        try {
            co_await job->result();
            ++openings_[item.id];
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Could not lock ", item.name, " without asking"},
                      LogArea::app);
        }
    }
    if (!open.empty()) {
        co_await refresh();
    }
    co_return open;
}

QCoro::Task<bool> AppModel::relock(OpenItem item, bool interactive) {
    const QString name = shown(item.name);
    const auto lockAgain = [this, &item](bool force) -> QCoro::Task<std::optional<Failure>> {
        const Tracking tracking(*this, "locking " + item.name);
        const std::shared_ptr<ItemJob> job = startRelock(item, force);
        try {
            co_await job->result();
        } catch (...) {
            co_return failureOf(std::current_exception());
        }
        ++openings_[item.id];
        co_return std::nullopt;
    };
    auto trying = lockAgain(false);
    const std::optional<Failure> failure = co_await std::move(trying);
    if (!failure) {
        co_return true;
    }
    if (!interactive) {
        co_return false;
    }
    if (!failure->is(TesselaError::Case::inUse)) {
        co_await alert(QStringLiteral("Could not lock %1").arg(name), failure->description);
        co_return false;
    }
    const std::string apps =
        failure->apps.empty() ? std::string("another app") : TesselaError::list(failure->apps);
    // Which opening of the item the user is asked about: while the question is up, another
    // request may lock it and the user open it again, at the same mount folder.
    const std::uint64_t opening = openings_[item.id];
    auto asking = questions_.choose(
        QStringLiteral("%1 is still in use").arg(name),
        QStringLiteral("Files are open in %1. Close them, then try again. Force Lock closes them "
                       "without saving, so unsaved changes in open apps will be lost.")
            .arg(shown(apps)),
        {QStringLiteral("Try Again"), QStringLiteral("Force Lock"), QStringLiteral("Cancel")});
    const int choice = co_await std::move(asking);
    if (choice != 0 && choice != 1) {
        co_return false;
    }
    // The answer is about that opening alone: one locked meanwhile is done with, and one opened
    // again since is the user's new work, which is never forced closed on an old answer.
    if (openings_[item.id] != opening) {
        auto finding = openItemFor(item.lockedURL);
        co_return !(co_await std::move(finding));
    }
    if (choice == 0) {
        auto again = relock(std::move(item), true);
        co_return co_await std::move(again);
    }
    auto forcing = lockAgain(true);
    if (const std::optional<Failure> forced = co_await std::move(forcing)) {
        co_await alert(QStringLiteral("Could not lock %1").arg(name), forced->description);
        co_return false;
    }
    co_return true;
}

QCoro::Task<AppModel::Outcome> AppModel::unlock(fs::path url) {
    co_await waitUntilReady();
    if (url.extension() != LockedNames::lockedExtension) {
        co_return failed(TesselaError::notLocked().errorDescription());
    }
    if (const std::optional<OpenItem> open = co_await openItemFor(url)) {
        present(*open);
        co_return Outcome{};
    }
    const std::string name = items_.displayName(url);
    auto asking = passwordToGoOn("unlock " + name);
    std::optional<Asked> password = co_await std::move(asking);
    if (!password) {
        co_return activity_.isQuitting() ? quittingRefusal()
                                         : Outcome{Outcome::Kind::cancelled, {}};
    }
    std::optional<OpenItem> opened;
    std::optional<Failure> failure;
    {
        const Tracking tracking(*this, "unlocking " + name);
        auto opening = withItemPassword<OpenItem>(
            std::move(*password), ItemJob::Kind::unlock, name,
            [this, url](const std::string& candidate, const CancelToken&,
                        const CopyProgressCallback&) { return locker_.unlock(url, candidate); },
            false);
        try {
            opened = co_await std::move(opening);
        } catch (...) {
            failure = failureOf(std::current_exception());
        }
    }
    if (opened) {
        ++openings_[opened->id];
    }
    co_await refresh();
    if (opened) {
        present(*opened);
        co_return Outcome{};
    }
    if (failure && !failure->is(TesselaError::Case::cancelled)) {
        co_await alert(QStringLiteral("Could not unlock %1").arg(shown(name)),
                       failure->description);
        co_return failed(failure->description);
    }
    co_return Outcome{Outcome::Kind::cancelled, {}};
}

QCoro::Task<AppModel::Outcome> AppModel::removeLock(fs::path url) {
    co_await waitUntilReady();
    const std::string name = items_.displayName(url);
    auto confirming = questions_.choose(
        QStringLiteral("Remove the lock from %1?").arg(shown(name)),
        QStringLiteral("%1 turns back into normal files that anyone using this computer can open.")
            .arg(shown(name)),
        {QStringLiteral("Remove Lock"), QStringLiteral("Cancel")},
        1);  // Return keeps the lock: removing it is never a key pressed by accident
    if (co_await std::move(confirming) != 0) {
        co_return Outcome{Outcome::Kind::cancelled, {}};
    }
    auto asking = passwordToGoOn("remove the lock from " + name);
    std::optional<Asked> password = co_await std::move(asking);
    if (!password) {
        co_return activity_.isQuitting() ? quittingRefusal()
                                         : Outcome{Outcome::Kind::cancelled, {}};
    }
    std::optional<fs::path> restored;
    std::optional<Failure> failure;
    {
        const Tracking tracking(*this, "removing the lock from " + name);
        co_await takeProgressPanel();
        const PanelTurn turn(*this);
        progress_.show(QStringLiteral("Removing the lock from %1…").arg(shown(name)), {});
        // The panel keeps its first message: the steps of a removal say nothing more.
        auto removing = withItemPassword<fs::path>(
            std::move(*password), ItemJob::Kind::removeLock, name,
            [this, url](const std::string& candidate, const CancelToken& cancel,
                        const CopyProgressCallback& onBytes) {
                return locker_.removeLock(url, candidate, &cancel, {}, onBytes);
            },
            true);
        try {
            restored = co_await std::move(removing);
        } catch (...) {
            failure = failureOf(std::current_exception());
        }
        if (failure && failure->is(TesselaError::Case::cancelled)) {
            progress_.showLastWord(cancelledWord());
        }
    }
    Outcome outcome{Outcome::Kind::cancelled, {}};
    if (restored) {
        co_await showInFileManager(*restored);
        outcome = Outcome{};
    } else if (failure && !failure->is(TesselaError::Case::cancelled)) {
        co_await alert(QStringLiteral("Could not remove the lock"), failure->description);
        outcome = failed(failure->description);
    }
    co_await refresh();
    co_return outcome;
}

AppModel::Outcome AppModel::failed(std::string sentence) {
    return {Outcome::Kind::failed, std::move(sentence)};
}

AppModel::Outcome AppModel::quittingRefusal() {
    return failed("Tessela is quitting and takes no new work.");
}

QCoro::Task<std::optional<AppModel::Asked>> AppModel::passwordToGoOn(std::string reason) {
    auto loading = worker_.run([this] { return passwords_.load(); });
    std::optional<StoredSecret> stored = co_await std::move(loading);
    auto asking = verifiedPassword(std::move(reason), stored);
    std::optional<std::string> password = co_await std::move(asking);
    if (!password) {
        co_return std::nullopt;
    }
    if (activity_.isQuitting()) {
        questions_.beep();  // quitting began while the password was asked for
        co_return std::nullopt;
    }
    co_return Asked{std::move(*password), std::move(stored)};
}

QCoro::Task<std::optional<std::string>> AppModel::verifiedPassword(std::string reason) {
    auto loading = worker_.run([this] { return passwords_.load(); });
    std::optional<StoredSecret> stored = co_await std::move(loading);
    auto asking = verifiedPassword(std::move(reason), std::move(stored));
    co_return co_await std::move(asking);
}

QCoro::Task<std::optional<std::string>> AppModel::verifiedPassword(
    std::string reason, std::optional<StoredSecret> stored) {
    if (!stored) {
        auto asking = questions_.password(QStringLiteral("Enter the password for this item"), {});
        const std::optional<QString> typed = co_await std::move(asking);
        co_return typed ? std::optional(typed->toStdString()) : std::nullopt;
    }
    auto touching = questions_.fingerprint(
        QStringLiteral("Tessela wants to %1.").arg(shown(reason)), settings_, fingerprint_);
    if (co_await std::move(touching)) {
        co_return stored->password;
    }
    QString text = QStringLiteral("Tessela needs your password to %1.").arg(shown(reason));
    for (int tries = 0; tries < 5;) {
        auto asking = questions_.password(QStringLiteral("Enter your Tessela password"), text);
        const std::optional<QString> typed = co_await std::move(asking);
        if (!typed) {
            co_return std::nullopt;
        }
        // Return pressed before anything was typed is no try: the prompt simply comes again.
        if (typed->isEmpty()) {
            continue;
        }
        ++tries;
        if (typed->toStdString() == stored->password) {
            co_return stored->password;
        }
        text = QStringLiteral("That password did not work. Try again.");
    }
    co_return std::nullopt;
}

template <typename Result>
QCoro::Task<std::optional<Result>> AppModel::withItemPassword(
    Asked asked, ItemJob::Kind kind, std::string name,
    std::function<Result(const std::string&, const CancelToken&, const CopyProgressCallback&)> body,
    bool holdsPanel) {
    std::vector<std::string> candidates{asked.password};
    if (asked.stored) {
        for (std::string& candidate : asked.stored->openCandidates()) {
            if (std::find(candidates.begin(), candidates.end(), candidate) == candidates.end()) {
                candidates.push_back(std::move(candidate));
            }
        }
    }
    // An empty password opens nothing, and the disk image tool takes it for an error.
    std::erase(candidates, std::string());
    // Returns the body's result, or none when the password was wrong; other errors go on.
    // One cancellation for the whole operation: Cancel pressed during one try (which may end
    // as a wrong password all the same) stops every try after it.
    const auto cancel = std::make_shared<CancelToken>();
    const auto attempt = [this, kind, &name, &body, holdsPanel,
                          cancel](std::string candidate) -> QCoro::Task<std::optional<Result>> {
        auto result = std::make_shared<std::optional<Result>>();
        const std::shared_ptr<ItemJob> job = startJob(
            kind, name,
            [body, result, candidate = std::move(candidate)](
                const CancelToken& token, const ProgressCallback&,
                const CopyProgressCallback& onBytes) { *result = body(candidate, token, onBytes); },
            cancel);
        if (holdsPanel) {
            showInPanel(job, {});
        }
        try {
            co_await job->result();
            co_return std::move(*result);
        } catch (const TesselaError& error) {
            // A kept password that does not open the item is the expected case: the next is
            // tried, and nothing is worth a line.
            if (error.errorCase() != TesselaError::Case::wrongPassword) {
                throw;
            }
        }
        co_return std::nullopt;
    };
    for (const std::string& candidate : candidates) {
        auto trying = attempt(candidate);
        if (std::optional<Result> result = co_await std::move(trying)) {
            co_return result;
        }
    }
    for (;;) {
        // The panel floats above everything: out of the way while the user types, when it is
        // this operation's to move (another operation's panel is left alone).
        const bool panelUp = holdsPanel && progress_.isShown();
        if (holdsPanel) {
            progress_.setShown(false);
        }
        auto asking = questions_.password(QStringLiteral("This item uses a different password"),
                                          QStringLiteral("Enter the password it was locked with."));
        const std::optional<QString> typed = co_await std::move(asking);
        if (holdsPanel) {
            progress_.setShown(panelUp);
        }
        if (!typed) {
            co_return std::nullopt;
        }
        if (typed->isEmpty()) {
            continue;
        }
        auto trying = attempt(typed->toStdString());
        if (std::optional<Result> result = co_await std::move(trying)) {
            co_return result;
        }
    }
}

}  // namespace tessela
