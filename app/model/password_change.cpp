#include "model/password_change.h"

#include <algorithm>

#include "secrets/password_rules.h"

namespace tessela {

namespace {

constexpr const char* notCorrect = "Your current password is not correct.";

}  // namespace

PasswordChange::Outcome PasswordChange::finishMigrationIfNeeded() {
    const std::optional<StoredSecret> stored = store_.load();
    if (!stored || !stored->previous) {
        return {};
    }
    Outcome outcome;
    try {
        outcome.failures =
            locker_.changePassword(*stored->previous, stored->password, stored->generation);
    } catch (const std::exception&) {
        outcome.message = "Lock every unlocked item to finish updating your password.";
        return outcome;
    }
    if (const std::size_t count = outcome.failures.size(); count > 0) {
        outcome.message = std::to_string(count) + " item" + (count == 1 ? "" : "s") +
                          " could not be updated yet. Tessela will try again next time it opens.";
        return outcome;
    }
    const std::optional<StoredSecret> now = store_.load();
    if (now && now->password == stored->password && now->generation == stored->generation) {
        try {
            store_.save(now->migrated());
        } catch (const std::exception&) {
            // The next run finds nothing left to move and tries again.
        }
    }
    return outcome;
}

PasswordChange::Outcome PasswordChange::change(const std::string& current,
                                               const std::string& newPassword) {
    std::optional<StoredSecret> stored = store_.load();
    if (!stored || stored->password != current) {
        return {notCorrect, {}, false};
    }
    if (std::optional<std::string> problem = PasswordRules::problem(newPassword)) {
        return {std::move(problem), {}};
    }
    try {
        if (!locker_.openItems().empty()) {
            return {TesselaError::needsAllLocked().errorDescription(), {}};
        }
    } catch (const std::exception& error) {
        return {std::string(error.what()), {}};
    }
    if (stored->previous) {
        (void)finishMigrationIfNeeded();
        stored = store_.load();
        if (!stored) {
            return {"Could not read your password from your keyring.", {}};
        }
        if (stored->previous) {
            std::vector<std::string> names;
            try {
                names = locker_.itemsStillMigrating(stored->generation);
            } catch (const std::exception&) {
                names.clear();
            }
            return {PasswordRules::stillMigratingMessage(names), {}, false, true};
        }
        if (stored->password != current) {
            return {notCorrect, {}, false};
        }
    }
    try {
        store_.save(stored->changing(newPassword));
    } catch (const std::exception&) {
        return {"Could not save the new password to your keyring.", {}};
    }
    Outcome outcome = finishMigrationIfNeeded();
    outcome.changed = true;
    return outcome;
}

std::int64_t PasswordChange::firstGeneration() const {
    std::int64_t generation = 1;
    for (const LockedItem& record : locker_.lockedItems()) {
        generation = std::max(generation, record.passwordGeneration + 1);
    }
    return generation;
}

}  // namespace tessela
