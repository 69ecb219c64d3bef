#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "commands/command_socket.h"
#include "commands/tessela_command.h"
#include "engine/engine_fixture.h"
#include "model/app_paths.h"
#include "model/password_store.h"
#include "process/process_runner.h"
#include "secrets/shared_state.h"
#include "support/child_process.h"
#include "support/keyring_session.h"
#include "support/raw_keyring_item.h"

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
    std::unique_ptr<testing::KeyringSession> keyring;

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
                                          "HOME=" + home.string()};
        // The user's own keyring is never reached: no bus at all, unless the test brought its
        // own keyring session.
        if (!keyring) {
            words.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (temp / "no-bus").string());
        }
        words.emplace_back(TESSELA_PROGRAM);
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

    // A file whose copy takes a while and no space: 16 GiB of holes, every byte of which the copy
    // reads and hashes.
    void makeEndlessFile(const fs::path& file) const {
        writeFile(file, "");
        fs::resize_file(file, std::uintmax_t{16} << 30);
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

TEST_F(CommandLineTest, SelfTestChecksTheSharedStateWhereThePlugInReadsIt) {
    fs::create_directories(temp / "run");
    ProcessResult result = ProcessRunner::run(
        "/usr/bin/env",
        {"XDG_RUNTIME_DIR=" + (temp / "run").string(), TESSELA_PROGRAM, "--self-test"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "self-test: group container OK\n");
    result = ProcessRunner::run("/usr/bin/env",
                                {"-u", "XDG_RUNTIME_DIR", TESSELA_PROGRAM, "--self-test"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "self-test: group container FAILED\n");
}

TEST_F(CommandLineTest, FileManagerMenuTurnsOnTheBuiltIntegration) {
    const std::string data = "XDG_DATA_HOME=" + (temp / "data").string();
    ProcessResult result =
        ProcessRunner::run("/usr/bin/env", {data, TESSELA_PROGRAM, "file-manager-menu", "on"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "GNOME Files: on\nDolphin: on\nNemo: on\n");
    EXPECT_TRUE(fs::equivalent(temp / "data/tessela/nautilus-extension", NAUTILUS_MODULE));
    result =
        ProcessRunner::run("/usr/bin/env", {data, TESSELA_PROGRAM, "file-manager-menu", "off"});
    EXPECT_EQ(result.output, "GNOME Files: off\nDolphin: off\nNemo: off\n");
    EXPECT_EQ(tessela({"file-manager-menu", "maybe"}).status, 2);
}

TEST_F(CommandLineTest, PasswordsComeFromTheKeyringAndMoveAlongWhenChanged) {
    keyring = std::make_unique<testing::KeyringSession>();
    const PasswordStore store(AppPaths::defaultKeychainService);
    EXPECT_EQ(tessela({"setup", "--password-stdin"}, "first password\n").status, 0);
    EXPECT_EQ(tessela({"setup", "--password-stdin"}, "another one\n").status, 1);
    writeFile(home / "Docs/Other/c.txt", "gamma");

    // No terminal here: each of these would fail if it asked for a password.
    ProcessResult result = tessela({"lock", (home / "Docs/Sample").string()});
    ASSERT_EQ(result.status, 0) << result.output;
    ASSERT_EQ(tessela({"lock", (home / "Docs/Other").string()}).status, 0);
    const std::string sample = (home / "Docs/Sample.tessvault").string();
    const std::string other = (home / "Docs/Other.tessvault").string();

    // A new key file an interrupted change left in an item (killed, or out of disk) is no
    // obstacle: gocryptfs makes that file exclusively.
    writeFile(fs::path(sample) / "gocryptfs.conf.tmp", "{\"Creator\": \"gocryptfs");
    result = tessela({"change-password", "--password-stdin"}, "first password\nsecond password\n");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Your password is changed."), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::path(sample) / "gocryptfs.conf.tmp"));
    EXPECT_EQ(store.load()->previous, std::nullopt);
    EXPECT_EQ(tessela({"unlock", "--password-stdin", sample}, "first password\n").status, 1);

    // A change interrupted after the keyring got the new password, with an item open so the
    // move cannot resume: the other item still opens, with the earlier password.
    ASSERT_EQ(tessela({"unlock", sample}).status, 0);
    store.save(store.load()->changing("third password"));
    result = tessela({"unlock", other});
    EXPECT_EQ(result.status, 0) << result.output;
    result = tessela({"status"});
    EXPECT_NE(result.output.find("Tessela is still moving these items to your current password: "
                                 "Other and Sample."),
              std::string::npos)
        << result.output;
    ASSERT_EQ(tessela({"relock", sample, other}).status, 0);
    // Everything locked: the next start finishes the move and forgets the previous password.
    EXPECT_EQ(tessela({"status"}).status, 0);
    EXPECT_EQ(store.load()->previous, std::nullopt);
    EXPECT_EQ(tessela({"unlock", "--password-stdin", other}, "third password\n").status, 0);
    EXPECT_EQ(tessela({"relock", other}).status, 0);
}

TEST_F(CommandLineTest, NothingKeptIsEverReplacedAndNoItemBlocksAChangeForGood) {
    keyring = std::make_unique<testing::KeyringSession>();
    const PasswordStore store(AppPaths::defaultKeychainService);
    ASSERT_EQ(tessela({"setup", "--password-stdin"}, "first password\n").status, 0);
    writeFile(home / "Docs/Other/c.txt", "gamma");
    ASSERT_EQ(tessela({"lock", (home / "Docs/Sample").string()}).status, 0);
    // Locked with a password the keyring never kept: generation 0, which no change waits for.
    ASSERT_EQ(
        tessela({"lock", "--password-stdin", (home / "Docs/Other").string()}, "someone else's\n")
            .status,
        0);
    const std::string sample = (home / "Docs/Sample.tessvault").string();
    fs::remove_all(sample);  // gone for good

    // A wrong current password is refused even when the new one is the one kept.
    ProcessResult result =
        tessela({"change-password", "--password-stdin"}, "wrong password\nfirst password\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Your current password is not correct.\n");

    // No item moved: kept in the keyring, but said as it is, and not a success.
    result = tessela({"change-password", "--password-stdin"}, "first password\nsecond password\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output,
              "Your new password is kept in your keyring, but no locked item could be moved to "
              "it yet.\n"
              "1 item could not be updated yet. Tessela will try again next time "
              "it opens.\n  Sample: That item could not be found.\n");
    EXPECT_NE(tessela({"status"}).output.find("tessela forget PATH"), std::string::npos);
    EXPECT_EQ(tessela({"forget", sample}).output, "Forgot Sample.\n");
    EXPECT_EQ(tessela({"status"}).status, 0);  // nothing left behind: the move is finished
    EXPECT_EQ(store.load()->previous, std::nullopt);
    EXPECT_EQ(tessela({"unlock", "--password-stdin", (home / "Docs/Other.tessvault").string()},
                      "someone else's\n")
                  .status,
              0);
    EXPECT_EQ(tessela({"relock", (home / "Docs/Other.tessvault").string()}).status, 0);

    // A kept item that cannot be read is never replaced by a new first password.
    ASSERT_TRUE(testing::storeRawKeyringItem(AppPaths::defaultKeychainService, "not a secret"));
    EXPECT_EQ(tessela({"setup", "--password-stdin"}, "fresh password\n").status, 1);
}

// Run without the test override (records in XDG_DATA_HOME), every command leaves the menu's
// state as it leaves the open items, replacing what a killed application left.
TEST_F(CommandLineTest, CommandsRewriteWhatTheMenuKnowsIsOpen) {
    fs::create_directories(temp / "run");
    fs::permissions(temp / "run", fs::perms::owner_all);
    const auto run = [&](std::vector<std::string> arguments, const std::string& input) {
        std::vector<std::string> words = {
            "XDG_DATA_HOME=" + (temp / "data").string(),
            "XDG_RUNTIME_DIR=" + (temp / "run").string(), "HOME=" + home.string(),
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (temp / "no-bus").string(), TESSELA_PROGRAM};
        words.insert(words.end(), arguments.begin(), arguments.end());
        return ProcessRunner::run("/usr/bin/env", words, input, 120.0);
    };
    const fs::path locked = home / "Docs/Sample.tessvault";
    const fs::path state = temp / "run/tessela/state.json";
    ASSERT_EQ(
        run({"lock", "--password-stdin", (home / "Docs/Sample").string()}, "pass word\n").status,
        0);
    // What an application killed while the item was open left behind.
    SharedState::now({fs::canonical(locked).string()}, SharedState::Writer{1, 1}).write(state);

    ASSERT_EQ(run({"unlock", "--password-stdin", locked.string()}, "pass word\n").status, 0);
    std::optional<SharedState> published = SharedState::read(state);
    ASSERT_TRUE(published);
    EXPECT_EQ(published->unlockedPaths, std::vector<std::string>{fs::canonical(locked).string()});
    EXPECT_EQ(published->writer, std::nullopt);
    ASSERT_EQ(run({"relock", locked.string()}, "").status, 0);
    published = SharedState::read(state);
    ASSERT_TRUE(published);
    EXPECT_EQ(published->unlockedPaths, std::vector<std::string>{});
}

TEST_F(CommandLineTest, WithNoCommandTheApplicationServesRequestsAndASecondStartHandsOver) {
    fs::create_directories(temp / "run");
    fs::permissions(temp / "run", fs::perms::owner_all);
    std::vector<std::string> words = environment({});
    words.insert(words.begin(),
                 {"XDG_RUNTIME_DIR=" + (temp / "run").string(), "QT_QPA_PLATFORM=offscreen",
                  "QT_LOGGING_RULES=tessela.app.debug=true"});
    // An item open when the application starts: it finds it open.
    const std::string sample = (home / "Docs/Sample.tessvault").string();
    ASSERT_EQ(tessela({"lock", "--password-stdin", (home / "Docs/Sample").string()}, "pass word\n")
                  .status,
              0);
    ASSERT_EQ(tessela({"unlock", "--password-stdin", sample}, "pass word\n").status, 0);
    const auto started = [&] {
        auto running = std::make_unique<testing::ChildProcess>("/usr/bin/env", words);
        const fs::path socket = temp / "run/tessela/command.sock";
        for (int waited = 0; waited < 400 && !fs::exists(socket); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(fs::exists(socket));
        return running;
    };
    std::unique_ptr<testing::ChildProcess> application = started();
    const fs::path socket = temp / "run/tessela/command.sock";
    const std::string reveal = TesselaCommand::reveal(home / "Docs/Elsewhere.tessvault").url();
    EXPECT_EQ(CommandSocket::deliver(socket, {reveal}, std::chrono::seconds(10)),
              CommandSocket::Delivery::delivered);

    // A second start with something to open hands it to the running one and ends.
    std::vector<std::string> opening = words;
    opening.push_back(reveal);
    EXPECT_EQ(ProcessRunner::run("/usr/bin/env", opening, std::nullopt, 60.0).status, 0);
    // One with nothing to open finds the records taken and ends without a word.
    const ProcessResult second = ProcessRunner::run("/usr/bin/env", words, std::nullopt, 60.0);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.output, "");

    // A "tessela:" link opened through the desktop reaches it, as an unidentified sender,
    // through the desktop file (valid, as installed and as built).
    for (const char* file : {DESKTOP_FILE, INSTALLED_DESKTOP_FILE}) {
        const ProcessResult valid = ProcessRunner::run("/usr/bin/desktop-file-validate", {file});
        EXPECT_EQ(valid.status, 0) << file << ": " << valid.output;
    }
    fs::create_directories(temp / "data/applications");
    fs::copy_file(DESKTOP_FILE, temp / "data/applications/tessela.desktop");
    ASSERT_EQ(ProcessRunner::run("/usr/bin/update-desktop-database",
                                 {(temp / "data/applications").string()})
                  .status,
              0);
    const std::string linked = TesselaCommand::reveal(home / "Docs/Linked.tessvault").url();
    std::vector<std::string> opener = words;
    opener.insert(opener.begin(), {"XDG_DATA_HOME=" + (temp / "data").string(),
                                   "XDG_DATA_DIRS=" + (temp / "data").string()});
    opener.back() = "/usr/bin/gio";  // in place of the program
    opener.insert(opener.end(), {"open", linked});
    const ProcessResult opened = ProcessRunner::run("/usr/bin/env", opener, std::nullopt, 60.0);
    EXPECT_EQ(opened.status, 0) << opened.output;

    // A termination signal quits as the application's Quit does: the open item is locked first.
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the link's start hands it over
    ASSERT_EQ(::kill(application->pid(), SIGTERM), 0);
    const std::string log = application->readAll();
    EXPECT_EQ(application->wait(), 0);
    EXPECT_NE(log.find("Took " + linked + " from an unidentified sender"), std::string::npos)
        << log;
    ProcessResult status = tessela({"status"});
    EXPECT_NE(status.output.find("  locked\n"), std::string::npos) << status.output;

    // tessela quit: the running application quits; with none running there is nothing to do.
    application = started();
    const auto quitting = [&] {
        const std::string runtime = "XDG_RUNTIME_DIR=" + (temp / "run").string();
        std::vector<std::string> asking{runtime};
        const std::vector<std::string> rest = environment({"quit"});
        asking.insert(asking.end(), rest.begin(), rest.end());
        return ProcessRunner::run("/usr/bin/env", asking, std::nullopt, 120.0);
    };
    ProcessResult quit = quitting();
    EXPECT_EQ(quit.status, 0) << quit.output;
    EXPECT_EQ(quit.output, "Tessela has quit.\n");
    EXPECT_EQ(application->wait(), 0);
    quit = quitting();
    EXPECT_EQ(quit.output, "Tessela is not running.\n");
}

TEST_F(CommandLineTest, MistakesAreToldBeforeAnyPasswordIsAsked) {
    // Standard input holds no password: reaching the prompt would fail differently.
    EXPECT_EQ(tessela({"lock", (home / "Docs/Typo").string()}).output,
              "That item could not be found.\n");
    EXPECT_EQ(tessela({"unlock", (home / "Docs/Sample").string()}).output,
              "This is not a Tessela locked item.\n");
    EXPECT_EQ(tessela({"lock", "/"}).status, 1);
    EXPECT_EQ(tessela({"--version"}).output, "tessela 0.1.0\n");
}

TEST_F(CommandLineTest, InterruptDuringLockChangesNothing) {
    makeEndlessFile(home / "Docs/Large.bin");
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
    // Interrupted while the container was still being made, there was no mount folder yet.
    EXPECT_TRUE(!fs::exists(temp / "support/Open") ||
                namesIn(temp / "support/Open") == std::vector<std::string>{});
}

TEST_F(CommandLineTest, SecondCommandRefusesWhileTheFirstRuns) {
    makeEndlessFile(home / "Docs/Large.bin");
    const auto lock = start({"lock", "--password-stdin", (home / "Docs/Large.bin").string()});
    lock->write(std::string(secret) + "\n");
    awaitPartialImage();
    const ProcessResult second = tessela({"recover"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.output, "Another copy of Tessela is working in " +
                                 (temp / "support").string() +
                                 ". Try again when it has finished.\n");
    // The status only reads, and is told meanwhile: a records file that does not decode is
    // left for the holder of the records.
    EXPECT_EQ(tessela({"status"}).output, "No locked items.\n");
    writeFile(temp / "support/items.json", "not records");
    (void)tessela({"status"});
    EXPECT_EQ(readFile(temp / "support/items.json"), "not records");
    // Setting up the password needs only the keyring: it is not refused meanwhile.
    keyring = std::make_unique<testing::KeyringSession>();
    const ProcessResult setup = tessela({"setup", "--password-stdin"}, "first password\n");
    EXPECT_EQ(setup.status, 0) << setup.output;
    EXPECT_EQ(PasswordStore(AppPaths::defaultKeychainService).load()->password, "first password");
    ::kill(lock->pid(), SIGINT);
    (void)lock->readAll();
    (void)lock->wait();
}

TEST_F(CommandLineTest, LockedWithTheOriginalLeftHasItsOwnStatus) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root may rename in a read-only folder";
    }
    // Enough data that flushing it takes a while: the lock flushes the locked item to disk
    // before it records it and renames the original away.
    writeFile(home / "Docs/Large.bin", testing::randomBytes(40'000'000, 5));
    const auto lock = start({"lock", "--password-stdin", (home / "Docs/Large.bin").string()});
    lock->write(std::string(secret) + "\n");
    // Once the locked item is in place the folder turns read-only: the original cannot go.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!fs::exists(home / "Docs/Large.bin.tessvault") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::chmod((home / "Docs").c_str(), 0555);
    const std::string output = lock->readAll();
    const int status = lock->wait();
    ::chmod((home / "Docs").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << output;
    EXPECT_EQ(output,
              "The unlocked original is still there. Large.bin is locked, but Tessela could not "
              "remove the unlocked original. It will try again next time it opens.\n");
    EXPECT_TRUE(fs::exists(home / "Docs/Large.bin"));
    EXPECT_TRUE(fs::exists(home / "Docs/Large.bin.tessvault"));
}

TEST_F(CommandLineTest, RecordsThatCannotBeUsedAreNotAnotherCopyWorking) {
    writeFile(temp / "file", "");
    const ProcessResult result =
        ProcessRunner::run("/usr/bin/env",
                           {"TESSELA_SUPPORT_DIR=" + (temp / "file/Tessela").string(),
                            "HOME=" + home.string(), TESSELA_PROGRAM, "status"},
                           std::nullopt, 60.0);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Tessela cannot use its records in " +
                                 (temp / "file/Tessela").string() + ": Not a directory.\n");
}

// What a command works around is printed, with why, only when asked for: here the journal of
// unfinished work, which cannot be read, so recovery skips it.
TEST_F(CommandLineTest, VerboseShowsWhatWasSkippedAndWhy) {
    const fs::path journal = temp / "support" / OperationJournal::fileName;
    fs::create_directories(journal);  // opens, but cannot be read
    EXPECT_EQ(tessela({"recover"}).output, "Nothing to recover.\n");

    const ProcessResult verbose = tessela({"--verbose", "recover"});
    EXPECT_EQ(verbose.status, 0);
    EXPECT_NE(verbose.output.find("Nothing to recover.\n"), std::string::npos);
    EXPECT_NE(verbose.output.find("tessela: warning: Recovery could not read the journal, so no "
                                  "interrupted work is finished or undone now: read " +
                                  journal.string() + ": Is a directory\n"),
              std::string::npos)
        << verbose.output;
}

// Locking Docs/Secret forgets what the desktop remembers of Docs/Secret, and nothing of its
// neighbours.
TEST_F(CommandLineTest, LockForgetsRecentFilesOfTheItemOnly) {
    writeFile(home / "Docs/Secret/plan.txt", "plan");
    writeFile(home / "Docs/sibling.txt", "sibling");
    const fs::path list = home / ".local/share/recently-used.xbel";
    fs::create_directories(list.parent_path());
    const auto uri = [](const fs::path& file) { return "file://" + file.string(); };
    GBookmarkFile* recent = g_bookmark_file_new();
    for (const fs::path& file : {home / "Docs/Secret/plan.txt", home / "Docs/sibling.txt"}) {
        g_bookmark_file_set_mime_type(recent, uri(file).c_str(), "text/plain");
        g_bookmark_file_add_application(recent, uri(file).c_str(), "editor", "editor %u");
    }
    ASSERT_TRUE(g_bookmark_file_to_file(recent, list.c_str(), nullptr));
    g_bookmark_file_free(recent);

    ASSERT_EQ(tessela({"lock", "--password-stdin", (home / "Docs/Secret").string()},
                      std::string(secret) + "\n")
                  .status,
              0);
    recent = g_bookmark_file_new();
    ASSERT_TRUE(g_bookmark_file_load_from_file(recent, list.c_str(), nullptr));
    EXPECT_FALSE(g_bookmark_file_has_item(recent, uri(home / "Docs/Secret/plan.txt").c_str()));
    EXPECT_TRUE(g_bookmark_file_has_item(recent, uri(home / "Docs/sibling.txt").c_str()));
    g_bookmark_file_free(recent);
}

// Ctrl-C at the password prompt ends the command at once (no second prompt), with the
// terminal's echo back on.
TEST_F(CommandLineTest, InterruptAtThePasswordPromptCancelsAndRestoresEcho) {
    int terminal = -1;
    const std::vector<std::string> words = environment({"lock", (home / "Docs/Sample").string()});
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execv("/usr/bin/env", argv.data());
        ::_exit(127);
    }
    const auto readUntil = [&](const std::string& wanted) {
        std::string seen;
        char buffer[256];
        while (seen.find(wanted) == std::string::npos) {
            const ssize_t count = ::read(terminal, buffer, sizeof buffer);
            if (count <= 0) {
                break;
            }
            seen.append(buffer, static_cast<std::size_t>(count));
        }
        return seen;
    };
    ASSERT_NE(readUntil("Password: ").find("Password: "), std::string::npos);
    ASSERT_EQ(::write(terminal, "\x03", 1), 1);
    const std::string rest = readUntil("Nothing was changed.");
    const int slave = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
    struct termios settings {};
    const bool readable = slave >= 0 && ::tcgetattr(slave, &settings) == 0;
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(slave);
    ::close(terminal);
    EXPECT_EQ(rest.find("Type it again"), std::string::npos) << rest;
    EXPECT_NE(rest.find("Cancelled. Nothing was changed."), std::string::npos) << rest;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    ASSERT_TRUE(readable);
    EXPECT_NE(settings.c_lflag & ECHO, 0U);
    EXPECT_TRUE(fs::exists(home / "Docs/Sample/a.txt"));
}

}  // namespace
}  // namespace tessela
