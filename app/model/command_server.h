#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_framing.h"
#include "commands/command_socket.h"
#include "commands/sender_check.h"
#include "files/folder.h"
#include "posix/unique_fd.h"

namespace tessela {

// The application's end of its command socket (CommandSocket is the sender's): it listens at
// "command.sock" in the per-user runtime folder, which it keeps private (0700, this user's), on
// a socket only this user may open. Each connection is one request: the sender is identified
// once, when it connects (SenderCheck); its lines are taken until it half-closes; the server
// answers "ok" and closes, then reports the request. A request holding a line that is not a
// command's form (CommandFraming), or larger than maxRequestBytes, is answered "error: " and the
// reason, and nothing of it is reported. A sender that does not finish within the time limit is
// dropped without an answer. Another process running this program (a second start forwarding a
// link) is unidentified, never the application itself.
//
// Every connection is served on its own, none waiting for another. Connections are bounded: a
// process holding maxPerProcess open has its oldest closed for a new one, and at
// maxConnections the one idle longest goes, so senders that connect and say nothing never keep
// a real request out.
class CommandServer : public QObject {
    Q_OBJECT

  public:
    static constexpr std::chrono::seconds requestLimit{10};
    static constexpr std::size_t maxConnections = 16;
    static constexpr std::size_t maxPerProcess = 4;
    // The most one request may carry; a larger one is dropped without an answer.
    static constexpr std::size_t maxRequestBytes = 4 * 1024 * 1024;

    // Listens at `path`. A socket file left there by an application that is gone is replaced.
    // Throws std::system_error: EADDRINUSE when another application listens there, EPERM when
    // the folder is not this user's own private folder, and what the system says otherwise.
    CommandServer(std::filesystem::path path, SenderCheck::Programs programs,
                  QObject* parent = nullptr);
    // Stops listening and removes the socket file, when it is still this server's.
    ~CommandServer() override;
    CommandServer(const CommandServer&) = delete;
    CommandServer& operator=(const CommandServer&) = delete;

    // The most requests that may wait for their outcome at once.
    static constexpr std::size_t maxAwaited = 64;

    // Answers the awaited request `request` with its outcome and closes its connection; nothing
    // when it is no longer there.
    void answer(std::uint64_t request, const CommandSocket::Outcome& outcome);

  Q_SIGNALS:
    // One request: its URLs in order, and who sent them (none when unidentified).
    void requestReceived(const std::vector<std::string>& urls,
                         const std::optional<std::string>& sender);
    // A request whose sender waits for the outcome (CommandSocket::handOver), to be answered
    // with answer(request, …). Another process running this very program (the command line
    // handing its work over) counts as Tessela's own here: only it sends the await line.
    void awaitedRequestReceived(const std::vector<std::string>& urls,
                                const std::optional<std::string>& sender, std::uint64_t request);

  private:
    struct Connection {
        UniqueFd socket;
        std::optional<std::string> sender;
        CommandFraming framing;
        std::vector<std::string> urls;
        std::size_t bytes = 0;
        std::unique_ptr<QSocketNotifier> notifier;
        std::unique_ptr<QTimer> deadline;
        pid_t peer = 0;                // the sending process
        std::uint64_t lastActive = 0;  // when it last connected or sent, in the server's count
        std::optional<std::string> refused;  // the first reason a line was refused
        bool sameProgram = false;            // another process running this program
        bool awaiting = false;               // began with the await line
        bool firstLine = true;
    };

    void accept();
    void read(int socket);
    void drop(int socket);
    // Closes the connection that waited longest since it last did anything, among those of
    // `peer` (any process when none).
    void dropIdlest(std::optional<pid_t> peer);
    // Answers `text` on the connection and drops it.
    void answerAndDrop(int socket, const std::string& text);

    std::filesystem::path path_;
    std::string name_;
    SenderCheck::Programs programs_;
    Folder folder_;  // the private folder holding the socket, held open
    UniqueFd listener_;
    ino_t inode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<int, Connection> connections_;
    std::map<std::uint64_t, UniqueFd> awaited_;  // taken, waiting for their outcome
    std::uint64_t nextAwaited_ = 1;
    std::uint64_t activity_ = 0;
};

}  // namespace tessela
