#include "commands/finder_menu_model.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "checks/lock_policy.h"
#include "files/paths.h"
#include "secrets/shared_state.h"

namespace tessela {

namespace {

constexpr std::string_view lockedExtension = LockPolicy::lockedSuffix;

// Whether the last component of `path` has exactly the extension ".tessvault" (as
// path::extension() tells it: a name that is only ".tessvault" has none), without building a
// path object for each of a large selection.
bool isLockedName(std::string_view path) {
    const std::string_view name = path.substr(path.rfind('/') + 1);
    return name.size() > lockedExtension.size() && name.ends_with(lockedExtension);
}

// The model with the open items as a pointer: null when nothing usable was published.
std::vector<FinderMenuEntry> entriesFor(const std::vector<std::filesystem::path>& selection,
                                        const std::set<std::string>* unlockedPaths) {
    using Model = FinderMenuModel;
    std::vector<std::filesystem::path> locked;
    std::vector<std::filesystem::path> ordinary;
    ordinary.reserve(selection.size());
    for (const std::filesystem::path& item : selection) {
        (isLockedName(item.native()) ? locked : ordinary).push_back(item);
    }
    if (!ordinary.empty()) {
        if (!locked.empty()) {
            return {};
        }
        return {{Model::lockTitle, TesselaCommand::lock(std::move(ordinary))}};
    }
    const auto isOpen = [&](const std::filesystem::path& item) {
        return unlockedPaths->contains(canonicalPath(item).string());
    };
    if (locked.size() == 1) {
        const std::filesystem::path& item = locked.front();
        if (!unlockedPaths) {
            return {{Model::unlockTitle, TesselaCommand::unlock(item)},
                    {Model::lockNowTitle, TesselaCommand::lockNow({item})},
                    {Model::removeLockTitle, TesselaCommand::removeLock(item)}};
        }
        if (isOpen(item)) {
            return {{Model::lockNowTitle, TesselaCommand::lockNow({item})},
                    {Model::revealTitle, TesselaCommand::reveal(item)}};
        }
        return {{Model::unlockTitle, TesselaCommand::unlock(item)},
                {Model::removeLockTitle, TesselaCommand::removeLock(item)}};
    }
    if (locked.empty()) {
        return {};
    }
    if (!unlockedPaths) {
        return {{Model::lockNowTitle, TesselaCommand::lockNow(locked)}};
    }
    std::vector<std::filesystem::path> open;
    for (const std::filesystem::path& item : locked) {
        if (isOpen(item)) {
            open.push_back(item);
        }
    }
    if (open.empty()) {
        return {};
    }
    return {{Model::lockNowTitle, TesselaCommand::lockNow(open)}};
}

}  // namespace

std::vector<FinderMenuEntry> FinderMenuModel::entries(
    const std::vector<std::filesystem::path>& selection,
    const std::optional<std::set<std::string>>& unlockedPaths) {
    return entriesFor(selection, unlockedPaths ? &*unlockedPaths : nullptr);
}

namespace {

// The open items' paths the application published during this boot; null when nothing usable
// was published. Read again only when its file changed. The application replaces the
// file whole, so a new version is a new file: another inode, or (when an inode is reused) other
// times and size. A right-click with nothing new published then costs one stat; SharedState's
// own read decides what may be read at all.
std::shared_ptr<const std::set<std::string>> published() {
    struct Version {
        dev_t device;
        ino_t inode;
        off_t size;
        timespec modified;
        timespec changed;
        bool operator==(const Version& other) const {
            return device == other.device && inode == other.inode && size == other.size &&
                   modified.tv_sec == other.modified.tv_sec &&
                   modified.tv_nsec == other.modified.tv_nsec &&
                   changed.tv_sec == other.changed.tv_sec &&
                   changed.tv_nsec == other.changed.tv_nsec;
        }
    };
    static std::mutex guard;
    static std::optional<std::filesystem::path> cachedURL;
    static std::optional<Version> cachedVersion;
    static std::shared_ptr<const std::set<std::string>> cached;
    static std::optional<SharedState> cachedState;  // for its writer

    const std::optional<std::filesystem::path> url = SharedState::defaultURL();
    if (!url) {
        return {};
    }
    struct stat status {};
    if (::lstat(url->c_str(), &status) != 0) {
        return {};
    }
    const Version version{status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                          status.st_ctim};
    const std::lock_guard lock(guard);
    if (cachedURL != url || cachedVersion != version) {
        cached = nullptr;
        cachedState.reset();
        // A state written before the last restart says nothing about what is open now. The
        // boot id is read once: a process never outlives the boot it started in.
        static const std::string bootId = SharedState::currentBootId();
        if (std::optional<SharedState> state = SharedState::read(url)) {
            if (auto paths = state->unlockedSet(SharedState::currentBootTime(), bootId)) {
                cached = std::make_shared<const std::set<std::string>>(std::move(*paths));
                state->unlockedPaths.clear();
                cachedState = std::move(state);
            }
        }
        cachedURL = url;
        cachedVersion = version;
    }
    // Nor does one whose writer has ended without writing it again (an application killed):
    // asked at every menu, since that changes nothing in the file.
    if (cachedState && cachedState->writerIsGone()) {
        return {};
    }
    return cached;
}

}  // namespace

std::vector<FinderMenuEntry> FinderMenuModel::currentEntries(
    const std::vector<std::filesystem::path>& selection) {
    if (selection.empty()) {
        return {};
    }
    // Only a selection of locked items alone asks what is open.
    const bool allLocked = std::all_of(selection.begin(), selection.end(), [](const auto& item) {
        return isLockedName(item.native());
    });
    const std::shared_ptr<const std::set<std::string>> open = allLocked ? published() : nullptr;
    return entriesFor(selection, open.get());
}

}  // namespace tessela
