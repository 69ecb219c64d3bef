// The GNOME Files module, loaded as GNOME Files loads it, with stand-in file objects.

#include <gio/gio.h>
#include <glib-object.h>
#include <gtest/gtest.h>
// The extension header declares the module's entry points without C linkage for C++.
extern "C" {
#include <nautilus-extension.h>
}

#include <sys/stat.h>

#include <cstdlib>

#include "commands/command_socket.h"
#include "commands/sender_check.h"
#include "commands/tessela_command.h"
#include "secrets/shared_state.h"
#include "support/nautilus_host.h"
#include "support/temp_folder.h"
#include "support/unix_socket.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;

struct ShownItem {
    std::string label;
    std::string icon;
    friend bool operator==(const ShownItem&, const ShownItem&) = default;
};

class NautilusModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(temp / "run/tessela");
        ::setenv("XDG_RUNTIME_DIR", (temp / "run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (temp / "data").c_str(), 1);
        fs::create_directories(temp / "data/tessela");
        fs::create_symlink(NAUTILUS_MODULE, temp / "data/tessela/nautilus-extension");
        fs::create_directories(temp / "Docs/Taxes.tessvault");
        fs::create_directories(temp / "Docs/Bills.tessvault");
        testing::writeFile(temp / "Docs/Report.pdf", "report");

        const GType type = testing::loadNautilusModule(NAUTILUS_MODULE);
        ASSERT_NE(type, G_TYPE_INVALID);
        provider = NAUTILUS_MENU_PROVIDER(g_object_new(type, nullptr));
    }

    void TearDown() override {
        g_list_free_full(items, g_object_unref);
        g_list_free_full(files, g_object_unref);
        if (provider != nullptr) {
            g_object_unref(provider);
        }
    }

    void select(const std::vector<fs::path>& paths) {
        g_list_free_full(files, g_object_unref);
        files = nullptr;
        for (const fs::path& path : paths) {
            files = g_list_append(files, testing::newFakeFileInfo(path.string()));
        }
    }

    void publishOpen(const std::vector<fs::path>& open, std::int64_t bootTime) {
        SharedState state{{}, bootTime};
        for (const fs::path& item : open) {
            state.unlockedPaths.push_back(fs::canonical(item).string());
        }
        state.write(temp / "run/tessela/state.json");
    }

    std::vector<ShownItem> menu() {
        g_list_free_full(items, g_object_unref);
        items = nautilus_menu_provider_get_file_items(provider, files);
        std::vector<ShownItem> shown;
        for (GList* node = items; node != nullptr; node = node->next) {
            gchar* label = nullptr;
            gchar* icon = nullptr;
            g_object_get(node->data, "label", &label, "icon", &icon, nullptr);
            shown.push_back({label, icon != nullptr ? icon : ""});
            g_free(label);
            g_free(icon);
        }
        return shown;
    }

    void choose(guint index) {
        nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(g_list_nth_data(items, index)));
    }

    testing::TempFolder temp;
    NautilusMenuProvider* provider = nullptr;
    GList* files = nullptr;
    GList* items = nullptr;
    const std::int64_t boot = SharedState::currentBootTime();
};

std::vector<ShownItem> withLock(const std::vector<std::string>& labels) {
    std::vector<ShownItem> shown;
    for (const std::string& label : labels) {
        shown.push_back({label, "tessela-locked"});
    }
    return shown;
}

TEST_F(NautilusModuleTest, EntriesFollowTheSelectionAndThePublishedState) {
    const fs::path report = temp / "Docs/Report.pdf";
    const fs::path taxes = temp / "Docs/Taxes.tessvault";
    const fs::path bills = temp / "Docs/Bills.tessvault";
    publishOpen({taxes}, boot);

    select({report});
    EXPECT_EQ(menu(), withLock({"Lock with Tessela"}));
    select({taxes});
    EXPECT_EQ(menu(), withLock({"Lock Now", "Show Unlocked Files"}));
    select({bills});
    EXPECT_EQ(menu(), withLock({"Unlock with Tessela", "Remove Lock\u2026"}));
    select({report, bills});
    EXPECT_EQ(menu(), std::vector<ShownItem>{});
    select({});
    EXPECT_EQ(menu(), std::vector<ShownItem>{});
    // A remote file has no local path and is left out, so this is not a mixed selection.
    select({"", bills});
    EXPECT_EQ(menu(), withLock({"Unlock with Tessela", "Remove Lock\u2026"}));
    EXPECT_EQ(nautilus_menu_provider_get_background_items(provider, nullptr), nullptr);

    // Published before the last restart: nothing is known to be open.
    publishOpen({taxes}, boot - 60);
    select({taxes});
    EXPECT_EQ(menu(), withLock({"Unlock with Tessela", "Lock Now", "Remove Lock\u2026"}));
    fs::remove(temp / "run/tessela/state.json");
    EXPECT_EQ(menu().size(), 3U);

    // Only this user's own regular file counts: a FIFO is never waited on, a link never
    // followed (here to a state that says the item is open).
    ASSERT_EQ(::mkfifo((temp / "run/tessela/state.json").c_str(), 0600), 0);
    EXPECT_EQ(menu().size(), 3U);
    fs::remove(temp / "run/tessela/state.json");
    SharedState{{fs::canonical(taxes).string()}, boot}.write(temp / "elsewhere/state.json");
    fs::create_symlink(temp / "elsewhere/state.json", temp / "run/tessela/state.json");
    EXPECT_EQ(menu().size(), 3U);
}

TEST_F(NautilusModuleTest, NothingIsShownUnlessThisUserTurnedTheModuleOn) {
    select({temp / "Docs/Report.pdf"});
    ASSERT_EQ(menu().size(), 1U);
    fs::remove(temp / "data/tessela/nautilus-extension");
    EXPECT_EQ(menu(), std::vector<ShownItem>{});
    // A link to another copy of the module is not this installation's.
    fs::copy_file(NAUTILUS_MODULE, temp / "copy.so");
    fs::create_symlink(temp / "copy.so", temp / "data/tessela/nautilus-extension");
    EXPECT_EQ(menu(), std::vector<ShownItem>{});
}

TEST_F(NautilusModuleTest, ChoosingAnEntryTakesTheSameKindNowAndTheHelperDeliversIt) {
    const fs::path taxes = temp / "Docs/Taxes.tessvault";
    const fs::path bills = temp / "Docs/Bills.tessvault";
    const fs::path report = temp / "Docs/Report.pdf";
    const UniqueFd listener = testing::listeningSocket(temp / "run/tessela/command.sock");
    const SenderCheck::Programs programs{FINDER_HELPER, std::nullopt};
    publishOpen({}, boot);
    select({taxes});
    ASSERT_EQ(menu(), withLock({"Unlock with Tessela", "Remove Lock\u2026"}));

    // Opened while the menu was up: neither kind is offered now, and neither click becomes
    // what stands at its place ("Show Unlocked Files").
    publishOpen({taxes}, boot);
    choose(1);
    choose(0);
    EXPECT_FALSE(testing::acceptRequest(listener.get(), programs, std::chrono::milliseconds(700)));

    // The file is now another, closed item: the same kind acts on where it is now.
    testing::setFakeFileInfoPath(files->data, bills.string());
    choose(1);
    const auto removal = testing::acceptRequest(listener.get(), programs, std::chrono::seconds(10));
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->sender, SenderCheck::finderIdentifier);
    EXPECT_EQ(removal->bytes, TesselaCommand::removeLock(bills).url() + "\n");

    select({report});
    ASSERT_EQ(menu(), withLock({"Lock with Tessela"}));
    choose(0);
    const auto lock = testing::acceptRequest(listener.get(), programs, std::chrono::seconds(10));
    ASSERT_TRUE(lock);
    EXPECT_EQ(lock->bytes, TesselaCommand::lock({report}).url() + "\n");
}

}  // namespace
}  // namespace tessela
