#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "checks/lock_policy.h"
#include "checks/metadata_snapshot.h"
#include "journal/crash_point.h"
#include "journal/operation_journal.h"
#include "journal/recovery_report.h"
#include "posix/folder.h"
#include "process/disk_image_tool.h"
#include "records/item_index.h"
#include "records/item_marker.h"
#include "records/locked_item.h"
#include "records/open_item.h"

namespace tessela {

// The lock engine: turns an item into an encrypted container beside it, proves the copy
// complete, and only then removes the unlocked original.
//
// Every step that changes the disk is in the operation journal first, so a crash at any point
// can be finished or undone at the next start; every failure before the original is touched
// leaves the disk as it was (no image, no mount folder, no journal entry). Names the lock creates
// all derive from one new UUID: ".tessela-{UUID}.partial.sparsebundle" and
// ".tessela-{UUID}.deleting" next to the item, the mount folder {UUID} in `mountsRoot`.
//
// A value holding locations, the tool and callbacks; it keeps no state between calls and holds
// no locks. Operations are synchronous and run one at a time on the caller's thread.
class Locker {
  public:
    static constexpr std::string_view lockedExtension = ".tessvault";
    static constexpr std::int64_t defaultSpaceMargin = 250'000'000;
    static constexpr double defaultCloudDownloadTimeout = 300.0;
    // Longest locked base name and volume name, in UTF-8 bytes (exclusive).
    static constexpr std::size_t lockedBaseLimit = 243;
    static constexpr std::size_t volumeNameLimit = 64;

    // Nothing is touched on disk by construction.
    Locker(const std::filesystem::path& supportDirectory, const std::filesystem::path& home,
           const std::optional<std::filesystem::path>& appBundle, DiskImageTool diskImageTool);

    DiskImageTool tool;
    ItemIndex index;
    OperationJournal journal;
    std::filesystem::path mountsRoot;
    LockPolicy policy;
    // Where to stop with SimulatedCrash; tests only.
    std::optional<CrashPoint> crashPoint;
    // Called after verification, before the change check; tests only.
    std::function<void()> afterVerify;
    // Called with the restored copy after a lock removal copied it out; tests only.
    std::function<void(const std::filesystem::path&)> afterRestoreCopy;
    // Forces written data of a file system to stable storage; defaults to fullSync. The lock
    // calls it before the original goes, a lock removal and recovery before the locked item
    // goes.
    std::function<void(const std::filesystem::path&)> flushVolume;
    // Deletes the renamed original, which must still be the object the guard names, leaving
    // what changed after the guard's moment; true when it is gone. Defaults to removeOwnedTree.
    std::function<bool(const std::filesystem::path&, const Folder::RemovalGuard&)>
        deleteRenamedOriginal;
    std::int64_t spaceMargin = defaultSpaceMargin;
    double cloudDownloadTimeout = defaultCloudDownloadTimeout;
    // The full-fidelity copy tool and the open-file lister.
    std::string copyTool = "/usr/bin/cp";
    std::string lsofPath = OpenFiles::lsofPath;
    // Free space for the space checks; defaults to availableSpace. Tests set exact figures.
    std::function<std::optional<std::int64_t>(const std::filesystem::path&)> spaceProbe;

    // Locks the item at `url` with `password`, recording `generation` as its password
    // generation. Reports each step it enters through `progress` and polls `cancel` before the
    // first change, during the cloud wait, the copy and the verification. Returns the new
    // record. Throws TesselaError (refusals as refused(…)); lockedButOriginalRemains and
    // lockedButRemovalUnfinished mean the item is locked and only removing the original is left
    // to recovery. SimulatedCrash leaves everything as it is.
    LockedItem lock(const std::filesystem::path& url, const std::string& password,
                    std::int64_t generation, const CancelToken* cancel = nullptr,
                    const ProgressCallback& progress = {});

    // The name to give an item's content: the marker's name, else the record's display name,
    // else the locked file's name without its extension, the first that is a safe single path
    // component; "Tessela item" when none is.
    // Opens the locked item at `url` (a ".tessvault" bundle) at mountsRoot/{id}, writable, and
    // returns it; an item already open is returned as it is, attaching nothing. A bundle without
    // a record (copied from elsewhere) gets one with password generation 0. A wrong password
    // (wrongPassword) or other attach failure (diskImage) leaves no mount folder behind.
    OpenItem unlock(const std::filesystem::path& url, const std::string& password);

    // The items open now: attached images whose mount folder lies in mountsRoot and is named
    // after a record's id, in the order the system lists them. Images mounted anywhere else are
    // never listed.
    [[nodiscard]] std::vector<OpenItem> openItems() const;

    // Stores a record (generation 0) for each of the images mounted by this engine, so items
    // open when the index had to be started afresh are listed again. Never throws.
    void adoptOpenItems(const std::vector<AttachedImage>& images) const noexcept;

    // Closes an open item: detaches its volume (with `force`, even while applications hold
    // files) and removes its mount folder. A volume already detached elsewhere only has its
    // folder removed. A refused detach (inUse) leaves the item open.
    void relock(const OpenItem& item, bool force);

    // Turns the locked item at `url` back into ordinary files next to it, under a name that
    // overwrites nothing, and deletes the locked item; returns where the content now is. The
    // item is closed first if open. The content is copied to a hidden folder, verified, and only
    // then moved into place; every failure up to the move leaves the item locked and openable
    // and nothing else behind.
    std::filesystem::path removeLock(const std::filesystem::path& url, const std::string& password,
                                     const CancelToken* cancel = nullptr,
                                     const ProgressCallback& progress = {});

    // Finishes or undoes every operation a crash interrupted, from the journal and what is on
    // disk; detaches leftover mounts in `mountsRoot` that belong to no indexed item and removes
    // empty mount folders. Entries it cannot settle safely (a disk missing, the index unreadable,
    // a step failing) stay for the next start. Never throws.
    [[nodiscard]] RecoveryReport recover() noexcept;

    // Whether `url`, or anything beneath it, was modified or had its status changed after
    // `lockTime` plus one second (nanosecond resolution); an unreadable entry counts as changed.
    [[nodiscard]] static bool changedSince(const std::filesystem::path& url, Timestamp lockTime);

    // folder/name if free, else "stem (restored).ext", "stem (restored 2).ext", ….
    [[nodiscard]] static std::filesystem::path restoreDestination(
        const std::string& name, const std::filesystem::path& folder);

    // A directory on another device than its parent: the root of a mounted volume.
    [[nodiscard]] static bool isMountPoint(const std::filesystem::path& url);

    // The logical size of an open item's content: the file, or the volume root's entries but
    // the housekeeping names.
    [[nodiscard]] static std::int64_t contentLogicalSize(const std::filesystem::path& mount,
                                                         LockedItem::Kind kind,
                                                         const std::string& name);

    [[nodiscard]] static std::string itemName(const std::optional<ItemMarker>& marker,
                                              const std::optional<LockedItem>& record,
                                              const std::filesystem::path& locked);

    // The name before ".tessvault": a folder keeps its name; a file loses an extension the
    // desktop knows (and a second known one: backup.tar.gz → backup).
    [[nodiscard]] static std::string lockedBaseName(const std::string& name, bool isFileOrPackage);
    // parent/base.tessvault, or "base 2.tessvault", "base 3.tessvault" … while taken; the base
    // is cut at whole characters to under 243 UTF-8 bytes.
    [[nodiscard]] static std::filesystem::path availableLockedURL(
        const std::string& base, const std::filesystem::path& parent);
    // The name cut at whole characters to under 64 UTF-8 bytes.
    [[nodiscard]] static std::string volumeName(const std::string& name);
    // Renames without ever replacing: fails with EEXIST when `to` exists.
    static void renameExclusively(const std::filesystem::path& from,
                                  const std::filesystem::path& to);
    // Renames the hidden `hidden` in `parent` back to `name`, or, when that was taken meanwhile,
    // to a free name beside it (restoreDestination). Throws when neither works.
    static void putBackBeside(const Folder& parent, const std::string& hidden,
                              const std::string& name);

    // The hidden names one operation makes next to its item: ".tessela-{id}" and a suffix.
    static constexpr std::string_view partialSuffix = ".partial.sparsebundle";
    static constexpr std::string_view deletingSuffix = ".deleting";
    static constexpr std::string_view restoringSuffix = ".restoring";
    [[nodiscard]] static std::string hiddenName(const Uuid& id, std::string_view suffix);
    // The name to rename an original to before it is deleted: hiddenName(id, deletingSuffix),
    // or, when that is taken in `folder` (anyone can foresee it from the partial image's name),
    // ".tessela-{id}.{8 random characters}.deleting".
    [[nodiscard]] static std::string deletingNameIn(const Folder& folder, const Uuid& id);
    // Whether `name` is one that deletingNameIn can give for `id`.
    [[nodiscard]] static bool isDeletingName(std::string_view name, const Uuid& id);

    // The applications that hold a file at `item` open for writing (lsof), each once.
    [[nodiscard]] std::vector<std::string> writersOf(const std::filesystem::path& item) const;
    // Flushes the whole file system holding `item` (syncfs, falling back to fsync).
    static void fullSync(const std::filesystem::path& item);
    // Makes the tree deletable, then deletes it, through descriptors: never following a link,
    // never entering another file system, only when the tree is still the object the guard
    // names, and leaving what changed after the guard's moment (see Folder::removeTree). True
    // when the tree is gone; a delete failure is thrown.
    static bool removeOwnedTree(const std::filesystem::path& tree,
                                const Folder::RemovalGuard& guard = {});
    // Free bytes for an ordinary user on the file system holding `location`; none if unknown.
    [[nodiscard]] static std::optional<std::int64_t> availableSpace(
        const std::filesystem::path& location);
    // File managers here have no per-item hidden extension: nothing to do, reported as done.
    static bool setHiddenExtension(const std::filesystem::path& locked);
    // What the container adds on disk to `content`: per file a header, a tag per 4 KiB block
    // and the last block's rounding; per folder its name-key file and its own block.
    [[nodiscard]] static std::int64_t containerOverhead(const std::filesystem::path& content);

    // Creates the mount folder inside `mountsRoot`.
    //
    // The mounts folder is writable only while the engine itself adds or removes a mount folder
    // (0700 then, 0500 at rest). So once a volume is detached and its folder removed, nothing —
    // not an editor saving to the path it had open — can recreate the folder and leave plain
    // content where the encrypted volume used to be. A mounts folder that cannot be closed
    // again is an error (std::system_error), never left open silently.
    void makeMountPoint(const std::filesystem::path& mountPoint) const;
    // Removes an empty mount folder (never anything inside it); false when that failed or the
    // mounts folder could not be closed again.
    bool removeMountPoint(const std::filesystem::path& mountPoint) const noexcept;
    // A full-fidelity copy (cp -a); a folder's contents go into an existing folder `to`, copied
    // by up to `copyStreams` copy processes side by side. Failure: copyFailed with the tool's
    // cleaned output; cancellation ends every copy process.
    void copy(const std::filesystem::path& from, const std::filesystem::path& to,
              const CancelToken* cancel) const;
    // The same into a folder held open: a file `from` becomes `name` in `into`; a folder's
    // entries (but those in `skipping`) go into `into` itself, which then takes the folder's
    // mode, owner, times and extended attributes. The copy tool works inside `into` (its
    // working folder), so nothing can redirect it, and folders are made writable for the
    // copy and get their own modes at its end, so read-only folders copy too.
    // With `rootMode`, `into` gets that mode instead of the folder's.
    void copyInto(const std::filesystem::path& from, const Folder& into, const std::string& name,
                  const std::set<std::string>& skipping, const CancelToken* cancel,
                  std::optional<mode_t> rootMode = std::nullopt) const;
    // Waits (bounded by cloudDownloadTimeout) for cloud files under `item`; true when it had to.
    bool waitForCloudDownloads(const std::filesystem::path& item, const std::string& name,
                               const CancelToken* cancel, const ProgressCallback& progress) const;

    // Copy processes working side by side on a folder's entries.
    static constexpr int copyStreams = 4;

  private:
    // The lock's last steps, once the locked item is in place: removes the original (see
    // lock()). Throws what lock() reports from there on.
    void removeOriginal(const Folder& parent, const std::string& name, const std::string& locked,
                        JournalEntry& entry, const MetadataSnapshot& before,
                        const Folder::Identity& original);
    // inUse naming the applications that hold a file at `item` open for writing, if any.
    void refuseWriters(const std::filesystem::path& item) const;
    // Takes back a lock whose item is already in place, when the original turned out to be in
    // use or changed at the last moment: the original stays (it holds the newest content), and
    // the locked copy, its record and the journal entry go, in an order recovery can finish.
    // False when a step failed (recovery then finishes the lock, keeping the original).
    bool undoPlacedLock(const Folder& parent, const std::string& locked, JournalEntry& entry);
    // A record for the locked item at `locked`, stage complete, created now, with a bookmark.
    [[nodiscard]] static LockedItem freshRecord(const Uuid& id, std::string name,
                                                LockedItem::Kind kind,
                                                const std::filesystem::path& locked,
                                                std::int64_t generation);
    // What an operation made next to the item: its name in the item's folder and which object
    // it is, so that a clean-up removes that and nothing that was planted under the name.
    struct Built {
        std::string name;
        Folder::Identity identity;
    };
    // Cleans up after a failed lock or lock removal, before its point of no return: closes the
    // mount, removes its folder and the half-built `built` (when the operation got as far as
    // making it), and drops the journal entry only when all of that worked: a clean-up that fails
    // keeps the entry, so the next start finishes it. The first error is the one to report,
    // never the clean-up's.
    void undoUnfinished(const std::filesystem::path& mountPoint, const Folder& parent,
                        const std::optional<Built>& built, const Uuid& id) noexcept;
    // Copies each source into `into`, up to `copyStreams` copy processes side by side.
    void copyEntries(const std::vector<std::filesystem::path>& sources, const Folder& into,
                     const CancelToken* cancel) const;
    [[nodiscard]] std::optional<std::int64_t> freeSpace(
        const std::filesystem::path& location) const;
    // Runs the copy tool in `into`, copying `sources` to the relative `destination`.
    void runCopyTool(const std::vector<std::filesystem::path>& sources, const Folder& into,
                     const std::string& destination, const CancelToken* cancel) const;
    // Mode (or `mode` when given), owner, times and extended attributes of folder `from` onto
    // the folder `to`.
    static void copyFolderAttributes(const std::filesystem::path& from, const Folder& to,
                                     std::optional<mode_t> mode = std::nullopt);
    // Throws SimulatedCrash when `point` is the armed crash point.
    void passCrashPoint(CrashPoint point) const;
};

}  // namespace tessela
