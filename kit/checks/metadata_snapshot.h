#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace tessela {

// A cheap record of one entry: taken of a whole tree before the copy and again after
// verification, so a lock notices an item that changed while it was being copied.
struct EntryMetadata {
    std::string type;  // a stable file-type name; "unknown" when missing
    std::int64_t size = 0;
    std::optional<std::chrono::sys_time<std::chrono::nanoseconds>> modified;

    friend bool operator==(const EntryMetadata&, const EntryMetadata&) = default;
};

// Relative path → metadata, the empty path standing for the root.
using MetadataSnapshot = std::map<std::string, EntryMetadata>;

// The metadata of `root` and, for a directory, of every entry below it (unreadable ones
// included). Throws std::system_error for the first entry whose attributes cannot be read, or
// FileWalk::WalkError.
[[nodiscard]] MetadataSnapshot metadataSnapshot(const std::filesystem::path& root);

}  // namespace tessela
