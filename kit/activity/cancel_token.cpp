#include "activity/cancel_token.h"

#include "errors/tessela_error.h"

namespace tessela {

void CancelToken::cancel() {
    const std::lock_guard guard(lock_);
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
