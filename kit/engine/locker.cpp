#include "engine/locker.h"

namespace tessela {

std::string Locker::itemName(const std::optional<ItemMarker>& marker,
                             const std::optional<LockedItem>& record,
                             const std::filesystem::path& locked) {
    if (marker && ItemMarker::isSafeName(marker->name)) {
        return marker->name;
    }
    if (record && ItemMarker::isSafeName(record->displayName)) {
        return record->displayName;
    }
    // The last path component without its extension; ".tessvault" alone gives an empty stem.
    std::filesystem::path last = locked;
    while (last.has_filename() == false && last.has_parent_path() && last != last.root_path()) {
        last = last.parent_path();
    }
    std::string stem = last.filename().string();
    if (const auto dot = stem.rfind('.'); dot != std::string::npos) {
        stem.erase(dot);
    }
    if (ItemMarker::isSafeName(stem)) {
        return stem;
    }
    return "Tessela item";
}

}  // namespace tessela
