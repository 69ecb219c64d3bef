#include "files/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "files/metadata_snapshot.h"
#include "posix/system_error.h"

namespace tessela {

namespace {

std::string procPathOf(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int retrying(auto call) {
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Clears immutable and append-only on an open file or folder. Only a privileged user may, so a
// failure is left for the removal to report.
void clearLockAttributes(int fd) noexcept {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ||
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) == 0) {
        return;
    }
    flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
}

bool hasLockAttributes(int parent, const char* name) noexcept {
    struct statx info {};
    return ::statx(parent, name, AT_SYMLINK_NOFOLLOW, 0, &info) == 0 &&
           (info.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
}

// The names in an open folder, "." and ".." left out.
std::vector<std::string> namesIn(int folder, const std::filesystem::path& shown) {
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        throwLastError("open", shown);
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(copy), &::closedir);
    if (!listing) {
        const int error = errno;
        ::close(copy);
        throw systemError(error, "list", shown);
    }
    ::rewinddir(listing.get());
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.get());
        if (entry == nullptr) {
            if (errno != 0) {
                throwLastError("list", shown);
            }
            return names;
        }
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
}

// One walk over a tree by descriptors, preparing every folder for deletion and, when
// `remove` is set, deleting everything bottom-up.
//
// The walk holds one folder open at a time, however deep the tree: going down, the parent is
// closed; coming back up, it is reopened through the child's ".." and must be the folder that
// was left (a folder moved meanwhile stops the walk). So a deep tree never runs out of
// descriptors.
class TreeRemoval {
  public:
    TreeRemoval(bool remove, bool ignoreFailures, std::optional<std::int64_t> keepChangedAfter = {})
        : remove_(remove), ignoreFailures_(ignoreFailures), keepChangedAfter_(keepChangedAfter) {}

    // Whether entries were left in place because they changed after the guard's moment.
    [[nodiscard]] bool keptAny() const noexcept { return kept_ > 0; }

    void run(int parent, const std::string& name, const std::filesystem::path& shown,
             const std::optional<Folder::Identity>& expected) {
        struct stat info {};
        if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return;
            }
            throwLastError("lstat", shown);
        }
        if (expected && (info.st_dev != expected->device || info.st_ino != expected->inode)) {
            throw systemError(ESTALE, "remove (not the item that was checked)", shown);
        }
        device_ = info.st_dev;
        if (S_ISDIR(info.st_mode)) {
            removeFolder(parent, name, shown, info);
        } else {
            removeFile(parent, name, shown, info, false);
        }
    }

  private:
    // A folder being worked on: open while its members are visited, closed while one of its
    // subfolders is.
    struct Level {
        UniqueFd folder;
        Folder::Identity identity;
        std::vector<std::string> members;  // still to visit
        std::string name;                  // in its parent
        std::filesystem::path shown;
    };

    void removeFile(int parent, const std::string& name, const std::filesystem::path& shown,
                    const struct stat& info, bool inside) {
        if (inside && keepChangedAfter_ &&
            fileTime(info.st_ctim).time_since_epoch().count() > *keepChangedAfter_) {
            ++kept_;  // newer than what was checked: not this removal's to delete
            return;
        }
        // Only regular files are opened to clear their attributes (opening a device could act
        // on the device), and only the very file looked at, with no other link: the others
        // would change too.
        if (S_ISREG(info.st_mode) && info.st_nlink == 1 &&
            hasLockAttributes(parent, name.c_str())) {
            const UniqueFd file(::openat(
                parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            struct stat opened {};
            if (file && ::fstat(file.get(), &opened) == 0 && opened.st_ino == info.st_ino &&
                opened.st_dev == info.st_dev && opened.st_nlink == 1) {
                clearLockAttributes(file.get());
            }
        }
        if (remove_ && ::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
            fail(errno, "unlink", shown);
        }
    }

    // Opens a folder for the walk and prepares it; an empty Level (no descriptor) when it
    // cannot be worked on and failures are ignored.
    Level enter(int parent, const std::string& name, const std::filesystem::path& shown,
                const struct stat& info) {
        Level level;
        level.name = name;
        level.shown = shown;
        level.identity = {info.st_dev, info.st_ino};
        // Opened without following a link and checked to be what was looked at, so a folder
        // swapped for a link meanwhile is never entered and never changed.
        UniqueFd handle(
            ::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
        if (!handle) {
            if (errno != ENOENT) {
                fail(errno, "open", shown);
            }
            return level;
        }
        struct statx opened {};
        if (::statx(handle.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS,
                    &opened) != 0) {
            fail(errno, "lstat", shown);
            return level;
        }
        if (opened.stx_ino != info.st_ino ||
            ::makedev(opened.stx_dev_major, opened.stx_dev_minor) != info.st_dev) {
            fail(EAGAIN, "remove (changed while being removed)", shown);
            return level;
        }
        const bool mountRoot = (opened.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                               (opened.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
        if (info.st_dev != device_ || mountRoot) {
            fail(EXDEV, "remove (another file system is mounted at)", shown);
            return level;
        }
        if ((info.st_mode & S_IRWXU) != S_IRWXU) {
            // chmod through the descriptor's /proc path acts on the folder held, never on
            // whatever the name points at now.
            ::chmod(procPathOf(handle.get()).c_str(), (info.st_mode & 07777) | S_IRWXU);
        }
        UniqueFd folder(::openat(handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder) {
            fail(errno, "open", shown);
            return level;
        }
        clearLockAttributes(folder.get());
        try {
            level.members = namesIn(folder.get(), shown);
        } catch (const std::system_error&) {
            // Preparing only: the removal that follows meets the same folder and reports it.
            if (!ignoreFailures_) {
                throw;
            }
        }
        level.folder = std::move(folder);
        return level;
    }

    void removeFolder(int topParent, const std::string& name, const std::filesystem::path& shown,
                      const struct stat& info) {
        std::vector<Level> stack;
        stack.push_back(enter(topParent, name, shown, info));
        if (!stack.back().folder) {
            return;
        }
        while (!stack.empty()) {
            if (!stack.back().members.empty()) {
                Level& level = stack.back();
                const std::string member = std::move(level.members.back());
                level.members.pop_back();
                const std::filesystem::path memberShown = level.shown / member;
                struct stat memberInfo {};
                if (::fstatat(level.folder.get(), member.c_str(), &memberInfo,
                              AT_SYMLINK_NOFOLLOW) != 0) {
                    if (errno != ENOENT) {
                        fail(errno, "lstat", memberShown);
                    }
                    continue;
                }
                if (!S_ISDIR(memberInfo.st_mode)) {
                    removeFile(level.folder.get(), member, memberShown, memberInfo, true);
                    continue;
                }
                Level child = enter(level.folder.get(), member, memberShown, memberInfo);
                if (!child.folder) {
                    continue;
                }
                level.folder.reset();  // one folder open at a time
                stack.push_back(std::move(child));
                continue;
            }
            Level done = std::move(stack.back());
            stack.pop_back();
            if (stack.empty()) {
                done.folder.reset();
                removeEmptied(topParent, done);
                return;
            }
            Level& parent = stack.back();
            parent.folder.reset(
                ::openat(done.folder.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat reopened {};
            if (!parent.folder || ::fstat(parent.folder.get(), &reopened) != 0 ||
                reopened.st_dev != parent.identity.device ||
                reopened.st_ino != parent.identity.inode) {
                // Moved while the walk was inside it: nothing more is done from here.
                fail(EAGAIN, "remove (moved while being removed)", parent.shown);
                return;
            }
            done.folder.reset();
            removeEmptied(parent.folder.get(), done);
        }
    }

    // Removes a folder whose members were all visited; one that still holds kept entries stays.
    void removeEmptied(int parent, const Level& done) {
        if (remove_ && ::unlinkat(parent, done.name.c_str(), AT_REMOVEDIR) != 0 &&
            errno != ENOENT && !(errno == ENOTEMPTY && kept_ > 0)) {
            fail(errno, "remove", done.shown);
        }
    }

    void fail(int error, const char* operation, const std::filesystem::path& shown) {
        if (!ignoreFailures_) {
            throw systemError(error, operation, shown);
        }
    }

    bool remove_;
    bool ignoreFailures_;
    std::optional<std::int64_t> keepChangedAfter_;
    dev_t device_ = 0;
    std::size_t kept_ = 0;
};

}  // namespace

Folder Folder::open(const std::filesystem::path& path) {
    UniqueFd fd(retrying([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd) {
        throwLastError("open", path);
    }
    return Folder(std::move(fd), path);
}

std::filesystem::path Folder::descriptorPath() const {
    return procPathOf(fd_.get()) + "/.";
}

struct stat Folder::status() const {
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0) {
        throwLastError("lstat", path_);
    }
    return info;
}

Folder::Identity Folder::identity() const {
    const struct stat info = status();
    return {info.st_dev, info.st_ino};
}

std::optional<struct stat> Folder::memberStatus(const std::string& name) const {
    struct stat info {};
    if (::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throwLastError("lstat", path_ / name);
    }
    return info;
}

bool Folder::contains(const std::string& name) const {
    struct stat info {};
    return ::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

Folder Folder::makeFolder(const std::string& name, mode_t mode) const {
    const std::filesystem::path shown = path_ / name;
    if (::mkdirat(fd_.get(), name.c_str(), mode) != 0) {
        throwLastError("mkdir", shown);
    }
    Folder made = openFolder(name);
    // Someone able to rename entries here could have put another folder under the name between
    // the mkdir and the open: only an empty folder of this user's is worked in.
    const struct stat info = made.status();
    if (info.st_uid != ::geteuid() || !namesIn(made.fd(), shown).empty()) {
        throw systemError(EEXIST, "mkdir (replaced while being made)", shown);
    }
    // The exact mode, whatever the umask took away.
    if (::fchmod(made.fd(), mode) != 0) {
        throwLastError("chmod", shown);
    }
    return made;
}

Folder Folder::openFolder(const std::string& name) const {
    const std::filesystem::path shown = path_ / name;
    UniqueFd fd(retrying([&] {
        return ::openat(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
    if (!fd) {
        throwLastError("open", shown);
    }
    return Folder(std::move(fd), shown);
}

UniqueFd Folder::createFile(const std::string& name, mode_t mode) const {
    UniqueFd fd(retrying([&] {
        return ::openat(fd_.get(), name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    }));
    if (!fd) {
        throwLastError("create", path_ / name);
    }
    return fd;
}

void Folder::renameExclusively(const std::string& from, const Folder& target,
                               const std::string& to) const {
    if (::renameat2(fd_.get(), from.c_str(), target.fd(), to.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    if (errno != EINVAL && errno != ENOTSUP && errno != ENOSYS) {
        throwLastError("rename", path_ / from);
    }
    // The file system cannot refuse to replace. The name is taken first by an empty placeholder
    // of the same kind, made exclusively, which the rename then replaces in one step: a name
    // someone else takes meanwhile is refused, and the object moved is the one named now.
    const std::optional<struct stat> info = memberStatus(from);
    if (!info) {
        throw systemError(ENOENT, "rename", path_ / from);
    }
    if (S_ISDIR(info->st_mode)) {
        if (::mkdirat(target.fd(), to.c_str(), 0700) != 0) {
            throwLastError("rename", path_ / from);
        }
    } else {
        const UniqueFd placeholder(::openat(
            target.fd(), to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!placeholder) {
            throwLastError("rename", path_ / from);
        }
    }
    if (::renameat(fd_.get(), from.c_str(), target.fd(), to.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(target.fd(), to.c_str(), S_ISDIR(info->st_mode) ? AT_REMOVEDIR : 0);
        throw systemError(error, "rename", path_ / from);
    }
}

void Folder::renameReplacing(const std::string& from, const Folder& target,
                             const std::string& to) const {
    if (::renameat(fd_.get(), from.c_str(), target.fd(), to.c_str()) != 0) {
        throwLastError("rename", path_ / from);
    }
}

bool Folder::removeTree(const std::string& name, const RemovalGuard& guard) const {
    TreeRemoval removal(true, false, guard.keepChangedAfter);
    removal.run(fd_.get(), name, path_ / name, guard.expected);
    return !removal.keptAny();
}

void Folder::makeTreeDeletable(const std::string& name) const noexcept {
    try {
        TreeRemoval(false, true).run(fd_.get(), name, path_ / name, std::nullopt);
    } catch (...) {
        // Preparation never fails; what it could not change is for the removal to report, so
        // nothing is logged twice.
    }
}

bool Folder::removeEmptyFolder(const std::string& name) const noexcept {
    return ::unlinkat(fd_.get(), name.c_str(), AT_REMOVEDIR) == 0;
}

void Folder::sync() const {
    if (retrying([&] { return ::fsync(fd_.get()); }) != 0) {
        throwLastError("fsync", path_);
    }
}

void Folder::syncFileSystem() const {
    if (::syncfs(fd_.get()) != 0) {
        throwLastError("syncfs", path_);
    }
}

}  // namespace tessela
