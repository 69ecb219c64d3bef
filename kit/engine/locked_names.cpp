#include "engine/locked_names.h"

#include <gio/gio.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "files/file_io.h"
#include "files/folder.h"
#include "text/utf8.h"

namespace tessela {

namespace {

// Whether the desktop knows the extension as a content type of its own.
bool isKnownExtension(const std::string& extension) {
    const std::string probe = "file." + extension;
    gboolean uncertain = FALSE;
    const std::unique_ptr<gchar, decltype(&g_free)> type(
        g_content_type_guess(probe.c_str(), nullptr, 0, &uncertain), &g_free);
    return type && !uncertain && std::string_view(type.get()) != "application/octet-stream";
}

std::string extensionOf(const std::string& name) {
    const std::string extension = std::filesystem::path(name).extension().string();
    return extension.empty() ? "" : extension.substr(1);
}

std::string stemOf(const std::string& name) {
    return std::filesystem::path(name).stem().string();
}

}  // namespace

std::string LockedNames::lockedBaseName(const std::string& name, bool isFileOrPackage) {
    if (!isFileOrPackage) {
        return name;
    }
    const std::string extension = extensionOf(name);
    if (extension.empty() || !isKnownExtension(extension)) {
        return name;
    }
    const std::string stem = stemOf(name);
    const std::string inner = extensionOf(stem);
    if (!inner.empty() && isKnownExtension(inner)) {
        return stemOf(stem);
    }
    return stem;
}

std::filesystem::path LockedNames::availableLockedURL(const std::string& base,
                                                      const std::filesystem::path& parent) {
    const std::string shortened = shortenUtf8(base, lockedBaseLimit);
    std::filesystem::path candidate = parent / (shortened + std::string(lockedExtension));
    for (int number = 2; posix::exists(candidate); ++number) {
        candidate =
            parent / (shortened + " " + std::to_string(number) + std::string(lockedExtension));
    }
    return candidate;
}

std::string LockedNames::volumeName(const std::string& name) {
    return shortenUtf8(name, volumeNameLimit);
}

std::filesystem::path LockedNames::restoreDestination(const std::string& name,
                                                      const std::filesystem::path& folder) {
    if (!posix::exists(folder / name)) {
        return folder / name;
    }
    const std::string extension = std::filesystem::path(name).extension().string();
    const std::string stem = name.substr(0, name.size() - extension.size());
    for (int number = 1;; ++number) {
        const std::string suffix =
            (number == 1 ? " (restored)" : " (restored " + std::to_string(number) + ")") +
            extension;
        const std::string candidate = shortenUtf8(stem, NAME_MAX + 1 - suffix.size()) + suffix;
        if (!posix::exists(folder / candidate)) {
            return folder / candidate;
        }
    }
}

std::string LockedNames::itemName(const std::optional<ItemMarker>& marker,
                                  const std::optional<LockedItem>& record,
                                  const std::filesystem::path& locked) {
    if (marker && ItemMarker::isSafeName(marker->name)) {
        return marker->name;
    }
    if (record && ItemMarker::isSafeName(record->displayName)) {
        return record->displayName;
    }
    // The last path component without its extension; ".tessvault" alone gives an empty stem.
    std::filesystem::path last = locked;
    while (!last.has_filename() && last.has_parent_path() && last != last.root_path()) {
        last = last.parent_path();
    }
    std::string stem = last.filename().string();
    if (const auto dot = stem.rfind('.'); dot != std::string::npos) {
        stem.erase(dot);
    }
    if (ItemMarker::isSafeName(stem)) {
        return stem;
    }
    return "Tessela item";
}

std::string LockedNames::hiddenName(const Uuid& id, std::string_view suffix) {
    return ".tessela-" + id.string() + std::string(suffix);
}

std::string LockedNames::freeHiddenNameIn(const Folder& folder, const Uuid& id,
                                          std::string_view suffix) {
    const std::string usual = hiddenName(id, suffix);
    if (!folder.contains(usual)) {
        return usual;
    }
    return unforeseeableHiddenName(id, suffix);
}

std::string LockedNames::unforeseeableHiddenName(const Uuid& id, std::string_view suffix) {
    return hiddenName(id, "." + Uuid::random().string().substr(0, 8) + std::string(suffix));
}

bool LockedNames::isHiddenNameOf(std::string_view name, const Uuid& id, std::string_view suffix) {
    const std::string prefix = ".tessela-" + id.string() + ".";
    return name == hiddenName(id, suffix) ||
           (name.size() == prefix.size() + 8 + suffix.size() && name.starts_with(prefix) &&
            name.ends_with(suffix) && name.find('/') == std::string_view::npos);
}

bool LockedNames::isOwnBundle(const std::filesystem::path& url) {
    struct stat status {};
    return ::lstat(url.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid();
}

}  // namespace tessela
