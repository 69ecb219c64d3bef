// The model's side of setting up and changing the password: their guards, and the move of the
// items to the new password resumed until none is left behind.
#include <qcoro/qcorofuture.h>
#include <QtConcurrent/QtConcurrentRun>

#include "model/app_model.h"
#include "model/password_change.h"

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
    auto usable = fingerprintUsable();  // named: see tracked
    const bool fingerprint = useFingerprint && co_await std::move(usable);
    auto settingUp = tracked("setting up your password", [this, password = std::move(password)] {
        return PasswordChange(locker_, passwords_).setUp(options_.support, password);
    });
    const PasswordChange::Outcome outcome = co_await std::move(settingUp);
    co_await refresh();
    // Kept now, by this setup or by one in a terminal meanwhile: setup is over.
    if (!items_.needsSetup()) {
        setTouchIDEnabled(fingerprint);
        co_return std::nullopt;
    }
    co_return outcome.message.value_or("Could not save your password to the keyring.");
}

QCoro::Task<bool> AppModel::fingerprintUsable() {
    // Shared: the check outlives a model that goes while it runs.
    const std::shared_ptr<const FingerprintCheck> check = fingerprint_;
    QFuture<bool> asking = QtConcurrent::run([check] { return check->usable(); });
    co_return co_await asking;
}

}  // namespace tessela
