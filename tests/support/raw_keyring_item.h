#pragma once

#include <string>

namespace tessela::testing {

// Keeps `data` in the keyring as the Tessela password item of `service` (account "main"),
// exactly as given and whatever it holds, as another program might leave it. True once kept.
bool storeRawKeyringItem(const std::string& service, const std::string& data);

}  // namespace tessela::testing
