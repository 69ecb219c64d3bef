#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessela {

// The sending end of the application's command socket: "command.sock" in the per-user runtime
// folder ($XDG_RUNTIME_DIR/tessela, private to the user), where the running application accepts
// command URLs, one per line. The commands of one connection are one request: the application
// identifies the sender once, from the connected process, so a sender stays connected until
// the application has closed its end.
class CommandSocket {
  public:
    static constexpr const char* fileName = "command.sock";

    // $XDG_RUNTIME_DIR/tessela/command.sock; none without an absolute XDG_RUNTIME_DIR.
    [[nodiscard]] static std::optional<std::filesystem::path> defaultPath();

    enum class Delivery {
        delivered,
        nobodyListening,  // no socket there, or nothing accepting on it
    };

    // Sends `urls` (each framed as one line) over one connection to the socket at `path`, then
    // waits up to `linger` for the application to close its end. Throws SystemError for any
    // other failure to connect or send, and std::invalid_argument for a URL that cannot travel
    // as a line. A socket whose listener belongs to another user is never written to: that is
    // thrown as EPERM.
    static Delivery deliver(const std::filesystem::path& path, const std::vector<std::string>& urls,
                            std::chrono::milliseconds linger);
};

}  // namespace tessela
