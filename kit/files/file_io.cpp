#include "files/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "posix/system_error.h"
#include "posix/unique_fd.h"

namespace tessela::posix {

namespace {

UniqueFd openRetrying(const std::filesystem::path& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}

}  // namespace

std::optional<std::string> readFileIfExists(const std::filesystem::path& path) {
    UniqueFd fd = openRetrying(path, O_RDONLY);
    if (!fd) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        throwLastError("open", path);
    }
    return readAll(fd.get(), std::string().max_size(), path);
}

std::string readAll(int fd, std::size_t limit, const std::filesystem::path& pathForErrors) {
    std::string content;
    std::vector<char> chunk(64 * 1024);
    while (content.size() < limit) {
        const ssize_t count =
            ::read(fd, chunk.data(), std::min(chunk.size(), limit - content.size()));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwLastError("read", pathForErrors);
        }
        if (count == 0) {
            break;
        }
        content.append(chunk.data(), static_cast<std::size_t>(count));
    }
    return content;
}

void syncFile(int fd, const std::filesystem::path& pathForErrors) {
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        throwLastError("fsync", pathForErrors);
    }
}

void writeAll(int fd, std::string_view data, const std::filesystem::path& pathForErrors) {
    while (!data.empty()) {
        const ssize_t count = ::write(fd, data.data(), data.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwLastError("write", pathForErrors);
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
}

void createDirectories(const std::filesystem::path& directory, unsigned mode) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return;
        }
        throw systemError(ENOTDIR, "mkdir", directory);
    }
    const std::filesystem::path parent = directory.parent_path();
    if (!parent.empty() && parent != directory) {
        createDirectories(parent, mode);
    }
    if (::mkdir(directory.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
        throwLastError("mkdir", directory);
    }
}

void syncDirectory(const std::filesystem::path& directory) {
    UniqueFd fd = openRetrying(directory, O_RDONLY | O_DIRECTORY);
    if (!fd) {
        throwLastError("open", directory);
    }
    syncFile(fd.get(), directory);
}

void replaceAtomically(const std::filesystem::path& target, std::string_view data, unsigned mode) {
    const std::filesystem::path folder = target.parent_path();
    std::string pattern = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) {
        throwLastError("mkstemp", target);
    }
    const std::filesystem::path temporary(pattern);
    try {
        writeAll(fd.get(), data, temporary);
        if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) {
            throwLastError("chmod", temporary);
        }
        syncFile(fd.get(), temporary);
        fd.reset();
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            throwLastError("rename", target);
        }
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    syncDirectory(folder);
}

bool exists(const std::filesystem::path& path) noexcept {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace tessela::posix
