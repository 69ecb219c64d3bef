#pragma once

#include <optional>
#include <string>

#include "activity/cancel_token.h"
#include "model/fingerprint_check.h"
#include "model/settings.h"
#include "secrets/stored_secret.h"

namespace tessela {

// The user's stored secret in the desktop keyring (Secret Service, through libsecret, which stays
// in the source): one item with the attributes "service" and "account", under the schema
// "com.lanternworks.tessela.Password",
// labelled "Tessela password" as Seahorse shows it, holding the secret's compact JSON as bytes.
// Tests give their own service name (AppPaths::keychainService), so they never touch the user's
// real item. Calls block the calling thread while the keyring answers.
class PasswordStore {
  public:
    static constexpr const char* schemaName = "com.lanternworks.tessela.Password";
    static constexpr const char* label = "Tessela password";
    static constexpr const char* defaultAccount = "main";

    explicit PasswordStore(std::string service, std::string account = defaultAccount)
        : service_(std::move(service)), account_(std::move(account)) {}

    // The stored secret, or none on any problem: no Secret Service on the bus, a locked
    // collection that stays locked, no item, data that is not a stored secret. Never throws.
    [[nodiscard]] std::optional<StoredSecret> load() const noexcept;
    // Whether the keyring holds the item at all, locked or not, readable or not; unknown when
    // the keyring cannot be asked. Only `absent` means that a first secret may be created
    // without replacing one (and its history of earlier passwords).
    enum class Presence { absent, present, unknown };
    [[nodiscard]] Presence presence() const noexcept;
    // Creates the item or replaces its data (an item saved twice stays one item), in the default
    // collection; a locked collection is unlocked through the keyring's own prompt. Throws
    // std::runtime_error with the keyring's message when it cannot be saved; nothing changes then.
    void save(const StoredSecret& secret) const;

    // Whether a fingerprint released the password: false at once when the user turned the
    // preference off (Settings' "tessela.touchIDEnabled", on unless set) or no finger can be
    // used; otherwise the check's answer. The prompt around it is the caller's, and `cancel` its
    // "Use Tessela Password" button.
    [[nodiscard]] static bool authenticateWithTouchID(const Settings& settings,
                                                      const FingerprintCheck& check,
                                                      const CancelToken* cancel = nullptr);

    [[nodiscard]] const std::string& service() const noexcept { return service_; }

  private:
    std::string service_;
    std::string account_;
};

}  // namespace tessela
