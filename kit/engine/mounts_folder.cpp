#include "engine/mounts_folder.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "files/item_facts.h"
#include "posix/system_error.h"
#include "records/uuid.h"
#include "text/log.h"
#include "text/utf8.h"

namespace tessela {

namespace {

// The word a shown folder takes when the item's own name cannot be used.
constexpr std::string_view fallbackName = "Tessela item";

// Whether `name` in `folder` is a folder itself, not a link to one.
bool isFolder(const Folder& folder, const std::string& name) noexcept {
    struct stat info {};
    return ::fstatat(folder.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(info.st_mode);
}

// The target of the link `name` in `folder`, read without following it; none when `name` is
// not a link (readlinkat fails with EINVAL on anything else).
std::optional<std::string> linkTarget(const Folder& folder, const std::string& name) {
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlinkat(folder.fd(), name.c_str(), target.data(), target.size());
    if (length < 0) {
        return std::nullopt;
    }
    // A target that fills the buffer is longer than any path: it leads nowhere here.
    return static_cast<std::size_t>(length) < target.size()
               ? std::string(target.data(), static_cast<std::size_t>(length))
               : std::string();
}

// The links in `folder` with their targets, in byte order of their names; nothing followed.
std::vector<std::pair<std::string, std::string>> linksIn(const Folder& folder) {
    std::vector<std::pair<std::string, std::string>> links;
    for (const auto& entry : std::filesystem::directory_iterator(folder.descriptorPath())) {
        // The type the listing gives: a mount folder is never looked into, so a volume whose
        // daemon hangs cannot stall the listing.
        std::error_code error;
        if (!entry.is_symlink(error)) {
            continue;
        }
        const std::string name = entry.path().filename().string();
        if (std::optional<std::string> target = linkTarget(folder, name)) {
            links.emplace_back(name, std::move(*target));
        }
    }
    std::sort(links.begin(), links.end());
    return links;
}

}  // namespace

void MountsFolder::make(const std::filesystem::path& mountPoint) const {
    fileSystem_->makeFolders(root_, 0700);
    const Folder mounts = Folder::open(root_);
    fileSystem_->changeMode(mounts, 0700);
    const std::string name = mountPoint.filename().string();
    // fusermount wants the mount folder writable by the user.
    std::optional<std::system_error> failed;
    bool made = false;
    try {
        (void)fileSystem_->makeFolder(mounts, name, 0700);
        made = true;
    } catch (const std::system_error& error) {
        // A folder left there is reused; a link under the name is never mounted through.
        if (error.code() != std::errc::file_exists || !isFolder(mounts, name)) {
            failed = error;
        }
    }
    try {
        fileSystem_->changeMode(mounts, 0500);
    } catch (...) {
        // Left open, the mounts folder would let anything recreate a closed item's folder and
        // leave plain content where the encrypted volume was.
        if (made) {
            try {
                (void)fileSystem_->removeEmptyFolder(mounts, name);
            } catch (...) {
                logCaught(LogLevel::warning, {"Could not remove the mount folder ", mountPoint});
            }
        }
        throw;
    }
    if (failed) {
        throw *failed;
    }
}

bool MountsFolder::remove(const std::filesystem::path& mountPoint) const noexcept {
    try {
        std::optional<Folder> mounts;
        try {
            mounts = Folder::open(root_);
        } catch (const std::system_error& error) {
            if (error.code() == std::errc::no_such_file_or_directory) {
                return true;
            }
            logCaught(LogLevel::warning, {"Could not remove the mount folder ", mountPoint});
            return false;
        }
        try {
            fileSystem_->changeMode(*mounts, 0700);
        } catch (const std::system_error&) {
            // The removal below tells whether it mattered.
            logCaught(LogLevel::info, {"Could not make ", root_, " writable"});
        }
        const std::string name = mountPoint.filename().string();
        const bool removed =
            fileSystem_->removeEmptyFolder(*mounts, name) || !mounts->contains(name);
        if (removed) {
            // A shown folder leading nowhere would only confuse: it goes with its mount folder.
            removeShownFoldersOf(*mounts, name);
        }
        fileSystem_->changeMode(*mounts, 0500);
        return removed;
    } catch (...) {
        logCaught(LogLevel::warning, {"Could not remove the mount folder ", mountPoint});
        return false;
    }
}

std::optional<std::filesystem::path> MountsFolder::makeShownFolder(
    const std::filesystem::path& mountPoint, const std::string& name) const noexcept {
    // Only a mount folder named by its item's id gets a shown folder: the name carries the id.
    const std::optional<Uuid> id = Uuid::parse(mountPoint.filename().string());
    if (!id) {
        return std::nullopt;
    }
    try {
        const Folder mounts = Folder::open(root_);
        fileSystem_->changeMode(mounts, 0700);
        std::optional<std::filesystem::path> made;
        try {
            // Relative, so that it leads to the mount folder beside it wherever the support
            // folder is reached from.
            const std::string target = mountPoint.filename().string();
            for (const bool wholeId : {false, true}) {
                if (made) {
                    break;
                }
                const std::string shown = shownName(name, *id, wholeId);
                try {
                    fileSystem_->makeLink(mounts, shown, target);
                    made = root_ / shown;
                } catch (const std::system_error& error) {
                    if (error.code() != std::errc::file_exists) {
                        logCaught(LogLevel::warning,
                                  {"Could not make the shown folder ", root_ / shown});
                        break;
                    }
                    if (linkTarget(mounts, shown) == target) {
                        made = root_ / shown;  // already shown there
                    }
                }
            }
        } catch (...) {
            // Whatever failed, the mounts folder is closed again below.
            logCaught(LogLevel::warning,
                      {"Could not show the item open at ", mountPoint, " by its name"});
        }
        try {
            fileSystem_->changeMode(mounts, 0500);
        } catch (...) {
            // The item is open either way. The mounts folder stays writable until the engine's
            // next change there closes it; without a shown folder nothing leads into it.
            logCaught(LogLevel::warning, {"Could not close ", root_, " again"});
            if (made) {
                (void)fileSystem_->removeLink(mounts, made->filename().string());
            }
            return std::nullopt;
        }
        return made;
    } catch (...) {
        logCaught(LogLevel::warning,
                  {"Could not show the item open at ", mountPoint, " by its name"});
        return std::nullopt;
    }
}

std::map<std::string, std::filesystem::path> MountsFolder::shownFolders() const noexcept {
    std::map<std::string, std::filesystem::path> shown;
    try {
        const Folder mounts = Folder::open(root_);
        for (const auto& [name, target] : linksIn(mounts)) {
            if (Uuid::parse(target)) {
                shown.emplace(target, root_ / name);  // the first in byte order stays
            }
        }
    } catch (const std::system_error& error) {
        // Unreadable: every item is seen at its mount folder. Not there yet: nothing is shown.
        if (error.code() != std::errc::no_such_file_or_directory) {
            logCaught(LogLevel::info, {"Could not read the shown folders in ", root_});
        }
    } catch (...) {
        logCaught(LogLevel::info, {"Could not read the shown folders in ", root_});
    }
    return shown;
}

void MountsFolder::removeStaleShownFolders(const std::set<std::string>& mounted) const noexcept {
    try {
        std::optional<Folder> mounts;
        try {
            mounts = Folder::open(root_);
        } catch (const std::system_error& error) {
            if (error.code() != std::errc::no_such_file_or_directory) {
                logCaught(LogLevel::warning, {"Could not remove stale shown folders in ", root_});
            }
            return;  // no mounts folder, nothing shown
        }
        std::vector<std::string> stale;
        for (const auto& [name, target] : linksIn(*mounts)) {
            if (!mounted.contains(target)) {
                stale.push_back(name);
            }
        }
        if (stale.empty()) {
            return;
        }
        fileSystem_->changeMode(*mounts, 0700);
        try {
            for (const std::string& name : stale) {
                (void)fileSystem_->removeLink(*mounts, name);
            }
        } catch (...) {
            // What stays is tried again at the next start; the mounts folder is closed again.
            logCaught(LogLevel::warning, {"Could not remove every stale shown folder in ", root_});
        }
        fileSystem_->changeMode(*mounts, 0500);
    } catch (...) {
        logCaught(LogLevel::warning, {"Could not remove stale shown folders in ", root_});
    }
}

void MountsFolder::removeShownFoldersOf(const Folder& mounts,
                                        const std::string& folderName) const noexcept {
    try {
        for (const auto& [name, target] : linksIn(mounts)) {
            if (target == folderName) {
                (void)fileSystem_->removeLink(mounts, name);
            }
        }
    } catch (...) {
        // What stays leads nowhere; recovery removes it at the next start.
        logCaught(LogLevel::info, {"Could not remove the shown folders of ", folderName});
    }
}

std::string MountsFolder::shownName(const std::string& name, const Uuid& id, bool wholeId) {
    // Text, whatever bytes the item's name has: the file manager and the desktop's launcher
    // take the path as text, and a repaired name must still lead here.
    std::string base = repairUtf8(name);
    base.erase(0, base.find_first_not_of('.'));  // never hidden, never "." or ".."
    if (base.find('/') != std::string::npos || base.find('\0') != std::string::npos) {
        base.clear();
    }
    const std::string whole = id.string();
    const std::string suffix = " (" + (wholeId ? whole : whole.substr(0, 8)) + ")";
    base = shortenUtf8(std::move(base), NAME_MAX + 1 - suffix.size());
    return (base.empty() ? std::string(fallbackName) : base) + suffix;
}

bool MountsFolder::isMountPoint(const std::filesystem::path& url) {
    return ItemFacts::volumeRoot(url).value_or(false);
}

}  // namespace tessela
