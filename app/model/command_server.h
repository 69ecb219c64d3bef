#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands/command_framing.h"
#include "commands/sender_check.h"
#include "files/folder.h"
#include "posix/unique_fd.h"

namespace tessela {

// The application's end of its command socket (CommandSocket is the sender's): it listens at
// "command.sock" in the per-user runtime folder, which it keeps private (0700, this user's), on
// a socket only this user may open. Each connection is one request: the sender is identified
// once, when it connects (SenderCheck); its lines are taken until it half-closes; the server
// answers "ok" and closes, then reports the request. Lines that are not commands' form
// (CommandFraming) are dropped. A sender that does not finish within the time limit is dropped
// without an answer. Another process running this program (a second start forwarding a link)
// is unidentified, never the application itself.
class CommandServer : public QObject {
    Q_OBJECT

  public:
    static constexpr std::chrono::seconds requestLimit{10};
    static constexpr std::size_t maxConnections = 16;
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

  Q_SIGNALS:
    // One request: its URLs in order, and who sent them (none when unidentified).
    void requestReceived(const std::vector<std::string>& urls,
                         const std::optional<std::string>& sender);

  private:
    struct Connection {
        UniqueFd socket;
        std::optional<std::string> sender;
        CommandFraming framing;
        std::vector<std::string> urls;
        std::size_t bytes = 0;
        std::unique_ptr<QSocketNotifier> notifier;
        std::unique_ptr<QTimer> deadline;
    };

    void accept();
    void read(int socket);
    void drop(int socket);

    std::filesystem::path path_;
    std::string name_;
    SenderCheck::Programs programs_;
    Folder folder_;  // the private folder holding the socket, held open
    UniqueFd listener_;
    ino_t inode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::map<int, Connection> connections_;
};

}  // namespace tessela
