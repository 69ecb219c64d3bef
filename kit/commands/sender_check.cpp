#include "commands/sender_check.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "files/paths.h"
#include "posix/unique_fd.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace tessela {

namespace {

struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileKey&, const FileKey&) = default;
};

std::optional<FileKey> keyOf(const std::filesystem::path& path) {
    if (path.empty()) {
        return std::nullopt;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return FileKey{info.st_dev, info.st_ino};
}

// The peer process held by a pidfd: from the socket where the kernel gives one, else opened by
// its pid.
UniqueFd peerProcess(int socket, pid_t pid) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) {
        return UniqueFd(pidfd);
    }
    if (errno != ENOPROTOOPT) {
        return UniqueFd();  // the peer is gone: its pid may already be another process's
    }
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool isAlive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

}  // namespace

SenderCheck::Programs SenderCheck::Programs::installed(
    std::optional<std::filesystem::path> testDriver) {
    const std::optional<std::filesystem::path> own = runningProgram();
    if (!own) {
        return {{}, std::move(testDriver)};  // no helper can be recognised
    }
    return {own->parent_path() / "tessela-finder", std::move(testDriver)};
}

std::optional<std::string> SenderCheck::signingIdentifier(int socket, const Programs& programs) {
    struct ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        credentials.pid <= 0 || credentials.uid != ::geteuid()) {
        return std::nullopt;
    }
    const UniqueFd process = peerProcess(socket, credentials.pid);
    if (!process) {
        return std::nullopt;
    }
    const std::optional<FileKey> peer = keyOf("/proc/" + std::to_string(credentials.pid) + "/exe");
    // Read first, then confirmed: the pid may have been taken by another process meanwhile.
    if (!peer || !isAlive(process.get())) {
        return std::nullopt;
    }
    // This program, or the one now installed where it was started from (after an upgrade the
    // running application's own file is the replaced one).
    const std::optional<std::filesystem::path> own = runningProgram();
    if (peer == keyOf("/proc/self/exe") || (own && peer == keyOf(*own))) {
        return ownIdentifier;
    }
    if (peer == keyOf(programs.finder)) {
        return finderIdentifier;
    }
    if (programs.testDriver && peer == keyOf(*programs.testDriver)) {
        return testIdentifier;
    }
    return std::nullopt;
}

std::optional<std::string> SenderCheck::teamSignedIdentifier(int socket, const Programs& programs,
                                                             bool testOverride) {
    std::optional<std::string> identifier = signingIdentifier(socket, programs);
    if (identifier == testIdentifier && !testOverride) {
        return std::nullopt;
    }
    return identifier;
}

}  // namespace tessela
