#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "commands/sender_check.h"

#include "posix/unique_fd.h"

namespace tessela::testing {

// The address of a Unix socket at `path` (which must fit).
[[nodiscard]] sockaddr_un unixAddress(const std::filesystem::path& path);
// A stream socket listening at `path`; throws std::system_error when it cannot.
[[nodiscard]] UniqueFd listeningSocket(const std::filesystem::path& path);

// One connection the application's command socket took: who sent it and what it carried.
struct ReceivedRequest {
    std::optional<std::string> sender;  // SenderCheck's identifier for the connected program
    std::string bytes;                  // everything sent until the sender half-closed
};
// Waits up to `timeout` for a connection on `listener`, identifies its sender among
// `programs`, reads what it sends, answers that it took it and closes it, as the application
// does. None when nobody
// connected in time.
[[nodiscard]] std::optional<ReceivedRequest> acceptRequest(int listener,
                                                           const SenderCheck::Programs& programs,
                                                           std::chrono::milliseconds timeout);

}  // namespace tessela::testing
