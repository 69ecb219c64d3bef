#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/lock_refusal.h"
#include "files/item_facts.h"

namespace tessela {

// What may be locked at all, from the path and five facts: the first test that applies wins.
// Paths are compared as real paths (see realPath).
//
// Besides the folders every platform refuses, Linux system locations are refused too: the
// roots /home, /media, /mnt, /run/media and the current user's /media/USER and /run/media/USER
// (only exactly), and the folders /boot, /lib, /lib32, /lib64, /libx32, /proc, /sys, /snap,
// /var/lib, /var/cache, /var/log (and everything beneath them). The home folder's
// ~/.config, ~/.local and ~/.cache hold what applications rely on, like ~/Library, and are
// refused as library folders.
//
// Locking a folder locks everything inside it, so a folder is also refused when it holds a
// refused location, for that location's reason: /var holds /var/lib (systemLocation), a folder
// holding the home folder is homeFolder, one holding Tessela's support folder (its records and
// mounts) or its program is tesselaItself. Every folder directly in "/" is a systemLocation.
// These are path rules: they come before anything that walks the item.
class LockPolicy {
  public:
    static constexpr std::int64_t maxBytes = 2'000'000'000'000;
    static constexpr std::string_view lockedSuffix = ".tessvault";
    static constexpr std::string_view imageSuffix = ".sparsebundle";
    static constexpr std::string_view temporaryPrefix = ".tessela-";

    static const std::vector<std::string> cloudFolders;
    static const std::vector<std::string> systemRoots;
    static const std::vector<std::string> systemFolders;
    static const std::vector<std::string> standardFolderNames;
    // Folders of the home folder that are refused like ~/Library, with their contents.
    static const std::vector<std::string> homeLibraryFolders;

    // `user` names the current user for the removable-media roots; empty takes the login name.
    LockPolicy(const std::filesystem::path& home, const std::filesystem::path& mountsRoot,
               const std::optional<std::filesystem::path>& appBundle, std::string user = {});

    [[nodiscard]] const std::string& home() const noexcept { return home_; }
    [[nodiscard]] const std::string& mountsRoot() const noexcept { return mountsRoot_; }
    [[nodiscard]] const std::optional<std::string>& appBundle() const noexcept {
        return appBundle_;
    }

    // None: the policy lets the item be locked.
    [[nodiscard]] std::optional<LockRefusal> refusal(const std::filesystem::path& location,
                                                     const ItemFacts& facts) const;

  private:
    // The refusal of a folder that holds a refused location, or of a folder directly in "/".
    [[nodiscard]] std::optional<LockRefusal> containedRefusal(const std::string& path) const;

    std::string home_;
    std::string mountsRoot_;
    std::string supportFolder_;  // the folder holding mountsRoot
    std::optional<std::string> appBundle_;
    std::vector<std::string> userRoots_;
};

}  // namespace tessela
