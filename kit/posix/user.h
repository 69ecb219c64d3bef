#pragma once

#include <optional>
#include <string>

namespace tessela {

// The current user's entry in the password database.
struct UserAccount {
    std::string name;
    std::string home;

    // None when the database has no entry for the current user id.
    [[nodiscard]] static std::optional<UserAccount> current();
};

}  // namespace tessela
