#include "support/unix_socket.h"

#include "commands/command_socket.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace tessela::testing {

sockaddr_un unixAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        throw std::length_error("socket path too long: " + text);
    }
    std::copy(text.begin(), text.end(), address.sun_path);
    return address;
}

UniqueFd listeningSocket(const std::filesystem::path& path) {
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = unixAddress(path);
    if (!listener ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 4) != 0) {
        throw std::system_error(errno, std::generic_category(), "listen at " + path.string());
    }
    return listener;
}

std::optional<ReceivedRequest> acceptRequest(int listener, const SenderCheck::Programs& programs,
                                             std::chrono::milliseconds timeout) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) {
        return std::nullopt;
    }
    const UniqueFd connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) {
        throw std::system_error(errno, std::generic_category(), "accept");
    }
    ReceivedRequest request{SenderCheck::signingIdentifier(connection.get(), programs), {}};
    char buffer[4096];
    for (;;) {
        pollfd reading{connection.get(), POLLIN, 0};
        if (::poll(&reading, 1, static_cast<int>(timeout.count())) != 1) {
            break;  // a sender that never half-closes: take what came
        }
        const ssize_t got = ::read(connection.get(), buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        request.bytes.append(buffer, static_cast<std::size_t>(got));
    }
    // Taken: the answer the sender waits for.
    [[maybe_unused]] const ssize_t sent = ::send(connection.get(), CommandSocket::reply,
                                                 std::strlen(CommandSocket::reply), MSG_NOSIGNAL);
    return request;
}

}  // namespace tessela::testing
