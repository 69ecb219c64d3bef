// Removing a lock: copying the content back out next to the locked item, verifying it, moving it
// into place under a name that overwrites nothing, and only then deleting the locked item.
#include "engine/lock_removal.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "checks/tree_verifier.h"
#include "engine/locked_names.h"
#include "engine/open_items.h"
#include "errors/tessela_error.h"
#include "files/file_identity.h"
#include "files/item_facts.h"
#include "files/paths.h"
#include "records/item_marker.h"
#include "records/volume_layout.h"

namespace tessela {

namespace {

std::optional<FileIdentity> identityIn(const Folder& folder, const std::string& name) {
    return FileIdentity::of(folder.descriptorPath() / name);
}

}  // namespace

std::filesystem::path LockRemoval::run(const std::filesystem::path& url,
                                       const std::string& password, const CancelToken* cancel,
                                       const ProgressCallback& progress,
                                       const CopyProgressCallback& copyProgress) {
    if (url.extension() != LockedNames::lockedExtension) {
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
    // Only a bundle itself, never a link to one: a link named like a locked item (planted in a
    // shared folder) would have the real item decrypted next to the link, where its planter can
    // read it. And only this user's own bundle (root tends everyone's), not someone else's copy
    // of it.
    if (!S_ISDIR(lockedInfo.st_mode) || (lockedInfo.st_uid != ::geteuid() && ::geteuid() != 0)) {
        throw TesselaError::notLocked();
    }
    const std::optional<LockedItem> record = e_.index.item(url);

    // An open item is closed first; files still in use stop the removal here.
    const std::filesystem::path wanted = canonicalPath(url);
    for (const OpenItem& open : OpenItems(e_).list()) {
        if (record ? open.id == record->id : canonicalPath(open.lockedURL) == wanted) {
            OpenItems(e_).relock(open, false);
            break;
        }
    }
    report(progress, LockStep::restoring);

    // Everything next to the locked item happens through its folder held open, so a folder
    // renamed or replaced meanwhile cannot redirect the decrypted content.
    const Folder folder = Folder::open(url.parent_path());
    const std::string lockedName = url.filename().string();
    const Uuid id = record ? record->id : Uuid::random();
    const std::string hiddenName = LockedNames::hiddenName(id, LockedNames::restoringSuffix);
    const std::filesystem::path hidden = folder.path() / hiddenName;
    const std::filesystem::path mountPoint = e_.mounts.root() / id.string();
    JournalEntry entry(id, JournalEntry::Kind::restore, url.string(), hidden.string(), "",
                       identity);
    e_.journal.add(entry);

    std::filesystem::path destination;
    std::optional<EngineParts::Built> built;
    try {
        e_.mounts.make(mountPoint);
        e_.tool.attach(url, mountPoint, password, true);
        const std::optional<ItemMarker> marker = ItemMarker::read(mountPoint);
        const LockedItem::Kind kind = marker   ? marker->kind
                                      : record ? record->kind
                                               : LockedItem::Kind::folder;
        const std::string name = LockedNames::itemName(marker, record, url);
        const std::filesystem::path source =
            kind == LockedItem::Kind::folder ? mountPoint : mountPoint / name;

        const std::int64_t needed = ItemFacts::allocatedSize(source) + e_.options.spaceMargin;
        if (const std::optional<std::int64_t> available = e_.fileSystem->freeSpace(folder.path());
            available && *available < needed) {
            throw TesselaError::notEnoughSpace(needed, *available);
        }

        // The hidden copy is a new folder of this user's, made exclusively and private: a name
        // planted there (a link into someone else's folder, or to a file only root may write)
        // stops the removal before anything is written. A file item's content goes inside it.
        const Folder copy = e_.fileSystem->makeFolder(folder, hiddenName, 0700);
        const struct stat made = copy.status();
        built = EngineParts::Built{hiddenName, {made.st_dev, made.st_ino}};
        const std::set<std::string> housekeeping = VolumeLayout::housekeepingNames();
        // Decrypted content stays private until it is verified and moved into place.
        // The copy hashes what it reads from the image: the verification reads only the copy.
        ContentCopier::Options options{.skipping = {},
                                       .rootMode = std::nullopt,
                                       .cancel = cancel,
                                       .progress = copyProgress,
                                       .writeBackTo = folder.path()};
        if (kind == LockedItem::Kind::folder) {
            options.skipping = housekeeping;
            options.rootMode = 0700;
        }
        const TreeVerifier::Manifest copied =
            e_.copier.copyInto(source, copy, kind == LockedItem::Kind::file ? name : "", options);
        e_.passCrashPoint(CrashPoint::restoreAfterCopy);

        report(progress, LockStep::verifying);
        const std::filesystem::path copiedPath =
            kind == LockedItem::Kind::file ? copy.descriptorPath() / name : copy.descriptorPath();
        if (e_.options.afterCopy) {
            e_.options.afterCopy(copiedPath);
        }
        std::vector<TreeMismatch> mismatches = TreeVerifier::compare(
            copied, copiedPath,
            kind == LockedItem::Kind::folder ? housekeeping : std::set<std::string>{}, cancel);
        if (!mismatches.empty()) {
            throw TesselaError::restoreVerificationFailed(std::move(mismatches));
        }

        if (kind == LockedItem::Kind::folder) {
            // The folder's own mode: kept in the marker (the volume root has the bundle's own),
            // or, for items locked before, the volume root's.
            struct stat root {};
            const mode_t mode = marker && marker->mode                    ? *marker->mode
                                : ::lstat(mountPoint.c_str(), &root) == 0 ? root.st_mode & 07777
                                                                          : 0700;
            e_.fileSystem->changeMode(copy, mode);
        }
        // The copy reaches the disk before it takes the item's name: a rename can reach the disk
        // before the data it names, and recovery trusts a restored copy at its name.
        e_.flushContent(folder, hiddenName);

        destination = LockedNames::restoreDestination(name, folder.path());
        entry.finalPath = destination.string();
        entry.restoredIdentity = kind == LockedItem::Kind::file ? identityIn(copy, name)
                                                                : identityIn(folder, hiddenName);
        e_.journal.add(entry);
        e_.passCrashPoint(CrashPoint::restoreBeforeRename);
        if (kind == LockedItem::Kind::file) {
            e_.fileSystem->renameExclusively(copy, name, folder, destination.filename().string());
            (void)e_.fileSystem->removeEmptyFolder(folder, hiddenName);
        } else {
            e_.fileSystem->renameExclusively(folder, hiddenName, folder,
                                             destination.filename().string());
        }
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        // The locked item is untouched: undo the rest.
        e_.undoUnfinished(mountPoint, folder, built, id);
        throw;
    }
    e_.passCrashPoint(CrashPoint::restoreAfterRename);

    // The content is in place; recovery finishes from the journal if anything below fails.
    // The restored copy's name reaches the disk before the only other copy goes.
    e_.fileSystem->syncFolder(folder);
    e_.tool.detach(mountPoint, false);
    e_.mounts.remove(mountPoint);
    e_.fileSystem->removeTree(folder, lockedName,
                              {Folder::Identity{lockedInfo.st_dev, lockedInfo.st_ino}, {}});
    // On disk before the journal lets go of it, so a power cut cannot bring back a locked item
    // without its record.
    e_.fileSystem->syncFolder(folder);
    e_.passCrashPoint(CrashPoint::restoreAfterDeleteLocked);
    e_.index.remove(id);
    e_.journal.remove(id);
    report(progress, LockStep::finishing);
    return destination;
}

}  // namespace tessela
