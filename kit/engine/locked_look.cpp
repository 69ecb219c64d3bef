#include "engine/locked_look.h"

#include <gio/gio.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string_view>

#include "engine/password_migration.h"
#include "files/file_io.h"
#include "files/paths.h"
#include "text/log.h"
#include "text/utf8.h"

namespace tessela {

namespace {

using FileHandle = std::unique_ptr<GFile, decltype(&g_object_unref)>;

FileHandle fileAt(const std::filesystem::path& path) {
    return {g_file_new_for_path(path.c_str()), &g_object_unref};
}

// Whether this desktop keeps file metadata at all: GIO does only through GVfs's metadata service;
// its plain local implementation keeps none, and no file manager there could show the look.
bool metadataKept() {
    return std::string_view(G_OBJECT_TYPE_NAME(g_vfs_get_default())) != "GLocalVfs";
}

}  // namespace

bool LockedLook::set(const std::filesystem::path& locked) {
    if (!metadataKept()) {
        return true;  // nothing shows the look here: nothing to do
    }
    GError* error = nullptr;
    const bool done =
        g_file_set_attribute_string(fileAt(locked).get(), attribute, lockedIconName,
                                    G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, &error) != FALSE;
    if (!done) {
        logMessage(LogLevel::warning, {"Could not give ", locked.filename(), " its locked look: ",
                                       error != nullptr ? error->message : "unknown error"});
    }
    if (error != nullptr) {
        g_error_free(error);
    }
    return done;
}

void LockedLook::writeGuide(FileSystem& fileSystem, const Folder& bundle, const std::string& name) {
    const std::string shown = repairUtf8(name);
    const std::string text =
        "This folder is " + shown +
        ", locked by Tessela. What you see beside this note is its encrypted form, which no "
        "program can read.\n\n"
        "To open it, go back to the folder that holds it, right-click it and choose \"Unlock "
        "with Tessela\", or open it from Tessela's window. In a terminal:\n\n"
        "    tessela unlock PATH-OF-THIS-FOLDER\n\n"
        "Do not change or delete anything in here: that could make the item unreadable.\n";
    try {
        const UniqueFd file = fileSystem.createFile(bundle, guideName, 0644);
        posix::writeAll(file.get(), text, bundle.path() / guideName);
    } catch (const std::system_error& error) {
        if (error.code() != std::errc::file_exists) {
            logCaught(LogLevel::info, {"Could not put the note on opening it in ", bundle.path()});
        }
    } catch (const std::exception&) {
        logCaught(LogLevel::info, {"Could not put the note on opening it in ", bundle.path()});
    }
}

void LockedLook::addGuideIfMissing(const std::filesystem::path& locked,
                                   const std::string& name) const noexcept {
    try {
        const Folder bundle = Folder::open(locked.parent_path()).openFolder(locked.filename());
        // Only into this user's own container: a folder someone else put at the item's path
        // is left untouched.
        if (bundle.status().st_uid != ::geteuid() || !bundle.contains("gocryptfs.conf") ||
            bundle.contains(guideName)) {
            return;
        }
        writeGuide(*e_.fileSystem, bundle, name);
    } catch (const std::exception&) {
        logCaught(LogLevel::info, {"Could not look for the note on opening it in ", locked});
    }
}

std::optional<bool> LockedLook::isSet(const std::filesystem::path& locked) {
    if (!metadataKept()) {
        return std::nullopt;
    }
    GError* error = nullptr;
    GFileInfo* info = g_file_query_info(fileAt(locked).get(), attribute,
                                        G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, &error);
    if (info == nullptr) {
        g_error_free(error);
        return std::nullopt;
    }
    std::optional<bool> result;
    if (g_file_info_has_attribute(info, attribute)) {
        const char* value = g_file_info_get_attribute_string(info, attribute);
        result = value != nullptr && std::string_view(value) == lockedIconName;
    }
    g_object_unref(info);
    return result;
}

void LockedLook::setIfNeeded(const std::filesystem::path& locked) {
    if (isSet(locked) != true) {
        (void)set(locked);
    }
}

bool LockedLook::repair() const noexcept {
    try {
        const std::vector<LockedItem> records = e_.index.load();
        // No item is renamed while work on it is in flight (recovery finds it by the path its
        // journal entry names), nor when the journal cannot be read and that is unknown, nor
        // while it is open (the mount's daemon finds its encrypted folder by path).
        std::set<Uuid> inFlight;
        bool renaming = true;
        try {
            for (const JournalEntry& entry : e_.journal.load()) {
                inFlight.insert(entry.id);
            }
        } catch (const std::exception&) {
            logCaught(LogLevel::info, {"Could not read the journal, so no locked item is renamed "
                                       "to its current form now"});
            renaming = false;
        }
        std::set<std::string> attached;
        try {
            for (const AttachedImage& image : e_.tool.attachedImages()) {
                attached.insert(realPath(image.imagePath));
            }
        } catch (const std::exception&) {
            logCaught(LogLevel::info, {"Could not list the mounted volumes, so no locked item is "
                                       "renamed to its current form now"});
            renaming = false;
        }
        const PasswordMigration migration(e_);
        bool renamed = false;
        for (const LockedItem& record : records) {
            std::optional<std::filesystem::path> url = ItemIndex::locate(record);
            if (!url) {
                continue;
            }
            if (renaming && !inFlight.contains(record.id) && !attached.contains(realPath(*url))) {
                const std::filesystem::path moved = migration.migrateNameIfNeeded(*url, record);
                renamed = renamed || moved != *url;
                url = moved;
                addGuideIfMissing(*url, record.displayName);
            }
            setIfNeeded(*url);
        }
        return renamed;
    } catch (const std::exception&) {
        logCaught(LogLevel::warning, {"Could not give every locked item its look"});
        return false;
    }
}

}  // namespace tessela
