#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "records/item_marker.h"
#include "records/locked_item.h"
#include "records/uuid.h"

namespace tessela {

class Folder;

// The names the engine gives: the locked item's own name, the volume's name, the name a lock
// removal restores to, and the hidden names an operation makes next to its item. Pure rules on
// names, but for the checks of which names are free.
struct LockedNames {
    static constexpr std::string_view lockedExtension = ".tessvault";
    // Longest locked base name and volume name, in UTF-8 bytes (exclusive).
    static constexpr std::size_t lockedBaseLimit = 243;
    static constexpr std::size_t volumeNameLimit = 64;

    // The hidden names one operation makes next to its item: ".tessela-{id}" and a suffix. The
    // image being built keeps the ".sparsebundle" ending the disk image tool asks of a new image
    // (the design's word for an image folder; here it is a gocryptfs cipher folder).
    static constexpr std::string_view partialSuffix = ".partial.sparsebundle";
    static constexpr std::string_view deletingSuffix = ".deleting";
    static constexpr std::string_view restoringSuffix = ".restoring";

    // Whether `url` is a locked item's bundle of this user's own: a folder, not a link, owned by
    // this user. A located path can be a last known path that someone else's folder took
    // meanwhile (in a shared folder); nothing is re-keyed, renamed or recorded there.
    [[nodiscard]] static bool isOwnBundle(const std::filesystem::path& url);

    // The name before ".tessvault": a folder keeps its name; a file loses an extension the
    // desktop knows (and a second known one: backup.tar.gz → backup).
    [[nodiscard]] static std::string lockedBaseName(const std::string& name, bool isFileOrPackage);
    // parent/base.tessvault, or "base 2.tessvault", "base 3.tessvault" … while taken; the base
    // is cut at whole characters to under 243 UTF-8 bytes.
    [[nodiscard]] static std::filesystem::path availableLockedURL(
        const std::string& base, const std::filesystem::path& parent);
    // The name cut at whole characters to under 64 UTF-8 bytes.
    [[nodiscard]] static std::string volumeName(const std::string& name);
    // folder/name if free, else "stem (restored).ext", "stem (restored 2).ext", …; a name near
    // the system's limit is shortened before the suffix, never refused.
    [[nodiscard]] static std::filesystem::path restoreDestination(
        const std::string& name, const std::filesystem::path& folder);

    // The name to give an item's content: the marker's name, else the record's display name,
    // else the locked file's name without its extension, the first that is a safe single path
    // component; "Tessela item" when none is.
    [[nodiscard]] static std::string itemName(const std::optional<ItemMarker>& marker,
                                              const std::optional<LockedItem>& record,
                                              const std::filesystem::path& locked);

    [[nodiscard]] static std::string hiddenName(const Uuid& id, std::string_view suffix);
    // A hidden name for `id`'s operation that is free in `folder`: hiddenName(id, suffix), or,
    // when that is taken (anyone can foresee it from the item's id, which a locked item's hidden
    // names show), ".tessela-{id}.{8 random characters}{suffix}". The deletion's original and
    // the removal's restored copy take their names from here.
    [[nodiscard]] static std::string freeHiddenNameIn(const Folder& folder, const Uuid& id,
                                                      std::string_view suffix);
    // ".tessela-{id}.{8 random characters}{suffix}", which nobody can foresee.
    [[nodiscard]] static std::string unforeseeableHiddenName(const Uuid& id,
                                                             std::string_view suffix);
    // Whether `name` is one that freeHiddenNameIn can give for `id` and `suffix`.
    [[nodiscard]] static bool isHiddenNameOf(std::string_view name, const Uuid& id,
                                             std::string_view suffix);
};

}  // namespace tessela
