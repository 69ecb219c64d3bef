#include "checks/item_survey.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "errors/tessela_error.h"
#include "posix/system_error.h"
#include "process/disk_image_tool.h"

namespace tessela {

namespace {

bool mayEmpty(const std::filesystem::path& folder, const struct stat& info, uid_t user) {
    return info.st_uid == user ||
           ::faccessat(AT_FDCWD, folder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

bool isStickyOfSomeoneElse(const struct stat& info, uid_t user) {
    return (info.st_mode & S_ISVTX) != 0 && info.st_uid != user;
}

// Whether this user could not remove the item from its folder once it is locked (see
// refuseUnremovableOriginal); none when that depends on what is inside a folder item.
std::optional<bool> unremovableFromItsFolder(const std::filesystem::path& location,
                                             const struct stat& info, uid_t user) {
    const std::filesystem::path parent = location.parent_path();
    struct stat parentInfo {};
    if (::stat(parent.c_str(), &parentInfo) != 0) {
        return false;  // the lock's own steps report what cannot be read
    }
    // Nobody, root included, removes anything from an immutable or append-only folder or from
    // a read-only file system.
    const std::optional<LockAttributes> parentAttributes = readLockAttributes(parent);
    struct statvfs fileSystem {};
    if ((parentAttributes && parentAttributes->any()) ||
        (::statvfs(parent.c_str(), &fileSystem) == 0 && (fileSystem.f_flag & ST_RDONLY) != 0)) {
        return true;
    }
    if (user == 0) {
        return false;
    }
    // Renaming the item away and deleting it need write and search permission on its folder;
    // in a sticky folder, also the folder or the item must be this user's.
    if (::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0 ||
        (isStickyOfSomeoneElse(parentInfo, user) && info.st_uid != user)) {
        return true;
    }
    if (!S_ISDIR(info.st_mode)) {
        return false;
    }
    if (!mayEmpty(location, info, user)) {
        return true;
    }
    return std::nullopt;
}

}  // namespace

ItemSurvey ItemSurvey::of(const std::filesystem::path& location, std::size_t copyRootLength,
                          const LockAttributeProbe& probe) {
    ItemSurvey survey;
    survey.containerOverhead_ = DiskImageTool::volumeRootOverhead();
    const std::string name = location.filename().string();
    const std::size_t rootLength = location.string().size();
    const std::size_t longestRoot = std::max(rootLength, copyRootLength);
    survey.overlong_ = rootLength >= PATH_MAX || copyRootLength + 1 + name.size() >= PATH_MAX;
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        survey.unreadable_.emplace(location.string(), errno);
        return survey;
    }
    survey.snapshot_.emplace("", entryMetadata(info));
    survey.inside_ = name.starts_with("._") ? Inside::appleDouble : Inside::nothing;
    survey.hardLinked_ = S_ISREG(info.st_mode) && info.st_nlink >= 2;
    const uid_t user = ::geteuid();
    const std::optional<bool> unremovable = unremovableFromItsFolder(location, info, user);
    survey.unremovable_ = unremovable.value_or(false);
    if (!S_ISDIR(info.st_mode)) {
        if (S_ISREG(info.st_mode)) {
            survey.allocatedSize_ = static_cast<std::int64_t>(info.st_blocks) * 512;
            survey.logicalSize_ = info.st_size;
        }
        survey.containerOverhead_ += DiskImageTool::entryOverhead(S_IFREG, info.st_size);
        return survey;
    }

    // Folders inside (by relative path; "" is the item) whose entries only their owners may
    // remove; watched only while the folder's own checks pass.
    const bool watchRemovability = !unremovable.has_value();
    std::set<std::string> stickyOfOthers;
    if (watchRemovability && isStickyOfSomeoneElse(info, user)) {
        stickyOfOthers.insert("");
    }
    try {
        FileWalk::walk(location, [&](const FileWalk::Entry& entry) {
            const struct stat& status = entry.info;
            if (entry.problem == ENAMETOOLONG ||
                longestRoot + 1 + entry.relativePath.size() >= PATH_MAX) {
                survey.overlong_ = true;
            }
            if (survey.inside_ == Inside::nothing) {
                if (entry.name().starts_with("._")) {
                    survey.inside_ = Inside::appleDouble;
                } else if (!entry.problem) {
                    const std::optional<LockAttributes> attributes =
                        probe(location / entry.relativePath);
                    if (attributes && attributes->any()) {
                        survey.inside_ = Inside::locked;
                    }
                }
            }
            if (entry.problem && status.st_mode == 0) {
                // No status taken: the snapshot asks again, and fails the way a later look
                // would.
                struct stat again {};
                const std::filesystem::path path = location / entry.relativePath;
                if (::lstat(path.c_str(), &again) == 0) {
                    survey.snapshot_.emplace(entry.relativePath, entryMetadata(again));
                } else if (!survey.unstated_) {
                    survey.unstated_ = systemError(errno, "lstat", path);
                }
            } else {
                survey.snapshot_.emplace(entry.relativePath, entryMetadata(status));
            }
            if (!entry.problem && status.st_dev != info.st_dev) {
                survey.otherDevice_ = true;
            }
            if (!entry.problem && S_ISREG(status.st_mode)) {
                survey.allocatedSize_ += static_cast<std::int64_t>(status.st_blocks) * 512;
                survey.logicalSize_ += status.st_size;
                survey.hardLinked_ = survey.hardLinked_ || status.st_nlink > 1;
            }
            survey.containerOverhead_ += DiskImageTool::entryOverhead(
                entry.isDirectory ? S_IFDIR : status.st_mode, status.st_size);
            if (watchRemovability && user != 0) {
                const auto slash = entry.relativePath.rfind('/');
                const std::string folder =
                    slash == std::string::npos ? "" : entry.relativePath.substr(0, slash);
                if (!entry.problem && stickyOfOthers.contains(folder) && status.st_uid != user) {
                    survey.unremovable_ = true;
                }
                if (entry.isDirectory && !entry.problem) {
                    if (!mayEmpty(location / entry.relativePath, status, user)) {
                        survey.unremovable_ = true;
                    }
                    if (isStickyOfSomeoneElse(status, user)) {
                        stickyOfOthers.insert(entry.relativePath);
                    }
                }
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError& error) {
        // The root cannot be read: nothing inside to object to, nothing measured; the copy
        // reports it.
        survey.overlong_ = survey.overlong_ || error.code() == ENAMETOOLONG;
        survey.unreadable_ = error;
        survey.allocatedSize_ = 0;
        survey.logicalSize_ = 0;
    }
    return survey;
}

const MetadataSnapshot& ItemSurvey::snapshot() const {
    if (unreadable_) {
        throw *unreadable_;
    }
    if (unstated_) {
        throw *unstated_;
    }
    return snapshot_;
}

void ItemSurvey::refuseOtherFileSystemsInside(const std::string& name) const {
    if (otherDevice_) {
        throw TesselaError::containsMountedDisk(name);
    }
}

void ItemSurvey::refuseAppleDoubleOrFinderLockedInside(const std::string& name) const {
    if (inside_ == Inside::appleDouble) {
        throw TesselaError::containsAppleDouble(name);
    }
    if (inside_ == Inside::locked) {
        throw TesselaError::containsFinderLocked(name);
    }
}

void ItemSurvey::refuseHardLinkedFiles(const std::string& name) const {
    if (hardLinked_) {
        throw TesselaError::hardLinked(name);
    }
}

void ItemSurvey::refuseOverlongPaths(const std::string& name) const {
    if (overlong_) {
        throw TesselaError::pathTooLong(name);
    }
}

void ItemSurvey::refuseUnremovableOriginal(const std::string& name) const {
    if (unremovable_) {
        throw TesselaError::originalNotRemovable(name);
    }
}

}  // namespace tessela
