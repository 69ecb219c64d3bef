#pragma once

#include <filesystem>
#include <string>

#include "records/locked_item.h"
#include "records/uuid.h"

namespace tessela {

// A locked item whose encrypted volume is attached.
struct OpenItem {
    Uuid id;                           // the LockedItem's id
    std::filesystem::path lockedURL;   // the locked file (the encrypted bundle)
    std::filesystem::path mountPoint;  // where its volume is attached
    LockedItem::Kind kind = LockedItem::Kind::file;
    std::string name;  // display name

    // What the user works with: the mount point for a folder (the volume root holds the folder's
    // contents), the mount point plus `name` for a file.
    [[nodiscard]] std::filesystem::path contentURL() const;

    friend bool operator==(const OpenItem&, const OpenItem&) = default;
};

}  // namespace tessela
