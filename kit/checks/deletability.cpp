#include "checks/deletability.h"

#include <fcntl.h>
#include <fts.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "posix/unique_fd.h"

namespace tessela {

namespace {

struct FtsCloser {
    void operator()(FTS* traversal) const noexcept { ::fts_close(traversal); }
};

void clearImmutableAndAppendOnly(const char* path, bool isDirectory) {
    struct statx info {};
    if (::statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, 0, &info) != 0 ||
        (info.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) == 0) {
        return;
    }
    // The flags are read and written through a descriptor; O_NONBLOCK keeps a FIFO from
    // blocking the open.
    const UniqueFd fd(::open(
        path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (isDirectory ? O_DIRECTORY : 0)));
    int flags = 0;
    if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
        return;
    }
    flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
    ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
}

}  // namespace

bool hasDenyDeleteACL(const std::filesystem::path&) {
    return false;
}

void makeDeletable(const std::filesystem::path& root) noexcept {
    try {
        struct stat rootInfo {};
        if (::lstat(root.c_str(), &rootInfo) != 0) {
            return;
        }
        const std::string rootPath = root.string();
        char* paths[] = {const_cast<char*>(rootPath.c_str()), nullptr};
        const std::unique_ptr<FTS, FtsCloser> traversal(
            ::fts_open(paths, FTS_PHYSICAL | FTS_NOCHDIR | FTS_XDEV, nullptr));
        if (!traversal) {
            return;
        }
        while (FTSENT* node = ::fts_read(traversal.get())) {
            const struct stat* info = node->fts_statp;
            if (node->fts_info == FTS_DP || node->fts_info == FTS_NS ||
                node->fts_info == FTS_NSOK || info == nullptr || node->fts_accpath == nullptr ||
                info->st_dev != rootInfo.st_dev) {
                continue;
            }
            const bool isDirectory = S_ISDIR(info->st_mode);
            if (!isDirectory && info->st_nlink > 1) {
                continue;
            }
            clearImmutableAndAppendOnly(node->fts_accpath, isDirectory);
            if (isDirectory && (info->st_mode & S_IRWXU) != S_IRWXU) {
                ::fchmodat(AT_FDCWD, node->fts_accpath, (info->st_mode & 07777) | S_IRWXU, 0);
                if (node->fts_info == FTS_DNR) {
                    // Readable now: a second pass over this folder would see its content, but
                    // fts has already given up on it. Walk it on its own.
                    makeDeletable(node->fts_path);
                }
            }
        }
    } catch (...) {
        // Nothing here may fail the removal that follows.
    }
}

}  // namespace tessela
