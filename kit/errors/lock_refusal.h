#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace tessela {

// Why the lock policy will not lock an item. The string form of each case is its name.
enum class LockRefusal {
    doesNotExist,
    systemLocation,
    homeFolder,
    standardFolder,
    libraryFolder,
    application,
    tesselaItself,
    volumeRoot,
    networkVolume,
    alreadyLocked,
    insideUnlockedItem,
    insideLockedItem,
    tooLarge,
    shortcut,
};

// Every case, in declaration order.
inline constexpr std::array<LockRefusal, 14> allLockRefusals = {
    LockRefusal::doesNotExist,   LockRefusal::systemLocation,     LockRefusal::homeFolder,
    LockRefusal::standardFolder, LockRefusal::libraryFolder,      LockRefusal::application,
    LockRefusal::tesselaItself,  LockRefusal::volumeRoot,         LockRefusal::networkVolume,
    LockRefusal::alreadyLocked,  LockRefusal::insideUnlockedItem, LockRefusal::insideLockedItem,
    LockRefusal::tooLarge,       LockRefusal::shortcut,
};

// The sentence shown to the user for a refusal.
[[nodiscard]] std::string_view message(LockRefusal refusal);
// The case's name, for example "doesNotExist".
[[nodiscard]] std::string_view rawValue(LockRefusal refusal);
// The case with that exact name, or none.
[[nodiscard]] std::optional<LockRefusal> lockRefusalFromRawValue(std::string_view name);

}  // namespace tessela
