// Removing a lock: copying the content back out next to the locked item, verifying it, moving it
// into place under a name that overwrites nothing, and only then deleting the locked item.
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

namespace tessela {

std::filesystem::path Locker::restoreDestination(const std::string& name,
                                                 const std::filesystem::path& folder) {
    if (!posix::exists(folder / name)) {
        return folder / name;
    }
    const std::string extension = std::filesystem::path(name).extension().string();
    const std::string stem = name.substr(0, name.size() - extension.size());
    for (int number = 1;; ++number) {
        const std::string candidate =
            stem + (number == 1 ? " (restored)" : " (restored " + std::to_string(number) + ")") +
            extension;
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
    const std::optional<FileIdentity> identity = FileIdentity::of(url);
    if (!identity) {
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

    const Uuid id = record ? record->id : Uuid::random();
    const std::filesystem::path folder = url.parent_path();
    const std::filesystem::path hidden = folder / (".tessela-" + id.string() + ".restoring");
    const std::filesystem::path mountPoint = mountsRoot / id.string();
    JournalEntry entry(id, JournalEntry::Kind::restore, url.string(), hidden.string(), "",
                       identity);
    journal.add(entry);

    std::filesystem::path destination;
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
        if (const std::optional<std::int64_t> available = freeSpace(folder);
            available && *available < needed) {
            throw TesselaError::notEnoughSpace(needed, *available);
        }

        if (kind == LockedItem::Kind::file) {
            copy(source, hidden, cancel);
        } else {
            if (::mkdir(hidden.c_str(), 0700) != 0) {
                throwLastError("mkdir", hidden);
            }
            std::vector<std::filesystem::path> entries;
            for (const auto& entryAtRoot : std::filesystem::directory_iterator(mountPoint)) {
                if (!VolumeLayout::isHousekeeping(entryAtRoot.path().filename().string())) {
                    entries.push_back(entryAtRoot.path());
                }
            }
            // cp -a copies a symbolic link as the link itself.
            copyEntries(entries, hidden, cancel);
            copyFolderAttributes(mountPoint, hidden);
        }
        passCrashPoint(CrashPoint::restoreAfterCopy);
        if (afterRestoreCopy) {
            afterRestoreCopy(hidden);
        }

        report(progress, LockStep::verifying);
        const std::set<std::string> ignored = kind == LockedItem::Kind::folder
                                                  ? VolumeLayout::housekeepingNames()
                                                  : std::set<std::string>{};
        std::vector<TreeMismatch> mismatches =
            TreeVerifier::compare(source, hidden, ignored, cancel);
        if (!mismatches.empty()) {
            throw TesselaError::restoreVerificationFailed(std::move(mismatches));
        }

        destination = restoreDestination(name, folder);
        entry.finalPath = destination.string();
        journal.add(entry);
        passCrashPoint(CrashPoint::restoreBeforeRename);
        renameExclusively(hidden, destination);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        // The locked item is untouched: undo the rest.
        undoUnfinished(mountPoint, hidden, id);
        throw;
    }
    passCrashPoint(CrashPoint::restoreAfterRename);

    // The content is in place; recovery finishes from the journal if anything below fails.
    tool.detach(mountPoint, false);
    removeMountPoint(mountPoint);
    std::filesystem::remove_all(url);
    passCrashPoint(CrashPoint::restoreAfterDeleteLocked);
    index.remove(id);
    journal.remove(id);
    report(progress, LockStep::finishing);
    return destination;
}

}  // namespace tessela
