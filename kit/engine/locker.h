#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "checks/lock_policy.h"
#include "journal/crash_point.h"
#include "journal/operation_journal.h"
#include "process/disk_image_tool.h"
#include "records/item_index.h"
#include "records/item_marker.h"
#include "records/locked_item.h"

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
    // Forces written data of a file system to stable storage; defaults to fullSync.
    std::function<void(const std::filesystem::path&)> flushVolume;
    // Deletes the renamed original; defaults to removeOwnedTree.
    std::function<void(const std::filesystem::path&)> deleteRenamedOriginal;
    std::int64_t spaceMargin = defaultSpaceMargin;
    double cloudDownloadTimeout = defaultCloudDownloadTimeout;
    // The full-fidelity copy tool and the open-file lister.
    std::string copyTool = "/usr/bin/cp";
    std::string lsofPath = OpenFiles::lsofPath;

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
    // Flushes the whole file system holding `item` (syncfs, falling back to fsync).
    static void fullSync(const std::filesystem::path& item);
    // Makes the tree deletable, then deletes it; a delete failure is thrown.
    static void removeOwnedTree(const std::filesystem::path& tree);
    // Free bytes for an ordinary user on the file system holding `location`; none if unknown.
    [[nodiscard]] static std::optional<std::int64_t> availableSpace(
        const std::filesystem::path& location);
    // File managers here have no per-item hidden extension: nothing to do, reported as done.
    static bool setHiddenExtension(const std::filesystem::path& locked);
    // What the container adds on disk to `content`: per file a header, a tag per 4 KiB block
    // and the last block's rounding; per folder its name-key file and its own block.
    [[nodiscard]] static std::int64_t containerOverhead(const std::filesystem::path& content);

    // Creates `mountsRoot` (0700) and the mount folder inside it.
    void makeMountPoint(const std::filesystem::path& mountPoint) const;
    // A full-fidelity copy (cp -a); a folder's contents go into an existing folder `to`, copied
    // by up to `copyStreams` copy processes side by side. Failure: copyFailed with the tool's
    // cleaned output; cancellation ends every copy process.
    void copy(const std::filesystem::path& from, const std::filesystem::path& to,
              const CancelToken* cancel) const;
    // Waits (bounded by cloudDownloadTimeout) for cloud files under `item`; true when it had to.
    bool waitForCloudDownloads(const std::filesystem::path& item, const std::string& name,
                               const CancelToken* cancel, const ProgressCallback& progress) const;

    // Copy processes working side by side on a folder's entries.
    static constexpr int copyStreams = 4;

  private:
    void runCopyTool(const std::vector<std::filesystem::path>& sources,
                     const std::filesystem::path& destination, const CancelToken* cancel) const;
    // Mode, times and extended attributes of folder `from` onto folder `to`.
    static void copyFolderAttributes(const std::filesystem::path& from,
                                     const std::filesystem::path& to);
    // Throws SimulatedCrash when `point` is the armed crash point.
    void passCrashPoint(CrashPoint point) const;
};

}  // namespace tessela
