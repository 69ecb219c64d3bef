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

    // Names the operating system or the lock engine may create at the volume root. A folder is
    // compared with its locked copy ignoring these at the first level of both sides; they are
    // also skipped when a volume's content is measured or copied back out.
    static constexpr std::array<std::string_view, 8> housekeeping = {
        ".DocumentRevisions-V100", ".TemporaryItems",       ".Trashes",  ".fseventsd",
        ".Spotlight-V100",         ".metadata_never_index", ".DS_Store", ".tessela-item.json",
    };

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
