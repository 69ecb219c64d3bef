#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "process/disk_image_tool.h"

namespace tessela {

// The checks of an item and everything inside it that run after the policy, before anything is
// written. Each returns normally or throws one TesselaError naming the item; none changes
// anything on disk.

// The attributes that make a file unchangeable in place (what the desktop shows as "Locked"):
// immutable and append-only.
struct LockAttributes {
    bool immutable = false;
    bool appendOnly = false;
    [[nodiscard]] bool any() const noexcept { return immutable || appendOnly; }
};

// Reads a location's attributes through statx, without opening it and without following a
// final link; none when unreadable. Tests substitute their own probe, since only root can set
// these attributes.
using LockAttributeProbe =
    std::function<std::optional<LockAttributes>(const std::filesystem::path&)>;
[[nodiscard]] std::optional<LockAttributes> readLockAttributes(const std::filesystem::path& path);

// containsUnlockedItem when an open locked item's bundle (".tessvault", exactly) lies inside,
// containsMountedDisk for any other mounted image or a mount point inside. A failure to list
// the mounted images is thrown unchanged.
void refuseMountsInside(const std::filesystem::path& location, const std::string& name,
                        const DiskImageTool& tool);

// finderLocked when the item itself is immutable or append-only, or denies its deletion.
void refuseFinderLocked(const std::filesystem::path& location, const std::string& name,
                        const LockAttributeProbe& probe = &readLockAttributes);

// containsAppleDouble for the item or any entry whose name begins with "._";
// containsFinderLocked for a readable entry inside that is immutable or append-only; whichever
// the walk meets first. A walk that cannot start passes.
void refuseAppleDoubleOrFinderLockedInside(const std::filesystem::path& location,
                                           const std::string& name,
                                           const LockAttributeProbe& probe = &readLockAttributes);

// hardLinked when the item, or a regular file inside, has more than one link.
void refuseHardLinkedFiles(const std::filesystem::path& location, const std::string& name);

}  // namespace tessela
