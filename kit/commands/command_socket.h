#pragma once

#include <sys/un.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessela {

class CancelToken;

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

    // A request whose sender waits for the outcome (the command line handing its work over)
    // begins with this line. The application answers "ok" as for any request, then, once the
    // work has ended, one line with the outcome, and closes.
    static constexpr std::string_view awaitLine = "tessela:await-outcome";
    // The one awaited request that is no command: quit, as the application's own Quit does.
    // Taken only from Tessela's own program.
    static constexpr std::string_view quitRequest = "tessela:quit";
    // A request that is no command: bring the running application's window forward (Tessela
    // started again, with nothing to open). Taken from anyone: it changes nothing.
    static constexpr std::string_view showRequest = "tessela:show";

    struct Outcome {
        enum class Kind {
            done,        // "done"
            cancelled,   // "cancelled": by the user, or refused while quitting
            failed,      // "error: SENTENCE"
            partlyDone,  // "partly: SENTENCE": locked, but the original is still there
        };
        Kind kind = Kind::done;
        std::string sentence;  // one line of text, for failed and partlyDone
        friend bool operator==(const Outcome&, const Outcome&) = default;
        // The answer line, with its line feed.
        [[nodiscard]] std::string line() const;
        // The outcome an answer line says; a line of no such form (the application ended
        // before it answered) is a failure saying so.
        [[nodiscard]] static Outcome fromLine(const std::string& line);
    };

    // Sends `urls` after the await line and waits, without a time limit once the request is
    // taken, for the outcome; none when nobody listens. The application ending before it
    // answers is a failed outcome saying so. Throws as deliver does.
    // `onTaken` is called once the application has taken the request, before the wait for the
    // outcome. A cancellation of `cancel` while waiting (the user's Ctrl-C) ends the wait with
    // TesselaError::cancelled(); the application goes on with the work.
    static std::optional<Outcome> handOver(const std::filesystem::path& path,
                                           const std::vector<std::string>& urls,
                                           std::chrono::milliseconds patience,
                                           const std::function<void()>& onTaken = {},
                                           const CancelToken* cancel = nullptr);
};

}  // namespace tessela
