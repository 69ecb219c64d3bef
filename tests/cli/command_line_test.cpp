#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "engine/engine_fixture.h"
#include "process/process_runner.h"
#include "support/child_process.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::readFile;
using testing::writeFile;

constexpr const char* secret = "correct horse battery";

// The built tessela program, run as a user would, on a private home and support folder.
class CommandLineTest : public testing::FuseTest {
  protected:
    void SetUp() override {
        FuseTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        fs::create_directories(home / "Docs");
        writeFile(home / "Docs/Sample/a.txt", "alpha");
        writeFile(home / "Docs/Sample/Ünï/b.txt", "beta");
    }

    std::vector<std::string> environment(std::vector<std::string> arguments) const {
        std::vector<std::string> words = {"TESSELA_SUPPORT_DIR=" + (temp / "support").string(),
                                          "HOME=" + home.string(), TESSELA_PROGRAM};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return words;
    }

    // Runs tessela with `arguments`, `input` on standard input; output is both streams.
    ProcessResult tessela(std::vector<std::string> arguments,
                          std::optional<std::string> input = std::nullopt) const {
        return ProcessRunner::run("/usr/bin/env", environment(std::move(arguments)), input, 120.0);
    }

    std::unique_ptr<testing::ChildProcess> start(std::vector<std::string> arguments) const {
        return std::make_unique<testing::ChildProcess>("/usr/bin/env",
                                                       environment(std::move(arguments)));
    }

    // Waits until the lock of Docs/NAME has begun building its container.
    void awaitPartialImage() const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::string& name : namesIn(home / "Docs")) {
                if (name.ends_with(".partial.sparsebundle")) {
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        FAIL() << "the lock never began";
    }

    void writeLargeFile(const fs::path& file) const {
        writeFile(file, testing::randomBytes(300'000'000, 5));
    }

    fs::path home = temp / "home";
};

TEST_F(CommandLineTest, LockUnlockStatusRelockRemoveLockRecover) {
    ProcessResult result = tessela({"lock", "--password-stdin", (home / "Docs/Sample").string()},
                                   std::string(secret) + "\n");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "Locked Sample: " + (home / "Docs/Sample.tessvault").string() + "\n");
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Sample.tessvault"});

    result = tessela({"unlock", "--password-stdin", (home / "Docs/Sample.tessvault").string()},
                     std::string(secret) + "\n");
    ASSERT_EQ(result.status, 0) << result.output;
    const fs::path content = result.output.substr(0, result.output.size() - 1);
    EXPECT_EQ(readFile(content / "Ünï/b.txt"), "beta");

    result = tessela({"status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "Sample\n  " + (home / "Docs/Sample.tessvault").string() +
                                 "\n  open at " + content.string() + "\n");

    result = tessela({"relock", (home / "Docs/Sample.tessvault").string()});
    EXPECT_EQ(result.output, "Locked Sample again.\n");
    EXPECT_FALSE(fs::exists(content));
    EXPECT_EQ(tessela({"status"}).output,
              "Sample\n  " + (home / "Docs/Sample.tessvault").string() + "\n  locked\n");

    result = tessela({"remove-lock", "--password-stdin", (home / "Docs/Sample.tessvault").string()},
                     std::string(secret) + "\n");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, (home / "Docs/Sample").string() + "\n");
    EXPECT_EQ(readFile(home / "Docs/Sample/a.txt"), "alpha");
    EXPECT_EQ(tessela({"status"}).output, "No locked items.\n");
    EXPECT_EQ(tessela({"recover"}).output, "Nothing to recover.\n");
}

TEST_F(CommandLineTest, FailuresPrintTheEngineSentence) {
    ASSERT_EQ(tessela({"lock", "--password-stdin", (home / "Docs/Sample").string()},
                      std::string(secret) + "\n")
                  .status,
              0);
    ProcessResult result =
        tessela({"unlock", "--password-stdin", (home / "Docs/Sample.tessvault").string()},
                "not the password\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "That password did not work.\n");

    result = tessela({"lock", "--password-stdin", home.string()}, std::string(secret) + "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output,
              "Tessela does not lock your whole home folder. Lock the folders inside it "
              "instead.\n");

    result = tessela({"lock", "--password-stdin", (home / "Docs").string()}, "short\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Use at least 8 characters.\n");

    result = tessela({"lock", (home / "Docs").string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output,
              "There is no terminal to ask for the password on; use --password-stdin.\n");
}

TEST_F(CommandLineTest, HelpAndUsage) {
    for (const char* command : {"lock", "unlock", "relock", "remove-lock", "status", "recover"}) {
        const ProcessResult result = tessela({command, "--help"});
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.output.rfind(std::string("usage: tessela ") + command, 0), 0U)
            << result.output;
    }
    EXPECT_EQ(tessela({"--help"}).status, 0);
    EXPECT_EQ(tessela({"frobnicate"}).status, 2);
    EXPECT_EQ(tessela({"lock"}).status, 2);
    EXPECT_EQ(tessela({"status", "extra"}).status, 2);
    EXPECT_EQ(tessela({"lock", "--password=x", "a"}).status, 2);
}

TEST_F(CommandLineTest, InterruptDuringLockChangesNothing) {
    writeLargeFile(home / "Docs/Large.bin");
    const auto lock = start({"lock", "--password-stdin", (home / "Docs/Large.bin").string()});
    lock->write(std::string(secret) + "\n");
    awaitPartialImage();
    ASSERT_EQ(::kill(lock->pid(), SIGINT), 0);
    const std::string output = lock->readAll();
    const int status = lock->wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(output, "Cancelled. Nothing was changed.\n");
    EXPECT_EQ(namesIn(home / "Docs"), (std::vector<std::string>{"Large.bin", "Sample"}));
    EXPECT_EQ(readFile(temp / "support/operations.json"), "[]");
    EXPECT_EQ(namesIn(temp / "support/Open"), std::vector<std::string>{});
}

TEST_F(CommandLineTest, SecondCommandRefusesWhileTheFirstRuns) {
    writeLargeFile(home / "Docs/Large.bin");
    const auto lock = start({"lock", "--password-stdin", (home / "Docs/Large.bin").string()});
    lock->write(std::string(secret) + "\n");
    awaitPartialImage();
    const ProcessResult second = tessela({"status"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.output, "Another copy of Tessela is working in " +
                                 (temp / "support").string() +
                                 ". Try again when it has finished.\n");
    ::kill(lock->pid(), SIGINT);
    (void)lock->readAll();
    (void)lock->wait();
}

}  // namespace
}  // namespace tessela
