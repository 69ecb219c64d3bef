#pragma once

#include <mutex>

namespace tessela {

// A one-way cancellation flag shared between the thread that cancels (the user interface) and
// the thread that works. Every member may be called from any thread; a cancellation made on one
// thread is seen by the next poll on another. A token is never reset.
class CancelToken {
  public:
    CancelToken();
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void cancel();
    [[nodiscard]] bool isCancelled() const;
    // Throws TesselaError::cancelled() once the token is cancelled; otherwise returns.
    void check() const;
    // A descriptor that becomes readable (and stays so) once the token is cancelled, for waits
    // that sleep in poll(); -1 when the system could not give one (then poll the flag).
    [[nodiscard]] int wakeFd() const noexcept { return wakeFd_; }

  private:
    mutable std::mutex lock_;
    bool cancelled_ = false;
    int wakeFd_ = -1;
};

}  // namespace tessela
