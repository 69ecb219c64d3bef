#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "engine/engine_parts.h"
#include "engine/locked_names.h"
#include "engine/locker_options.h"
#include "errors/tessela_error.h"
#include "journal/recovery_report.h"
#include "process/disk_image_tool.h"
#include "records/item_marker.h"
#include "records/locked_item.h"
#include "records/open_item.h"

namespace tessela {

// The lock engine: turns an item into an encrypted container beside it, proves the copy
// complete, and only then removes the unlocked original; opens, closes and unlocks for good.
//
// Every step that changes the disk is in the operation journal first, so a crash at any point
// can be finished or undone at the next start; every failure before the original is touched
// leaves the disk as it was (no image, no mount folder, no journal entry). Names the lock creates
// all derive from one new UUID: ".tessela-{UUID}.partial.sparsebundle" and
// ".tessela-{UUID}.deleting" next to the item, the mount folder {UUID} in the mounts folder.
//
// A thin façade over the engine's pieces (LockOperation, LockRemoval, OpenItems, Recovery,
// LockedNames, MountsFolder, ContentCopier) and what they share. It keeps no state between calls
// and holds no locks. Operations are synchronous and run one at a time on the caller's thread.
class Locker {
  public:
    static constexpr std::string_view lockedExtension = LockedNames::lockedExtension;

    // Nothing is touched on disk by construction. The support folder holds the item index
    // ("items.json"), the journal ("operations.json") and the mounts folder ("Open").
    Locker(const std::filesystem::path& supportDirectory, const std::filesystem::path& home,
           const std::optional<std::filesystem::path>& appBundle, DiskImageTool diskImageTool,
           LockerOptions options = {});

    // Locks the item at `url` with `password`, recording `generation` as its password
    // generation. Reports each step it enters through `progress`, the bytes copied through
    // `copyProgress`, and polls `cancel` before the first change, during the cloud wait, the
    // copy and the verification. Returns the new
    // record. Throws TesselaError (refusals as refused(…)); lockedButOriginalRemains and
    // lockedButRemovalUnfinished mean the item is locked and only removing the original is left
    // to recovery. SimulatedCrash leaves everything as it is.
    LockedItem lock(const std::filesystem::path& url, const std::string& password,
                    std::int64_t generation, const CancelToken* cancel = nullptr,
                    const ProgressCallback& progress = {},
                    const CopyProgressCallback& copyProgress = {});

    // The lock's checks that walk nothing (the path's length, the location rules), for a caller
    // that wants a refusal before it asks for a password: throws what lock() would throw for
    // them. Changes nothing.
    void checkLockLocation(const std::filesystem::path& url) const;
    // Opens the locked item at `url` (a ".tessvault" bundle) at mountsRoot/{id}, writable, shows
    // it by its name (its shownFolder, a link mountsRoot/NAME → {id}, when one can be made) and
    // returns it; an item already open is returned as it is, attaching nothing (only given a
    // shown folder when it has none). A bundle without a record (copied from elsewhere) gets one
    // with password generation 0. A wrong password (wrongPassword) or other attach failure
    // (diskImage) leaves no mount folder behind.
    OpenItem unlock(const std::filesystem::path& url, const std::string& password);

    // The items open now: attached images whose mount folder lies in mountsRoot and is named
    // after a record's id, in the order the system lists them, each with the shown folder that
    // leads to its mount folder, if any. Images mounted anywhere else are never listed.
    [[nodiscard]] std::vector<OpenItem> openItems() const;
    // The open item that is the locked item at `url`: the one of its record, else the one whose
    // locked file is the same path once links are resolved; none when it is not open.
    [[nodiscard]] std::optional<OpenItem> openItem(const std::filesystem::path& url) const;

    // Stores a record (generation 0) for each of the images mounted by this engine, so items
    // open when the index had to be started afresh are listed again. Never throws.
    void adoptOpenItems(const std::vector<AttachedImage>& images) const noexcept;

    // Closes an open item: detaches its volume (with `force`, even while applications hold
    // files) and removes its mount folder and every shown folder leading to it. A volume already
    // detached elsewhere only has its folders removed. A refused detach (inUse) leaves the item
    // open.
    void relock(const OpenItem& item, bool force);

    // Turns the locked item at `url` back into ordinary files next to it, under a name that
    // overwrites nothing, and deletes the locked item; returns where the content now is. The
    // item is closed first if open. The content is copied to a hidden folder, verified, and only
    // then moved into place; every failure up to the move leaves the item locked and openable
    // and nothing else behind. The bytes copied out are reported through `copyProgress`.
    std::filesystem::path removeLock(const std::filesystem::path& url, const std::string& password,
                                     const CancelToken* cancel = nullptr,
                                     const ProgressCallback& progress = {},
                                     const CopyProgressCallback& copyProgress = {});

    // Finishes or undoes every operation a crash interrupted, from the journal and what is on
    // disk; detaches leftover mounts in the mounts folder that belong to no indexed item,
    // removes empty mount folders and the shown folders (links) that lead to no attached volume.
    // Entries it cannot settle safely (a disk missing, the index unreadable, a step failing) stay
    // for the next start. Never throws.
    [[nodiscard]] RecoveryReport recover() noexcept;

    // Drops the record of the item `id` from the list; nothing on disk is touched. An item
    // found again later is adopted afresh when it is opened.
    void forget(const Uuid& id);
    // Records that the item `id` is now at `url` (a fresh bookmark and its real path as last
    // known path); false, with nothing changed, when the list does not hold the item, `url` is
    // not a locked item of this user's own, or it is where another entry's item is.
    bool relocate(const Uuid& id, const std::filesystem::path& url);
    // The records of every locked item, in their stored order.
    [[nodiscard]] std::vector<LockedItem> lockedItems() const;
    // The record of the locked item at `url`, or none.
    [[nodiscard]] std::optional<LockedItem> record(const std::filesystem::path& url) const;
    // The record a user means by `url` when they forget it: the item found there by its
    // identity (a locked bundle of this user's own: a bundle someone else put at a path the
    // item has left is never taken for it), or an item that cannot be found anywhere and was
    // last known there. None for anything else.
    [[nodiscard]] std::optional<LockedItem> recordToForget(const std::filesystem::path& url) const;
    // The folder that holds the open items' mount folders.
    [[nodiscard]] const std::filesystem::path& mountsRoot() const noexcept;

    // Moves every item to a new password: re-keys each indexed item recorded below
    // `generation` and records `generation` for it; returns the failures by item id (one
    // item's failure never stops the others). Throws needsAllLocked while any item is open
    // (nothing is changed), an index read failure, and SimulatedCrash.
    [[nodiscard]] std::map<Uuid, TesselaError> changePassword(const std::string& oldPassword,
                                                              const std::string& newPassword,
                                                              std::int64_t generation);
    // The display names of the items still to be moved to `generation`, in a file manager's
    // order.
    [[nodiscard]] std::vector<std::string> itemsStillMigrating(std::int64_t generation) const;
    // Renames an earlier-style locked file ("Report.pdf.tessvault") to the current naming and
    // returns where it is afterwards; never fails.
    [[nodiscard]] std::filesystem::path migrateNameIfNeeded(const std::filesystem::path& url,
                                                            const LockedItem& item) const;

    // Gives a locked item its look in the file manager (LockedLook: the GIO metadata attribute
    // "metadata::custom-icon-name" = "tessela-locked"). Best effort: a failure is logged.
    static bool setLockedLook(const std::filesystem::path& locked);
    // Migrates earlier-style names of located items without an operation in flight and sets
    // every located item's look; true when any item got a new name. Never fails.
    bool repairLockedItems() noexcept;

  private:
    EngineParts parts_;
};

}  // namespace tessela
