#include "engine/locker.h"

#include <sys/stat.h>

#include "engine/lock_operation.h"
#include "engine/lock_removal.h"
#include "engine/locked_look.h"
#include "engine/locked_names.h"
#include "engine/mounts_folder.h"
#include "engine/open_items.h"
#include "engine/password_migration.h"
#include "engine/recovery.h"
#include "files/paths.h"

namespace tessela {

Locker::Locker(const std::filesystem::path& supportDirectory, const std::filesystem::path& home,
               const std::optional<std::filesystem::path>& appBundle, DiskImageTool diskImageTool,
               LockerOptions options)
    : parts_(supportDirectory, home, appBundle, std::move(diskImageTool), std::move(options)) {}

LockedItem Locker::lock(const std::filesystem::path& url, const std::string& password,
                        std::int64_t generation, const CancelToken* cancel,
                        const ProgressCallback& progress,
                        const CopyProgressCallback& copyProgress) {
    return LockOperation(parts_).run(url, password, generation, cancel, progress, copyProgress);
}

OpenItem Locker::unlock(const std::filesystem::path& url, const std::string& password) {
    return OpenItems(parts_).unlock(url, password);
}

std::vector<OpenItem> Locker::openItems() const {
    return OpenItems(parts_).list();
}

std::optional<OpenItem> Locker::openItem(const std::filesystem::path& url) const {
    const std::optional<LockedItem> found = record(url);
    const std::filesystem::path wanted = canonicalPath(url);
    for (OpenItem& open : openItems()) {
        if (found ? open.id == found->id : canonicalPath(open.lockedURL) == wanted) {
            return std::move(open);
        }
    }
    return std::nullopt;
}

void Locker::adoptOpenItems(const std::vector<AttachedImage>& images) const noexcept {
    OpenItems(parts_).adopt(images);
}

void Locker::relock(const OpenItem& item, bool force) {
    OpenItems(parts_).relock(item, force);
}

std::filesystem::path Locker::removeLock(const std::filesystem::path& url,
                                         const std::string& password, const CancelToken* cancel,
                                         const ProgressCallback& progress,
                                         const CopyProgressCallback& copyProgress) {
    return LockRemoval(parts_).run(url, password, cancel, progress, copyProgress);
}

RecoveryReport Locker::recover() noexcept {
    return Recovery(parts_).run();
}

std::vector<LockedItem> Locker::lockedItems() const {
    return parts_.index.load();
}

std::optional<LockedItem> Locker::record(const std::filesystem::path& url) const {
    return parts_.index.item(url);
}

const std::filesystem::path& Locker::mountsRoot() const noexcept {
    return parts_.mounts.root();
}

std::optional<LockedItem> Locker::recordToForget(const std::filesystem::path& url) const {
    const bool ownBundle = LockedNames::isOwnBundle(url);
    for (const LockedItem& record : parts_.index.load()) {
        const std::optional<std::filesystem::path> located = ItemIndex::locate(record);
        const bool meant = located ? ownBundle && canonicalPath(*located) == canonicalPath(url)
                                   : std::filesystem::path(record.lastKnownPath) == url;
        if (meant) {
            return record;
        }
    }
    return std::nullopt;
}

void Locker::forget(const Uuid& id) {
    parts_.index.remove(id);
}

bool Locker::relocate(const Uuid& id, const std::filesystem::path& url) {
    // Recorded by its real path: a link on the way there (in a folder others can write) must
    // not decide later where the item is.
    const std::filesystem::path real = canonicalPath(url);
    struct stat config {};
    if (real.extension() != LockedNames::lockedExtension || !LockedNames::isOwnBundle(real) ||
        ::lstat((real / "gocryptfs.conf").c_str(), &config) != 0 || !S_ISREG(config.st_mode)) {
        return false;
    }
    const std::vector<LockedItem> items = parts_.index.load();
    std::optional<LockedItem> wanted;
    for (const LockedItem& item : items) {
        if (item.id == id) {
            wanted = item;
        } else if (const std::optional<std::filesystem::path> there = ItemIndex::locate(item);
                   there && canonicalPath(*there) == real) {
            return false;  // another entry's item: one locked item never stands for two
        }
    }
    if (!wanted) {
        return false;
    }
    parts_.index.upsert(ItemIndex::refreshed(*wanted, real));
    return true;
}

void Locker::checkLockLocation(const std::filesystem::path& url) const {
    (void)LockOperation(parts_).checkLocation(url);
}

std::map<Uuid, TesselaError> Locker::changePassword(const std::string& oldPassword,
                                                    const std::string& newPassword,
                                                    std::int64_t generation) {
    // An attached image cannot be re-keyed.
    if (!openItems().empty()) {
        throw TesselaError::needsAllLocked();
    }
    return PasswordMigration(parts_).changePassword(oldPassword, newPassword, generation);
}

std::vector<std::string> Locker::itemsStillMigrating(std::int64_t generation) const {
    return PasswordMigration(parts_).itemsStillMigrating(generation);
}

std::filesystem::path Locker::migrateNameIfNeeded(const std::filesystem::path& url,
                                                  const LockedItem& item) const {
    return PasswordMigration(parts_).migrateNameIfNeeded(url, item);
}

bool Locker::setLockedLook(const std::filesystem::path& locked) {
    return LockedLook::set(locked);
}

bool Locker::repairLockedItems() noexcept {
    return LockedLook(parts_).repair();
}

}  // namespace tessela
