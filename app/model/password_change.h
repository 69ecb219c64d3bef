#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "model/password_store.h"
#include "records/uuid.h"

namespace tessela {

// Changing the password, for every front end. The new secret is stored in the keyring first
// (the old password kept as its `previous`), then the engine moves every item to it; while
// some item is left behind, the secret keeps `previous`, and the move is resumed (at each
// start, and before the next change) until none is.
class PasswordChange {
  public:
    PasswordChange(Locker& locker, const PasswordStore& store) : locker_(locker), store_(store) {}

    // What a step ended with: none when it worked, or the sentence to show; and the items the
    // move left behind, each with the error that kept it.
    struct Outcome {
        std::optional<std::string> message;
        std::map<Uuid, TesselaError> failures;
        bool changed = false;         // the new password is the one kept now
        bool stillMigrating = false;  // refused: items are still on the password before
        // Items the move took to the new password this time; none while failures are all
        // there is means the keyring has the new password but no item moved yet.
        std::size_t moved = 0;
    };

    // Resumes an unfinished move: while the stored secret has a previous password, moves the
    // items to the current one, and drops `previous` once none is left behind (and the secret
    // did not change meanwhile).
    Outcome finishMigrationIfNeeded();
    // Checks `current` against the stored password and `newPassword` against the rules, stores
    // the new secret and moves the items. Refusals change nothing.
    Outcome change(const std::string& current, const std::string& newPassword);
    // Keeps `password` as the first password (setup), under the setup lock of `support`, only
    // while the keyring surely holds none (asked again under the lock: another setup may have
    // kept its own meanwhile), at a generation above every one recorded so far, so that items
    // moved by passwords the keyring no longer knows count as still to move, never as done.
    // Refusals and failures come back as the sentence to show.
    Outcome setUp(const std::filesystem::path& support, const std::string& password);

  private:
    Locker& locker_;
    const PasswordStore& store_;
};

}  // namespace tessela
