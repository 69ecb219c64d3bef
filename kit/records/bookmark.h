#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace tessela {

// An opaque locator of a file that survives renames and nearby moves on the same volume.
//
// The bytes hold the file's last path and its identity (device, inode, birth time). Resolving
// returns the last path while the file there still has that identity; otherwise it searches,
// breadth first and without following symbolic links or crossing into other mounts, the last
// folder and up to three folders above it, visiting at most `searchLimit` entries in all. A file
// on a file system without birth times is identified by device and inode alone.
class Bookmark {
  public:
    static constexpr int searchLimit = 20'000;
    static constexpr int foldersAbove = 3;

    // A bookmark of the item at `path` (a symbolic link is bookmarked itself), or none when its
    // attributes cannot be read.
    [[nodiscard]] static std::optional<std::vector<std::uint8_t>> make(
        const std::filesystem::path& path);

    // Where the bookmarked item is now, or none when it cannot be found or the bytes are not a
    // bookmark. Never throws; reads the file system only.
    [[nodiscard]] static std::optional<std::filesystem::path> resolve(
        const std::vector<std::uint8_t>& bytes);
};

}  // namespace tessela
