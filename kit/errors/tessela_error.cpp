#include "errors/tessela_error.h"

#include <array>
#include <utility>

#include "errors/byte_count.h"
#include "text/utf8.h"

namespace tessela {

namespace {

// Names and texts are shown as text: bytes that are not UTF-8 (a file name can hold any) are
// repaired for the sentence; the payload keeps them as they are.
std::string nameOf(const TesselaError::Payload& payload) {
    return repairUtf8(std::get<std::string>(payload));
}

std::string differences(const std::vector<TreeMismatch>& mismatches) {
    const std::size_t count = mismatches.size();
    return std::to_string(count) + " difference" + (count == 1 ? "" : "s");
}

std::string describe(TesselaError::Case errorCase, const TesselaError::Payload& payload) {
    using Case = TesselaError::Case;
    switch (errorCase) {
        case Case::notEnoughSpace: {
            const auto& shortfall = std::get<TesselaError::SpaceShortfall>(payload);
            return "Not enough free space. Tessela needs " + formatByteCount(shortfall.needed) +
                   ", but only " + formatByteCount(shortfall.available) + " is free.";
        }
        case Case::inUse: {
            const auto& apps = std::get<std::vector<std::string>>(payload);
            if (apps.empty()) {
                return "Some files are still open. Close them, then try again.";
            }
            return "Files are still open in " + TesselaError::list(apps) +
                   ". Close them, then try again.";
        }
        case Case::diskImage:
            return "The system could not open the locked item: " + nameOf(payload);
        case Case::copyFailed:
            return "Copying failed: " + nameOf(payload);
        case Case::verificationFailed:
            return "The locked copy did not match the original (" +
                   differences(std::get<std::vector<TreeMismatch>>(payload)) +
                   "), so nothing was changed.";
        case Case::restoreVerificationFailed:
            return "The restored copy did not match the locked item (" +
                   differences(std::get<std::vector<TreeMismatch>>(payload)) +
                   "), so nothing was changed. The item is still locked.";
        case Case::refused:
            return std::string(message(std::get<LockRefusal>(payload)));
        case Case::lockedButOriginalRemains:
            return nameOf(payload) +
                   " is locked, but Tessela could not remove the unlocked original. It will try "
                   "again next time it opens.";
        case Case::lockedButRemovalUnfinished:
            return nameOf(payload) +
                   " is locked, but Tessela could not finish removing the unlocked original. It "
                   "will finish next time it opens.";
        case Case::stillInICloud:
            return "Some files in " + nameOf(payload) +
                   " are still in iCloud. Download them first, then try again.";
        case Case::containsUnlockedItem:
            return nameOf(payload) + " contains an unlocked Tessela item. Lock it first.";
        case Case::containsMountedDisk:
            return nameOf(payload) +
                   " contains a mounted drive or disk image. Unmount it, then try again.";
        case Case::containsAppleDouble:
            return nameOf(payload) +
                   " contains hidden metadata files from another system (their names start with "
                   "._) that "
                   "Tessela cannot lock safely. Remove them, then try again.";
        case Case::finderLocked:
            return nameOf(payload) +
                   " is marked immutable. Clear it with \u201csudo chattr -i\u201d, then try "
                   "again.";
        case Case::containsFinderLocked:
            return nameOf(payload) +
                   " contains files marked immutable. Clear them with \u201csudo chattr -i\u201d, "
                   "then "
                   "try again.";
        case Case::hardLinked:
            return nameOf(payload) +
                   " has another copy linked to it elsewhere, so Tessela cannot lock it safely.";
        case Case::wrongPassword:
            return "That password did not work.";
        case Case::notLocked:
            return "This is not a Tessela locked item.";
        case Case::notFound:
            return "That item could not be found.";
        case Case::cancelled:
            return "Cancelled. Nothing was changed.";
        case Case::needsAllLocked:
            return "Lock every unlocked item first.";
        case Case::changedWhileLocking:
            return "The item changed while it was being locked, so nothing was changed. Try "
                   "again.";
        case Case::containsReservedName: {
            const auto& named = std::get<TesselaError::NamedFile>(payload);
            return repairUtf8(named.name) + " holds a file named " + repairUtf8(named.file) +
                   ", a name Tessela keeps for its own records in locked items. Rename or move "
                   "that file, then try again.";
        }
        case Case::originalNotRemovable:
            return nameOf(payload) +
                   " cannot be locked where it is: you may not remove it from its folder, so "
                   "its unlocked original would stay behind. Nothing was changed.";
        case Case::pathTooLong:
            return "The path of " + nameOf(payload) +
                   " is longer than the system allows. Move it to a shorter path, then try "
                   "again.";
    }
    return {};
}

constexpr std::array<std::string_view, TesselaError::caseCount> caseNames = {
    "notEnoughSpace",
    "inUse",
    "diskImage",
    "copyFailed",
    "verificationFailed",
    "restoreVerificationFailed",
    "refused",
    "lockedButOriginalRemains",
    "lockedButRemovalUnfinished",
    "stillInICloud",
    "containsUnlockedItem",
    "containsMountedDisk",
    "containsAppleDouble",
    "finderLocked",
    "containsFinderLocked",
    "hardLinked",
    "wrongPassword",
    "notLocked",
    "notFound",
    "cancelled",
    "needsAllLocked",
    "changedWhileLocking",
    "containsReservedName",
    "originalNotRemovable",
    "pathTooLong",
};

}  // namespace

TesselaError::TesselaError(Case errorCase, Payload payload)
    : case_(errorCase), payload_(std::move(payload)), description_(describe(case_, payload_)) {}

TesselaError TesselaError::notEnoughSpace(std::int64_t needed, std::int64_t available) {
    return {Case::notEnoughSpace, SpaceShortfall{needed, available}};
}
TesselaError TesselaError::inUse(std::vector<std::string> apps) {
    return {Case::inUse, std::move(apps)};
}
TesselaError TesselaError::diskImage(std::string text) {
    return {Case::diskImage, std::move(text)};
}
TesselaError TesselaError::copyFailed(std::string text) {
    return {Case::copyFailed, std::move(text)};
}
TesselaError TesselaError::verificationFailed(std::vector<TreeMismatch> mismatches) {
    return {Case::verificationFailed, std::move(mismatches)};
}
TesselaError TesselaError::restoreVerificationFailed(std::vector<TreeMismatch> mismatches) {
    return {Case::restoreVerificationFailed, std::move(mismatches)};
}
TesselaError TesselaError::refused(LockRefusal refusal) {
    return {Case::refused, refusal};
}
TesselaError TesselaError::lockedButOriginalRemains(std::string name) {
    return {Case::lockedButOriginalRemains, std::move(name)};
}
TesselaError TesselaError::lockedButRemovalUnfinished(std::string name) {
    return {Case::lockedButRemovalUnfinished, std::move(name)};
}
TesselaError TesselaError::stillInICloud(std::string name) {
    return {Case::stillInICloud, std::move(name)};
}
TesselaError TesselaError::containsUnlockedItem(std::string name) {
    return {Case::containsUnlockedItem, std::move(name)};
}
TesselaError TesselaError::containsMountedDisk(std::string name) {
    return {Case::containsMountedDisk, std::move(name)};
}
TesselaError TesselaError::containsAppleDouble(std::string name) {
    return {Case::containsAppleDouble, std::move(name)};
}
TesselaError TesselaError::finderLocked(std::string name) {
    return {Case::finderLocked, std::move(name)};
}
TesselaError TesselaError::containsFinderLocked(std::string name) {
    return {Case::containsFinderLocked, std::move(name)};
}
TesselaError TesselaError::hardLinked(std::string name) {
    return {Case::hardLinked, std::move(name)};
}
TesselaError TesselaError::wrongPassword() {
    return {Case::wrongPassword, {}};
}
TesselaError TesselaError::notLocked() {
    return {Case::notLocked, {}};
}
TesselaError TesselaError::notFound() {
    return {Case::notFound, {}};
}
TesselaError TesselaError::cancelled() {
    return {Case::cancelled, {}};
}
TesselaError TesselaError::needsAllLocked() {
    return {Case::needsAllLocked, {}};
}
TesselaError TesselaError::changedWhileLocking() {
    return {Case::changedWhileLocking, {}};
}
TesselaError TesselaError::containsReservedName(std::string name, std::string file) {
    return {Case::containsReservedName, NamedFile{std::move(name), std::move(file)}};
}
TesselaError TesselaError::originalNotRemovable(std::string name) {
    return {Case::originalNotRemovable, std::move(name)};
}
TesselaError TesselaError::pathTooLong(std::string name) {
    return {Case::pathTooLong, std::move(name)};
}

std::optional<TesselaError::LockedNotice> TesselaError::lockedNotice() const {
    switch (case_) {
        case Case::lockedButOriginalRemains:
            return LockedNotice{"The unlocked original is still there", description_};
        case Case::lockedButRemovalUnfinished:
            return LockedNotice{nameOf(payload_) + " is locked",
                                "Tessela could not finish removing the unlocked original. It "
                                "will finish next time it opens."};
        default:
            return std::nullopt;
    }
}

std::string TesselaError::list(const std::vector<std::string>& names) {
    if (names.empty()) {
        return {};
    }
    std::string joined = names.front();
    for (std::size_t index = 1; index < names.size(); ++index) {
        joined += (index + 1 == names.size() ? " and " : ", ");
        joined += names[index];
    }
    return joined;
}

std::string_view TesselaError::caseName(Case errorCase) {
    return caseNames.at(static_cast<std::size_t>(errorCase));
}

}  // namespace tessela
