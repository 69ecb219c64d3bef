#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "commands/tessela_command.h"

namespace tessela {

// One entry of the file manager's context menu: its title and the command choosing it sends.
struct FinderMenuEntry {
    std::string title;
    TesselaCommand command;
    friend bool operator==(const FinderMenuEntry&, const FinderMenuEntry&) = default;
};

// Which menu entries a selection gets, a pure function of the selection and of the open locked
// items the application last published (SharedState). It applies no lock policy: the
// application refuses what it must when the command runs.
struct FinderMenuModel {
    static constexpr const char* lockTitle = "Lock with Tessela";
    static constexpr const char* unlockTitle = "Unlock with Tessela";
    static constexpr const char* lockNowTitle = "Lock Now";
    static constexpr const char* removeLockTitle = "Remove Lock\u2026";
    static constexpr const char* revealTitle = "Show Unlocked Files";

    // The entries for `selection` (in the file manager's order), in menu order. Locked items are
    // those whose name ends in exactly ".tessvault". `unlockedPaths`: the canonical paths of
    // the open locked items; none when nothing usable was published, which is not the same as
    // an empty set (nothing open). A selection mixing locked and ordinary items gets nothing.
    [[nodiscard]] static std::vector<FinderMenuEntry> entries(
        const std::vector<std::filesystem::path>& selection,
        const std::optional<std::set<std::string>>& unlockedPaths);

    // The entries for `selection` with what the application has published now: the shared state
    // at its default place, ignored when it is missing, unreadable or from before the last
    // restart. Reading it (and resolving the selected locked items' paths) is all the I/O done.
    [[nodiscard]] static std::vector<FinderMenuEntry> currentEntries(
        const std::vector<std::filesystem::path>& selection);
};

}  // namespace tessela
