#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

struct statx;

namespace tessela {

// Identifies one file-system object independently of its name: a rename keeps it, a copy or a
// re-creation under the same name does not. Where the file system records no birth time, both
// birth fields are 0 and the inode alone identifies.
struct FileIdentity {
    std::uint64_t inode = 0;
    std::int64_t birthSeconds = 0;
    std::int64_t birthNanoseconds = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;

    // The identity of the object at `path` (a symbolic link itself, not its target), or none.
    [[nodiscard]] static std::optional<FileIdentity> of(const std::filesystem::path& path);

    // The identity that `info` (with STATX_INO, and STATX_BTIME where known) describes.
    [[nodiscard]] static FileIdentity of(const struct statx& info);
};

}  // namespace tessela
