// The GNOME Files module, loaded as GNOME Files loads it, with stand-in file objects; its
// notifications go to python3-dbusmock's notification service on a private session bus.

#include <gio/gio.h>
#include <glib-object.h>
#include <gtest/gtest.h>
// The extension header declares the module's entry points without C linkage for C++.
extern "C" {
#include <nautilus-extension.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>

#include "commands/command_socket.h"
#include "commands/sender_check.h"
#include "commands/tessela_command.h"
#include "secrets/shared_state.h"
#include "support/keyring_session.h"
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

// Runs GLib's main context until `done` holds; false when a minute passes first. The bound only
// turns a fault into a failure: what is awaited comes within milliseconds, or within the few
// seconds GIO takes to notice a folder that was missing.
bool runUntil(const std::function<bool()>& done) {
    bool expired = false;
    const guint limit = g_timeout_add_seconds(
        60,
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    while (!done() && !expired) {
        g_main_context_iteration(nullptr, TRUE);
    }
    if (!expired) {
        g_source_remove(limit);
    }
    return done();
}

void countUpdates(NautilusMenuProvider* provider, int* count) {
    g_signal_connect(
        provider, "items-updated",
        G_CALLBACK(+[](NautilusMenuProvider*, gpointer counter) { ++*static_cast<int*>(counter); }),
        count);
}

struct Notification {
    std::string application;
    std::string icon;
    std::string title;
    std::string body;
    friend bool operator==(const Notification&, const Notification&) = default;
    friend std::ostream& operator<<(std::ostream& stream, const Notification& shown) {
        return stream << shown.application << " | " << shown.icon << " | " << shown.title << " | "
                      << shown.body;
    }
};

// python3-dbusmock's notification service on a private session bus, which this process, and so
// the module, takes as its session bus while it lives. Every notification the service is sent
// lands in `received` as the main context runs. Both processes end when it goes.
class NotificationService {
  public:
    explicit NotificationService(const fs::path& folder) {
        fs::create_directories(folder);
        const std::string address = testing::startPrivateBus(folder, bus_);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        service_ = testing::startDBusMock(address, false, {"--template", "notification_daemon"},
                                          "org.freedesktop.Notifications");
        // The connection the module shares; the bus ends before this process does.
        connection_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
        if (!connection_) {
            throw std::runtime_error("no connection to the private session bus");
        }
        g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
        subscription_ = g_dbus_connection_signal_subscribe(
            connection_.get(), nullptr, "org.freedesktop.DBus.Mock", "MethodCalled",
            "/org/freedesktop/Notifications", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, record, this,
            nullptr);
    }
    ~NotificationService() {
        g_dbus_connection_signal_unsubscribe(connection_.get(), subscription_);
    }
    NotificationService(const NotificationService&) = delete;
    NotificationService& operator=(const NotificationService&) = delete;

    std::vector<Notification> received;

  private:
    // dbusmock's MethodCalled(name, args): Notify's arguments are (application, replaced id,
    // icon, title, body, actions, hints, expiry).
    static void record(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer self) {
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sav)"))) {
            return;
        }
        const gchar* method = nullptr;
        GVariant* arguments = nullptr;
        g_variant_get(parameters, "(&s@av)", &method, &arguments);
        if (std::string_view(method) == "Notify" && g_variant_n_children(arguments) == 8) {
            const auto text = [&](gsize index) {
                GVariant* boxed = g_variant_get_child_value(arguments, index);
                GVariant* value = g_variant_get_variant(boxed);
                std::string result = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)
                                         ? g_variant_get_string(value, nullptr)
                                         : "(not a string)";
                g_variant_unref(value);
                g_variant_unref(boxed);
                return result;
            };
            static_cast<NotificationService*>(self)->received.push_back(
                {text(0), text(2), text(3), text(4)});
        }
        g_variant_unref(arguments);
    }

    std::unique_ptr<testing::ChildProcess> bus_;
    std::unique_ptr<testing::ChildProcess> service_;
    std::unique_ptr<GDBusConnection, decltype(&g_object_unref)> connection_{nullptr,
                                                                            g_object_unref};
    guint subscription_ = 0;
};

class NautilusModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(temp / "run/tessela");
        ::setenv("XDG_RUNTIME_DIR", (temp / "run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (temp / "data").c_str(), 1);
        // No notification reaches the desktop of whoever runs the tests.
        ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (temp / "no-bus").string()).c_str(),
                 1);
        fs::create_directories(temp / "data/tessela");
        fs::create_symlink(NAUTILUS_MODULE, temp / "data/tessela/nautilus-extension");
        fs::create_directories(temp / "Docs/Taxes.tessvault");
        fs::create_directories(temp / "Docs/Bills.tessvault");
        testing::writeFile(temp / "Docs/Report.pdf", "report");

        type = testing::loadNautilusModule(NAUTILUS_MODULE);
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

    void publishOpen(const std::vector<fs::path>& open, std::int64_t bootTime,
                     const std::string& bootId = "") {
        SharedState state{{}, bootTime, bootId};
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
    GType type = G_TYPE_INVALID;
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

    // The boot time drifted since it was published (a virtual machine's clock was stepped),
    // but the boot is the same one.
    const std::string bootId = SharedState::currentBootId();
    publishOpen({taxes}, boot - 8, bootId);
    select({taxes});
    EXPECT_EQ(menu(), withLock({"Lock Now", "Show Unlocked Files"}));
    // Published in another boot, or before the last restart by a writer that gave only its
    // time: nothing is known to be open.
    publishOpen({taxes}, boot, "0b4c8a6e-2d1f-4a9b-8e3c-7f6a5d4c3b21");
    EXPECT_EQ(menu(), withLock({"Unlock with Tessela", "Lock Now", "Remove Lock\u2026"}));
    publishOpen({taxes}, boot - 60);
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

TEST_F(NautilusModuleTest, AnEntryThatStoppedApplyingSaysSoOnceAndDeliversNothing) {
    NotificationService notifications(temp / "bus");
    // A name that is not UTF-8, with a character that means something in markup.
    const fs::path cafe = temp / "Docs/Caf\xe9 & Co.tessvault";
    fs::create_directories(cafe);
    const fs::path report = temp / "Docs/Report.pdf";
    const UniqueFd listener = testing::listeningSocket(temp / "run/tessela/command.sock");
    publishOpen({}, boot);
    select({cafe});
    ASSERT_EQ(menu(), withLock({"Unlock with Tessela", "Remove Lock\u2026"}));

    // Opened while the menu was up: neither kind is offered now, and neither click becomes
    // what stands at its place ("Lock Now", "Show Unlocked Files").
    publishOpen({cafe}, boot);
    choose(0);
    ASSERT_TRUE(runUntil([&] { return !notifications.received.empty(); }));
    choose(1);
    ASSERT_TRUE(runUntil([&] { return notifications.received.size() >= 2; }));
    const std::string body =
        "Caf\uFFFD &amp; Co changed since the menu opened. Right-click it again to see what you "
        "can do now.";
    EXPECT_EQ(
        notifications.received,
        (std::vector<Notification>{
            {"Tessela", "tessela", "\u201cUnlock with Tessela\u201d no longer applies", body},
            {"Tessela", "tessela", "\u201cRemove Lock\u2026\u201d no longer applies", body}}));

    // Nothing went to the application: the first request it gets is the next one that applies.
    select({report});
    ASSERT_EQ(menu(), withLock({"Lock with Tessela"}));
    choose(0);
    const SenderCheck::Programs programs{FINDER_HELPER, std::nullopt};
    const auto request = testing::acceptRequest(listener.get(), programs, std::chrono::seconds(10));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->bytes, TesselaCommand::lock({report}).url() + "\n");
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(notifications.received.size(), 2U);
}

// What the module works around goes to GLib's log, never as an exception into GNOME Files: a
// state file that does not decode is read as no state, and the log says so.
TEST_F(NautilusModuleTest, AStateThatDoesNotDecodeIsSkippedAndLoggedThroughGLib) {
    const fs::path state = temp / "run/tessela/state.json";
    testing::writeFile(state, "not a state");
    std::vector<std::string> logged;
    const guint handler = g_log_set_handler(
        nullptr, G_LOG_LEVEL_MASK,
        [](const gchar*, GLogLevelFlags, const gchar* message, gpointer lines) {
            static_cast<std::vector<std::string>*>(lines)->emplace_back(message);
        },
        &logged);
    select({temp / "Docs/Bills.tessvault"});
    const std::vector<ShownItem> shown = menu();
    g_log_remove_handler(nullptr, handler);

    EXPECT_EQ(shown, withLock({"Unlock with Tessela", "Lock Now", "Remove Lock\u2026"}));
    const std::string expected = "Tessela: Could not read the shared state in " + state.string();
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [&](const std::string& line) {
        return line.starts_with(expected);
    })) << ::testing::PrintToString(logged);
}

TEST_F(NautilusModuleTest, APublishedChangeAsksEveryLiveProviderForItsEntriesAgain) {
    const fs::path bills = temp / "Docs/Bills.tessvault";
    int updates = 0;
    countUpdates(provider, &updates);
    NautilusMenuProvider* other = NAUTILUS_MENU_PROVIDER(g_object_new(type, nullptr));
    int otherUpdates = 0;
    countUpdates(other, &otherUpdates);
    select({bills});
    // Nothing published yet.
    ASSERT_EQ(menu(), withLock({"Unlock with Tessela", "Lock Now", "Remove Lock\u2026"}));

    // GNOME Files asks again only when told: the application replaced the file by a rename.
    publishOpen({bills}, boot);
    ASSERT_TRUE(runUntil([&] { return updates > 0 && otherUpdates > 0; }));
    EXPECT_EQ(menu(), withLock({"Lock Now", "Show Unlocked Files"}));

    // A provider GNOME Files let go of is not held; the one left is still told.
    gpointer otherAlive = other;
    g_object_add_weak_pointer(G_OBJECT(other), &otherAlive);
    g_object_unref(other);
    EXPECT_EQ(otherAlive, nullptr);
    updates = 0;
    publishOpen({}, boot);
    ASSERT_TRUE(runUntil([&] { return updates > 0; }));
    EXPECT_EQ(menu(), withLock({"Unlock with Tessela", "Remove Lock\u2026"}));

    // GNOME Files started before the application first ran: the state's folder is not there
    // yet when the provider is made.
    g_clear_object(&provider);
    fs::remove_all(temp / "run/tessela");
    provider = NAUTILUS_MENU_PROVIDER(g_object_new(type, nullptr));
    updates = 0;
    countUpdates(provider, &updates);
    publishOpen({bills}, boot);
    ASSERT_TRUE(runUntil([&] { return updates > 0; }));
    EXPECT_EQ(menu(), withLock({"Lock Now", "Show Unlocked Files"}));
}

}  // namespace
}  // namespace tessela
