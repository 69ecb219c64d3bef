#include "support/unix_socket.h"

#include <algorithm>
#include <cerrno>
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

}  // namespace tessela::testing
