#include "checks/inside_checks.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <set>

#include "checks/item_survey.h"
#include "errors/tessela_error.h"
#include "files/deletability.h"
#include "files/file_walk.h"
#include "files/mount_table.h"
#include "files/paths.h"
#include "records/volume_layout.h"
#include "text/log.h"

namespace tessela {

std::optional<LockAttributes> readLockAttributes(const std::filesystem::path& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, 0, &info) != 0) {
        return std::nullopt;
    }
    return LockAttributes{(info.stx_attributes & STATX_ATTR_IMMUTABLE) != 0,
                          (info.stx_attributes & STATX_ATTR_APPEND) != 0};
}

void refuseMountsInside(const std::filesystem::path& location, const std::string& name,
                        const DiskImageTool& tool) {
    const std::string root = canonicalPath(location).string();
    for (const AttachedImage& image : tool.attachedImages()) {
        if (isAtOrBeneath(image.imagePath, root)) {
            if (std::filesystem::path(image.imagePath).extension() == ".tessvault") {
                throw TesselaError::containsUnlockedItem(name);
            }
            throw TesselaError::containsMountedDisk(name);
        }
        if (isAtOrBeneath(canonicalPath(image.mountPoint).string(), root)) {
            throw TesselaError::containsMountedDisk(name);
        }
    }
    // Any other file system mounted inside (a bind mount, sshfs, a cloud drive) would be copied
    // into the lock and then emptied with the original: it is never the item's own content.
    std::vector<MountEntry> mounts;
    try {
        mounts = MountTable::read();
    } catch (const std::system_error&) {
        logCaught(LogLevel::warning, {"Could not read the system's list of mounts"});
        throw TesselaError::diskImage("Could not list mounted disk images.");
    }
    for (const MountEntry& mount : mounts) {
        if (isBeneath(mount.mountPoint, root)) {
            throw TesselaError::containsMountedDisk(name);
        }
    }
}

void refuseFinderLocked(const std::filesystem::path& location, const std::string& name,
                        const LockAttributeProbe& probe) {
    const std::optional<LockAttributes> attributes = probe(location);
    if (!attributes) {
        return;
    }
    if (attributes->any() || hasDenyDeleteACL(location)) {
        throw TesselaError::finderLocked(name);
    }
}

void refuseAppleDoubleOrFinderLockedInside(const std::filesystem::path& location,
                                           const std::string& name,
                                           const LockAttributeProbe& probe) {
    ItemSurvey::of(location, 0, probe).refuseAppleDoubleOrFinderLockedInside(name);
}

void refuseHardLinkedFiles(const std::filesystem::path& location, const std::string& name) {
    ItemSurvey::of(location, 0).refuseHardLinkedFiles(name);
}

void refuseReservedNames(const std::filesystem::path& location, const std::string& name) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return;
    }
    for (const std::string_view reserved : VolumeLayout::housekeeping) {
        struct stat member {};
        if (::lstat((location / reserved).c_str(), &member) == 0) {
            throw TesselaError::containsReservedName(name, std::string(reserved));
        }
    }
}

void refuseOverlongPaths(const std::filesystem::path& location, const std::string& name,
                         std::size_t copyRootLength) {
    ItemSurvey::of(location, copyRootLength).refuseOverlongPaths(name);
}

void refuseUnremovableOriginal(const std::filesystem::path& location, const std::string& name) {
    ItemSurvey::of(location, 0).refuseUnremovableOriginal(name);
}

}  // namespace tessela
