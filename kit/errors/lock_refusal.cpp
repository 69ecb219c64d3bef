#include "errors/lock_refusal.h"

namespace tessela {

namespace {

struct RefusalText {
    std::string_view name;
    std::string_view message;
};

// Indexed by the enumeration's value, so the order must follow the declaration.
constexpr std::array<RefusalText, allLockRefusals.size()> refusalTexts = {{
    {"doesNotExist", "That item no longer exists."},
    {"systemLocation", "Tessela does not lock system folders."},
    {"homeFolder",
     "Tessela does not lock your whole home folder. Lock the folders inside it instead."},
    {"standardFolder",
     "Tessela does not lock your whole Desktop, Documents or Downloads folder. Lock the items "
     "inside it instead."},
    {"libraryFolder",
     "Tessela does not lock items in your settings and data folders, because apps rely on them."},
    {"application", "Tessela does not lock apps."},
    {"tesselaItself", "Tessela cannot lock itself."},
    {"volumeRoot", "Tessela does not lock whole drives. Lock the folders on the drive instead."},
    {"networkVolume", "Tessela does not lock items on network drives."},
    {"alreadyLocked", "This item is already locked."},
    {"insideUnlockedItem", "This is inside an unlocked Tessela item, which is already protected."},
    {"insideLockedItem",
     "This is inside a locked item or a disk image, so Tessela cannot lock it."},
    {"tooLarge", "Tessela locks items up to 2 TB."},
    {"shortcut", "This is a shortcut to another item. Lock the original instead."},
}};

const RefusalText& textOf(LockRefusal refusal) {
    return refusalTexts.at(static_cast<std::size_t>(refusal));
}

}  // namespace

std::string_view message(LockRefusal refusal) {
    return textOf(refusal).message;
}

std::string_view rawValue(LockRefusal refusal) {
    return textOf(refusal).name;
}

std::optional<LockRefusal> lockRefusalFromRawValue(std::string_view name) {
    for (const LockRefusal refusal : allLockRefusals) {
        if (rawValue(refusal) == name) {
            return refusal;
        }
    }
    return std::nullopt;
}

}  // namespace tessela
