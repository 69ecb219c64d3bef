// Recovery at start-up: finishing or undoing the operations a crash interrupted, from the
// journal and what is on disk, then clearing leftover mounts and mount folders.
#include <sys/stat.h>

#include <set>

#include "checks/file_walk.h"
#include "engine/locker.h"
#include "posix/file_io.h"

namespace tessela {

namespace {

using Nanoseconds = std::chrono::sys_time<std::chrono::nanoseconds>;

Nanoseconds timeOf(const struct timespec& time) {
    return Nanoseconds(std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec));
}

bool changedAfter(const struct stat& info, Nanoseconds limit) {
    return timeOf(info.st_mtim) > limit || timeOf(info.st_ctim) > limit;
}

bool folderExists(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool Locker::changedSince(const std::filesystem::path& url, Timestamp lockTime) {
    const Nanoseconds limit =
        std::chrono::time_point_cast<std::chrono::nanoseconds>(lockTime) + std::chrono::seconds(1);
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
        return true;
    }
    return changed;
}

namespace {

// One run of recovery: the start-up facts and the report being built.
class RecoveryPass {
  public:
    explicit RecoveryPass(Locker& locker) : locker_(locker) {}

    RecoveryReport run() {
        try {
            attached_ = locker_.tool.attachedImages();
        } catch (...) {
        }
        try {
            JSONCodec::LoadedList<LockedItem> loaded = locker_.index.loadReportingDamage();
            if (loaded.damaged) {
                report_.indexWasDamaged = true;
            } else {
                records_ = std::move(loaded.items);
            }
        } catch (...) {
            // Unreadable: the records stay unknown.
        }
        std::vector<JournalEntry> entries;
        try {
            JSONCodec::LoadedList<JournalEntry> loaded = locker_.journal.loadReportingDamage();
            report_.journalWasDamaged = loaded.damaged;
            entries = std::move(loaded.items);
        } catch (...) {
        }
        for (JournalEntry& entry : entries) {
            try {
                if (entry.kind == JournalEntry::Kind::lock) {
                    recoverLock(entry);
                } else {
                    recoverRestore(entry);
                }
            } catch (...) {
                keep();  // whatever went wrong, the entry stays for the next start
            }
        }
        if (!records_) {
            if (report_.indexWasDamaged) {
                locker_.adoptOpenItems(attached_);
            }
            return report_;
        }
        try {
            sweepMounts();
        } catch (...) {
        }
        return report_;
    }

  private:
    void keep() { ++report_.keptForLater; }

    void drop(const JournalEntry& entry) {
        try {
            locker_.journal.remove(entry.id);
        } catch (...) {
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
                    locker_.tool.detach(image.mountPoint, true);
                } catch (...) {
                }
                locker_.removeMountPoint(image.mountPoint);
            }
        }
    }

    void recoverLock(JournalEntry& entry) {
        detachAllOf(entry.partialPath);
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
        const std::optional<FileIdentity>& ident = entry.lockedIdentity;
        const bool stillPartial = !ident || FileIdentity::of(entry.partialPath) == ident;
        if (!record && stillPartial) {
            // The image never reached its place: undo.
            std::error_code ignored;
            std::filesystem::remove_all(entry.partialPath, ignored);
            ++report_.discardedLocks;
            return drop(entry);
        }
        const bool finalIsOurs = ident && FileIdentity::of(entry.finalPath) == ident;
        const std::optional<std::filesystem::path> located =
            record ? ItemIndex::locate(*record) : std::nullopt;
        if (!located && !finalIsOurs) {
            return keep();
        }

        // The locked item exists; now the original.
        if (entry.deletingPath && FileIdentity::of(*entry.deletingPath)) {
            try {
                locker_.deleteRenamedOriginal(*entry.deletingPath);
            } catch (...) {
                return keep();
            }
        } else if (FileIdentity::of(original)) {
            const std::optional<Timestamp> lockTime = record ? record->createdAt : entry.lockedAt;
            if (!lockTime || Locker::changedSince(original, *lockTime)) {
                ++report_.keptChangedOriginals;
            } else {
                try {
                    const std::filesystem::path deleting =
                        original.parent_path() / (".tessela-" + entry.id.string() + ".deleting");
                    entry.deletingPath = deleting.string();
                    locker_.journal.add(entry);
                    Locker::renameExclusively(original, deleting);
                    locker_.deleteRenamedOriginal(deleting);
                } catch (...) {
                    return keep();
                }
            }
        }
        if (record) {
            record->stage = LockedItem::Stage::complete;
            record->originalPath.reset();
            try {
                locker_.index.upsert(*record);
            } catch (...) {
            }
        }
        ++report_.finishedLocks;
        drop(entry);
    }

    void recoverRestore(const JournalEntry& entry) {
        if (!records_) {
            return keep();
        }
        const std::filesystem::path locked(entry.originalPath);
        if (!folderExists(locked.parent_path())) {
            return keep();
        }
        const std::optional<FileIdentity>& ident = entry.lockedIdentity;
        const bool lockedIsOurs = ident && FileIdentity::of(locked) == ident;
        const bool moved = !entry.finalPath.empty() && posix::exists(entry.finalPath) &&
                           !posix::exists(entry.partialPath);
        if (moved) {
            // The restored item is in place: finish. A locked item that is no longer the one the
            // removal started from is left alone.
            if (lockedIsOurs) {
                detachAllOf(entry.originalPath);
                std::error_code ignored;
                std::filesystem::remove_all(locked, ignored);
            }
            try {
                locker_.index.remove(entry.id);
            } catch (...) {
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
        std::error_code ignored;
        std::filesystem::remove_all(entry.partialPath, ignored);
        ++report_.discardedRestores;
        drop(entry);
    }

    void sweepMounts() {
        std::set<std::string> known;
        for (const LockedItem& record : *records_) {
            known.insert(record.id.string());
        }
        const std::string root = canonicalPath(locker_.mountsRoot).string() + "/";
        std::vector<AttachedImage> images;
        try {
            images = locker_.tool.attachedImages();
        } catch (...) {
            return;
        }
        for (const AttachedImage& image : images) {
            const std::filesystem::path mountPoint = canonicalPath(image.mountPoint);
            if (mountPoint.string().starts_with(root) &&
                !known.contains(mountPoint.filename().string())) {
                try {
                    locker_.tool.detach(image.mountPoint, true);
                } catch (...) {
                }
                locker_.removeMountPoint(image.mountPoint);
                ++report_.detachedStale;
            }
        }

        std::set<std::string> mounted;
        try {
            for (const AttachedImage& image : locker_.tool.attachedImages()) {
                mounted.insert(canonicalPath(image.mountPoint).string());
            }
        } catch (...) {
            return;
        }
        std::error_code error;
        std::vector<std::filesystem::path> folders;
        for (const auto& folder : std::filesystem::directory_iterator(locker_.mountsRoot, error)) {
            folders.push_back(folder.path());
        }
        for (const std::filesystem::path& folder : folders) {
            if (!mounted.contains(canonicalPath(folder).string())) {
                locker_.removeMountPoint(folder);  // only an empty folder goes
            }
        }
    }

    Locker& locker_;
    std::vector<AttachedImage> attached_;
    std::optional<std::vector<LockedItem>> records_;  // none: unknown
    RecoveryReport report_;
};

}  // namespace

RecoveryReport Locker::recover() noexcept {
    try {
        return RecoveryPass(*this).run();
    } catch (...) {
        return {};
    }
}

}  // namespace tessela
