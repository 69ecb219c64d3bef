#include "model/password_store.h"

#include <libsecret/secret.h>

#include <memory>
#include <stdexcept>

#include "text/log.h"

namespace tessela {

namespace {

using ErrorPointer = std::unique_ptr<GError, decltype(&g_error_free)>;
using ValuePointer = std::unique_ptr<SecretValue, decltype(&secret_value_unref)>;

// The item's schema: attributes "service" and "account".
const SecretSchema& schema() {
    static const SecretSchema theSchema = {PasswordStore::schemaName,
                                           SECRET_SCHEMA_NONE,
                                           {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                           0,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr};
    return theSchema;
}

}  // namespace

std::optional<StoredSecret> PasswordStore::load() const noexcept {
    GError* rawError = nullptr;
    const ValuePointer value(
        secret_password_lookup_binary_sync(&schema(), nullptr, &rawError, "service",
                                           service_.c_str(), "account", account_.c_str(), nullptr),
        &secret_value_unref);
    const ErrorPointer error(rawError, &g_error_free);
    if (error) {
        logMessage(LogLevel::info,
                   {"Could not read the password from the keyring: ", error->message},
                   LogArea::app);
    }
    if (error || !value) {
        return std::nullopt;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    try {
        return StoredSecret::fromCompactJson(std::string_view(bytes, length));
    } catch (...) {
        // Not the error's text: a decoder's message may quote what it read, the secret itself.
        logMessage(LogLevel::warning, {"The password kept in the keyring does not decode"},
                   LogArea::app);
        return std::nullopt;
    }
}

PasswordStore::Presence PasswordStore::presence() const noexcept {
    GError* rawError = nullptr;
    // A search unlocks nothing and reads no secret: it only lists the matching items.
    GList* found =
        secret_password_search_sync(&schema(), SECRET_SEARCH_ALL, nullptr, &rawError, "service",
                                    service_.c_str(), "account", account_.c_str(), nullptr);
    const ErrorPointer error(rawError, &g_error_free);
    const Presence presence =
        error ? Presence::unknown : (found != nullptr ? Presence::present : Presence::absent);
    g_list_free_full(found, g_object_unref);
    return presence;
}

void PasswordStore::save(const StoredSecret& secret) const {
    const std::string text = secret.compactJson();
    const ValuePointer value(
        secret_value_new(text.data(), static_cast<gssize>(text.size()), "application/json"),
        &secret_value_unref);
    GError* rawError = nullptr;
    const gboolean stored = secret_password_store_binary_sync(
        &schema(), SECRET_COLLECTION_DEFAULT, label, value.get(), nullptr, &rawError, "service",
        service_.c_str(), "account", account_.c_str(), nullptr);
    const ErrorPointer error(rawError, &g_error_free);
    if (!stored || error) {
        throw std::runtime_error(error ? error->message
                                       : "The keyring did not store the password.");
    }
}

bool PasswordStore::authenticateWithTouchID(const Settings& settings, const FingerprintCheck& check,
                                            const CancelToken* cancel) {
    return settings.touchIDEnabled() && check.usable() && check.verify(cancel);
}

}  // namespace tessela
