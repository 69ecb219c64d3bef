#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

#include "posix/unique_fd.h"

namespace tessela::testing {

// The address of a Unix socket at `path` (which must fit).
[[nodiscard]] sockaddr_un unixAddress(const std::filesystem::path& path);
// A stream socket listening at `path`; throws std::system_error when it cannot.
[[nodiscard]] UniqueFd listeningSocket(const std::filesystem::path& path);

}  // namespace tessela::testing
