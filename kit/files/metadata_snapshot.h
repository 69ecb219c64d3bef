#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace tessela {

// A cheap record of one entry: taken of a whole tree before the copy and again after
// verification, and once more after the original was renamed away, so a lock notices an item
// that changed while it was being copied.
//
// Besides type, size and modification time it holds the status-change time and the inode: a
// rewrite in place that puts the old modification time back (rsync --inplace, touch -r) still
// moves the status-change time, which no ordinary user can set, and a file replaced by another
// under the same name has another inode.
struct EntryMetadata {
    using Time = std::chrono::sys_time<std::chrono::nanoseconds>;

    std::string type;  // a stable file-type name; "unknown" when missing
    std::int64_t size = 0;
    std::optional<Time> modified;
    std::optional<Time> changed;  // the status-change time (ctime)
    std::uint64_t inode = 0;

    friend bool operator==(const EntryMetadata&, const EntryMetadata&) = default;
};

// Relative path → metadata, the empty path standing for the root.
using MetadataSnapshot = std::map<std::string, EntryMetadata>;

// The metadata of `root` and, for a directory, of every entry below it (unreadable ones
// included). Throws std::system_error for the first entry whose attributes cannot be read, or
// FileWalk::WalkError.
[[nodiscard]] MetadataSnapshot metadataSnapshot(const std::filesystem::path& root);

// Whether two snapshots agree but for the root's status-change time, which renaming the item
// moves.
[[nodiscard]] bool sameButForRename(MetadataSnapshot first, MetadataSnapshot second);

// The newest status change in the snapshot, in nanoseconds since 1970; none when no entry has
// one.
[[nodiscard]] std::optional<std::int64_t> newestChange(const MetadataSnapshot& snapshot);

// A short text that is equal for two snapshots exactly when sameButForRename is true (SHA-256
// over every entry's path and metadata, in hexadecimal), to keep in the journal.
[[nodiscard]] std::string metadataFingerprint(const MetadataSnapshot& snapshot);

// A time in nanoseconds since 1970, held at the ends of what that can count (the years 1677 and
// 2262) rather than overflowing: a file may carry any time its owner sets.
[[nodiscard]] EntryMetadata::Time fileTime(std::int64_t seconds, std::int64_t nanoseconds);
[[nodiscard]] EntryMetadata::Time fileTime(const struct timespec& time);

// The metadata a status gives.
[[nodiscard]] EntryMetadata entryMetadata(const struct stat& info);

}  // namespace tessela
