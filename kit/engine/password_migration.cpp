#include "engine/password_migration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include "engine/locked_names.h"
#include "files/folder.h"
#include "journal/crash_point.h"
#include "text/file_name_order.h"
#include "text/log.h"

namespace tessela {

namespace {

// Re-keys the image; when it rejects the old password and was moved before (generation 1 or
// more), it may already open with the new one: a re-key from new to new proves that.
void rekey(const DiskImageTool& tool, const std::filesystem::path& image, const LockedItem& record,
           const std::string& oldPassword, const std::string& newPassword) {
    try {
        tool.changePassword(image, oldPassword, newPassword);
    } catch (const TesselaError& error) {
        if (error.errorCase() != TesselaError::Case::wrongPassword ||
            record.passwordGeneration < 1) {
            throw;
        }
        tool.changePassword(image, newPassword, newPassword);
    }
}

// The locked file at `url` as a folder member, when it is one (not a link): its identity.
std::optional<Folder::Identity> bundleIdentity(const Folder& folder, const std::string& name) {
    const std::optional<struct stat> status = folder.memberStatus(name);
    if (!status || !S_ISDIR(status->st_mode)) {
        return std::nullopt;
    }
    return Folder::Identity{status->st_dev, status->st_ino};
}

}  // namespace

std::map<Uuid, TesselaError> PasswordMigration::changePassword(const std::string& oldPassword,
                                                               const std::string& newPassword,
                                                               std::int64_t generation) const {
    const std::vector<LockedItem> records = e_.index.load();
    std::map<Uuid, TesselaError> failures;
    int done = 0;
    for (const LockedItem& record : records) {
        if (record.passwordGeneration >= generation) {
            continue;
        }
        const std::optional<std::filesystem::path> url = ItemIndex::locate(record);
        if (!url || !LockedNames::isOwnBundle(*url)) {
            failures.insert_or_assign(record.id, TesselaError::notFound());
            continue;
        }
        try {
            rekey(e_.tool, *url, record, oldPassword, newPassword);
            LockedItem moved = ItemIndex::refreshed(record, *url);
            moved.passwordGeneration = generation;
            e_.index.upsert(moved);
        } catch (const TesselaError& error) {
            if (error.errorCase() != TesselaError::Case::wrongPassword ||
                record.passwordGeneration != 0) {
                failures.insert_or_assign(record.id, error);
            }
            continue;
        } catch (const std::exception& error) {
            failures.insert_or_assign(record.id, TesselaError::diskImage(error.what()));
            continue;
        }
        if (++done == 1) {
            e_.passCrashPoint(CrashPoint::passwordAfterFirstItem);
        }
    }
    return failures;
}

std::vector<std::string> PasswordMigration::itemsStillMigrating(std::int64_t generation) const {
    std::vector<std::string> names;
    for (const LockedItem& record : e_.index.load()) {
        if (record.passwordGeneration >= generation) {
            continue;
        }
        // An item never moved (generation 0, adopted from elsewhere) holds nothing up while it
        // is there: the change skips it when the old password does not open it.
        if (record.passwordGeneration <= 0 && ItemIndex::locate(record)) {
            continue;
        }
        names.push_back(record.displayName);
    }
    sortLikeFileManager(names);
    return names;
}

std::filesystem::path PasswordMigration::migrateNameIfNeeded(const std::filesystem::path& url,
                                                             const LockedItem& item) const {
    if (url.extension() != LockedNames::lockedExtension) {
        return url;
    }
    const std::string extension = std::filesystem::path(item.displayName).extension().string();
    if (extension.size() <= 1) {
        return url;
    }
    if (item.kind == LockedItem::Kind::folder && !isPackageExtension(extension.substr(1))) {
        return url;  // plain folders keep their whole name
    }
    const std::string base = LockedNames::lockedBaseName(item.displayName, true);
    if (base == item.displayName) {
        return url;
    }
    const std::optional<std::string> suffix =
        unmigratedSuffix(url.stem().string(), item.displayName);
    if (!suffix) {
        return url;
    }
    try {
        const std::filesystem::path target =
            LockedNames::availableLockedURL(base + *suffix, url.parent_path());
        const Folder folder = Folder::open(url.parent_path());
        const std::string from = url.filename().string();
        const std::string to = target.filename().string();
        // Only the bundle itself is renamed, never a link put in its place, and only while it
        // is still the same bundle afterwards.
        const std::optional<Folder::Identity> before = bundleIdentity(folder, from);
        if (!before || !LockedNames::isOwnBundle(url)) {
            return url;
        }
        e_.fileSystem->renameExclusively(folder, from, folder, to);
        const auto putBack = [&] {
            try {
                e_.fileSystem->renameExclusively(folder, to, folder, from);
            } catch (const std::exception&) {
                // The record's bookmark still finds the file under its new name.
                logCaught(LogLevel::warning, {"Could not give ", target, " its earlier name back"});
            }
        };
        if (bundleIdentity(folder, to) != before) {
            putBack();
            return url;
        }
        try {
            e_.index.upsert(ItemIndex::refreshed(item, target));
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Could not record the new name of ", url});
            putBack();
            return url;
        }
        return target;
    } catch (const std::exception&) {
        logCaught(LogLevel::info, {"Could not rename ", url, " to the current naming"});
        return url;
    }
}

std::optional<std::string> PasswordMigration::unmigratedSuffix(const std::string& current,
                                                               const std::string& displayName) {
    if (current == displayName) {
        return std::string();
    }
    const std::string prefix = displayName + " ";
    if (!current.starts_with(prefix)) {
        return std::nullopt;
    }
    const std::string rest = current.substr(prefix.size());
    const char* first = rest.data();
    const char* last = rest.data() + rest.size();
    if (first != last && *first == '+') {
        ++first;  // a sign is accepted here and refused below: it is not the plain form
    }
    long long number = 0;
    const auto [end, error] = std::from_chars(first, last, number);
    if (rest.empty() || error != std::errc() || end != last || number < 2 ||
        std::to_string(number) != rest) {
        return std::nullopt;
    }
    return " " + rest;
}

bool PasswordMigration::isPackageExtension(const std::string&) {
    return false;
}

}  // namespace tessela
