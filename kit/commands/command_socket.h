#pragma once

#include <sys/un.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessela {

// The sending end of the application's command socket: "command.sock" in the per-user runtime
// folder ($XDG_RUNTIME_DIR/tessela, private to the user), where the running application accepts
// command URLs, one per line. The commands of one connection are one request: the sender
// half-closes when it has written them, and the application, having identified the sender once
// from the connected process and taken the lines, answers "ok" and closes. The sender stays
// connected until then, so that it is still there to be identified.
class CommandSocket {
  public:
    static constexpr const char* fileName = "command.sock";

    // The socket address of `path`; throws std::system_error (ENAMETOOLONG) when the path does
    // not fit in one.
    [[nodiscard]] static sockaddr_un address(const std::filesystem::path& path);

    // $XDG_RUNTIME_DIR/tessela/command.sock; none without an absolute XDG_RUNTIME_DIR.
    [[nodiscard]] static std::optional<std::filesystem::path> defaultPath();

    static constexpr const char* reply = "ok\n";

    enum class Delivery {
        delivered,        // the application answered that it took the request
        nobodyListening,  // no socket there, or nothing listening on it
    };

    // Sends `urls` (each framed as one line) over one connection to the socket at `path` and
    // waits for the application's answer. Connecting, sending and the answer each get at most
    // `patience`. Throws std::system_error for any other failure (ETIMEDOUT for an application
    // that does not take the request or answer in time), std::invalid_argument for a URL that
    // cannot travel as a line, and std::runtime_error with the reason when the application
    // refused the request (answered "error: REASON"). A socket whose listener belongs to another
    // user is never written to: that is thrown as EPERM.
    static Delivery deliver(const std::filesystem::path& path, const std::vector<std::string>& urls,
                            std::chrono::milliseconds patience);
};

}  // namespace tessela
