// Recovery at start-up: finishing or undoing the operations a crash interrupted, from the
// journal and what is on disk, then clearing leftover mounts, mount folders and shown folders.
#include "engine/recovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <set>

#include "engine/locked_names.h"
#include "engine/open_items.h"
#include "files/file_io.h"
#include "files/file_walk.h"
#include "files/folder.h"
#include "files/metadata_snapshot.h"
#include "files/paths.h"
#include "text/log.h"

namespace tessela {

namespace {

bool changedAfter(const struct stat& info, EntryMetadata::Time limit) {
    return fileTime(info.st_mtim) > limit || fileTime(info.st_ctim) > limit;
}

bool folderExists(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool Recovery::changedSince(const std::filesystem::path& url, Timestamp lockTime) {
    // One second after the lock's time, which a damaged journal may put in any year.
    const std::int64_t seconds = lockTime.time_since_epoch().count();
    const EntryMetadata::Time limit =
        fileTime(seconds < std::numeric_limits<std::int64_t>::max() ? seconds + 1 : seconds, 0);
    struct stat info {};
    if (::lstat(url.c_str(), &info) != 0 || changedAfter(info, limit)) {
        return true;
    }
    if (!S_ISDIR(info.st_mode)) {
        return false;
    }
    bool changed = false;
    try {
        FileWalk::walk(url, [&](const FileWalk::Entry& entry) {
            if (entry.problem || changedAfter(entry.info, limit)) {
                changed = true;
                return FileWalk::Next::skipDescendants;
            }
            return FileWalk::Next::descend;
        });
    } catch (...) {
        logCaught(LogLevel::info, {"Could not look through ", url, ", so it counts as changed"});
        return true;
    }
    return changed;
}

namespace {

// One run of recovery: the start-up facts and the report being built.
class RecoveryPass {
  public:
    explicit RecoveryPass(const EngineParts& parts) : e_(parts) {}

    RecoveryReport run() {
        try {
            attached_ = e_.tool.attachedImages();
        } catch (...) {
            logCaught(LogLevel::warning,
                      {"Recovery could not list the mounted volumes and detaches none of them"});
        }
        try {
            JSONCodec::LoadedList<LockedItem> loaded = e_.index.loadReportingDamage();
            if (loaded.damaged) {
                report_.indexWasDamaged = true;
            } else {
                records_ = std::move(loaded.items);
            }
        } catch (...) {
            // Unreadable: the records stay unknown.
            logCaught(LogLevel::warning, {"Recovery could not read the list of locked items, so "
                                          "interrupted work waits for the next start"});
        }
        std::vector<JournalEntry> entries;
        try {
            JSONCodec::LoadedList<JournalEntry> loaded = e_.journal.loadReportingDamage();
            report_.journalWasDamaged = loaded.damaged;
            entries = std::move(loaded.items);
        } catch (...) {
            logCaught(LogLevel::warning, {"Recovery could not read the journal, so no interrupted "
                                          "work is finished or undone now"});
        }
        for (JournalEntry& entry : entries) {
            try {
                if (entry.kind == JournalEntry::Kind::lock) {
                    recoverLock(entry);
                } else {
                    recoverRestore(entry);
                }
            } catch (...) {
                logCaught(LogLevel::warning,
                          {"Recovery left the interrupted ",
                           entry.kind == JournalEntry::Kind::lock ? "lock" : "lock removal", " of ",
                           entry.originalPath, " for the next start"});
                keep();  // whatever went wrong, the entry stays for the next start
            }
        }
        if (!records_) {
            if (report_.indexWasDamaged) {
                OpenItems(e_).adopt(attached_);
            }
            return report_;
        }
        try {
            sweepMounts();
        } catch (...) {
            logCaught(LogLevel::warning, {"Recovery could not clear leftover mounts"});
        }
        return report_;
    }

  private:
    void keep() { ++report_.keptForLater; }

    void drop(const JournalEntry& entry) {
        try {
            e_.journal.remove(entry.id);
        } catch (...) {
            logCaught(LogLevel::warning, {"Recovery could not drop the settled journal entry of ",
                                          entry.originalPath, "; the next start settles it again"});
        }
    }

    [[nodiscard]] std::optional<LockedItem> recordOf(const Uuid& id) const {
        for (const LockedItem& record : *records_) {
            if (record.id == id) {
                return record;
            }
        }
        return std::nullopt;
    }

    // Force-detaches every image of the start-up list whose bundle is at `path`.
    void detachAllOf(const std::string& path) {
        const std::string wanted = canonicalPath(path).string();
        for (const AttachedImage& image : attached_) {
            if (image.imagePath == wanted) {
                try {
                    e_.tool.detach(image.mountPoint, true);
                } catch (...) {
                    logCaught(LogLevel::warning, {"Recovery could not detach ", image.mountPoint});
                }
                e_.mounts.remove(image.mountPoint);
            }
        }
    }

    // The hidden name this entry's operation gives its own files next to `item`:
    // ".tessela-{id}{suffix}" in the item's folder. Recovery deletes nothing else of the user's
    // hidden names, whatever a damaged or crafted journal says.
    static std::filesystem::path ownName(const JournalEntry& entry, std::string_view suffix) {
        return std::filesystem::path(entry.originalPath).parent_path() /
               LockedNames::hiddenName(entry.id, suffix);
    }

    static bool inSameFolder(const std::string& path, const std::string& item) {
        return std::filesystem::path(path).parent_path() ==
               std::filesystem::path(item).parent_path();
    }

    static bool isOwnFolder(const std::filesystem::path& path) {
        struct stat status {};
        return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
               status.st_uid == ::geteuid();
    }

    // Removes a name this entry's operation made in the item's folder; false when it could
    // not (the entry then stays for the next start).
    bool removeOwn(const std::filesystem::path& path) {
        try {
            const Folder folder = Folder::open(path.parent_path());
            e_.fileSystem->removeTree(folder, path.filename().string(), {});
            e_.fileSystem->syncFolder(folder);  // gone for good before the entry goes
            return true;
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Recovery could not remove ", path});
            return false;
        }
    }

    // Makes what stays (`kept`, with its content and its name) durable before what it replaces
    // goes.
    bool flush(const std::filesystem::path& kept) {
        try {
            const Folder held = Folder::open(kept.parent_path());
            e_.flushContent(held, kept.filename().string());
            e_.fileSystem->syncFolder(held);
            return true;
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Recovery could not flush ", kept, " to disk"});
            return false;
        }
    }

    void recoverLock(JournalEntry& entry) {
        if (entry.partialPath == ownName(entry, LockedNames::partialSuffix).string()) {
            detachAllOf(entry.partialPath);
        }
        if (!records_) {
            return keep();
        }
        std::optional<LockedItem> record = recordOf(entry.id);
        if (record && record->stage == LockedItem::Stage::complete) {
            return drop(entry);
        }
        const std::filesystem::path original(entry.originalPath);
        if (!folderExists(original.parent_path())) {
            return keep();
        }
        if (entry.partialPath != ownName(entry, LockedNames::partialSuffix).string() ||
            (entry.deletingPath &&
             !isOwnHiddenName(entry, *entry.deletingPath, LockedNames::deletingSuffix)) ||
            !inSameFolder(entry.finalPath, entry.originalPath) ||
            std::filesystem::path(entry.finalPath).extension() != LockedNames::lockedExtension) {
            return keep();  // not what a lock writes: act on nothing it names
        }
        const std::optional<FileIdentity>& ident = entry.lockedIdentity;
        const bool stillPartial = !ident || FileIdentity::of(entry.partialPath) == ident;
        const bool finalIsOurs = ident && FileIdentity::of(entry.finalPath) == ident;
        if (!record && !entry.deletingPath && (stillPartial || !finalIsOurs)) {
            // The image never reached its place, or never reached the disk (a power cut took
            // it): the original was never touched, since it goes only once the record is
            // stored (and renamed away only once the entry names where to). Undo: the partial
            // image goes when it is ours, anything else stays.
            if (stillPartial && !removeOwn(entry.partialPath)) {
                return keep();
            }
            ++report_.discardedLocks;
            return drop(entry);
        }
        const std::optional<std::filesystem::path> located =
            record ? ItemIndex::locate(*record) : std::nullopt;
        if (!located && !finalIsOurs) {
            // The locked item cannot be found: an original renamed away and not yet verified for
            // deletion goes back in view rather than stay hidden; the entry stays.
            if (entry.deletingPath && !entry.deletingVerified && entry.originalIdentity &&
                FileIdentity::of(*entry.deletingPath) == entry.originalIdentity &&
                putBack(*entry.deletingPath, original)) {
                entry.deletingPath.reset();
                try {
                    e_.journal.add(entry);
                } catch (...) {
                    logCaught(LogLevel::warning, {"Recovery put ", original,
                                                  " back in view but could not say so in the "
                                                  "journal"});
                }
            }
            return keep();
        }

        // The locked item exists and reaches the disk before the original goes.
        const std::optional<Timestamp> lockTime = record ? record->createdAt : entry.lockedAt;
        if (!flush(located ? *located : std::filesystem::path(entry.finalPath))) {
            return keep();
        }
        if (!record) {
            // The record never reached the disk (a power cut between the locked item's flush and
            // the record's write). It is stored before the original is touched, as the lock
            // stores it, with the password generation unknown.
            if (!(record = storedAfresh(entry, original))) {
                return keep();
            }
        }
        const std::optional<FileIdentity> atOriginal = FileIdentity::of(original);
        const std::optional<FileIdentity> atDeleting =
            entry.deletingPath ? FileIdentity::of(*entry.deletingPath) : std::nullopt;
        if (atDeleting && !entry.originalIdentity) {
            // An entry from before identities were kept: what was renamed away is put back,
            // never deleted on its word.
            if (!putBack(*entry.deletingPath, original)) {
                return keep();
            }
            ++report_.keptChangedOriginals;
        } else if (atDeleting && atDeleting == entry.originalIdentity) {
            // The original, renamed away (whatever has its name now).
            if (!settleRenamedOriginal(entry, original, lockTime)) {
                return keep();
            }
        } else if (atDeleting) {
            return keep();  // not the original under its hidden name: never touched
        } else if (atOriginal) {
            // Still in place: it goes only while it is exactly what the lock copied, verified and
            // recorded (the same object, the same fingerprint), and nobody is writing to it.
            if (atOriginal != entry.originalIdentity ||
                !stillAsVerified(original, entry, lockTime, false)) {
                ++report_.keptChangedOriginals;
            } else if (isBeingWritten(original)) {
                return keep();  // still being written to: never deleted under an application
            } else {
                try {
                    const Folder folder = Folder::open(original.parent_path());
                    const std::string deleting = LockedNames::freeHiddenNameIn(
                        folder, entry.id, LockedNames::deletingSuffix);
                    entry.deletingPath = (original.parent_path() / deleting).string();
                    e_.journal.add(entry);
                    e_.fileSystem->renameExclusively(folder, original.filename().string(), folder,
                                                     deleting);
                } catch (...) {
                    logCaught(LogLevel::warning,
                              {"Recovery could not set ", original, " aside for deletion"});
                    return keep();
                }
                if (!settleRenamedOriginal(entry, original, lockTime)) {
                    return keep();
                }
            }
        }
        record->stage = LockedItem::Stage::complete;
        record->originalPath.reset();
        try {
            e_.index.upsert(*record);
        } catch (...) {
            logCaught(LogLevel::warning, {"Recovery finished the lock of ", original,
                                          " but could not mark its record complete"});
        }
        ++report_.finishedLocks;
        drop(entry);
    }

    // A record for the lock's item at the entry's final name, stage originalPending, stored;
    // none when it could not be stored.
    std::optional<LockedItem> storedAfresh(const JournalEntry& entry,
                                           const std::filesystem::path& original) {
        // What the item was: a folder unless what is left of the original is not one.
        std::filesystem::path seen = original;
        if (!posix::exists(seen) && entry.deletingPath) {
            seen = *entry.deletingPath;
        }
        struct stat info {};
        const LockedItem::Kind kind = ::lstat(seen.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)
                                          ? LockedItem::Kind::file
                                          : LockedItem::Kind::folder;
        LockedItem record = EngineParts::freshRecord(entry.id, original.filename().string(), kind,
                                                     entry.finalPath, 0);
        if (entry.lockedAt) {
            record.createdAt = *entry.lockedAt;
        }
        record.stage = LockedItem::Stage::originalPending;
        record.originalPath = entry.originalPath;
        try {
            e_.index.upsert(record);
        } catch (...) {
            logCaught(LogLevel::warning,
                      {"Recovery could not store a record for ", entry.finalPath});
            return std::nullopt;
        }
        return record;
    }

    // Whether the original (renamed away or not) is still exactly what the lock verified: the
    // same metadata fingerprint and, where it was not renamed, no status change after the lock.
    static bool stillAsVerified(const std::filesystem::path& item, const JournalEntry& entry,
                                const std::optional<Timestamp>& lockTime, bool renamed) {
        if (!entry.originalFingerprint) {
            return false;  // an entry from before fingerprints: nothing is deleted on its word
        }
        try {
            if (metadataFingerprint(metadataSnapshot(item)) != *entry.originalFingerprint) {
                return false;
            }
        } catch (const std::exception&) {
            logCaught(LogLevel::info, {"Could not take the fingerprint of ", item,
                                       ", so it counts as changed since the lock"});
            return false;
        }
        return renamed || (lockTime && !Recovery::changedSince(item, *lockTime));
    }

    // The original renamed to the entry's deletingPath: deleted when the lock had verified it
    // there, or when it is still as verified; put back (and counted as kept) when it changed.
    // False when a step failed.
    bool settleRenamedOriginal(JournalEntry& entry, const std::filesystem::path& original,
                               const std::optional<Timestamp>& lockTime) {
        const std::filesystem::path deleting = *entry.deletingPath;
        if (!entry.deletingVerified &&
            (!stillAsVerified(deleting, entry, lockTime, true) || isBeingWritten(deleting))) {
            if (!putBack(deleting, original)) {
                return false;
            }
            ++report_.keptChangedOriginals;
            return true;
        }
        try {
            struct stat info {};
            if (::lstat(deleting.c_str(), &info) != 0) {
                return false;
            }
            if (!entry.deletingVerified) {
                entry.deletingVerified = true;
                e_.journal.add(entry);
            }
            const Folder folder = Folder::open(deleting.parent_path());
            if (e_.fileSystem->removeTree(
                    folder, deleting.filename().string(),
                    {Folder::Identity{info.st_dev, info.st_ino}, entry.originalChangedUntil})) {
                e_.fileSystem->syncFolder(folder);  // gone for good before the entry goes
                return true;
            }
        } catch (...) {
            logCaught(LogLevel::warning, {"Recovery could not delete ", deleting});
            return false;
        }
        // What changed inside after the check stays, back in view, as a kept original.
        if (!putBack(deleting, original)) {
            return false;
        }
        ++report_.keptChangedOriginals;
        return true;
    }

    // Whether an application holds a file of the item open for writing.
    bool isBeingWritten(const std::filesystem::path& item) const {
        return !e_.writersOf(item).empty();
    }

    // Whether `path` is a hidden name this entry's operation may have made beside its item.
    static bool isOwnHiddenName(const JournalEntry& entry, const std::string& path,
                                std::string_view suffix) {
        return inSameFolder(path, entry.originalPath) &&
               LockedNames::isHiddenNameOf(std::filesystem::path(path).filename().string(),
                                           entry.id, suffix);
    }

    // Moves a renamed original back to its name, or beside it under a free name when its name
    // was taken meanwhile (both in the same folder: the entry was checked).
    bool putBack(const std::filesystem::path& renamed, const std::filesystem::path& original) {
        try {
            e_.putBackBeside(Folder::open(original.parent_path()), renamed.filename().string(),
                             original.filename().string());
            return true;
        } catch (const std::exception&) {
            logCaught(LogLevel::warning,
                      {"Recovery could not put ", renamed, " back in view as ", original});
            return false;
        }
    }

    static bool isEmptyFolder(const std::filesystem::path& path) {
        std::error_code error;
        return std::filesystem::is_directory(std::filesystem::symlink_status(path, error)) &&
               std::filesystem::is_empty(path, error) && !error;
    }

    void recoverRestore(const JournalEntry& entry) {
        if (!records_) {
            return keep();
        }
        const std::filesystem::path locked(entry.originalPath);
        if (!folderExists(locked.parent_path())) {
            return keep();
        }
        if (!isOwnHiddenName(entry, entry.partialPath, LockedNames::restoringSuffix) ||
            locked.extension() != LockedNames::lockedExtension ||
            (!entry.finalPath.empty() && !inSameFolder(entry.finalPath, entry.originalPath))) {
            return keep();  // not what a lock removal writes: act on nothing it names
        }
        const std::optional<FileIdentity>& ident = entry.lockedIdentity;
        const bool lockedIsOurs = ident && FileIdentity::of(locked) == ident;
        // A file's hidden folder is left empty once the file is moved out of it.
        const bool copyMovedOut =
            !posix::exists(entry.partialPath) || isEmptyFolder(entry.partialPath);
        const bool moved =
            !entry.finalPath.empty() && posix::exists(entry.finalPath) && copyMovedOut;
        if (moved) {
            // The restored item is in place: finish. The locked item goes only when it is still
            // the one the removal started from and the item in place is the copy it verified,
            // and only once that copy is on disk.
            const bool restoredIsOurs = entry.restoredIdentity &&
                                        FileIdentity::of(entry.finalPath) == entry.restoredIdentity;
            if (lockedIsOurs && restoredIsOurs) {
                if (!flush(entry.finalPath)) {
                    return keep();
                }
                detachAllOf(entry.originalPath);
                if (!removeOwn(locked)) {
                    return keep();  // the locked item goes before its record and entry do
                }
            }
            try {
                (void)e_.fileSystem->removeEmptyFolder(
                    Folder::open(locked.parent_path()),
                    std::filesystem::path(entry.partialPath).filename().string());
            } catch (const std::exception&) {
                logCaught(LogLevel::info,
                          {"Recovery could not remove the empty folder ", entry.partialPath});
            }
            try {
                e_.index.remove(entry.id);
            } catch (...) {
                logCaught(LogLevel::warning,
                          {"Recovery could not drop the record of ", entry.originalPath});
            }
            ++report_.finishedRestores;
            return drop(entry);
        }
        const std::optional<LockedItem> record = recordOf(entry.id);
        const std::optional<std::filesystem::path> located =
            record ? ItemIndex::locate(*record) : std::nullopt;
        const bool confirmed = ident && located && FileIdentity::of(*located) == ident;
        if (lockedIsOurs) {
            detachAllOf(entry.originalPath);
        } else if (!confirmed && posix::exists(entry.partialPath)) {
            // The locked item cannot be confirmed: the hidden copy may be the only copy left.
            return keep();
        }
        // The hidden copy holds decrypted files: it goes, or the entry stays until it can. A name
        // there that is not a folder of this user's was never the copy (the removal makes it
        // exclusively, as this user's): someone else put it there, and it stays theirs.
        if (isOwnFolder(entry.partialPath) && !removeOwn(entry.partialPath)) {
            return keep();
        }
        ++report_.discardedRestores;
        drop(entry);
    }

    void sweepMounts() {
        std::set<std::string> known;
        for (const LockedItem& record : *records_) {
            known.insert(record.id.string());
        }
        const std::string root = canonicalPath(e_.mounts.root()).string() + "/";
        std::vector<AttachedImage> images;
        try {
            images = e_.tool.attachedImages();
        } catch (...) {
            logCaught(
                LogLevel::warning,
                {"Recovery could not list the mounted volumes and clears no leftover mounts"});
            return;
        }
        for (const AttachedImage& image : images) {
            const std::filesystem::path mountPoint = canonicalPath(image.mountPoint);
            if (mountPoint.string().starts_with(root) &&
                !known.contains(mountPoint.filename().string())) {
                try {
                    e_.tool.detach(image.mountPoint, true);
                } catch (...) {
                    logCaught(LogLevel::warning,
                              {"Recovery could not detach the leftover mount ", image.mountPoint});
                }
                e_.mounts.remove(image.mountPoint);
                ++report_.detachedStale;
            }
        }

        std::set<std::string> mounted;
        try {
            for (const AttachedImage& image : e_.tool.attachedImages()) {
                mounted.insert(canonicalPath(image.mountPoint).string());
            }
        } catch (...) {
            logCaught(LogLevel::warning, {"Recovery could not list the mounted volumes and "
                                          "removes no leftover mount folders"});
            return;
        }
        std::error_code error;
        std::vector<std::filesystem::path> folders;
        for (const auto& entry : std::filesystem::directory_iterator(e_.mounts.root(), error)) {
            // Links are shown folders, settled below and never followed; the rest are mount
            // folders.
            std::error_code typeError;
            if (!entry.is_symlink(typeError)) {
                folders.push_back(entry.path());
            }
        }
        for (const std::filesystem::path& folder : folders) {
            if (!mounted.contains(canonicalPath(folder).string())) {
                e_.mounts.remove(folder);  // only an empty folder goes
            }
        }
        // A shown folder stays only while a volume is attached at the mount folder it leads to.
        const std::filesystem::path mountsRoot = canonicalPath(e_.mounts.root());
        std::set<std::string> mountedFolders;
        for (const std::string& path : mounted) {
            if (std::filesystem::path(path).parent_path() == mountsRoot) {
                mountedFolders.insert(std::filesystem::path(path).filename().string());
            }
        }
        e_.mounts.removeStaleShownFolders(mountedFolders);
    }

    const EngineParts& e_;
    std::vector<AttachedImage> attached_;
    std::optional<std::vector<LockedItem>> records_;  // none: unknown
    RecoveryReport report_;
};

}  // namespace

RecoveryReport Recovery::run() const noexcept {
    try {
        return RecoveryPass(e_).run();
    } catch (...) {
        logCaught(LogLevel::warning, {"Recovery stopped"});
        return {};
    }
}

}  // namespace tessela
