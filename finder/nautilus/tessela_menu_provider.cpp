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
// Everything runs on GNOME Files' main thread, and nothing thrown escapes into it. Building a
// menu reads the shared state, resolves the selected locked items' paths and stats the link;
// nothing else touches the disk, and no process is started until an entry is chosen.

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib-object.h>
// The extension header declares the module's entry points without C linkage for C++.
extern "C" {
#include <nautilus-extension.h>
}

#include "commands/finder_menu_model.h"
#include "commands/tessela_command.h"
#include "engine/hidden_extensions.h"
#include "posix/unique_fd.h"

namespace {

using tessela::FinderMenuEntry;
using tessela::FinderMenuModel;
using tessela::TesselaCommand;
using tessela::UniqueFd;

GType providerType = 0;
// This module's file, and the helper program, found once when the module is loaded.
std::optional<std::pair<dev_t, ino_t>> moduleFile;
std::string helperPath;

constexpr const char* filesKey = "tessela-files";
constexpr const char* caseKey = "tessela-case";

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

// Starts `tessela-finder open --show-errors -` with the URLs on its standard input (a file in
// memory: a large selection does not fit in arguments, and nothing here waits on a pipe).
void handToHelper(const std::vector<std::string>& urls) {
    const UniqueFd input(::memfd_create("tessela-urls", MFD_CLOEXEC));
    std::string lines;
    for (const std::string& url : urls) {
        lines += url + "\n";
    }
    if (!input ||
        ::write(input.get(), lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()) ||
        ::lseek(input.get(), 0, SEEK_SET) != 0) {
        g_warning("Tessela: could not pass the request to %s", helperPath.c_str());
        return;
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
        g_warning("Tessela: could not start %s: %s", helperPath.c_str(), error->message);
        g_error_free(error);
    }
}

// The chosen entry, recomputed from the same files (whose locations may have changed since) and
// the shared state as it is now. The entry of the same kind is taken, never merely the one at
// the same place: an item opened or locked meanwhile changes the list, and a click on "Lock
// Now" must never become "Remove Lock…". When that kind is no longer offered, nothing happens.
void activated(NautilusMenuItem* item, gpointer /*unused*/) {
    try {
        auto* files = static_cast<GList*>(g_object_get_data(G_OBJECT(item), filesKey));
        const auto chosen = static_cast<TesselaCommand::Case>(
            GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), caseKey)));
        for (const FinderMenuEntry& entry : FinderMenuModel::currentEntries(selectionOf(files))) {
            if (entry.command.kind() == chosen) {
                handToHelper(entry.command.lineURLs());
                return;
            }
        }
    } catch (const std::exception& error) {
        g_warning("Tessela: %s", error.what());
    }
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
    }
    GList* items = nullptr;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const std::string name = "TesselaMenuProvider::entry" + std::to_string(index);
        NautilusMenuItem* item =
            nautilus_menu_item_new(name.c_str(), entries[index].title.c_str(), nullptr,
                                   tessela::HiddenExtensions::lockedIconName);
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
    static const GTypeInfo typeInfo = {
        sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr,
        sizeof(GObject),      0,       nullptr, nullptr};
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
