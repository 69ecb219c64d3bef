#include "model/password_change.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "records/support_lock.h"
#include "secrets/password_rules.h"
#include "text/log.h"
#include "text/utf8.h"

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
    const auto behind = [this, generation = stored->generation] {
        return std::ranges::count_if(locker_.lockedItems(), [generation](const LockedItem& item) {
            return item.passwordGeneration < generation;
        });
    };
    try {
        const auto before = behind();
        outcome.failures =
            locker_.changePassword(*stored->previous, stored->password, stored->generation);
        outcome.moved = static_cast<std::size_t>(std::max<std::ptrdiff_t>(before - behind(), 0));
    } catch (const std::exception&) {
        logCaught(LogLevel::warning, {"Could not move the locked items to the new password yet"},
                  LogArea::app);
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
            logCaught(LogLevel::warning, {"Could not drop the previous password from the keyring"},
                      LogArea::app);
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
                logCaught(LogLevel::info,
                          {"Could not name the items still waiting for the new password"},
                          LogArea::app);
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
        logCaught(LogLevel::warning, {"Could not save the new password to the keyring"},
                  LogArea::app);
        return {"Could not save the new password to your keyring.", {}};
    }
    Outcome outcome = finishMigrationIfNeeded();
    outcome.changed = true;
    return outcome;
}

PasswordChange::Outcome PasswordChange::setUp(const std::filesystem::path& support,
                                              const std::string& password) {
    if (const std::optional<std::string> problem = PasswordRules::problem(password)) {
        return {*problem, {}};
    }
    try {
        // Held briefly, never while a password is typed: a second setup waits its turn here.
        std::optional<SupportLock> held;
        for (int attempt = 0; attempt < 100 && !held; ++attempt) {
            held = SupportLock::acquire(support, SupportLock::setupFileName);
            if (!held) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (!held) {
            return {
                "Tessela's password is being set up elsewhere. Try again when that has "
                "finished.",
                {}};
        }
        switch (store_.presence()) {
            case PasswordStore::Presence::present:
                return {
                    "A Tessela password is kept in your keyring already. To change it, use "
                    "tessela change-password.",
                    {}};
            case PasswordStore::Presence::unknown:
                return {"Could not read your password from your keyring.", {}};
            case PasswordStore::Presence::absent:
                break;
        }
        std::int64_t generation = 1;
        for (const LockedItem& record : locker_.lockedItems()) {
            generation = std::max(generation, record.passwordGeneration + 1);
        }
        store_.save(StoredSecret{password, generation, std::nullopt, {}});
    } catch (const std::exception& error) {
        return {std::string("Could not save your password to the keyring. (") +
                    repairUtf8(error.what()) + ")",
                {}};
    }
    Outcome done;
    done.changed = true;
    return done;
}

}  // namespace tessela
