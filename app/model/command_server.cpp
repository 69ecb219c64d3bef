#include "model/command_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "commands/command_socket.h"
#include "posix/system_error.h"

namespace tessela {

namespace {

// The runtime folder must be this user's alone: made 0700 when missing, refused otherwise. It is
// held open, and everything after is done relative to it, so a folder swapped in under its
// path later is never worked in.
Folder privateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throwLastError("make", path);
    }
    Folder folder = Folder::open(path);
    const struct stat status = folder.status();
    if (status.st_uid != ::geteuid() || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        throw systemError(EPERM, "use as a private folder", path);
    }
    return folder;
}

}  // namespace

CommandServer::CommandServer(std::filesystem::path path, SenderCheck::Programs programs,
                             QObject* parent)
    : QObject(parent),
      path_(std::move(path)),
      name_(path_.filename().string()),
      programs_(std::move(programs)),
      folder_(privateFolder(path_.parent_path())) {
    // The socket's address reaches it through the held folder.
    const sockaddr_un address =
        CommandSocket::address(folder_.descriptorPath().parent_path() / name_);
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener_) {
        throwLastError("socket for", path_);
    }
    const auto bindHere = [&] {
        return ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address),
                      sizeof address) == 0;
    };
    if (!bindHere()) {
        if (errno != EADDRINUSE) {
            throwLastError("listen at", path_);
        }
        // Something is there: an application that listens keeps it; a socket left by one that
        // is gone is replaced. Nothing but a socket is ever removed.
        const std::optional<struct stat> status = folder_.memberStatus(name_);
        if (!status || !S_ISSOCK(status->st_mode)) {
            throw systemError(EADDRINUSE, "listen at", path_);
        }
        const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                0 ||
            errno != ECONNREFUSED) {
            throw systemError(EADDRINUSE, "listen at", path_);
        }
        ::unlinkat(folder_.fd(), name_.c_str(), 0);
        if (!bindHere()) {
            throwLastError("listen at", path_);
        }
    }
    // The folder is private already; the socket, just made there, is this user's alone too.
    if (::fchmodat(folder_.fd(), name_.c_str(), 0600, 0) != 0 ||
        ::listen(listener_.get(), 16) != 0) {
        throwLastError("listen at", path_);
    }
    if (const std::optional<struct stat> status = folder_.memberStatus(name_)) {
        inode_ = status->st_ino;
    }
    notifier_ = std::make_unique<QSocketNotifier>(listener_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { accept(); });
}

CommandServer::~CommandServer() {
    notifier_.reset();
    connections_.clear();  // not inside any of their signals now: they go at once
    if (const std::optional<struct stat> status = folder_.memberStatus(name_);
        status && status->st_ino == inode_) {
        ::unlinkat(folder_.fd(), name_.c_str(), 0);
    }
}

void CommandServer::accept() {
    for (;;) {
        UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!socket) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the waiting connection stays queued, and the listener
                // rests a moment instead of waking the main thread without end.
                notifier_->setEnabled(false);
                QTimer::singleShot(std::chrono::milliseconds(500), this,
                                   [this] { notifier_->setEnabled(true); });
            }
            return;  // nothing more waiting
        }
        const int fd = socket.get();
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
            continue;  // a sender that cannot be told is not served
        }
        const auto fromPeer = std::ranges::count_if(
            connections_, [&](const auto& open) { return open.second.peer == peer.pid; });
        if (static_cast<std::size_t>(fromPeer) >= maxPerProcess) {
            dropIdlest(peer.pid);
        }
        if (connections_.size() >= maxConnections) {
            dropIdlest(std::nullopt);
        }
        Connection& connection = connections_[fd];
        connection.peer = peer.pid;
        connection.lastActive = ++activity_;
        // Identified now, while the sender waits for the answer and is surely still there.
        connection.sender = SenderCheck::signingIdentifier(fd, programs_);
        // Another start of this very program forwards what it was asked to open (a link, a
        // double-click): not the application's own request, so unidentified.
        if (connection.sender == SenderCheck::ownIdentifier && peer.pid != ::getpid()) {
            connection.sender.reset();
            connection.sameProgram = true;
        }
        connection.socket = std::move(socket);
        connection.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(connection.notifier.get(), &QSocketNotifier::activated, this,
                [this, fd] { read(fd); });
        connection.deadline = std::make_unique<QTimer>();
        connection.deadline->setSingleShot(true);
        connect(connection.deadline.get(), &QTimer::timeout, this, [this, fd] { drop(fd); });
        connection.deadline->start(requestLimit);
    }
}

void CommandServer::read(int socket) {
    const auto found = connections_.find(socket);
    if (found == connections_.end()) {
        return;
    }
    Connection& connection = found->second;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::read(socket, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                drop(socket);
            }
            return;
        }
        connection.lastActive = ++activity_;
        connection.bytes += static_cast<std::size_t>(got);
        if (connection.bytes > maxRequestBytes) {
            answerAndDrop(socket, "error: The request is too large.\n");
            return;
        }
        const bool ended = got == 0;
        std::vector<CommandFraming::Line> lines =
            ended
                ? connection.framing.finish()
                : connection.framing.take(std::string_view(buffer, static_cast<std::size_t>(got)));
        for (CommandFraming::Line& line : lines) {
            const bool first = std::exchange(connection.firstLine, false);
            if (std::string* url = std::get_if<std::string>(&line)) {
                if (first && *url == CommandSocket::awaitLine) {
                    connection.awaiting = true;
                } else {
                    connection.urls.push_back(std::move(*url));
                }
            } else if (!connection.refused) {
                connection.refused = std::get<CommandFraming::Rejected>(line).reason;
            }
        }
        if (!ended) {
            continue;
        }
        // The whole request is here: taken and said so, or refused whole with the reason.
        if (connection.refused) {
            answerAndDrop(socket, "error: " + *connection.refused + "\n");
            return;
        }
        std::vector<std::string> urls = std::move(connection.urls);
        std::optional<std::string> sender = connection.sender;
        if (connection.awaiting) {
            if (awaited_.size() >= maxAwaited) {
                answerAndDrop(socket, "error: Too many requests are waiting already.\n");
                return;
            }
            if (connection.sameProgram) {
                sender = SenderCheck::ownIdentifier;
            }
            [[maybe_unused]] const ssize_t sent = ::send(
                socket, CommandSocket::reply, std::strlen(CommandSocket::reply), MSG_NOSIGNAL);
            // Kept past the connection's own bookkeeping, and never inherited by a program the
            // application starts (which could answer in its place or keep it open).
            UniqueFd kept(::fcntl(socket, F_DUPFD_CLOEXEC, 0));
            if (!kept) {
                answerAndDrop(socket, "error: Tessela cannot keep the request open.\n");
                return;
            }
            const std::uint64_t request = nextAwaited_++;
            awaited_.emplace(request, std::move(kept));
            drop(socket);
            Q_EMIT awaitedRequestReceived(urls, sender, request);
            return;
        }
        answerAndDrop(socket, CommandSocket::reply);
        if (!urls.empty()) {
            Q_EMIT requestReceived(urls, sender);
        }
        return;
    }
}

void CommandServer::answer(std::uint64_t request, const CommandSocket::Outcome& outcome) {
    const auto found = awaited_.find(request);
    if (found == awaited_.end()) {
        return;
    }
    const std::string line = outcome.line();
    // The sender may be gone (interrupted): then nobody hears it, and that is all.
    [[maybe_unused]] const ssize_t sent =
        ::send(found->second.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    awaited_.erase(found);
}

void CommandServer::answerAndDrop(int socket, const std::string& text) {
    [[maybe_unused]] const ssize_t sent = ::send(socket, text.data(), text.size(), MSG_NOSIGNAL);
    drop(socket);
}

void CommandServer::dropIdlest(std::optional<pid_t> peer) {
    auto idlest = connections_.end();
    for (auto open = connections_.begin(); open != connections_.end(); ++open) {
        if ((!peer || open->second.peer == *peer) &&
            (idlest == connections_.end() || open->second.lastActive < idlest->second.lastActive)) {
            idlest = open;
        }
    }
    if (idlest != connections_.end()) {
        drop(idlest->first);  // closed unanswered: its sender reports it was not taken
    }
}

void CommandServer::drop(int socket) {
    const auto found = connections_.find(socket);
    if (found == connections_.end()) {
        return;
    }
    // Called from the connection's own notifier or timer: they go once their signal is over,
    // and the notifier stops watching before the descriptor is closed.
    found->second.notifier->setEnabled(false);
    found->second.notifier.release()->deleteLater();
    found->second.deadline->stop();
    found->second.deadline.release()->deleteLater();
    connections_.erase(found);
}

}  // namespace tessela
