#include "model/app_paths.h"

#include <cstdlib>

#include "posix/user.h"

namespace tessela {

namespace {

const char* nonEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::filesystem::path AppPaths::support() {
    if (const char* override = nonEmpty("TESSELA_SUPPORT_DIR")) {
        return override;
    }
    return dataHome() / "Tessela";
}

std::filesystem::path AppPaths::dataHome() {
    if (const char* data = nonEmpty("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return data;
    }
    return home() / ".local/share";
}

std::filesystem::path AppPaths::configHome() {
    if (const char* config = nonEmpty("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
        return config;
    }
    return home() / ".config";
}

std::filesystem::path AppPaths::cacheHome() {
    if (const char* cache = nonEmpty("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
        return cache;
    }
    return home() / ".cache";
}

bool AppPaths::isTestOverride() {
    return nonEmpty("TESSELA_SUPPORT_DIR") != nullptr;
}

std::string AppPaths::keychainService() {
    const char* service = std::getenv("TESSELA_KEYCHAIN_SERVICE");
    return service != nullptr ? service : defaultKeychainService;
}

std::filesystem::path AppPaths::home() {
    if (const char* home = nonEmpty("HOME")) {
        return home;
    }
    if (const std::optional<UserAccount> account = UserAccount::current()) {
        return account->home;
    }
    return "/";
}

ThumbnailScrubber::Places AppPaths::previewPlaces() {
    return {cacheHome() / "thumbnails", dataHome() / "recently-used.xbel"};
}

}  // namespace tessela
