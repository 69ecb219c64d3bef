#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tessela {

// Five cheap facts about a candidate for locking. Never fails: facts that cannot be read are
// false or 0.
struct ItemFacts {
    bool exists = false;           // the item's own attributes could be read (links not followed)
    bool isSymlink = false;        // the item itself is a symbolic link
    bool isVolumeRoot = false;     // the root of a mounted file system
    bool isNetworkVolume = false;  // on a file system the desktop reports as remote
    std::int64_t size = 0;         // bytes allocated by the item and everything inside it

    friend bool operator==(const ItemFacts&, const ItemFacts&) = default;

    // With `measureSize` false, `size` stays 0 and nothing inside the item is read: the path
    // rules can refuse first, before a walk of what may be a whole file system.
    [[nodiscard]] static ItemFacts inspect(const std::filesystem::path& location,
                                           bool measureSize = true);

    // Bytes allocated on disk (st_blocks × 512) by a regular file, or by every regular file
    // beneath a folder (links not followed, unreadable entries skipped). 0 when unreadable.
    [[nodiscard]] static std::int64_t allocatedSize(const std::filesystem::path& location);
    // The same walk with file sizes (st_size).
    [[nodiscard]] static std::int64_t logicalSize(const std::filesystem::path& location);

    // The root of a mounted file system: statx's mount-root attribute where the kernel gives
    // it, else a device different from the parent folder's. None when unreadable.
    [[nodiscard]] static std::optional<bool> volumeRoot(const std::filesystem::path& location);
    // GIO's "filesystem::remote" of the file system holding the location; none when unreadable.
    [[nodiscard]] static std::optional<bool> remoteVolume(const std::filesystem::path& location);
};

}  // namespace tessela
