#include "checks/inside_checks.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <set>

#include "errors/tessela_error.h"
#include "files/deletability.h"
#include "files/file_walk.h"
#include "files/mount_table.h"
#include "files/paths.h"
#include "records/volume_layout.h"

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
    if (location.filename().string().starts_with("._")) {
        throw TesselaError::containsAppleDouble(name);
    }
    try {
        FileWalk::walk(location, [&](const FileWalk::Entry& entry) {
            if (entry.name().starts_with("._")) {
                throw TesselaError::containsAppleDouble(name);
            }
            if (!entry.problem) {
                const std::optional<LockAttributes> attributes =
                    probe(location / entry.relativePath);
                if (attributes && attributes->any()) {
                    throw TesselaError::containsFinderLocked(name);
                }
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError&) {
        // The root cannot be read: nothing inside to object to.
    }
}

void refuseHardLinkedFiles(const std::filesystem::path& location, const std::string& name) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink >= 2) {
        throw TesselaError::hardLinked(name);
    }
    try {
        FileWalk::walk(location, [&](const FileWalk::Entry& entry) {
            if (!entry.problem && S_ISREG(entry.info.st_mode) && entry.info.st_nlink > 1) {
                throw TesselaError::hardLinked(name);
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError&) {
    }
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
    const std::size_t rootLength = location.string().size();
    if (rootLength >= PATH_MAX || copyRootLength + 1 + name.size() >= PATH_MAX) {
        throw TesselaError::pathTooLong(name);
    }
    try {
        FileWalk::walk(location, [&](const FileWalk::Entry& entry) {
            const std::size_t longestRoot = std::max(rootLength, copyRootLength);
            if (entry.problem == ENAMETOOLONG ||
                longestRoot + 1 + entry.relativePath.size() >= PATH_MAX) {
                throw TesselaError::pathTooLong(name);
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError& error) {
        if (error.code() == ENAMETOOLONG) {
            throw TesselaError::pathTooLong(name);
        }
    }
}

namespace {

bool mayEmpty(const std::filesystem::path& folder, const struct stat& info, uid_t user) {
    return info.st_uid == user ||
           ::faccessat(AT_FDCWD, folder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

bool isStickyOfSomeoneElse(const struct stat& info, uid_t user) {
    return (info.st_mode & S_ISVTX) != 0 && info.st_uid != user;
}

}  // namespace

void refuseUnremovableOriginal(const std::filesystem::path& location, const std::string& name) {
    const uid_t user = ::geteuid();
    const std::filesystem::path parent = location.parent_path();
    struct stat parentInfo {};
    struct stat info {};
    if (::stat(parent.c_str(), &parentInfo) != 0 || ::lstat(location.c_str(), &info) != 0) {
        return;  // the lock's own steps report what cannot be read
    }
    // Nobody, root included, removes anything from an immutable or append-only folder or from
    // a read-only file system.
    const std::optional<LockAttributes> parentAttributes = readLockAttributes(parent);
    struct statvfs fileSystem {};
    if ((parentAttributes && parentAttributes->any()) ||
        (::statvfs(parent.c_str(), &fileSystem) == 0 && (fileSystem.f_flag & ST_RDONLY) != 0)) {
        throw TesselaError::originalNotRemovable(name);
    }
    if (user == 0) {
        return;
    }
    // Renaming the item away and deleting it need write and search permission on its folder;
    // in a sticky folder, also the folder or the item must be this user's.
    if (::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        throw TesselaError::originalNotRemovable(name);
    }
    if (isStickyOfSomeoneElse(parentInfo, user) && info.st_uid != user) {
        throw TesselaError::originalNotRemovable(name);
    }
    if (!S_ISDIR(info.st_mode)) {
        return;
    }
    if (!mayEmpty(location, info, user)) {
        throw TesselaError::originalNotRemovable(name);
    }
    // Folders inside (by relative path; "" is the item) whose entries only their owners may
    // remove.
    std::set<std::string> stickyOfOthers;
    if (isStickyOfSomeoneElse(info, user)) {
        stickyOfOthers.insert("");
    }
    try {
        FileWalk::walk(location, [&](const FileWalk::Entry& entry) {
            const auto slash = entry.relativePath.rfind('/');
            const std::string folder =
                slash == std::string::npos ? "" : entry.relativePath.substr(0, slash);
            if (!entry.problem && stickyOfOthers.contains(folder) && entry.info.st_uid != user) {
                throw TesselaError::originalNotRemovable(name);
            }
            if (entry.isDirectory && !entry.problem) {
                if (!mayEmpty(location / entry.relativePath, entry.info, user)) {
                    throw TesselaError::originalNotRemovable(name);
                }
                if (isStickyOfSomeoneElse(entry.info, user)) {
                    stickyOfOthers.insert(entry.relativePath);
                }
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError&) {
        // The root cannot be read: the copy reports it.
    }
}

}  // namespace tessela
