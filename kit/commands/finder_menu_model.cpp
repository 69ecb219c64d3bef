#include "commands/finder_menu_model.h"

#include "files/paths.h"

namespace tessela {

std::vector<FinderMenuEntry> FinderMenuModel::entries(
    const std::vector<std::filesystem::path>& selection,
    const std::optional<std::set<std::string>>& unlockedPaths) {
    std::vector<std::filesystem::path> locked;
    std::vector<std::filesystem::path> ordinary;
    for (const std::filesystem::path& item : selection) {
        (item.extension() == ".tessvault" ? locked : ordinary).push_back(item);
    }
    if (!ordinary.empty()) {
        if (!locked.empty()) {
            return {};
        }
        return {{lockTitle, TesselaCommand::lock(ordinary)}};
    }
    const auto isOpen = [&](const std::filesystem::path& item) {
        return unlockedPaths->contains(canonicalPath(item).string());
    };
    if (locked.size() == 1) {
        const std::filesystem::path& item = locked.front();
        if (!unlockedPaths) {
            return {{unlockTitle, TesselaCommand::unlock(item)},
                    {lockNowTitle, TesselaCommand::lockNow({item})},
                    {removeLockTitle, TesselaCommand::removeLock(item)}};
        }
        if (isOpen(item)) {
            return {{lockNowTitle, TesselaCommand::lockNow({item})},
                    {revealTitle, TesselaCommand::reveal(item)}};
        }
        return {{unlockTitle, TesselaCommand::unlock(item)},
                {removeLockTitle, TesselaCommand::removeLock(item)}};
    }
    if (locked.empty()) {
        return {};
    }
    if (!unlockedPaths) {
        return {{lockNowTitle, TesselaCommand::lockNow(locked)}};
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
    return {{lockNowTitle, TesselaCommand::lockNow(open)}};
}

}  // namespace tessela
