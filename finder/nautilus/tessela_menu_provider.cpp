// The GNOME Files (Nautilus) extension: a menu provider whose context-menu entries for the
// selected files are FinderMenuModel's, computed from the selection and the shared state the
// application publishes. Choosing an entry hands its command URL to the tessela-finder helper,
// which delivers it to the application; the module itself never touches the items.
//
// GNOME Files loads extensions only from the system's extension folder, for every user, so the
// module shows entries only to a user who turned the integration on: their link
// $XDG_DATA_HOME/tessela/nautilus-extension must lead to this very module file (compared by
// device and inode). The helper is found beside the application, at the same place relative to
// this module as in the installed (or built) layout.
//
// GNOME Files asks for entries again only when the selection changes, so while any provider
// lives the module watches the shared state file and tells every provider when it changes: an
// item opened or locked meanwhile then gets its new entries on the next right-click. An entry
// chosen after it stopped applying, and a request that cannot be handed over, are said in a
// desktop notification: a click never does nothing silently.
//
// Everything runs on GNOME Files' main thread, and nothing thrown escapes into it. Building a
// menu reads the shared state, resolves the selected locked items' paths and stats the link;
// nothing else touches the disk, and no process is started until an entry is chosen.

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib-object.h>
// The extension header declares the module's entry points without C linkage for C++.
extern "C" {
#include <nautilus-extension.h>
}

#include "checks/lock_policy.h"
#include "commands/finder_menu_model.h"
#include "commands/tessela_command.h"
#include "engine/locked_look.h"
#include "posix/unique_fd.h"
#include "secrets/shared_state.h"
#include "text/log.h"
#include "text/utf8.h"

namespace {

using tessela::FinderMenuEntry;
using tessela::FinderMenuModel;
using tessela::LogArea;
using tessela::LogLevel;
using tessela::TesselaCommand;
using tessela::UniqueFd;

GType providerType = 0;
// This module's file, and the helper program, found once when the module is loaded.
std::optional<std::pair<dev_t, ino_t>> moduleFile;
std::string helperPath;

constexpr const char* filesKey = "tessela-files";
constexpr const char* caseKey = "tessela-case";

// The providers alive now, held weakly: GNOME Files owns them and may make and drop them. Each
// leaves this list when it is disposed; the state file is watched while the list is not empty.
std::vector<GObject*> liveProviders;
GObjectClass* providerParentClass = nullptr;
GFileMonitor* stateMonitor = nullptr;
guint pendingAnnouncement = 0;

// The link a user's enabling puts in place.
std::optional<std::filesystem::path> enablingLink() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return std::filesystem::path(data) / "tessela" / "nautilus-extension";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return std::filesystem::path(home) / ".local" / "share" / "tessela" / "nautilus-extension";
    }
    return std::nullopt;
}

bool enabledForThisUser() {
    const std::optional<std::filesystem::path> link = enablingLink();
    struct stat target {};
    return moduleFile && link && ::stat(link->c_str(), &target) == 0 &&
           target.st_dev == moduleFile->first && target.st_ino == moduleFile->second;
}

// The selected files' local paths, in GNOME Files' order; files without one are left out.
std::vector<std::filesystem::path> selectionOf(GList* files) {
    std::vector<std::filesystem::path> selection;
    for (GList* node = files; node != nullptr; node = node->next) {
        GFile* location =
            nautilus_file_info_get_location(static_cast<NautilusFileInfo*>(node->data));
        if (location == nullptr) {
            continue;
        }
        if (char* path = g_file_get_path(location)) {
            selection.emplace_back(path);
            g_free(path);
        }
        g_object_unref(location);
    }
    return selection;
}

void freeFiles(gpointer files) {
    nautilus_file_info_list_free(static_cast<GList*>(files));
}

// How the selected files are named to a person: each name as GNOME Files shows it (repaired
// where it is not UTF-8; the bytes are never used for anything else), a locked item's without
// its extension, and past two only the first with a count.
std::string shownNames(GList* files) {
    std::vector<std::string> names;
    for (GList* node = files; node != nullptr; node = node->next) {
        const std::unique_ptr<GFile, decltype(&g_object_unref)> location(
            nautilus_file_info_get_location(static_cast<NautilusFileInfo*>(node->data)),
            g_object_unref);
        const std::unique_ptr<char, decltype(&g_free)> basename(
            location ? g_file_get_basename(location.get()) : nullptr, g_free);
        if (basename) {
            std::string name = tessela::repairUtf8(basename.get());
            constexpr std::string_view locked = tessela::LockPolicy::lockedSuffix;
            if (name.size() > locked.size() && name.ends_with(locked)) {
                name.resize(name.size() - locked.size());
            }
            names.push_back(std::move(name));
        }
    }
    switch (names.size()) {
        case 0:
            return "The selected items";
        case 1:
            return names[0];
        case 2:
            return names[0] + " and " + names[1];
        default:
            return names[0] + " and " + std::to_string(names.size() - 1) + " other items";
    }
}

void notificationBusReady(GObject* /*source*/, GAsyncResult* result, gpointer data) {
    GVariant* parameters = static_cast<GVariant*>(data);
    GError* error = nullptr;
    if (GDBusConnection* bus = g_bus_get_finish(result, &error)) {
        // No reply is asked for (no callback): nothing here waits on the service.
        g_dbus_connection_call(bus, "org.freedesktop.Notifications",
                               "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                               "Notify", parameters, G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
                               -1, nullptr, nullptr, nullptr);
        g_object_unref(bus);
    } else {
        // Without a session bus the journal is the only place left to say it.
        const char* title = nullptr;
        const char* body = nullptr;
        g_variant_get_child(parameters, 3, "&s", &title);
        g_variant_get_child(parameters, 4, "&s", &body);
        g_warning("Tessela: %s. %s (%s)", title, body, error->message);
        g_error_free(error);
    }
    g_variant_unref(parameters);
}

// Posts a desktop notification (org.freedesktop.Notifications on the session bus) and returns
// at once; neither the bus nor the service is waited on. `title` and `body` are UTF-8; the body
// is escaped, since GNOME Shell reads it as markup and a file name may hold "<" or "&".
void notify(const std::string& title, const std::string& body) {
    gchar* escaped = g_markup_escape_text(body.c_str(), -1);
    GVariant* parameters = g_variant_ref_sink(g_variant_new(
        "(susssasa{sv}i)", "Tessela", 0U, "tessela", title.c_str(), escaped, nullptr, nullptr, -1));
    g_free(escaped);
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, notificationBusReady, parameters);
}

std::string entryTitle(NautilusMenuItem* item) {
    gchar* label = nullptr;
    g_object_get(item, "label", &label, nullptr);
    std::string title = label != nullptr ? label : "";
    g_free(label);
    return title;
}

// Starts `tessela-finder open --show-errors -` with the URLs on its standard input (a file in
// memory: a large selection does not fit in arguments, and nothing here waits on a pipe). A
// sentence saying what went wrong when it could not be started; none once it is.
std::optional<std::string> handToHelper(const std::vector<std::string>& urls) {
    const UniqueFd input(::memfd_create("tessela-urls", MFD_CLOEXEC));
    std::string lines;
    for (const std::string& url : urls) {
        lines += url + "\n";
    }
    if (!input ||
        ::write(input.get(), lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()) ||
        ::lseek(input.get(), 0, SEEK_SET) != 0) {
        return std::string("The request could not be held in memory: ") + g_strerror(errno) + ".";
    }
    std::string program = helperPath;
    std::string verb = "open";
    std::string option = "--show-errors";
    std::string fromInput = "-";
    char* argv[] = {program.data(), verb.data(), option.data(), fromInput.data(), nullptr};
    // Without G_SPAWN_DO_NOT_REAP_CHILD the helper is started through an intermediate child,
    // so it never becomes a zombie of GNOME Files; no other descriptor is inherited.
    GError* error = nullptr;
    if (!g_spawn_async_with_fds(nullptr, argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr,
                                input.get(), -1, -1, &error)) {
        std::string reason =
            "GNOME Files could not start " + helperPath + ": " + error->message + ".";
        g_error_free(error);
        return reason;
    }
    return std::nullopt;
}

// The chosen entry, recomputed from the same files (whose locations may have changed since) and
// the shared state as it is now. The entry of the same kind is taken, never merely the one at
// the same place: an item opened or locked meanwhile changes the list, and a click on "Lock
// Now" must never become "Remove Lock…". When that kind is no longer offered, a notification
// says so and asks for another right-click, which shows the entries that apply now.
void activated(NautilusMenuItem* item, gpointer /*unused*/) {
    try {
        auto* files = static_cast<GList*>(g_object_get_data(G_OBJECT(item), filesKey));
        const auto chosen = static_cast<TesselaCommand::Case>(
            GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), caseKey)));
        for (const FinderMenuEntry& entry : FinderMenuModel::currentEntries(selectionOf(files))) {
            if (entry.command.kind() == chosen) {
                if (const std::optional<std::string> reason =
                        handToHelper(entry.command.lineURLs())) {
                    g_warning("Tessela: %s", reason->c_str());
                    notify("\u201c" + entryTitle(item) + "\u201d could not be passed to Tessela",
                           tessela::repairUtf8(*reason));
                }
                return;
            }
        }
        const bool one = files != nullptr && files->next == nullptr;
        notify("\u201c" + entryTitle(item) + "\u201d no longer applies",
               shownNames(files) + " changed since the menu opened. Right-click " +
                   (one ? "it" : "them") + " again to see what you can do now.");
    } catch (const std::exception& error) {
        g_warning("Tessela: %s", error.what());
        try {
            notify("\u201c" + entryTitle(item) + "\u201d could not be passed to Tessela",
                   tessela::repairUtf8(error.what()));
        } catch (...) {
            // Out of memory even for the notification: the warning above is all there is.
        }
    } catch (...) {
        g_warning("Tessela: choosing an entry failed unexpectedly");
    }
}

// Tells every live provider that its entries may have changed, once per burst of changes to the
// state file (a replacement by rename arrives as several events). Each provider is held for the
// emission, since a handler may drop one.
gboolean announceItemsUpdated(gpointer /*unused*/) {
    pendingAnnouncement = 0;
    std::vector<GObject*> providers;
    try {
        providers = liveProviders;
    } catch (const std::exception&) {
        tessela::logCaught(LogLevel::warning,
                           {"Could not tell GNOME Files that the menu entries changed"},
                           LogArea::finder);
        return G_SOURCE_REMOVE;
    }
    for (GObject* provider : providers) {
        g_object_ref(provider);
    }
    for (GObject* provider : providers) {
        nautilus_menu_provider_emit_items_updated_signal(NAUTILUS_MENU_PROVIDER(provider));
        g_object_unref(provider);
    }
    return G_SOURCE_REMOVE;
}

void stateChanged(GFileMonitor* /*monitor*/, GFile* /*file*/, GFile* /*other*/,
                  GFileMonitorEvent /*event*/, gpointer /*unused*/) {
    if (pendingAnnouncement == 0) {
        pendingAnnouncement = g_idle_add(announceItemsUpdated, nullptr);
    }
}

// Watches the shared state file. Its folder may not exist yet (the application has not run since
// login): GIO's monitor then looks for the folder now and then and reports the file once the
// folder appears, and every replacement after that as it happens.
void watchState() {
    const std::optional<std::filesystem::path> url = tessela::SharedState::defaultURL();
    if (!url) {
        return;
    }
    GFile* file = g_file_new_for_path(url->c_str());
    GError* error = nullptr;
    stateMonitor = g_file_monitor_file(file, G_FILE_MONITOR_NONE, nullptr, &error);
    g_object_unref(file);
    if (stateMonitor == nullptr) {
        g_warning("Tessela: %s is not watched, menus follow it only when the selection changes: %s",
                  url->c_str(), error->message);
        g_error_free(error);
        return;
    }
    g_signal_connect(stateMonitor, "changed", G_CALLBACK(stateChanged), nullptr);
}

void stopWatching() {
    if (stateMonitor != nullptr) {
        g_file_monitor_cancel(stateMonitor);
        g_clear_object(&stateMonitor);
    }
    if (pendingAnnouncement != 0) {
        g_source_remove(pendingAnnouncement);
        pendingAnnouncement = 0;
    }
}

void providerDisposed(gpointer /*unused*/, GObject* provider) {
    liveProviders.erase(std::remove(liveProviders.begin(), liveProviders.end(), provider),
                        liveProviders.end());
    if (liveProviders.empty()) {
        stopWatching();
    }
}

void providerConstructed(GObject* provider) {
    providerParentClass->constructed(provider);
    try {
        liveProviders.push_back(provider);
    } catch (const std::exception&) {
        tessela::logCaught(LogLevel::warning,
                           {"A menu of GNOME Files will not follow what opens and closes"},
                           LogArea::finder);
        return;  // this one is never told of changes; its entries still follow the selection
    }
    g_object_weak_ref(provider, providerDisposed, nullptr);
    if (stateMonitor == nullptr) {
        watchState();
    }
}

void initialiseProviderClass(gpointer typeClass, gpointer /*unused*/) {
    providerParentClass = G_OBJECT_CLASS(g_type_class_peek_parent(typeClass));
    G_OBJECT_CLASS(typeClass)->constructed = providerConstructed;
}

GList* fileItems(NautilusMenuProvider* /*provider*/, GList* files) {
    if (files == nullptr || !enabledForThisUser()) {
        return nullptr;
    }
    std::vector<FinderMenuEntry> entries;
    try {
        entries = FinderMenuModel::currentEntries(selectionOf(files));
    } catch (const std::exception& error) {
        g_warning("Tessela: %s", error.what());
        return nullptr;  // nothing may escape into GNOME Files
    } catch (...) {
        tessela::logCaught(LogLevel::warning, {"Could not work out the menu entries"},
                           LogArea::finder);
        return nullptr;
    }
    GList* items = nullptr;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const std::string name = "TesselaMenuProvider::entry" + std::to_string(index);
        NautilusMenuItem* item =
            nautilus_menu_item_new(name.c_str(), entries[index].title.c_str(), nullptr,
                                   tessela::LockedLook::lockedIconName);
        g_object_set_data_full(G_OBJECT(item), filesKey, nautilus_file_info_list_copy(files),
                               freeFiles);
        g_object_set_data(G_OBJECT(item), caseKey,
                          GUINT_TO_POINTER(static_cast<guint>(entries[index].command.kind())));
        g_signal_connect(item, "activate", G_CALLBACK(activated), nullptr);
        items = g_list_append(items, item);
    }
    return items;
}

GList* backgroundItems(NautilusMenuProvider* /*provider*/, NautilusFileInfo* /*folder*/) {
    return nullptr;
}

void initialiseMenuProvider(gpointer interface, gpointer /*unused*/) {
    auto* provider = static_cast<NautilusMenuProviderInterface*>(interface);
    provider->get_file_items = fileItems;
    provider->get_background_items = backgroundItems;
}

// The log's lines go to GLib's log, as the module's own warnings do, and from there to the
// journal. Info and debug lines show only when asked for (G_MESSAGES_DEBUG=all).
void logThroughGLib(const tessela::LogLine& line) {
    switch (line.level) {
        case LogLevel::debug:
            g_debug("Tessela: %s", line.text.c_str());
            break;
        case LogLevel::info:
            g_info("Tessela: %s", line.text.c_str());
            break;
        case LogLevel::warning:
            g_warning("Tessela: %s", line.text.c_str());
            break;
    }
}

// Where this module's file is, through the dynamic loader.
std::optional<std::filesystem::path> modulePath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&initialiseMenuProvider), &info) == 0 ||
        info.dli_fname == nullptr) {
        return std::nullopt;
    }
    return std::filesystem::path(info.dli_fname);
}

}  // namespace

extern "C" {

void nautilus_module_initialize(GTypeModule* module) {
    tessela::setLogSink(logThroughGLib);
    static const GTypeInfo typeInfo = {sizeof(GObjectClass),
                                       nullptr,
                                       nullptr,
                                       initialiseProviderClass,
                                       nullptr,
                                       nullptr,
                                       sizeof(GObject),
                                       0,
                                       nullptr,
                                       nullptr};
    providerType = g_type_module_register_type(module, G_TYPE_OBJECT, "TesselaMenuProvider",
                                               &typeInfo, GTypeFlags(0));
    static const GInterfaceInfo menuProvider = {initialiseMenuProvider, nullptr, nullptr};
    g_type_module_add_interface(module, providerType, NAUTILUS_TYPE_MENU_PROVIDER, &menuProvider);

    if (const std::optional<std::filesystem::path> path = modulePath()) {
        struct stat file {};
        if (::stat(path->c_str(), &file) == 0) {
            moduleFile = std::pair(file.st_dev, file.st_ino);
        }
        std::error_code error;
        const std::filesystem::path resolved = std::filesystem::canonical(*path, error);
        helperPath = ((error ? std::filesystem::absolute(*path) : resolved).parent_path() /
                      TESSELA_HELPER_FROM_MODULE)
                         .lexically_normal()
                         .string();
    }
}

void nautilus_module_shutdown() {}

void nautilus_module_list_types(const GType** types, int* count) {
    static GType list[1];
    list[0] = providerType;
    *types = list;
    *count = 1;
}

}  // extern "C"
