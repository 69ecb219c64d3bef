// The lock: checks, planning, building and verifying the image, putting it in place, and
// removing the original, with the journal ahead of every change.
#include "engine/lock_operation.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>
#include <variant>

#include "checks/inside_checks.h"
#include "checks/item_survey.h"
#include "checks/tree_verifier.h"
#include "container/container_keys.h"
#include "engine/locked_look.h"
#include "engine/locked_names.h"
#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "files/file_identity.h"
#include "files/item_facts.h"
#include "files/metadata_snapshot.h"
#include "files/paths.h"
#include "posix/system_error.h"
#include "records/volume_layout.h"
#include "text/log.h"

namespace tessela {

ItemFacts LockOperation::checkLocation(const std::filesystem::path& url) const {
    if (url.string().size() >= PATH_MAX || url.filename().string().size() > NAME_MAX) {
        throw TesselaError::pathTooLong(url.filename().string());
    }
    ItemFacts facts = ItemFacts::inspect(url, false);
    if (const std::optional<LockRefusal> refusal = e_.policy.refusal(url, facts)) {
        throw TesselaError::refused(*refusal);
    }
    return facts;
}

// What the checks found and the plan made of it: everything the later steps work from.
struct LockOperation::Plan {
    std::filesystem::path real{};  // the item, its links resolved
    std::string name{};            // its name in `folder`
    Folder folder;                 // the folder holding it, held open
    ItemSurvey survey;
    mode_t mode = 0;
    LockedItem::Kind kind = LockedItem::Kind::file;
    Folder::Identity original{};
    Uuid id{};
    std::string partialName{};  // the image while it is built, beside the item
    std::filesystem::path partial{};
    std::filesystem::path locked{};  // where the image goes once verified
    std::filesystem::path mountPoint{};
    JournalEntry entry{};
    MetadataSnapshot before{};  // the item as the copy found it
    std::optional<EngineParts::Built> built{};

    // Where the copy's content is in the mounted image: the item's name for a file, the
    // volume's root for a folder.
    [[nodiscard]] std::filesystem::path contentIn(const std::filesystem::path& volume) const {
        return kind == LockedItem::Kind::file ? volume / name : volume;
    }
};

LockedItem LockOperation::run(const std::filesystem::path& url, const std::string& password,
                              std::int64_t generation, const CancelToken* cancel,
                              const ProgressCallback& progress,
                              const CopyProgressCallback& copyProgress) {
    report(progress, LockStep::preparing);
    Plan plan = check(url, cancel, progress);
    if (cancel != nullptr) {
        cancel->check();
    }
    makePlan(plan);
    e_.journal.add(plan.entry);

    // Building and verifying: any failure but a simulated crash is cleaned up completely.
    try {
        plan.before = plan.survey.snapshot();
        report(progress, LockStep::encrypting);
        const TreeVerifier::Manifest copied = buildImage(plan, password, cancel, copyProgress);
        report(progress, LockStep::verifying);
        verifyImage(plan, password, copied, cancel);
        report(progress, LockStep::removingOriginal);
        putInPlace(plan);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        // Undo everything: the original has not been touched.
        e_.undoUnfinished(plan.mountPoint, plan.folder, plan.built, plan.id);
        throw;
    }
    e_.passCrashPoint(CrashPoint::lockAfterMove);
    Locker::setLockedLook(plan.locked);

    // The item is locked. From here on a failure leaves the rest to recovery.
    LockedItem record = recordPlaced(plan, generation);
    removeOriginal(plan.folder, plan.name, plan.locked.filename().string(), plan.entry, plan.before,
                   plan.original);
    e_.passCrashPoint(CrashPoint::lockAfterDeleteOriginal);
    markComplete(plan, record);
    report(progress, LockStep::finishing);
    return record;
}

LockOperation::Plan LockOperation::check(const std::filesystem::path& url,
                                         const CancelToken* cancel,
                                         const ProgressCallback& progress) const {
    // Nothing changes on disk here; a failure leaves everything as it was. The path rules come
    // first: a refused location is refused at once, before anything walks what may be a whole
    // file system.
    ItemFacts facts = checkLocation(url);
    const std::filesystem::path real = realPath(url);
    const std::filesystem::path parent = real.parent_path();
    const std::string name = real.filename().string();
    // Nothing mounted inside, from the mount table: the walk below then never enters another
    // file system. One walk gives every fact the other checks and the space estimate need;
    // where the copy goes, mountsRoot/{UUID}/…, must fit the system's limits as well.
    refuseMountsInside(real, name, e_.tool);
    const std::size_t copyPrefix = e_.mounts.root().string().size() + 1 + Uuid::textLength;
    ItemSurvey survey = ItemSurvey::of(real, copyPrefix);
    survey.refuseOtherFileSystemsInside(name);
    facts.size = facts.isSymlink ? 0 : survey.allocatedSize();
    if (const std::optional<LockRefusal> refusal = e_.policy.refusal(url, facts)) {
        throw TesselaError::refused(*refusal);
    }

    refuseFinderLocked(real, name);
    survey.refuseAppleDoubleOrFinderLockedInside(name);
    survey.refuseHardLinkedFiles(name);
    refuseReservedNames(real, name);
    survey.refuseOverlongPaths(name);
    survey.refuseUnremovableOriginal(name);
    // Failing now is better than locking and then finding the records unreadable.
    (void)e_.index.load();
    Folder folder = Folder::open(parent);

    if (e_.waitForCloudDownloads(real, name, cancel, progress)) {
        survey = ItemSurvey::of(real, copyPrefix);
    }

    // The copy needs room for the content, the container's own overhead and a margin, because
    // the original goes only after the copy is complete.
    const std::int64_t needed =
        survey.allocatedSize() + survey.containerOverhead() + e_.options.spaceMargin;
    if (const std::optional<std::int64_t> available = e_.fileSystem->freeSpace(parent);
        available && needed > *available) {
        throw TesselaError::notEnoughSpace(needed, *available);
    }

    e_.refuseWriters(real);
    Plan plan{.real = real, .name = name, .folder = std::move(folder), .survey = std::move(survey)};
    return plan;
}

void LockOperation::makePlan(Plan& plan) const {
    struct stat info {};
    if (::lstat(plan.real.c_str(), &info) != 0) {
        throwLastError("lstat", plan.real);
    }
    const std::filesystem::path parent = plan.folder.path();
    plan.mode = info.st_mode;
    plan.kind = S_ISDIR(info.st_mode) ? LockedItem::Kind::folder : LockedItem::Kind::file;
    plan.original = {info.st_dev, info.st_ino};
    const bool isPackage = false;  // no folder is shown as a single file here
    plan.id = Uuid::random();
    plan.partialName = LockedNames::hiddenName(plan.id, LockedNames::partialSuffix);
    plan.partial = parent / plan.partialName;
    plan.locked = LockedNames::availableLockedURL(
        LockedNames::lockedBaseName(plan.name, plan.kind == LockedItem::Kind::file || isPackage),
        parent);
    plan.mountPoint = e_.mounts.root() / plan.id.string();
    plan.entry = JournalEntry(plan.id, JournalEntry::Kind::lock, plan.real.string(),
                              plan.partial.string(), plan.locked.string(), std::nullopt);
    plan.entry.originalIdentity = FileIdentity::of(plan.real);
}

TreeVerifier::Manifest LockOperation::buildImage(Plan& plan, const std::string& password,
                                                 const CancelToken* cancel,
                                                 const CopyProgressCallback& copyProgress) {
    // The image's folder is made here, exclusively: a name planted in a shared folder is
    // refused, never worked in.
    const struct stat made =
        e_.fileSystem->makeFolder(plan.folder, plan.partialName, 0700).status();
    plan.built = EngineParts::Built{plan.partialName, {made.st_dev, made.st_ino}};
    e_.tool.create(plan.partial, LockedNames::volumeName(plan.name), password, cancel);
    e_.passCrashPoint(CrashPoint::lockAfterCreate);

    // The container is written directly, without its mount, where its settings are the ones
    // the container module writes: every byte is then proven through the mount all the same.
    // The container's folder is opened once, and must be the one made above: in a shared
    // folder another user could rename one of theirs into its place.
    const Folder partial = plan.folder.openFolder(plan.partialName);
    if (partial.identity() != plan.built->identity) {
        throw TesselaError::changedWhileLocking();
    }
    std::optional<ContainerKeys> keys;
    if (auto unlocked = EngineParts::startContainerKeys(partial, password).wait(cancel);
        auto* found = std::get_if<ContainerKeys>(&unlocked)) {
        keys = std::move(*found);
    } else {
        // Whatever keeps the module from writing it (settings it does not know, a cipher this
        // system's crypto library will not give), the mount still can: its copy is proven the
        // same way.
        logMessage(LogLevel::info,
                   {"Locking through the container's mount: ", std::get<std::string>(unlocked)});
    }
    const bool isFile = plan.kind == LockedItem::Kind::file;
    ItemMarker marker(plan.kind, plan.name);
    if (!isFile) {
        marker.mode = plan.mode & 07777;
    }
    // The engine's own two files first, while the volume root is still writable (a read-only
    // folder's mode reaches the root with the copy). They never replace anything: a folder
    // holding either name was refused, and a file item may itself bear the indexer stop
    // file's name. The volume root's mode is the locked bundle's own, never the folder's: a
    // shared folder's mode there would let anyone who could write in the folder delete the
    // bundle's key file. The folder's mode travels in the marker and comes back with it. The
    // copy hashes what it reads: the verification reads only the copy again.
    const bool stopFile = !isFile || plan.name != VolumeLayout::indexerStopName;
    ContentCopier::Options copying{.skipping = {},
                                   .rootMode = 0700,
                                   .cancel = cancel,
                                   .progress = copyProgress,
                                   .writeBackTo = plan.folder.path(),
                                   .sourceIdentity = plan.original};
    TreeVerifier::Manifest copied;
    if (keys) {
        const Folder& volume = partial;
        if (stopFile) {
            container::writeSealedFile(*e_.fileSystem, volume, *keys, VolumeLayout::indexerStopName,
                                       "", 0644);
        }
        container::writeSealedFile(*e_.fileSystem, volume, *keys, ItemMarker::fileName,
                                   marker.text(), 0644);
        copying.container = &*keys;
        copied = e_.copier.copyInto(plan.real, volume, isFile ? plan.name : "", copying);
        keys.reset();  // the keys are wiped now
        if (e_.options.afterSealing) {
            e_.options.afterSealing(plan.partial);
        }
        if (e_.options.afterCopy) {
            e_.mounts.make(plan.mountPoint);
            e_.tool.attach(plan.partial, plan.mountPoint, password, false);
            e_.options.afterCopy(plan.contentIn(plan.mountPoint));
            e_.tool.detach(plan.mountPoint, false);
        }
        e_.passCrashPoint(CrashPoint::lockAfterCopy);
        return copied;
    }

    e_.mounts.make(plan.mountPoint);
    // Every byte is verified afterwards, which catches what a disk filling up mid-copy could
    // tear, so the copy may skip the container's per-write space reservation.
    e_.tool.attach(plan.partial, plan.mountPoint, password, false,
                   DiskImageTool::Writes::verifiedAfterwards);
    {
        const Folder volume = Folder::open(plan.mountPoint);
        if (stopFile) {
            (void)e_.fileSystem->createFile(volume, std::string(VolumeLayout::indexerStopName),
                                            0644);
        }
        marker.write(plan.mountPoint);
        copied = e_.copier.copyInto(plan.real, volume, isFile ? plan.name : "", copying);
        if (e_.options.afterCopy) {
            e_.options.afterCopy(plan.contentIn(plan.mountPoint));
        }
    }
    e_.passCrashPoint(CrashPoint::lockAfterCopy);
    e_.tool.detach(plan.mountPoint, false);
    return copied;
}

void LockOperation::verifyImage(const Plan& plan, const std::string& password,
                                const TreeVerifier::Manifest& copied, const CancelToken* cancel) {
    e_.mounts.make(plan.mountPoint);
    e_.tool.attach(plan.partial, plan.mountPoint, password, true);
    const std::set<std::string> ignored = plan.kind == LockedItem::Kind::folder
                                              ? VolumeLayout::housekeepingNames()
                                              : std::set<std::string>{};
    std::vector<TreeMismatch> mismatches =
        TreeVerifier::compare(copied, plan.contentIn(plan.mountPoint), ignored, cancel);
    // The user's extended attributes are content too: sealed by the lock itself when it writes
    // the container directly.
    for (TreeMismatch& mismatch : TreeVerifier::compareUserAttributes(
             plan.real, plan.contentIn(plan.mountPoint), copied, cancel)) {
        if (std::find(mismatches.begin(), mismatches.end(), mismatch) == mismatches.end()) {
            mismatches.push_back(std::move(mismatch));
        }
    }
    std::sort(
        mismatches.begin(), mismatches.end(),
        [](const TreeMismatch& one, const TreeMismatch& other) { return one.path < other.path; });
    // The marker the lock wrote reads back as written (it brings a folder's mode back).
    ItemMarker marker(plan.kind, plan.name);
    if (plan.kind == LockedItem::Kind::folder) {
        marker.mode = plan.mode & 07777;
    }
    if (ItemMarker::read(plan.mountPoint) != marker) {
        mismatches.push_back({ItemMarker::fileName, TreeMismatch::contentDiffers});
    }
    e_.tool.detach(plan.mountPoint, false);
    e_.mounts.remove(plan.mountPoint);
    if (!mismatches.empty()) {
        throw TesselaError::verificationFailed(std::move(mismatches));
    }
    e_.passCrashPoint(CrashPoint::lockAfterVerify);
    if (metadataSnapshot(plan.real) != plan.before) {
        throw TesselaError::changedWhileLocking();
    }
    // An application that opened a file for writing during the copy would save into the
    // original after the lock: it is asked to close first.
    e_.refuseWriters(plan.real);
}

void LockOperation::putInPlace(Plan& plan) {
    LockedLook::writeGuide(*e_.fileSystem, plan.folder.openFolder(plan.partialName), plan.name);
    // The image's content reaches the disk first: a rename can reach the disk before the data it
    // names, and recovery trusts an item at its name.
    e_.flushContent(plan.folder, plan.partialName);
    plan.entry.lockedIdentity = FileIdentity::of(plan.partial);
    plan.entry.lockedAt = nowInWholeSeconds();
    plan.entry.originalFingerprint = metadataFingerprint(plan.before);
    plan.entry.originalChangedUntil = newestChange(plan.before);
    e_.journal.add(plan.entry);
    e_.passCrashPoint(CrashPoint::lockBeforeRename);
    e_.fileSystem->renameExclusively(plan.folder, plan.partialName, plan.folder,
                                     plan.locked.filename().string());
}

LockedItem LockOperation::recordPlaced(Plan& plan, std::int64_t generation) {
    LockedItem record =
        EngineParts::freshRecord(plan.id, plan.name, plan.kind, plan.locked, generation);
    record.stage = LockedItem::Stage::originalPending;
    record.originalPath = plan.real.string();
    record.contentSize = plan.survey.logicalSize();
    try {
        // Its name reaches the disk before anything records it as in place: a record of an
        // item a power cut took would keep the next start from settling the lock.
        e_.fileSystem->syncFolder(plan.folder);
        plan.entry.lockedIdentity = FileIdentity::of(plan.locked);
        plan.entry.lockedAt = record.createdAt;
        e_.journal.add(plan.entry);
        e_.index.upsert(record);
        e_.passCrashPoint(CrashPoint::lockAfterRename);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        logCaught(LogLevel::warning,
                  {"Locked ", plan.real, " but could not record it; its original stays for now"});
        throw TesselaError::lockedButOriginalRemains(plan.name);
    }
    return record;
}

void LockOperation::markComplete(const Plan& plan, LockedItem& record) {
    record.stage = LockedItem::Stage::complete;
    record.originalPath.reset();
    try {
        e_.index.upsert(record);
        e_.journal.remove(plan.id);
    } catch (...) {
        // Recovery tidies the record and the entry at the next start.
        logCaught(LogLevel::warning, {"Locked ", plan.real,
                                      " but could not mark its record complete; the next start "
                                      "does"});
    }
}

void LockOperation::removeOriginal(const Folder& parent, const std::string& name,
                                   const std::string& locked, JournalEntry& entry,
                                   const MetadataSnapshot& before,
                                   const Folder::Identity& original) {
    const std::string deletingName =
        LockedNames::freeHiddenNameIn(parent, entry.id, LockedNames::deletingSuffix);
    const std::filesystem::path real = parent.path() / name;
    const std::filesystem::path deleting = parent.path() / deletingName;

    // Last look before the point where the original goes: an application that opened a file
    // for writing since the copy keeps its original, and the lock is taken back; so is an
    // original that changed since it was copied (even a rewrite in place that put the old
    // modification time back, which moves the status-change time).
    bool changed = false;
    try {
        e_.refuseWriters(real);
        changed = metadataSnapshot(real) != before;
    } catch (const TesselaError&) {
        if (!undoPlacedLock(parent, locked, entry)) {
            throw TesselaError::lockedButOriginalRemains(name);
        }
        throw;
    } catch (const std::exception&) {
        logCaught(LogLevel::info, {"Could not look at ", real,
                                   " once more before removing it, so it counts as changed"});
        changed = true;
    }
    if (changed) {
        if (!undoPlacedLock(parent, locked, entry)) {
            throw TesselaError::lockedButOriginalRemains(name);
        }
        throw TesselaError::changedWhileLocking();
    }
    try {
        entry.deletingPath = deleting.string();
        e_.journal.add(entry);
        e_.fileSystem->renameExclusively(parent, name, parent, deletingName);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        logCaught(LogLevel::warning, {"Could not set ", real, " aside for deletion"});
        throw TesselaError::lockedButOriginalRemains(name);
    }
    e_.passCrashPoint(CrashPoint::lockAfterRenameToDeleting);

    // What is deleted must be what was verified: renamed away, the original can no longer be
    // opened by its name, and a change made through a file still open since the checks shows
    // here. A changed original goes back to its name (or, if that was taken meanwhile, to a
    // free name beside it) and the lock is taken back.
    bool unchanged = false;
    try {
        unchanged = sameButForRename(before, metadataSnapshot(deleting));
    } catch (const std::exception&) {
        logCaught(LogLevel::info, {"Could not look at ", deleting,
                                   " once more before deleting it, so it counts as changed"});
        unchanged = false;
    }
    if (!unchanged) {
        try {
            e_.putBackBeside(parent, deletingName, name);
        } catch (...) {
            // Nowhere to put it back now: it stays under the hidden name the journal gives, not
            // verified, and the next start puts it back in view.
            logCaught(LogLevel::warning, {"Could not put ", deleting, " back in view as ", real});
            throw TesselaError::lockedButOriginalRemains(name);
        }
        entry.deletingPath.reset();
        if (!undoPlacedLock(parent, locked, entry)) {
            throw TesselaError::lockedButOriginalRemains(name);
        }
        throw TesselaError::changedWhileLocking();
    }
    // From here only the deletion is left, and recovery knows it: a deletion cut short is
    // finished, never mistaken for an original that changed.
    try {
        entry.deletingVerified = true;
        e_.journal.add(entry);
    } catch (...) {
        logCaught(LogLevel::warning,
                  {"Could not record in the journal that ", deleting, " may be deleted"});
        throw TesselaError::lockedButRemovalUnfinished(name);
    }
    bool gone = false;
    try {
        gone =
            e_.fileSystem->removeTree(parent, deletingName, {original, entry.originalChangedUntil});
        // The deletion is on disk before the journal lets go of it: a power cut must not bring
        // the unlocked original back with nothing left to remove it.
        if (gone) {
            e_.fileSystem->syncFolder(parent);
        }
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        logCaught(LogLevel::warning, {"Could not delete ", deleting});
        throw TesselaError::lockedButRemovalUnfinished(name);
    }
    if (!gone) {
        // Something arrived inside after the check (a file saved into a folder a program was
        // working in): the user's newest work, never deleted. What is left goes back into view;
        // the next start counts it as an original kept beside the locked copy.
        try {
            e_.putBackBeside(parent, deletingName, name);
            entry.deletingPath.reset();
            entry.deletingVerified = false;
            e_.journal.add(entry);
        } catch (...) {
            logCaught(LogLevel::warning,
                      {"Could not put what is left of ", deleting, " back in view as ", real});
            throw TesselaError::lockedButRemovalUnfinished(name);
        }
        throw TesselaError::lockedButOriginalRemains(name);
    }
}

bool LockOperation::undoPlacedLock(const Folder& parent, const std::string& locked,
                                   JournalEntry& entry) {
    try {
        // The order leaves recovery a clear picture at every point: without a record and without
        // an identity, the entry reads as a lock that never reached its place, which recovery
        // drops; the locked copy left then is only a spare encrypted copy.
        const std::optional<struct stat> placed = parent.memberStatus(locked);
        e_.index.remove(entry.id);
        entry.lockedIdentity.reset();
        entry.lockedAt.reset();
        entry.deletingPath.reset();
        e_.journal.add(entry);
        if (placed) {
            e_.fileSystem->removeTree(parent, locked,
                                      {Folder::Identity{placed->st_dev, placed->st_ino}, {}});
        }
        e_.journal.remove(entry.id);
        return true;
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        logCaught(LogLevel::warning,
                  {"Could not take back the lock placed at ", parent.path() / locked});
        return false;
    }
}

}  // namespace tessela
