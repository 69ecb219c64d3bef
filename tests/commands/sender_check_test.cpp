#include "commands/sender_check.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "posix/unique_fd.h"
#include "support/child_process.h"
#include "support/temp_folder.h"
#include "support/unix_socket.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;

// A listening Unix socket in a temporary folder, and the connections it accepts.
class SenderCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { listener = testing::listeningSocket(temp / "command.sock"); }

    // A program connected at the other end: `program` runs python's connect-and-wait.
    std::unique_ptr<testing::ChildProcess> connectFrom(const fs::path& program) {
        auto child = std::make_unique<testing::ChildProcess>(
            program.string(),
            std::vector<std::string>{
                "-c",
                "import socket, sys\ns = socket.socket(socket.AF_UNIX)\ns.connect(sys.argv[1])\n"
                "print('connected', flush=True)\nsys.stdin.readline()\n",
                (temp / "command.sock").string()});
        EXPECT_EQ(child->readLine(), "connected");
        return child;
    }

    UniqueFd accepted() {
        return UniqueFd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

    testing::TempFolder temp;
    UniqueFd listener;
    const fs::path python = fs::canonical("/usr/bin/python3");
};

TEST_F(SenderCheckTest, ThisProgramIsTesselaItself) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const UniqueFd first(ends[0]);
    const UniqueFd second(ends[1]);
    const SenderCheck::Programs programs = SenderCheck::Programs::installed();
    EXPECT_EQ(SenderCheck::signingIdentifier(first.get(), programs), "com.lanternworks.tessela");
    EXPECT_EQ(SenderCheck::teamSignedIdentifier(first.get(), programs, false),
              "com.lanternworks.tessela");
}

TEST_F(SenderCheckTest, TheTestDriverCountsOnlyAsItselfAndOnlyUnderTheOverride) {
    const SenderCheck::Programs programs{temp / "tessela-finder", python};
    const auto driver = connectFrom(python);
    const UniqueFd fromDriver = accepted();
    EXPECT_EQ(SenderCheck::signingIdentifier(fromDriver.get(), programs),
              "com.lanternworks.tessela.e2e");
    EXPECT_EQ(SenderCheck::teamSignedIdentifier(fromDriver.get(), programs, true),
              "com.lanternworks.tessela.e2e");
    EXPECT_EQ(SenderCheck::teamSignedIdentifier(fromDriver.get(), programs, false), std::nullopt);

    // The same program copied elsewhere is another file: unidentified.
    fs::copy_file(python, temp / "python-copy");
    fs::permissions(temp / "python-copy", fs::perms::owner_all);
    const auto copy = connectFrom(temp / "python-copy");
    const UniqueFd fromCopy = accepted();
    EXPECT_EQ(SenderCheck::signingIdentifier(fromCopy.get(), programs), std::nullopt);
    driver->write("\n");
    copy->write("\n");
}

TEST_F(SenderCheckTest, APeerThatIsGoneIsUnidentified) {
    const SenderCheck::Programs programs{temp / "tessela-finder", python};
    auto driver = connectFrom(python);
    const UniqueFd fromDriver = accepted();
    driver->write("\n");
    (void)driver->wait();
    EXPECT_EQ(SenderCheck::signingIdentifier(fromDriver.get(), programs), std::nullopt);
}

}  // namespace
}  // namespace tessela
