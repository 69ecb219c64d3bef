#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tessela {

// The user's one Tessela password with its history. Every locked item records the password
// generation that encrypts it; after a change, items move to the new password one by one, so the
// secret keeps the password current before the last change (`previous`, until every item has
// moved) and every earlier one (`history`, oldest first, each once, never trimmed), so that an
// item that was missed still opens when it turns up. A plain value.
struct StoredSecret {
    std::string password;
    std::int64_t generation = 1;
    std::optional<std::string> previous;
    std::vector<std::string> history;

    friend bool operator==(const StoredSecret&, const StoredSecret&) = default;

    // After changing the password to `newPassword`: the old password moves to the end of the
    // history (once), becomes `previous`, and the generation goes up by one. The old `previous`
    // stays reachable through the history (it is added there if a record lacked it).
    [[nodiscard]] StoredSecret changing(const std::string& newPassword) const;
    // The same secret once every item has moved: no `previous`.
    [[nodiscard]] StoredSecret migrated() const;
    // The passwords to try on an item, in order: the current one, `previous`, then the history
    // from newest to oldest, each once.
    [[nodiscard]] std::vector<std::string> openCandidates() const;

    // {"password", "generation", "previous" (left out when absent), "history" (always)}.
    [[nodiscard]] nlohmann::json toJson() const;
    // "password" and "generation" (from 1 on) are required; a missing "history" reads as
    // empty. Throws DecodingError.
    [[nodiscard]] static StoredSecret fromJson(const nlohmann::json& object);
    // The compact JSON text kept in the keyring, and back (DecodingError for anything else). A
    // password that is not UTF-8 cannot be JSON text: compactJson throws nlohmann::json's
    // type_error rather than change the password.
    [[nodiscard]] std::string compactJson() const;
    [[nodiscard]] static StoredSecret fromCompactJson(std::string_view text);
};

}  // namespace tessela
