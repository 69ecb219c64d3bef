#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "records/locked_item.h"
#include "records/uuid.h"

namespace tessela {

// A locked item whose encrypted volume is attached.
struct OpenItem {
    Uuid id;                           // the LockedItem's id
    std::filesystem::path lockedURL;   // the locked file (the encrypted bundle)
    std::filesystem::path mountPoint;  // where its volume is attached: mounts folder/{id}
    LockedItem::Kind kind = LockedItem::Kind::file;
    std::string name;  // display name
    // The folder people see it as: a link in the mounts folder named after the item ("Taxes",
    // "Taxes 2", …) leading to `mountPoint`. None when the item has no such link (it could not
    // be made, or the item was opened by a version that made none); it is then seen at
    // `mountPoint`.
    std::optional<std::filesystem::path> shownFolder;

    // What the user works with: the shown folder (else the mount point) for a folder (the volume
    // root holds the folder's contents), that folder plus `name` for a file.
    [[nodiscard]] std::filesystem::path contentURL() const;

    friend bool operator==(const OpenItem&, const OpenItem&) = default;
};

}  // namespace tessela
