// The application's command socket against the real file-manager helper and raw peers.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QThread>

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

TEST_F(CommandServerTest, ARequestLargerThanAnyIsDroppedUnanswered) {
    CommandServer server(socket, {FINDER_HELPER, std::nullopt});
    bool received = false;
    QObject::connect(&server, &CommandServer::requestReceived, [&] { received = true; });
    std::string answer = "not read";
    std::thread flood([&] {
        const UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = testing::unixAddress(socket);
        if (::connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0) {
            return;
        }
        const std::string lines(64 * 1024, '\n');
        for (std::size_t sent = 0; sent <= CommandServer::maxRequestBytes; sent += lines.size()) {
            if (::send(client.get(), lines.data(), lines.size(), MSG_NOSIGNAL) < 0) {
                break;  // dropped by the server
            }
        }
        ::shutdown(client.get(), SHUT_WR);
        char buffer[16];
        const ssize_t got = ::recv(client.get(), buffer, sizeof buffer, 0);
        answer = got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
    });
    runUntil([&] { return answer != "not read"; });
    flood.join();
    EXPECT_EQ(answer, "");  // closed without "ok"
    EXPECT_FALSE(received);
}

}  // namespace
}  // namespace tessela
