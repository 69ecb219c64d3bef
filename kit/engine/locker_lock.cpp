// Locker::lock: checks, planning, building and verifying the image, putting it in place, and
// removing the original, with the journal ahead of every change.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "checks/inside_checks.h"
#include "checks/item_facts.h"
#include "checks/metadata_snapshot.h"
#include "checks/open_files.h"
#include "checks/real_path.h"
#include "checks/tree_verifier.h"
#include "checks/volume_layout.h"
#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "posix/file_io.h"
#include "posix/system_error.h"
#include "records/bookmark.h"

namespace tessela {

namespace {

// Writes an empty file, failing on any error.
void writeEmptyFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throwLastError("create", file);
    }
    ::close(fd);
}

}  // namespace

LockedItem Locker::lock(const std::filesystem::path& url, const std::string& password,
                        std::int64_t generation, const CancelToken* cancel,
                        const ProgressCallback& progress) {
    // Checks: nothing changes on disk; a failure leaves everything as it was.
    report(progress, LockStep::preparing);
    const ItemFacts facts = ItemFacts::inspect(url);
    if (const std::optional<LockRefusal> refusal = policy.refusal(url, facts)) {
        throw TesselaError::refused(*refusal);
    }
    const std::filesystem::path real = realPath(url);
    const std::filesystem::path parent = real.parent_path();
    const std::string name = real.filename().string();

    refuseMountsInside(real, name, tool);
    refuseFinderLocked(real, name);
    refuseAppleDoubleOrFinderLockedInside(real, name);
    refuseHardLinkedFiles(real, name);

    const bool downloaded = waitForCloudDownloads(real, name, cancel, progress);
    const std::int64_t size = downloaded ? ItemFacts::allocatedSize(real) : facts.size;

    // The copy needs room for the content, the container's own overhead and a margin, because
    // the original goes only after the copy is complete.
    const std::int64_t needed = size + containerOverhead(real) + spaceMargin;
    if (const std::optional<std::int64_t> available = freeSpace(parent);
        available && needed > *available) {
        throw TesselaError::notEnoughSpace(needed, *available);
    }

    const std::vector<std::string> writers =
        OpenFiles::writerNames(OpenFiles::holders(real, OpenFiles::defaultTimeout, lsofPath));
    if (!writers.empty()) {
        throw TesselaError::inUse(writers);
    }
    if (cancel != nullptr) {
        cancel->check();
    }

    // Planning.
    struct stat info {};
    const LockedItem::Kind kind = ::lstat(real.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
                                      ? LockedItem::Kind::folder
                                      : LockedItem::Kind::file;
    const bool isPackage = false;  // no folder is shown as a single file here
    const Uuid id = Uuid::random();
    const std::string idText = id.string();
    const std::filesystem::path partial = parent / (".tessela-" + idText + ".partial.sparsebundle");
    const std::filesystem::path locked = availableLockedURL(
        lockedBaseName(name, kind == LockedItem::Kind::file || isPackage), parent);
    const std::filesystem::path mountPoint = mountsRoot / idText;
    const std::filesystem::path contentDestination =
        kind == LockedItem::Kind::file ? mountPoint / name : mountPoint;

    JournalEntry entry(id, JournalEntry::Kind::lock, real.string(), partial.string(),
                       locked.string(), std::nullopt);
    journal.add(entry);

    // Building and verifying: any failure but a simulated crash is cleaned up completely.
    std::int64_t contentSize = 0;
    try {
        contentSize = ItemFacts::logicalSize(real);
        const MetadataSnapshot before = metadataSnapshot(real);

        report(progress, LockStep::encrypting);
        tool.create(partial, volumeName(name), password);
        passCrashPoint(CrashPoint::lockAfterCreate);

        makeMountPoint(mountPoint);
        // Every byte is verified below, which catches what a disk filling up mid-copy could
        // tear, so the copy may skip the container's per-write space reservation.
        tool.attach(partial, mountPoint, password, false,
                    DiskImageTool::Writes::verifiedAfterwards);
        copy(real, contentDestination, cancel);
        writeEmptyFile(mountPoint / ".metadata_never_index");
        ItemMarker(kind, name).write(mountPoint);
        passCrashPoint(CrashPoint::lockAfterCopy);
        tool.detach(mountPoint, false);

        report(progress, LockStep::verifying);
        makeMountPoint(mountPoint);
        tool.attach(partial, mountPoint, password, true);
        const std::set<std::string> ignored = kind == LockedItem::Kind::folder
                                                  ? VolumeLayout::housekeepingNames()
                                                  : std::set<std::string>{};
        std::vector<TreeMismatch> mismatches =
            TreeVerifier::compare(real, contentDestination, ignored, cancel);
        tool.detach(mountPoint, false);
        removeMountPoint(mountPoint);
        if (!mismatches.empty()) {
            throw TesselaError::verificationFailed(std::move(mismatches));
        }
        passCrashPoint(CrashPoint::lockAfterVerify);
        if (afterVerify) {
            afterVerify();
        }
        if (metadataSnapshot(real) != before) {
            throw TesselaError::changedWhileLocking();
        }

        // Putting the locked item in place.
        report(progress, LockStep::removingOriginal);
        entry.lockedIdentity = FileIdentity::of(partial);
        entry.lockedAt = nowInWholeSeconds();
        journal.add(entry);
        passCrashPoint(CrashPoint::lockBeforeRename);
        renameExclusively(partial, locked);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        // Undo everything: the original has not been touched.
        undoUnfinished(mountPoint, partial, id);
        throw;
    }
    passCrashPoint(CrashPoint::lockAfterMove);
    setHiddenExtension(locked);

    // The item is locked. From here on a failure leaves the rest to recovery.
    LockedItem record = freshRecord(id, name, kind, locked, generation);
    record.stage = LockedItem::Stage::originalPending;
    record.originalPath = real.string();
    record.contentSize = contentSize;
    const std::filesystem::path deleting = parent / (".tessela-" + idText + ".deleting");
    try {
        entry.lockedIdentity = FileIdentity::of(locked);
        entry.lockedAt = record.createdAt;
        journal.add(entry);
        index.upsert(record);
        passCrashPoint(CrashPoint::lockAfterRename);
        flushVolume(parent);
        entry.deletingPath = deleting.string();
        journal.add(entry);
        renameExclusively(real, deleting);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        throw TesselaError::lockedButOriginalRemains(name);
    }
    passCrashPoint(CrashPoint::lockAfterRenameToDeleting);
    try {
        deleteRenamedOriginal(deleting);
    } catch (const SimulatedCrash&) {
        throw;
    } catch (...) {
        throw TesselaError::lockedButRemovalUnfinished(name);
    }
    passCrashPoint(CrashPoint::lockAfterDeleteOriginal);

    record.stage = LockedItem::Stage::complete;
    record.originalPath.reset();
    try {
        index.upsert(record);
        journal.remove(id);
    } catch (...) {
        // Recovery tidies the record and the entry at the next start.
    }
    report(progress, LockStep::finishing);
    return record;
}

}  // namespace tessela
