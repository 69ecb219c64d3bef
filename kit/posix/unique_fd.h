#pragma once

// A move-only owner of a file descriptor. The descriptor is closed when the owner goes away,
// whichever way the scope is left.

namespace tessela {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    [[nodiscard]] int release() noexcept;
    // Closes the current descriptor (if any) and takes `fd`.
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

}  // namespace tessela
