// The model's side of setting up and changing the password: their guards, and the move of the
// items to the new password resumed until none is left behind.
#include <qcoro/qcorofuture.h>
#include <QtConcurrent/QtConcurrentRun>

#include "model/app_model.h"
#include "model/password_change.h"
#include "text/log.h"

namespace tessela {

QCoro::Task<std::optional<std::string>> AppModel::finishPasswordMigrationIfNeeded() {
    auto finishing = tracked("updating your password", [this] {
        return PasswordChange(locker_, passwords_).finishMigrationIfNeeded();
    });
    const PasswordChange::Outcome outcome = co_await std::move(finishing);
    if (outcome.message || outcome.moved > 0) {
        co_await refresh();  // the rows that waited for the new password
    }
    co_return outcome.message;
}

QCoro::Task<std::optional<std::string>> AppModel::changePassword(std::string current,
                                                                 std::string newPassword) {
    co_await waitUntilReady();
    if (std::optional<std::string> refusal = activity_.passwordChangeRefusal()) {
        co_return refusal;
    }
    if (changingPassword_) {
        co_return Activity::passwordChangeRefusal({"updating your password"});
    }
    // Locks wait while this runs (waitWhilePasswordChanges), and hear when it ends.
    changingPassword_ = true;
    struct Finish {
        AppModel& model;
        ~Finish() {
            model.changingPassword_ = false;
            Q_EMIT model.passwordChangeEnded();
        }
    } finish{*this};
    // The checks, the new secret kept and the move, in that order, on the worker (the keyring
    // and the engine block).
    // A named task: g++ 12 destroys a temporary's captures inside a co_await twice.
    auto changing = tracked("updating your password", [this, current = std::move(current),
                                                       newPassword = std::move(newPassword)] {
        return PasswordChange(locker_, passwords_).change(current, newPassword);
    });
    const PasswordChange::Outcome outcome = co_await std::move(changing);
    co_await refresh();  // a refusal may still have moved items left from a change before
    co_return outcome.message;
}

QCoro::Task<std::optional<std::string>> AppModel::setUpPassword(std::string password,
                                                                bool useFingerprint) {
    co_await waitUntilReady();
    bool fingerprint = false;
    if (useFingerprint) {
        auto usable = fingerprintUsable();  // named: see tracked
        fingerprint = co_await std::move(usable);
    }
    auto settingUp = tracked("setting up your password", [this, password] {
        return PasswordChange(locker_, passwords_).setUp(options_.support, password);
    });
    const PasswordChange::Outcome outcome = co_await std::move(settingUp);
    if (outcome.changed) {
        // Kept: setup is over, whatever reading the list again meets.
        setTouchIDEnabled(fingerprint);
        items_.setNeedsSetup(false);
        co_await refresh();
        co_return std::nullopt;
    }
    const std::string saveFailure = "Could not save your password to the keyring.";
    const std::string message = outcome.message.value_or(saveFailure);
    const bool notSaved = message.starts_with(saveFailure);
    if (notSaved) {
        logMessage(LogLevel::warning, {message}, LogArea::app);
    }
    co_await refresh();
    if (!items_.needsSetup()) {
        // A password was kept meanwhile (a setup in a terminal), or the keyring cannot be asked:
        // setup is over, and the user hears that the password typed here was not kept.
        setTouchIDEnabled(fingerprint);
        // A named task: g++ 12 destroys a temporary's arguments inside a co_await twice.
        auto telling = alert(QStringLiteral("Your password was not kept"),
                             notSaved ? message
                                      : "A Tessela password was set up elsewhere meanwhile, and "
                                        "Tessela uses that one. To use the password you typed, "
                                        "change it in the settings.");
        co_await std::move(telling);
        co_return std::nullopt;
    }
    co_return notSaved ? saveFailure : message;
}

QCoro::Task<bool> AppModel::fingerprintUsable() {
    // Shared: the check outlives a model that goes while it runs.
    const std::shared_ptr<const FingerprintCheck> check = fingerprint_;
    QFuture<bool> asking = QtConcurrent::run([check] { return check->usable(); });
    co_return co_await asking;
}

}  // namespace tessela
