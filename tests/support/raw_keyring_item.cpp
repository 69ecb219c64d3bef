#include "support/raw_keyring_item.h"

#include <libsecret/secret.h>

#include "model/password_store.h"

namespace tessela::testing {

namespace {

SecretSchema* itemSchema() {
    // The item's schema as any program reaching the keyring would name it.
    return secret_schema_new(PasswordStore::schemaName, SECRET_SCHEMA_NONE, "service",
                             SECRET_SCHEMA_ATTRIBUTE_STRING, "account",
                             SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
}

}  // namespace

void clearRawKeyringItems(const std::string& service) {
    SecretSchema* schema = itemSchema();
    while (secret_password_clear_sync(schema, nullptr, nullptr, "service", service.c_str(),
                                      "account", PasswordStore::defaultAccount,
                                      nullptr) != FALSE) {
    }
    secret_schema_unref(schema);
}

bool storeRawKeyringItem(const std::string& service, const std::string& data,
                         bool inSessionCollection) {
    SecretSchema* schema = itemSchema();
    SecretValue* value = secret_value_new(data.c_str(), -1, "text/plain");
    const bool stored =
        secret_password_store_binary_sync(schema,
                                          inSessionCollection ? SECRET_COLLECTION_SESSION
                                                              : SECRET_COLLECTION_DEFAULT,
                                          "raw", value, nullptr,
                                          nullptr, "service", service.c_str(), "account",
                                          PasswordStore::defaultAccount, nullptr) != FALSE;
    secret_value_unref(value);
    secret_schema_unref(schema);
    return stored;
}

}  // namespace tessela::testing
