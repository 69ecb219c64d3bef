#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "commands/finder_menu_model.h"
#include "secrets/shared_state.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using Model = FinderMenuModel;
using Entries = std::vector<FinderMenuEntry>;

TEST(FinderMenuModelTest, OrdinaryMixedAndEmptySelections) {
    const fs::path report = "/home/me/Report.pdf";
    const fs::path archive = "/home/me/Archive.TESSVAULT";  // the extension test is exact
    const fs::path taxes = "/home/me/Taxes.tessvault";
    EXPECT_EQ(Model::entries({report, archive}, std::set<std::string>{}),
              (Entries{{"Lock with Tessela", TesselaCommand::lock({report, archive})}}));
    EXPECT_EQ(Model::entries({report, taxes}, std::nullopt), Entries{});
    EXPECT_EQ(Model::entries({}, std::nullopt), Entries{});
    EXPECT_EQ(std::string(Model::removeLockTitle), "Remove Lock\xE2\x80\xA6");
}

TEST(FinderMenuModelTest, OneLockedItemOpenClosedOrUnknown) {
    const testing::TempFolder temp;
    const fs::path taxes = temp / "Docs/Taxes.tessvault";
    fs::create_directories(taxes);
    // Reached through a link to its folder, it is still the open item.
    fs::create_directory_symlink(temp / "Docs", temp / "Shortcut");
    const fs::path throughLink = temp / "Shortcut/Taxes.tessvault";
    const std::set<std::string> open = {fs::canonical(taxes).string()};

    EXPECT_EQ(Model::entries({throughLink}, open),
              (Entries{{"Lock Now", TesselaCommand::lockNow({throughLink})},
                       {"Show Unlocked Files", TesselaCommand::reveal(throughLink)}}));
    EXPECT_EQ(Model::entries({taxes}, std::set<std::string>{}),
              (Entries{{"Unlock with Tessela", TesselaCommand::unlock(taxes)},
                       {"Remove Lock\u2026", TesselaCommand::removeLock(taxes)}}));
    EXPECT_EQ(Model::entries({taxes}, std::nullopt),
              (Entries{{"Unlock with Tessela", TesselaCommand::unlock(taxes)},
                       {"Lock Now", TesselaCommand::lockNow({taxes})},
                       {"Remove Lock\u2026", TesselaCommand::removeLock(taxes)}}));
}

TEST(FinderMenuModelTest, SeveralLockedItemsLockOnlyTheOpenOnes) {
    const fs::path first = "/home/me/A.tessvault";
    const fs::path second = "/home/me/B.tessvault";
    const fs::path third = "/home/me/C.tessvault";
    EXPECT_EQ(Model::entries({first, second, third}, std::set<std::string>{second.string()}),
              (Entries{{"Lock Now", TesselaCommand::lockNow({second})}}));
    EXPECT_EQ(Model::entries({first, second}, std::set<std::string>{}), Entries{});
    EXPECT_EQ(Model::entries({first, second}, std::nullopt),
              (Entries{{"Lock Now", TesselaCommand::lockNow({first, second})}}));
}

// What an application published is trusted only while it runs: killed, it can no longer follow
// a change (a relock from the command line), and the menu offers the fuller set again, although
// the file it left did not change.
TEST(FinderMenuModelTest, AStateWhoseWriterIsGoneIsNotTrusted) {
    const testing::TempFolder temp;
    const fs::path taxes = temp / "Docs/Taxes.tessvault";
    fs::create_directories(taxes);
    fs::create_directories(temp / "run");
    fs::permissions(temp / "run", fs::perms::owner_all);
    ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", (temp / "run").c_str(), 1), 0);
    const fs::path state = *SharedState::defaultURL();
    const pid_t writer = ::fork();
    ASSERT_NE(writer, -1);
    if (writer == 0) {
        SharedState::now({fs::canonical(taxes).string()}, SharedState::currentProcess())
            .write(state);
        ::pause();
        ::_exit(0);
    }
    for (int waited = 0; waited < 200 && !fs::exists(state); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(Model::currentEntries({taxes}),
              (Entries{{"Lock Now", TesselaCommand::lockNow({taxes})},
                       {"Show Unlocked Files", TesselaCommand::reveal(taxes)}}));
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    EXPECT_EQ(Model::currentEntries({taxes}), Model::entries({taxes}, std::nullopt));

    // A snapshot that names no writer (the command line's) stays true until written again.
    SharedState::now({}, std::nullopt).write(state);
    EXPECT_EQ(Model::currentEntries({taxes}), Model::entries({taxes}, std::set<std::string>{}));
    ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace tessela
