#pragma once

#include <filesystem>
#include <optional>

#include "posix/unique_fd.h"

namespace tessela {

// Makes sure only one running copy of Tessela works on a support directory: an exclusive,
// non-blocking advisory lock (flock) on ".tessela.lock" in it. The lock is held while the object
// lives and released (unlocked, then closed) when it goes away; the kernel releases it too when
// the process dies, so a crash never leaves the directory locked. The file itself stays.
class SupportLock {
  public:
    static constexpr const char* fileName = ".tessela.lock";
    // The lock taken while a first password is set up, by whichever front end does it: it
    // works while another copy holds the support folder's own lock, and two setups never
    // both keep their password.
    static constexpr const char* setupFileName = ".tessela-setup.lock";

    // Creates `directory` (0700, with missing parents; a failure there is left to the open),
    // opens or creates the lock file (0600) and takes the lock. None when another process
    // holds it (EWOULDBLOCK); any other failure (the folder or file cannot be made or opened, a
    // link in the file's place, a file system without locks) throws std::system_error.
    // `name` is the lock file's name: fileName unless another lock of the folder is meant.
    [[nodiscard]] static std::optional<SupportLock> acquire(const std::filesystem::path& directory,
                                                            const char* name = fileName);

    SupportLock(SupportLock&&) noexcept = default;
    SupportLock& operator=(SupportLock&& other) noexcept;
    SupportLock(const SupportLock&) = delete;
    SupportLock& operator=(const SupportLock&) = delete;
    ~SupportLock();

    [[nodiscard]] int fd() const noexcept { return fd_.get(); }

  private:
    explicit SupportLock(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
    void release() noexcept;

    UniqueFd fd_;
};

}  // namespace tessela
