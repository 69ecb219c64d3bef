#include "records/support_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "files/file_io.h"
#include "posix/system_error.h"

namespace tessela {

std::optional<SupportLock> SupportLock::acquire(const std::filesystem::path& directory,
                                                const char* name) {
    try {
        posix::createDirectories(directory, 0700);
    } catch (const std::system_error&) {
        // The open below decides, and its failure is thrown with its own reason: nothing is
        // logged here.
    }
    const std::filesystem::path file = directory / name;
    UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        throwLastError("open", file);
    }
    int result;
    do {
        result = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        // Only EWOULDBLOCK means another process holds it; anything else is a failure of its own.
        if (errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        throwLastError("lock", file);
    }
    return SupportLock(std::move(fd));
}

SupportLock& SupportLock::operator=(SupportLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::move(other.fd_);
    }
    return *this;
}

SupportLock::~SupportLock() {
    release();
}

void SupportLock::release() noexcept {
    if (fd_) {
        ::flock(fd_.get(), LOCK_UN);
        fd_.reset();
    }
}

}  // namespace tessela
