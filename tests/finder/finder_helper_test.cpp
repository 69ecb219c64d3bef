// tessela-finder as file managers run it: a real program, a real socket, real action files.

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>

#include <cstdlib>

#include "commands/tessela_command.h"
#include "finder_popup.h"
#include "support/child_process.h"
#include "support/offscreen_application.h"
#include "support/temp_folder.h"
#include "support/unix_socket.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;

class FinderHelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(temp / "run/tessela");
        ::setenv("XDG_RUNTIME_DIR", (temp / "run").c_str(), 1);
        ::unsetenv("TESSELA_FINDER_LAUNCH");
    }

    // Runs the helper to its end: its exit status and everything it printed.
    std::pair<int, std::string> helper(const std::vector<std::string>& arguments) {
        testing::ChildProcess child(FINDER_HELPER, arguments);
        child.closeInput();
        std::string output = child.readAll();
        const int status = child.wait();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
    }

    fs::path socket() const { return temp / "run/tessela/command.sock"; }

    testing::TempFolder temp;
};

TEST_F(FinderHelperTest, EntriesPrintsEachTitleWithItsURL) {
    const fs::path file = temp / "Caf\xE9 notes.txt";  // not UTF-8: the URL keeps the byte
    testing::writeFile(file, "notes");
    fs::create_directory(temp / "Taxes.tessvault");
    EXPECT_EQ(helper({"entries", file.string()}),
              std::pair(0, "Lock with Tessela\t" + TesselaCommand::lock({file}).url() + "\n"));
    // No state published: all three entries of a locked item; "folder/" names the folder.
    const fs::path taxes = temp / "Taxes.tessvault";
    EXPECT_EQ(helper({"entries", taxes.string() + "/"}).second,
              "Unlock with Tessela\t" + TesselaCommand::unlock(taxes).url() + "\n" + "Lock Now\t" +
                  TesselaCommand::lockNow({taxes}).url() + "\n" + "Remove Lock\u2026\t" +
                  TesselaCommand::removeLock(taxes).url() + "\n");
    EXPECT_EQ(helper({"entries", file.string(), taxes.string()}), std::pair(0, std::string()));
    EXPECT_EQ(helper({"launch"}).first, 2);
}

TEST_F(FinderHelperTest, OpenDeliversOneRequestThatIdentifiesTheHelper) {
    const UniqueFd listener = testing::listeningSocket(socket());
    const std::string first = TesselaCommand::lock({"/home/me/a b"}).url();
    const std::string second = TesselaCommand::lock({"/home/me/c"}).url();
    testing::ChildProcess child(FINDER_HELPER, {"open", first, second});
    const auto request = testing::acceptRequest(listener.get(), {FINDER_HELPER, std::nullopt},
                                                std::chrono::seconds(10));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->sender, SenderCheck::finderIdentifier);
    EXPECT_EQ(request->bytes, first + "\n" + second + "\n");
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(FinderHelperTest, OpenStartsTesselaDetachedWhenNobodyListens) {
    // The stand-in for Tessela starts listening a little later, as the application does once
    // it is up, and records how it was started and what it got.
    const fs::path standIn = temp / "stand-in";
    testing::writeFile(standIn,
                       "#!/usr/bin/python3\n"
                       "import os, socket, sys, time\n"
                       "time.sleep(0.5)\n"
                       "s = socket.socket(socket.AF_UNIX)\n"
                       "s.bind(os.environ['XDG_RUNTIME_DIR'] + '/tessela/command.sock')\n"
                       "s.listen()\n"
                       "c, _ = s.accept()\n"
                       "data = b''\n"
                       "while True:\n"
                       "    chunk = c.recv(4096)\n"
                       "    if not chunk: break\n"
                       "    data += chunk\n"
                       "with open(sys.argv[0] + '.record', 'w') as out:\n"
                       "    print(os.getsid(0), file=out)\n"
                       "    print(os.readlink('/proc/self/fd/0'), file=out)\n"
                       "    print(data.decode(), end='', file=out)\n"
                       "c.sendall(b'ok\\n')\n");
    fs::permissions(standIn, fs::perms::owner_all);
    ::setenv("TESSELA_FINDER_LAUNCH", standIn.c_str(), 1);

    const std::string url = TesselaCommand::unlock("/home/me/Taxes.tessvault").url();
    EXPECT_EQ(helper({"open", url}), std::pair(0, std::string()));
    // In a session of its own, standard streams on /dev/null, and the URL delivered.
    const std::string record = testing::readFile(standIn.string() + ".record");
    const std::size_t firstLine = record.find('\n');
    EXPECT_NE(record.substr(0, firstLine), std::to_string(::getsid(0)));
    EXPECT_EQ(record.substr(firstLine + 1), "/dev/null\n" + url + "\n");
}

TEST_F(FinderHelperTest, OpenSaysClearlyWhenTesselaCannotBeStartedOrReached) {
    ::setenv("TESSELA_FINDER_LAUNCH", (temp / "missing").c_str(), 1);
    const std::string url = TesselaCommand::reveal("/home/me/Taxes.tessvault").url();
    const auto [missingStatus, missingOutput] = helper({"open", url});
    EXPECT_EQ(missingStatus, 1);
    EXPECT_NE(missingOutput.find("Tessela could not be started (" + (temp / "missing").string() +
                                 ": No such file or directory)."),
              std::string::npos)
        << missingOutput;

    // Something listens but never takes the request: refused after the helper's patience.
    {
        const UniqueFd silent = testing::listeningSocket(socket());
        const auto [silentStatus, silentOutput] = helper({"open", url});
        EXPECT_EQ(silentStatus, 1);
        EXPECT_NE(silentOutput.find("Tessela could not be reached."), std::string::npos)
            << silentOutput;
        fs::remove(socket());
    }

    // Started, but it never answers: the helper gives up after its bound.
    ::setenv("TESSELA_FINDER_LAUNCH", "/bin/true", 1);
    const auto [status, output] = helper({"open", url});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(output,
              "tessela-finder: Tessela could not be reached. Start Tessela and try again.\n");
}

TEST(FinderActionFilesTest, DolphinAndNemoRunTheHelpersMenu) {
    // Quoted, so that an installation folder with a space in its name still works.
    const std::string menu = "\"" + std::string(FINDER_HELPER) + "\" menu %F";
    const fs::path serviceMenu = fs::path(ACTIONS_DIR) / "tessela-service-menu.desktop";
    testing::ChildProcess validate("/usr/bin/desktop-file-validate", {serviceMenu.string()});
    EXPECT_EQ(validate.readAll(), "");
    EXPECT_EQ(validate.wait(), 0);

    const auto valueOf = [](const fs::path& file, const char* group, const char* key) {
        GKeyFile* keys = g_key_file_new();
        std::string value;
        GError* error = nullptr;
        if (g_key_file_load_from_file(keys, file.c_str(), G_KEY_FILE_NONE, &error)) {
            gchar* text = g_key_file_get_string(keys, group, key, nullptr);
            value = text != nullptr ? text : "";
            g_free(text);
        } else {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        g_key_file_free(keys);
        return value;
    };
    EXPECT_EQ(valueOf(serviceMenu, "Desktop Action tessela", "Exec"), menu);
    EXPECT_EQ(valueOf(serviceMenu, "Desktop Action tessela", "Name"), "Tessela");
    const fs::path nemoAction = fs::path(ACTIONS_DIR) / "tessela.nemo_action";
    EXPECT_EQ(valueOf(nemoAction, "Nemo Action", "Exec"), menu);
    EXPECT_EQ(valueOf(nemoAction, "Nemo Action", "Name"), "Tessela");
}

TEST(FinderPopupTest, ChoosingAnItemDeliversItsCommand) {
    const testing::TempFolder temp;
    ::setenv("XDG_RUNTIME_DIR", (temp / "run").c_str(), 1);
    const testing::OffscreenApplication application;

    const fs::path taxes = temp / "Taxes.tessvault";
    std::vector<std::vector<std::string>> delivered;
    finder::FinderPopup popup({taxes}, [&](const std::vector<std::string>& urls) {
        delivered.push_back(urls);
        return std::optional<std::string>();
    });
    QStringList titles;
    for (QAction* action : popup.actions()) {
        titles << action->text();
    }
    EXPECT_EQ(titles, QStringList({"Unlock with Tessela", "Lock Now", "Remove Lock\u2026"}));
    popup.actions().at(2)->trigger();
    EXPECT_EQ(delivered,
              std::vector<std::vector<std::string>>{{TesselaCommand::removeLock(taxes).url()}});
}

}  // namespace
}  // namespace tessela
