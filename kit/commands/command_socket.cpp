#include "commands/command_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "activity/cancel_token.h"
#include "commands/command_framing.h"
#include "files/paths.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"
#include "text/utf8.h"

namespace tessela {

namespace {

void sendAll(int socket, std::string_view bytes, const std::filesystem::path& path) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            // The send time limit passed: the application takes nothing.
            throw systemError(errno == EAGAIN ? ETIMEDOUT : errno, "send to", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

// Reads the application's answer until it closes, or until `patience` passes.
std::string answerFrom(int socket, std::chrono::milliseconds patience,
                       const std::filesystem::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    std::string answer;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waiting{socket, POLLIN, 0};
        const int ready =
            left.count() > 0 ? ::poll(&waiting, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            throw systemError(ETIMEDOUT, "wait for the answer of", path);
        }
        char buffer[64];
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || answer.size() > 256) {
            return answer;
        }
        answer.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

sockaddr_un CommandSocket::address(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        throw systemError(ENAMETOOLONG, "reach a socket at", path);
    }
    std::copy(text.begin(), text.end(), address.sun_path);
    return address;
}

std::optional<std::filesystem::path> CommandSocket::defaultPath() {
    const std::optional<std::filesystem::path> folder = runtimeFolder();
    return folder ? std::optional(*folder / fileName) : std::nullopt;
}

namespace {

// A connection to the application at `path` with `lines` sent and the sending side closed; none
// when nobody listens there.
std::optional<UniqueFd> sent(const std::filesystem::path& path, const std::string& lines,
                             std::chrono::milliseconds patience) {
    const sockaddr_un address = CommandSocket::address(path);
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        throwLastError("socket for", path);
    }
    // Bounds connecting (a listener whose queue is full) and sending (one that reads nothing).
    const timeval limit{static_cast<time_t>(patience.count() / 1000),
                        static_cast<suseconds_t>((patience.count() % 1000) * 1000)};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int connected = 0;
    do {
        connected =
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            return std::nullopt;
        }
        throw systemError(errno == EAGAIN ? ETIMEDOUT : errno, "connect to", path);
    }
    // The paths in a command are private: only a listener of this very user may have them.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        throwLastError("identify the listener of", path);
    }
    if (peer.uid != ::geteuid()) {
        throw systemError(EPERM, "deliver to another user's", path);
    }
    sendAll(socket.get(), lines, path);
    ::shutdown(socket.get(), SHUT_WR);
    return socket;
}

std::string framed(const std::vector<std::string>& urls) {
    std::string lines;
    for (const std::string& url : urls) {
        const std::optional<std::string> line = CommandFraming::frame(url);
        if (!line) {
            throw std::invalid_argument("a command is too long or not text: " + url.substr(0, 80));
        }
        lines += *line;
    }
    return lines;
}

// Throws what a refusal or an answer other than "ok" says.
void expectTaken(const std::string& answer, const std::filesystem::path& path) {
    if (answer.starts_with("error: ")) {
        // Refused whole, with the reason (a line that was not a command's form, say).
        throw std::runtime_error("Tessela refused the request: " +
                                 repairUtf8(answer.substr(7, answer.find('\n') - 7)));
    }
    if (answer != CommandSocket::reply) {
        throw systemError(EPROTO, "have the request taken by", path);
    }
}

}  // namespace

CommandSocket::Delivery CommandSocket::deliver(const std::filesystem::path& path,
                                               const std::vector<std::string>& urls,
                                               std::chrono::milliseconds patience) {
    const std::optional<UniqueFd> socket = sent(path, framed(urls), patience);
    if (!socket) {
        return Delivery::nobodyListening;
    }
    expectTaken(answerFrom(socket->get(), patience, path), path);
    return Delivery::delivered;
}

std::optional<CommandSocket::Outcome> CommandSocket::handOver(const std::filesystem::path& path,
                                                              const std::vector<std::string>& urls,
                                                              std::chrono::milliseconds patience,
                                                              const std::function<void()>& onTaken,
                                                              const CancelToken* cancel) {
    const std::optional<UniqueFd> socket =
        sent(path, framed({std::string(awaitLine)}) + framed(urls), patience);
    if (!socket) {
        return std::nullopt;
    }
    // "ok" within the patience, as for any request; the outcome whenever the work ends (the
    // user may be asked questions on the desktop first).
    const auto line = [&](std::optional<std::chrono::milliseconds> limit) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + limit.value_or(patience);
        for (;;) {
            int wait = -1;
            if (limit) {
                wait = static_cast<int>(
                    std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count()));
            }
            // A cancellation wakes the wait: the token's descriptor becomes readable, or, without
            // one, the flag is looked at every 200 ms.
            const int wakeFd = cancel != nullptr ? cancel->wakeFd() : -1;
            if (cancel != nullptr && wakeFd < 0 && (wait < 0 || wait > 200)) {
                wait = 200;
            }
            pollfd waiting[2] = {{socket->get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
            int ready = ::poll(waiting, wakeFd >= 0 ? 2 : 1, wait);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (cancel != nullptr) {
                cancel->check();
            }
            if (ready == 0 && !limit) {
                continue;  // only the cancellation's look-in ended the wait
            }
            if (ready == 0) {
                throw systemError(ETIMEDOUT, "wait for the answer of", path);
            }
            char byte = 0;
            const ssize_t got = ready > 0 ? ::recv(socket->get(), &byte, 1, 0) : -1;
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0 || text.size() > CommandFraming::maxLineBytes) {
                return text;  // ended early: what came so far
            }
            text += byte;
            if (byte == '\n') {
                return text;
            }
        }
    };
    expectTaken(line(patience), path);
    if (onTaken) {
        onTaken();
    }
    return Outcome::fromLine(line(std::nullopt));
}

CommandSocket::Outcome CommandSocket::Outcome::fromLine(const std::string& answer) {
    if (answer == "done\n") {
        return Outcome{Kind::done, {}};
    }
    if (answer == "cancelled\n") {
        return Outcome{Kind::cancelled, {}};
    }
    for (const auto& [prefix, kind] :
         {std::pair{"error: ", Kind::failed}, std::pair{"partly: ", Kind::partlyDone}}) {
        const std::string_view start(prefix);
        if (answer.starts_with(start) && answer.ends_with('\n')) {
            return Outcome{
                kind, repairUtf8(answer.substr(start.size(), answer.size() - start.size() - 1))};
        }
    }
    return Outcome{Kind::failed, "Tessela ended before it could say how the work went."};
}

std::string CommandSocket::Outcome::line() const {
    switch (kind) {
        case Kind::done:
            return "done\n";
        case Kind::cancelled:
            return "cancelled\n";
        case Kind::failed:
            return "error: " + sentence + "\n";
        case Kind::partlyDone:
            return "partly: " + sentence + "\n";
    }
    return "error: " + sentence + "\n";
}

}  // namespace tessela
