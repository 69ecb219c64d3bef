#include "files/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "files/file_io.h"
#include "files/file_walk.h"
#include "posix/system_error.h"

namespace tessela {

FileSystem& FileSystem::real() {
    static LinuxFileSystem system;
    return system;
}

Folder LinuxFileSystem::makeFolder(const Folder& parent, const std::string& name, mode_t mode) {
    return parent.makeFolder(name, mode);
}

void LinuxFileSystem::makeFolders(const std::filesystem::path& folder, mode_t mode) {
    posix::createDirectories(folder, mode);
}

UniqueFd LinuxFileSystem::createFile(const Folder& parent, const std::string& name, mode_t mode) {
    return parent.createFile(name, mode);
}

void LinuxFileSystem::renameExclusively(const Folder& from, const std::string& fromName,
                                        const Folder& to, const std::string& toName) {
    from.renameExclusively(fromName, to, toName);
}

bool LinuxFileSystem::removeTree(const Folder& parent, const std::string& name,
                                 const Folder::RemovalGuard& guard) {
    return parent.removeTree(name, guard);
}

bool LinuxFileSystem::removeEmptyFolder(const Folder& parent, const std::string& name) {
    return parent.removeEmptyFolder(name);
}

void LinuxFileSystem::changeMode(const Folder& folder, mode_t mode) {
    if (::fchmod(folder.fd(), mode) != 0) {
        throwLastError("chmod", folder.path());
    }
}

void LinuxFileSystem::makeLink(const Folder& parent, const std::string& name,
                               const std::string& target) {
    if (::symlinkat(target.c_str(), parent.fd(), name.c_str()) != 0) {
        throwLastError("symlink", parent.path() / name);
    }
}

void LinuxFileSystem::makeFolderAt(const Entry& entry, mode_t mode) {
    if (::mkdirat(entry.folder, entry.name.c_str(), mode) != 0) {
        throwLastError("mkdir", entry.path);
    }
}

UniqueFd LinuxFileSystem::createFileAt(const Entry& entry, mode_t mode) {
    UniqueFd file(::openat(entry.folder, entry.name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file) {
        throwLastError("create", entry.path);
    }
    return file;
}

void LinuxFileSystem::makeLinkAt(const Entry& entry, const std::string& target) {
    if (::symlinkat(target.c_str(), entry.folder, entry.name.c_str()) != 0) {
        throwLastError("symlink", entry.path);
    }
}

void LinuxFileSystem::makeHardLinkAt(const Entry& existing, const Entry& link) {
    if (::linkat(existing.folder, existing.name.c_str(), link.folder, link.name.c_str(), 0) != 0) {
        throwLastError("link", link.path);
    }
}

void LinuxFileSystem::makeNodeAt(const Entry& entry, mode_t mode, dev_t device) {
    if (::mknodat(entry.folder, entry.name.c_str(), mode, device) != 0) {
        throwLastError("mknod", entry.path);
    }
}

bool LinuxFileSystem::removeLink(const Folder& parent, const std::string& name) {
    // Looked at without following first, so that only a link is ever removed here; unlinkat
    // never follows one. Someone able to write in `parent` could still swap the name between
    // the two calls: links are removed only in folders no one else may write in.
    struct stat info {};
    return ::fstatat(parent.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(info.st_mode) && ::unlinkat(parent.fd(), name.c_str(), 0) == 0;
}

void LinuxFileSystem::writePrivately(const std::filesystem::path& file, std::string_view bytes) {
    posix::createDirectories(file.parent_path(), 0700);
    posix::replaceAtomically(file, bytes, 0600);
}

void LinuxFileSystem::syncFile(int fd, const std::filesystem::path& pathForErrors) {
    posix::syncFile(fd, pathForErrors);
}

void LinuxFileSystem::syncFolder(const Folder& folder) {
    folder.sync();
}

void LinuxFileSystem::syncTree(const Folder& parent, const std::string& name) {
    const std::filesystem::path root = parent.descriptorPath() / name;
    const auto sync = [](const std::filesystem::path& path, bool isFolder) {
        const UniqueFd fd(
            ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (isFolder ? O_DIRECTORY : 0)));
        if (!fd) {
            throwLastError("open", path);
        }
        posix::syncFile(fd.get(), path);
    };
    const std::optional<struct stat> info = parent.memberStatus(name);
    if (!info) {
        throw systemError(ENOENT, "fsync", parent.path() / name);
    }
    if (S_ISDIR(info->st_mode)) {
        FileWalk::walk(root, [&](const FileWalk::Entry& entry) {
            if (entry.problem) {
                throw systemError(*entry.problem, "fsync",
                                  parent.path() / name / entry.relativePath);
            }
            if (S_ISREG(entry.info.st_mode) || S_ISDIR(entry.info.st_mode)) {
                sync(root / entry.relativePath, S_ISDIR(entry.info.st_mode));
            }
            return FileWalk::Next::descend;
        });
    }
    if (S_ISREG(info->st_mode) || S_ISDIR(info->st_mode)) {
        sync(root, S_ISDIR(info->st_mode));
    }
}

void LinuxFileSystem::syncFileSystem(const Folder& folder) {
    folder.syncFileSystem();
}

std::optional<std::int64_t> LinuxFileSystem::freeSpace(const std::filesystem::path& location) {
    struct statvfs info {};
    if (::statvfs(location.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

}  // namespace tessela
