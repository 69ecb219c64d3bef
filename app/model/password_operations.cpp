// The model's side of changing the password: its guards, and the move of the items to the new
// password resumed until none is left behind.
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

}  // namespace tessela
