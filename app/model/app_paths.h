#pragma once

#include <filesystem>
#include <string>

#include "privacy/thumbnail_scrubber.h"

namespace tessela {

// Where the application keeps its private data, with the overrides test runs use.
//
// The support directory is $XDG_DATA_HOME/Tessela (~/.local/share/Tessela by default);
// TESSELA_SUPPORT_DIR, when set and not empty, replaces it. The keychain service is
// "com.lanternworks.tessela.password" unless TESSELA_KEYCHAIN_SERVICE is set (even to "").
struct AppPaths {
    static constexpr const char* defaultKeychainService = "com.lanternworks.tessela.password";

    [[nodiscard]] static std::filesystem::path support();
    [[nodiscard]] static bool isTestOverride();
    [[nodiscard]] static std::string keychainService();
    // The user's home folder: $HOME, else the password database's entry.
    [[nodiscard]] static std::filesystem::path home();
    // The desktop's per-user data and cache folders: $XDG_DATA_HOME and $XDG_CACHE_HOME when
    // absolute, else ~/.local/share and ~/.cache.
    [[nodiscard]] static std::filesystem::path dataHome();
    [[nodiscard]] static std::filesystem::path cacheHome();
    // The per-user configuration folder: $XDG_CONFIG_HOME when absolute, else ~/.config.
    [[nodiscard]] static std::filesystem::path configHome();
    // Where the desktop keeps previews and recent files: the thumbnails under cacheHome(), the
    // recent-files list under dataHome().
    [[nodiscard]] static ThumbnailScrubber::Places previewPlaces();
};

}  // namespace tessela
