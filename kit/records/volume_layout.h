#pragma once

#include <array>
#include <set>
#include <string>
#include <string_view>

namespace tessela {

// Fixed names at the root of a locked item's encrypted volume.
struct VolumeLayout {
    // The item marker (its content belongs to ItemMarker).
    static constexpr std::string_view markerName = ".tessela-item.json";
    // An empty file that tells desktop indexers to stay out of the volume.
    static constexpr std::string_view indexerStopName = ".metadata_never_index";

    // The two files the lock writes at the root of every locked item's volume. They are the
    // only housekeeping here: nothing on Linux creates other system files in a gocryptfs
    // volume, so every other name at a folder's top (".DS_Store", ".Trashes", … brought from
    // elsewhere) is the user's content, copied, verified and restored like any other file.
    // A folder is compared with its locked copy ignoring these two at the first level of both
    // sides; they are skipped when a volume's content is measured or copied back out. A folder
    // that holds either name at its top is refused before a lock (its file would be replaced).
    static constexpr std::array<std::string_view, 2> housekeeping = {indexerStopName, markerName};

    // The housekeeping names as a set, for comparisons that ignore them.
    [[nodiscard]] static std::set<std::string> housekeepingNames() {
        return {housekeeping.begin(), housekeeping.end()};
    }

    [[nodiscard]] static constexpr bool isHousekeeping(std::string_view name) {
        for (const std::string_view entry : housekeeping) {
            if (entry == name) {
                return true;
            }
        }
        return false;
    }
};

}  // namespace tessela
