#include "commands/command_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "commands/command_framing.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"

namespace tessela {

namespace {

void sendAll(int socket, std::string_view bytes, const std::filesystem::path& path) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwLastError("send to", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

// Reads and drops whatever the application sends until it closes, or until `linger` passes.
void awaitClose(int socket, std::chrono::milliseconds linger) {
    const auto deadline = std::chrono::steady_clock::now() + linger;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd waiting{socket, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;
        }
        char buffer[256];
        const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            return;
        }
    }
}

}  // namespace

std::optional<std::filesystem::path> CommandSocket::defaultPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(runtime) / "tessela" / fileName;
}

CommandSocket::Delivery CommandSocket::deliver(const std::filesystem::path& path,
                                               const std::vector<std::string>& urls,
                                               std::chrono::milliseconds linger) {
    std::string lines;
    for (const std::string& url : urls) {
        const std::optional<std::string> line = CommandFraming::frame(url);
        if (!line) {
            throw std::invalid_argument("a command is too long or not text: " + url.substr(0, 80));
        }
        lines += *line;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        throw systemError(ENAMETOOLONG, "connect to", path);
    }
    std::copy(text.begin(), text.end(), address.sun_path);

    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        throwLastError("socket for", path);
    }
    int connected = 0;
    do {
        connected =
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            return Delivery::nobodyListening;
        }
        throwLastError("connect to", path);
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
    awaitClose(socket.get(), linger);
    return Delivery::delivered;
}

}  // namespace tessela
