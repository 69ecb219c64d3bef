#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "checks/inside_checks.h"
#include "files/file_walk.h"
#include "files/metadata_snapshot.h"

namespace tessela {

// Everything the lock needs to know about an item before it changes anything, from one walk:
// the sizes for the space check, the container's overhead, the metadata snapshot that later
// shows any change, and what the inside checks would object to. The lock refuses an item with
// anything mounted inside (from the mount table, refuseMountsInside) before it surveys it, so
// the walk never enters another mounted file system. Each refuse… call throws what the check of the
// same name in inside_checks.h throws, in the same cases; the lock calls them in the order of those
// checks.
class ItemSurvey {
  public:
    // Walks `location` (its links not followed). `copyRootLength` is the length of the folder
    // the copy goes into, for the path-length check.
    [[nodiscard]] static ItemSurvey of(const std::filesystem::path& location,
                                       std::size_t copyRootLength,
                                       const LockAttributeProbe& probe = &readLockAttributes);

    // Bytes the item's regular files take on disk, and their lengths.
    [[nodiscard]] std::int64_t allocatedSize() const noexcept { return allocatedSize_; }
    [[nodiscard]] std::int64_t logicalSize() const noexcept { return logicalSize_; }
    // What the container adds on disk to this content (DiskImageTool::containerOverhead).
    [[nodiscard]] std::int64_t containerOverhead() const noexcept { return containerOverhead_; }
    // The item's metadata as walked (metadataSnapshot). Throws what kept the walk from reading
    // the item.
    [[nodiscard]] const MetadataSnapshot& snapshot() const;

    // containsMountedDisk when an entry inside lies on another file system than the item (a
    // btrfs subvolume, which the mount table does not list): it could be copied, but the
    // original could not be removed through it.
    void refuseOtherFileSystemsInside(const std::string& name) const;
    void refuseAppleDoubleOrFinderLockedInside(const std::string& name) const;
    void refuseHardLinkedFiles(const std::string& name) const;
    void refuseOverlongPaths(const std::string& name) const;
    void refuseUnremovableOriginal(const std::string& name) const;

  private:
    enum class Inside { nothing, appleDouble, locked };

    std::int64_t allocatedSize_ = 0;
    std::int64_t logicalSize_ = 0;
    std::int64_t containerOverhead_ = 0;
    MetadataSnapshot snapshot_;
    std::optional<FileWalk::WalkError> unreadable_;
    std::optional<std::system_error> unstated_;  // an entry whose status could not be taken
    Inside inside_ = Inside::nothing;            // the first met
    bool otherDevice_ = false;
    bool hardLinked_ = false;
    bool overlong_ = false;
    bool unremovable_ = false;
};

}  // namespace tessela
