// The application's command socket against the real file-manager helper and raw peers.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "commands/command_socket.h"
#include "commands/tessela_command.h"
#include "model/command_server.h"
#include "support/child_process.h"
#include "support/temp_folder.h"
#include "support/unix_socket.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;

class CommandServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", temp.path().c_str(), 1);
        application = std::make_unique<QCoreApplication>(argc, argv);
    }

    // Runs the event loop until `done` holds, for at most 10 s.
    template <typename Condition>
    void runUntil(const Condition& done) {
        for (int round = 0; round < 1000 && !done(); ++round) {
            QCoreApplication::processEvents();
            QThread::msleep(10);
        }
    }

    testing::TempFolder temp;
    int argc = 1;
    char name[20] = "command_server_test";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QCoreApplication> application;
    const fs::path socket = temp / "tessela/command.sock";
};

TEST_F(CommandServerTest, TheHelpersRequestArrivesWholeFromTheHelperAndIsAnswered) {
    CommandServer server(socket, {FINDER_HELPER, std::nullopt});
    EXPECT_EQ(testing::permissions(temp / "tessela"), 0700U);
    EXPECT_EQ(testing::permissions(socket), 0600U);
    std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>> requests;
    QObject::connect(
        &server, &CommandServer::requestReceived,
        [&](const std::vector<std::string>& urls, const std::optional<std::string>& sender) {
            requests.emplace_back(urls, sender);
        });
    const std::string lock = TesselaCommand::lock({"/home/me/Caf\xC3\xA9 notes"}).url();
    const std::string reveal = TesselaCommand::reveal("/home/me/Taxes.tessvault").url();
    testing::ChildProcess helper(FINDER_HELPER, {"open", lock, reveal});
    runUntil([&] { return !requests.empty(); });
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].first, (std::vector<std::string>{lock, reveal}));
    EXPECT_EQ(requests[0].second, SenderCheck::finderIdentifier);
    EXPECT_EQ(helper.wait(), 0);  // it was told that the request was taken
}

TEST_F(CommandServerTest, ALeftoverSocketIsReplacedAndALiveOneIsNot) {
    {
        fs::create_directories(temp / "tessela");
        fs::permissions(temp / "tessela", fs::perms::owner_all);
        const UniqueFd live = testing::listeningSocket(socket);
        try {
            CommandServer refused(socket, {FINDER_HELPER, std::nullopt});
            ADD_FAILURE() << "listened where another application listens";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), EADDRINUSE);
        }
    }
    // The listener above is gone; its socket file is left behind.
    ASSERT_TRUE(fs::exists(socket));
    CommandServer server(socket, {FINDER_HELPER, std::nullopt});
    bool received = false;
    QObject::connect(&server, &CommandServer::requestReceived, [&] { received = true; });
    // A sender that is not a known program is unidentified; its lines still arrive.
    std::optional<CommandSocket::Delivery> delivery;
    std::thread sender([&] {
        delivery =
            CommandSocket::deliver(socket, {"tessela://reveal?path=%2Fa"}, std::chrono::seconds(5));
    });
    runUntil([&] { return received; });
    sender.join();
    EXPECT_TRUE(received);
    EXPECT_EQ(delivery, CommandSocket::Delivery::delivered);
}

// Refused requests are answered with the reason and report nothing; senders that connect and
// say nothing never keep a real request out.
TEST_F(CommandServerTest, RefusalsAreAnsweredAndIdleConnectionsNeverKeepARequestOut) {
    CommandServer server(socket, {FINDER_HELPER, std::nullopt});
    int received = 0;
    QObject::connect(&server, &CommandServer::requestReceived, [&] { ++received; });
    const auto connected = [&] {
        UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = testing::unixAddress(socket);
        EXPECT_EQ(
            ::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
        return client;
    };
    // Sends `bytes`, half-closes and returns the answer (from another thread: the server runs
    // on this one).
    const auto answerTo = [&](const std::string& bytes) {
        std::string answer = "not read";
        std::thread sending([&] {
            const UniqueFd client = connected();
            for (std::size_t sent = 0; sent < bytes.size();) {
                const ssize_t done =
                    ::send(client.get(), bytes.data() + sent,
                           std::min<std::size_t>(bytes.size() - sent, 65536), MSG_NOSIGNAL);
                if (done < 0) {
                    break;  // refused before the end
                }
                sent += static_cast<std::size_t>(done);
            }
            ::shutdown(client.get(), SHUT_WR);
            char buffer[256];
            const ssize_t got = ::recv(client.get(), buffer, sizeof buffer, 0);
            answer = got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
        });
        runUntil([&] { return answer != "not read"; });
        sending.join();
        return answer;
    };
    const std::string reveal = TesselaCommand::reveal("/home/me/Taxes.tessvault").url() + "\n";
    const char withNul[] = "tessela://reveal?path=%2F\0a\n";
    EXPECT_EQ(answerTo(reveal + std::string(withNul, sizeof withNul - 1)).substr(0, 7), "error: ");
    EXPECT_EQ(answerTo(reveal + "tessela://reveal?path=%2Fb").substr(0, 7), "error: ");
    EXPECT_EQ(answerTo(std::string(CommandServer::maxRequestBytes + 1, 'x')),
              "error: The request is too large.\n");
    EXPECT_EQ(received, 0);

    // Idle senders, more than the server keeps.
    std::vector<UniqueFd> idle;
    for (std::size_t count = 0; count < CommandServer::maxConnections + 4; ++count) {
        idle.push_back(connected());
        QCoreApplication::processEvents();  // taken, or a full queue would hold the connect
    }
    for (int round = 0; round < 30; ++round) {  // a moment for the server to take them all
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    testing::ChildProcess helper(FINDER_HELPER, {"open", reveal.substr(0, reveal.size() - 1)});
    runUntil([&] { return received == 1; });
    EXPECT_EQ(received, 1);
    EXPECT_EQ(helper.wait(), 0);
}

}  // namespace
}  // namespace tessela
