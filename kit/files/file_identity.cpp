#include "files/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace tessela {

std::optional<FileIdentity> FileIdentity::of(const std::filesystem::path& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &info) != 0 ||
        (info.stx_mask & STATX_INO) == 0) {
        return std::nullopt;
    }
    return of(info);
}

FileIdentity FileIdentity::of(const struct statx& info) {
    FileIdentity identity;
    identity.inode = info.stx_ino;
    if ((info.stx_mask & STATX_BTIME) != 0) {
        identity.birthSeconds = info.stx_btime.tv_sec;
        identity.birthNanoseconds = info.stx_btime.tv_nsec;
    }
    return identity;
}

}  // namespace tessela
