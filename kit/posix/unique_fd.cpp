#include "posix/unique_fd.h"

#include <unistd.h>

namespace tessela {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    reset();
}

int UniqueFd::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        // close() must not be retried on EINTR on Linux: the descriptor is already gone.
        ::close(fd_);
    }
    fd_ = fd;
}

}  // namespace tessela
