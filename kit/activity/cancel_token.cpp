#include "activity/cancel_token.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <cstdint>

#include "errors/tessela_error.h"

namespace tessela {

CancelToken::CancelToken() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelToken::~CancelToken() {
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void CancelToken::cancel() {
    const std::lock_guard guard(lock_);
    if (!cancelled_ && wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }
    cancelled_ = true;
}

bool CancelToken::isCancelled() const {
    const std::lock_guard guard(lock_);
    return cancelled_;
}

void CancelToken::check() const {
    if (isCancelled()) {
        throw TesselaError::cancelled();
    }
}

}  // namespace tessela
