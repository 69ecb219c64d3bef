#include "checks/inside_checks.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "checks/deletability.h"
#include "checks/file_walk.h"
#include "checks/real_path.h"
#include "errors/tessela_error.h"
#include "posix/paths.h"

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

}  // namespace tessela
