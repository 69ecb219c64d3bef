#pragma once

#include <string>

namespace tessela::testing {

// Keeps `data` in the keyring as the Tessela password item of `service` (account "main"),
// exactly as given and whatever it holds, as another program might leave it. True once kept.
// `inSessionCollection`: in the keyring's session collection (in memory, never locked) in
// place of the default one.
bool storeRawKeyringItem(const std::string& service, const std::string& data,
                         bool inSessionCollection = false);

// Removes every Tessela password item of `service` from the keyring.
void clearRawKeyringItems(const std::string& service);

}  // namespace tessela::testing
