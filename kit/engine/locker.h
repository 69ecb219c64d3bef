#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "records/item_marker.h"
#include "records/locked_item.h"

namespace tessela {

// The lock engine. So far it holds the name rule that opening and lock removal share.
class Locker {
  public:
    // The name to give an item's content: the marker's name, else the record's display name,
    // else the locked file's name without its extension, the first that is a safe single path
    // component; "Tessela item" when none is.
    [[nodiscard]] static std::string itemName(const std::optional<ItemMarker>& marker,
                                              const std::optional<LockedItem>& record,
                                              const std::filesystem::path& locked);
};

}  // namespace tessela
