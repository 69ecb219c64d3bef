#pragma once

#include <filesystem>

namespace tessela {

// Whether the item's own access-control list forbids the current user to delete it.
//
// Always false on Linux: POSIX ACLs have no deny entries, and deleting an entry depends only on
// write and search permission on its folder, which `makeDeletable` repairs.
[[nodiscard]] bool hasDenyDeleteACL(const std::filesystem::path& location);

// Prepares a tree for removal, run on the unlocked original just before it is deleted:
// - clears the immutable and append-only attributes where the user may (usually only root
//   may; a failure is ignored);
// - gives every folder owner read, write and search permission on top of its other bits.
// Everything is done through descriptors: a symbolic link is never followed, not even one that
// replaces a folder while the preparation runs; other file systems mounted inside are never
// entered; only regular files and folders are opened; files with more than one hard link are
// never touched (the other links would change too). Never fails: whatever it cannot change is
// left for the removal to report.
void makeDeletable(const std::filesystem::path& root) noexcept;

}  // namespace tessela
