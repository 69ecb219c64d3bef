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
// containsMountedDisk for any other mounted image, and for a mount point of any file system
// anywhere inside (a bind mount, sshfs, a cloud drive: /proc/self/mountinfo). A failure to list
// the mounts is thrown unchanged.
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

// containsReservedName when a folder holds, at its top, one of the two files the lock writes into
// every locked item's volume (VolumeLayout::housekeeping): the lock would replace the user's
// file with its own.
void refuseReservedNames(const std::filesystem::path& location, const std::string& name);

// pathTooLong when the path of the item or of anything inside it is longer than the system
// allows (PATH_MAX), either where it is or where its copy goes: under a root of
// `copyRootLength` bytes (the mount folder).
void refuseOverlongPaths(const std::filesystem::path& location, const std::string& name,
                         std::size_t copyRootLength);

// originalNotRemovable when this user could not remove the item once it is locked, so the
// lock would end with its unlocked original still there: its folder is not writable and
// searchable for this user; or that folder is sticky (like /tmp) and neither it nor the item is
// this user's; or a folder inside is another user's and not writable, readable and searchable
// (the lock could not empty it, and may not change its mode); or a sticky folder inside that is
// not this user's holds an entry of someone else's. Root may remove everything, but not from an
// immutable folder or a read-only file system (immutable attributes inside the item are
// refused by refuseFinderLocked and its inside check).
void refuseUnremovableOriginal(const std::filesystem::path& location, const std::string& name);

}  // namespace tessela
