// Removing a lock: copying the content back out next to the locked item, verifying it, moving it
// into place under a name that overwrites nothing, and only then deleting the locked item.
#include <limits.h>
#include <sys/stat.h>

#include <set>

#include "checks/item_facts.h"
#include "checks/tree_verifier.h"
#include "checks/volume_layout.h"
#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "journal/file_identity.h"
#include "posix/file_io.h"
#include "posix/system_error.h"
#include "text/utf8.h"

namespace tessela {

namespace {

std::optional<FileIdentity> identityIn(const Folder& folder, const std::string& name) {
    return FileIdentity::of(folder.descriptorPath() / name);
}

}  // namespace

std::filesystem::path Locker::restoreDestination(const std::string& name,
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
        // A name near the system's limit is shortened before the suffix, never refused.
        const std::string candidate = shortenUtf8(stem, NAME_MAX + 1 - suffix.size()) + suffix;
        if (!posix::exists(folder / candidate)) {
            return folder / candidate;
        }
    }
}

std::filesystem::path Locker::removeLock(const std::filesystem::path& url,
                                         const std::string& password, const CancelToken* cancel,
                                         const ProgressCallback& progress) {
    if (url.extension() != lockedExtension) {
        throw TesselaError::notLocked();
    }
    if (url.string().size() >= PATH_MAX) {
        throw TesselaError::pathTooLong(url.filename().string());
    }
    struct stat lockedInfo {};
    const std::optional<FileIdentity> identity = FileIdentity::of(url);
    if (!identity || ::lstat(url.c_str(), &lockedInfo) != 0) {
        throw TesselaError::notFound();
    }
    const std::optional<LockedItem> record = index.item(url);

    // An open item is closed first; files still in use stop the removal here.
    const std::filesystem::path wanted = canonicalPath(url);
    for (const OpenItem& open : openItems()) {
        if (record ? open.id == record->id : canonicalPath(open.lockedURL) == wanted) {
            relock(open, false);
            break;
        }
    }
    report(progress, LockStep::restoring);

    // Everything next to the locked item happens through its folder held open, so a folder
    // renamed or replaced meanwhile cannot redirect the decrypted content.
    const Folder folder = Folder::open(url.parent_path());
    const std::string lockedName = url.filename().string();
    const Uuid id = record ? record->id : Uuid::random();
    const std::string hiddenName = Locker::hiddenName(id, restoringSuffix);
    const std::filesystem::path hidden = folder.path() / hiddenName;
    const std::filesystem::path mountPoint = mountsRoot / id.string();
    JournalEntry entry(id, JournalEntry::Kind::restore, url.string(), hidden.string(), "",
                       identity);
    journal.add(entry);

    std::filesystem::path destination;
    std::optional<Built> built;
    try {
        makeMountPoint(mountPoint);
        tool.attach(url, mountPoint, password, true);
        const std::optional<ItemMarker> marker = ItemMarker::read(mountPoint);
        const LockedItem::Kind kind = marker   ? marker->kind
                                      : record ? record->kind
                                               : LockedItem::Kind::folder;
        const std::string name = itemName(marker, record, url);
        const std::filesystem::path source =
            kind == LockedItem::Kind::folder ? mountPoint : mountPoint / name;

        const std::int64_t needed = ItemFacts::allocatedSize(source) + spaceMargin;
        if (const std::optional<std::int64_t> available = freeSpace(folder.path());
            available && *available < needed) {
            throw TesselaError::notEnoughSpace(needed, *available);
        }

        // The hidden copy is a new folder of this user's, made exclusively and private: a name
        // planted there (a link into someone else's folder, or to a file only root may write)
        // stops the removal before anything is written. A file item's content goes inside it.
        const Folder copy = folder.makeFolder(hiddenName, 0700);
        const struct stat made = copy.status();
        built = Built{hiddenName, {made.st_dev, made.st_ino}};
        const std::set<std::string> housekeeping = VolumeLayout::housekeepingNames();
        // Decrypted content stays private until it is verified and moved into place.
        if (kind == LockedItem::Kind::file) {
            copyInto(source, copy, name, {}, cancel);
        } else {
            copyInto(source, copy, "", housekeeping, cancel, 0700);
        }
        passCrashPoint(CrashPoint::restoreAfterCopy);
        if (afterRestoreCopy) {
            afterRestoreCopy(hidden);
        }

        report(progress, LockStep::verifying);
        const std::filesystem::path copied =
            kind == LockedItem::Kind::file ? copy.descriptorPath() / name : copy.descriptorPath();
        std::vector<TreeMismatch> mismatches = TreeVerifier::compare(
            source, copied,
            kind == LockedItem::Kind::folder ? housekeeping : std::set<std::string>{}, cancel);
        if (!mismatches.empty()) {
            throw TesselaError::restoreVerificationFailed(std::move(mismatches));
        }

        destination = restoreDestination(name, folder.path());
        entry.finalPath = destination.string();
        entry.restoredIdentity = kind == LockedItem::Kind::file ? identityIn(copy, name)
                                                                : identityIn(folder, hiddenName);
        journal.add(entry);
        passCrashPoint(CrashPoint::restoreBeforeRename);
        if (kind == LockedItem::Kind::folder) {
            // The folder's own mode: kept in the marker (the volume root has the bundle's own),
            // or, for items locked before, the volume root's.
            struct stat root {};
            const mode_t mode = marker && marker->mode                    ? *marker->mode
                                : ::lstat(mountPoint.c_str(), &root) == 0 ? root.st_mode & 07777
                                                                          : 0700;
            if (::fchmod(copy.fd(), mode) != 0) {
                throwLastError("chmod", hidden);
            }
        }
        if (kind == LockedItem::Kind::file) {
            copy.renameExclusively(name, folder, destination.filename().string());
            folder.removeEmptyFolder(hiddenName);
        } else {
            folder.renameExclusively(hiddenName, folder, destination.filename().string());
        }
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        // The locked item is untouched: undo the rest.
        undoUnfinished(mountPoint, folder, built, id);
        throw;
    }
    passCrashPoint(CrashPoint::restoreAfterRename);

    // The content is in place; recovery finishes from the journal if anything below fails.
    // The restored copy reaches the disk before the only other copy goes.
    flushVolume(folder.path());
    folder.sync();
    tool.detach(mountPoint, false);
    removeMountPoint(mountPoint);
    folder.removeTree(lockedName, {Folder::Identity{lockedInfo.st_dev, lockedInfo.st_ino}, {}});
    passCrashPoint(CrashPoint::restoreAfterDeleteLocked);
    index.remove(id);
    journal.remove(id);
    report(progress, LockStep::finishing);
    return destination;
}

}  // namespace tessela
