// Removing a lock: copying the content back out next to the locked item, verifying it, moving it
// into place under a name that overwrites nothing, and only then deleting the locked item.
#include "engine/lock_removal.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <set>
#include <system_error>
#include <variant>

#include "checks/tree_verifier.h"
#include "container/container_keys.h"
#include "engine/locked_names.h"
#include "engine/open_items.h"
#include "errors/tessela_error.h"
#include "files/file_identity.h"
#include "files/item_facts.h"
#include "files/paths.h"
#include "records/item_marker.h"
#include "records/volume_layout.h"
#include "text/log.h"
#include "text/utf8.h"

namespace tessela {

namespace {

std::optional<FileIdentity> identityIn(const Folder& folder, const std::string& name) {
    return FileIdentity::of(folder.descriptorPath() / name);
}

}  // namespace

// What the checks found and what the removal has made so far: everything its steps work from.
struct LockRemoval::Removal {
    std::filesystem::path url{};  // the locked item
    std::string lockedName{};
    Folder::Identity lockedIdentity{};
    std::optional<FileIdentity> identity{};  // what the journal knows the locked item by
    std::optional<LockedItem> record{};
    // The folder holding it, held open from the plan on: a folder renamed or replaced meanwhile
    // cannot redirect the decrypted content.
    std::optional<Folder> folder{};
    Uuid id{};
    std::string hiddenName{};  // the private copy while it is made and verified
    std::filesystem::path mountPoint{};
    JournalEntry entry{};
    // Known once the image is mounted.
    std::optional<ItemMarker> marker{};
    LockedItem::Kind kind = LockedItem::Kind::folder;
    std::string name{};  // the item's own name
    std::optional<Folder> copy{};
    std::optional<EngineParts::Built> built{};
    std::filesystem::path destination{};
    bool readDirectly = false;  // the content was read from the container's own files

    [[nodiscard]] const Folder& parent() const { return *folder; }

    [[nodiscard]] std::set<std::string> ignoredNames() const {
        return kind == LockedItem::Kind::folder ? VolumeLayout::housekeepingNames()
                                                : std::set<std::string>{};
    }
};

std::filesystem::path LockRemoval::run(const std::filesystem::path& url,
                                       const std::string& password, const CancelToken* cancel,
                                       const ProgressCallback& progress,
                                       const CopyProgressCallback& copyProgress) {
    Removal removal = check(url);
    // An open item is closed first; files still in use stop the removal here.
    closeIfOpen(removal);
    report(progress, LockStep::restoring);
    makePlan(removal);
    e_.journal.add(removal.entry);

    try {
        const TreeVerifier::Manifest copied = copyOut(removal, password, cancel, copyProgress);
        e_.passCrashPoint(CrashPoint::restoreAfterCopy);
        report(progress, LockStep::verifying);
        verifyCopy(removal, copied, cancel);
        moveIntoPlace(removal);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        // The locked item is untouched: undo the rest.
        e_.undoUnfinished(removal.mountPoint, removal.parent(), removal.built, removal.id);
        throw;
    }
    e_.passCrashPoint(CrashPoint::restoreAfterRename);
    // The content is in place; recovery finishes from the journal if anything below fails.
    deleteLocked(removal);
    report(progress, LockStep::finishing);
    return removal.destination;
}

LockRemoval::Removal LockRemoval::check(const std::filesystem::path& url) const {
    if (url.extension() != LockedNames::lockedExtension) {
        throw TesselaError::notLocked();
    }
    if (url.string().size() >= PATH_MAX) {
        throw TesselaError::pathTooLong(url.filename().string());
    }
    struct stat info {};
    const std::optional<FileIdentity> identity = FileIdentity::of(url);
    if (!identity || ::lstat(url.c_str(), &info) != 0) {
        throw TesselaError::notFound();
    }
    // Only a bundle itself, never a link to one: a link named like a locked item (planted in a
    // shared folder) would have the real item decrypted next to the link, where its planter can
    // read it. And only this user's own bundle (root tends everyone's), not someone else's copy
    // of it.
    if (!S_ISDIR(info.st_mode) || (info.st_uid != ::geteuid() && ::geteuid() != 0)) {
        throw TesselaError::notLocked();
    }
    Removal removal{.url = url,
                    .lockedName = url.filename().string(),
                    .lockedIdentity = {info.st_dev, info.st_ino},
                    .identity = identity,
                    .record = e_.index.item(url)};
    return removal;
}

void LockRemoval::closeIfOpen(const Removal& removal) const {
    const std::filesystem::path wanted = canonicalPath(removal.url);
    for (const OpenItem& open : OpenItems(e_).list()) {
        if (removal.record ? open.id == removal.record->id
                           : canonicalPath(open.lockedURL) == wanted) {
            OpenItems(e_).relock(open, false);
            return;
        }
    }
}

void LockRemoval::makePlan(Removal& removal) const {
    removal.folder = Folder::open(removal.url.parent_path());
    removal.id = removal.record ? removal.record->id : Uuid::random();
    removal.hiddenName =
        LockedNames::freeHiddenNameIn(removal.parent(), removal.id, LockedNames::restoringSuffix);
    removal.mountPoint = e_.mounts.root() / removal.id.string();
    removal.entry =
        JournalEntry(removal.id, JournalEntry::Kind::restore, removal.url.string(),
                     (removal.parent().path() / removal.hiddenName).string(), "", removal.identity);
}

TreeVerifier::Manifest LockRemoval::copyOut(Removal& removal, const std::string& password,
                                            const CancelToken* cancel,
                                            const CopyProgressCallback& copyProgress) {
    e_.mounts.make(removal.mountPoint);
    e_.tool.attach(removal.url, removal.mountPoint, password, true);
    // The container is read directly where the container module can read it (every block's
    // tag checked), from the very folder checked before. Its keys are derived once the mount
    // took the password (a wrong one costs no derivation); the mount stays attached for the
    // verification, which compares what was read with what the mount shows.
    const Folder bundle = removal.parent().openFolder(removal.lockedName);
    if (bundle.identity() != removal.lockedIdentity) {
        throw TesselaError::notFound();  // another folder took its name since it was checked
    }
    EngineParts::PendingKeys pending = EngineParts::startContainerKeys(bundle, password);
    removal.marker = ItemMarker::read(removal.mountPoint);
    removal.kind = removal.marker   ? removal.marker->kind
                   : removal.record ? removal.record->kind
                                    : LockedItem::Kind::folder;
    removal.name = LockedNames::itemName(removal.marker, removal.record, removal.url);
    const bool isFolder = removal.kind == LockedItem::Kind::folder;
    const std::filesystem::path source =
        isFolder ? removal.mountPoint : removal.mountPoint / removal.name;

    const std::int64_t needed = ItemFacts::allocatedSize(source) + e_.options.spaceMargin;
    if (const std::optional<std::int64_t> available =
            e_.fileSystem->freeSpace(removal.parent().path());
        available && *available < needed) {
        throw TesselaError::notEnoughSpace(needed, *available);
    }

    const Folder& copy = makeCopyFolder(removal);
    // Decrypted content stays private until it is verified and moved into place. The copy
    // hashes what it reads from the image: the verification reads only the copy.
    ContentCopier::Options options{.skipping = {},
                                   .rootMode = std::nullopt,
                                   .cancel = cancel,
                                   .progress = copyProgress,
                                   .writeBackTo = removal.parent().path()};
    if (isFolder) {
        options.skipping = removal.ignoredNames();
        options.rootMode = 0700;
    }
    auto unlocked = pending.wait(cancel);
    if (auto* keys = std::get_if<ContainerKeys>(&unlocked)) {
        options.sourceContainer = keys;
        // Read through the folders held open and checked: a name renamed or swapped for a
        // link meanwhile never leads elsewhere.
        std::filesystem::path from = removal.parent().descriptorPath() / removal.lockedName;
        if (isFolder) {
            options.sourceIdentity = removal.lockedIdentity;
        } else {
            std::string sealed;
            try {
                sealed = keys->sealName(removal.name, container::dirIvOf(bundle));
            } catch (const std::system_error& error) {
                throw TesselaError::copyFailed(repairUtf8(removal.name) + " could not be read (" +
                                               error.code().message() + ").");
            }
            from = bundle.descriptorPath() / ContainerKeys::storedName(std::move(sealed));
        }
        removal.readDirectly = true;
        return e_.copier.copyInto(from, copy, isFolder ? "" : removal.name, options);
    }
    logMessage(LogLevel::info, {"Removing the lock through the container's mount: ",
                                std::get<std::string>(unlocked)});
    return e_.copier.copyInto(source, copy, isFolder ? "" : removal.name, options);
}

const Folder& LockRemoval::makeCopyFolder(Removal& removal) {
    // The hidden copy is a new folder of this user's, made exclusively and private: a name
    // planted there (a link into someone else's folder, or to a file only root may write) is
    // never worked in. The item's id shows in its hidden names while it is locked, so anyone
    // able to write in a shared folder can foresee the usual name: a name taken, even between
    // the look and the making, moves the copy once to a name nobody can foresee, which the
    // journal names first. A file item's content goes inside the folder.
    try {
        removal.copy = e_.fileSystem->makeFolder(removal.parent(), removal.hiddenName, 0700);
    } catch (const std::system_error& error) {
        if (error.code() != std::errc::file_exists) {
            throw;
        }
        logMessage(LogLevel::info, {"The hidden name ", removal.hiddenName,
                                    " was taken; the restored copy takes another"});
        removal.hiddenName =
            LockedNames::unforeseeableHiddenName(removal.id, LockedNames::restoringSuffix);
        removal.entry.partialPath = (removal.parent().path() / removal.hiddenName).string();
        e_.journal.add(removal.entry);
        removal.copy = e_.fileSystem->makeFolder(removal.parent(), removal.hiddenName, 0700);
    }
    const struct stat made = removal.copy->status();
    removal.built = EngineParts::Built{removal.hiddenName, {made.st_dev, made.st_ino}};
    return *removal.copy;
}

void LockRemoval::verifyCopy(Removal& removal, const TreeVerifier::Manifest& copied,
                             const CancelToken* cancel) {
    const Folder& copy = *removal.copy;
    const bool isFolder = removal.kind == LockedItem::Kind::folder;
    const std::filesystem::path copiedPath =
        isFolder ? copy.descriptorPath() : copy.descriptorPath() / removal.name;
    if (e_.options.afterCopy) {
        e_.options.afterCopy(copiedPath);
    }
    std::vector<TreeMismatch> mismatches =
        TreeVerifier::compare(copied, copiedPath, removal.ignoredNames(), cancel);
    if (mismatches.empty() && removal.readDirectly) {
        // Read without the mount, the content is what was sealed (every block's tag was
        // checked); that it is all the mount shows, and nothing else, is checked against it.
        const std::filesystem::path shown =
            isFolder ? removal.mountPoint : removal.mountPoint / removal.name;
        mismatches = TreeVerifier::compareShape(copied, shown, removal.ignoredNames(), cancel);
    }
    if (!mismatches.empty()) {
        throw TesselaError::restoreVerificationFailed(std::move(mismatches));
    }
    if (isFolder) {
        // The folder's own mode: kept in the marker (the volume root has the bundle's own), or,
        // for items locked before, the volume root's.
        struct stat root {};
        const std::optional<ItemMarker>& marker = removal.marker;
        const mode_t mode = marker && marker->mode                            ? *marker->mode
                            : ::lstat(removal.mountPoint.c_str(), &root) == 0 ? root.st_mode & 07777
                                                                              : 0700;
        e_.fileSystem->changeMode(copy, mode);
    }
}

void LockRemoval::moveIntoPlace(Removal& removal) {
    const Folder& folder = removal.parent();
    const Folder& copy = *removal.copy;
    const bool isFile = removal.kind == LockedItem::Kind::file;
    // The copy reaches the disk before it takes the item's name: a rename can reach the disk
    // before the data it names, and recovery trusts a restored copy at its name.
    e_.flushContent(folder, removal.hiddenName);

    removal.destination = LockedNames::restoreDestination(removal.name, folder.path());
    removal.entry.finalPath = removal.destination.string();
    removal.entry.restoredIdentity =
        isFile ? identityIn(copy, removal.name) : identityIn(folder, removal.hiddenName);
    e_.journal.add(removal.entry);
    e_.passCrashPoint(CrashPoint::restoreBeforeRename);
    const std::string destinationName = removal.destination.filename().string();
    if (isFile) {
        e_.fileSystem->renameExclusively(copy, removal.name, folder, destinationName);
        (void)e_.fileSystem->removeEmptyFolder(folder, removal.hiddenName);
    } else {
        e_.fileSystem->renameExclusively(folder, removal.hiddenName, folder, destinationName);
    }
}

void LockRemoval::deleteLocked(const Removal& removal) {
    // The restored copy's name reaches the disk before the only other copy goes.
    e_.fileSystem->syncFolder(removal.parent());
    e_.tool.detach(removal.mountPoint, false);
    e_.mounts.remove(removal.mountPoint);
    e_.fileSystem->removeTree(removal.parent(), removal.lockedName, {removal.lockedIdentity, {}});
    // On disk before the journal lets go of it, so a power cut cannot bring back a locked item
    // without its record.
    e_.fileSystem->syncFolder(removal.parent());
    e_.passCrashPoint(CrashPoint::restoreAfterDeleteLocked);
    e_.index.remove(removal.id);
    e_.journal.remove(removal.id);
}

}  // namespace tessela
