// Opening and relocking: attaching a locked item at its private mount folder and showing it by
// its name, listing what is open from the system's list of mounts, and detaching again.
#include "engine/open_items.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "engine/locked_names.h"
#include "errors/tessela_error.h"
#include "files/file_io.h"
#include "files/item_facts.h"
#include "files/paths.h"
#include "records/item_marker.h"
#include "records/volume_layout.h"
#include "text/log.h"

namespace tessela {

namespace {

std::string prefixOf(const std::filesystem::path& mountsRoot) {
    return canonicalPath(mountsRoot).string() + "/";
}

}  // namespace

OpenItem OpenItems::unlock(const std::filesystem::path& url, const std::string& password) const {
    if (url.extension() != LockedNames::lockedExtension) {
        throw TesselaError::notLocked();
    }
    struct stat bundle {};
    if (::stat(url.c_str(), &bundle) != 0) {
        throw TesselaError::notFound();
    }
    // Only a bundle of this user's own (root tends everyone's), as for a lock removal: someone
    // else's copy is refused before any tool runs on it.
    if (!S_ISDIR(bundle.st_mode) || (bundle.st_uid != ::geteuid() && ::geteuid() != 0)) {
        throw TesselaError::notLocked();
    }
    const std::optional<LockedItem> record = e_.index.item(url);
    if (record) {
        for (OpenItem& open : list()) {
            if (open.id == record->id) {
                if (!open.shownFolder) {
                    // Opened by a version that showed items at their mount folders, or its
                    // shown folder could not be made then: it is shown by its name from now on.
                    open.shownFolder = e_.mounts.makeShownFolder(open.mountPoint, open.name);
                }
                return open;
            }
        }
    }
    const Uuid id = record ? record->id : Uuid::random();
    const std::filesystem::path mountPoint = e_.mounts.root() / id.string();
    e_.mounts.make(mountPoint);
    try {
        e_.tool.attach(url, mountPoint, password, false);
    } catch (...) {
        e_.mounts.remove(mountPoint);
        throw;
    }

    const std::optional<ItemMarker> marker = ItemMarker::read(mountPoint);
    const std::string name = LockedNames::itemName(marker, record, url);
    const LockedItem::Kind kind = marker   ? marker->kind
                                  : record ? record->kind
                                           : LockedItem::Kind::folder;
    if (!record) {
        // Generation 0: the password generation of an item from elsewhere is not known.
        LockedItem created = EngineParts::freshRecord(id, name, kind, url, 0);
        created.contentSize = contentLogicalSize(mountPoint, kind, name);
        try {
            e_.index.upsert(created);
        } catch (...) {
            // Without a record nothing would ever list, relock or close this volume: it is
            // closed again rather than left open with its content readable.
            try {
                e_.tool.detach(mountPoint, true);
            } catch (...) {
                logCaught(LogLevel::warning,
                          {"Could not close ", url, " again after its record could not be stored"});
            }
            e_.mounts.remove(mountPoint);
            throw;
        }
    } else if (!record->contentSize) {
        LockedItem measured = *record;
        measured.contentSize = contentLogicalSize(mountPoint, kind, name);
        try {
            e_.index.upsert(measured);
        } catch (const std::exception&) {
            // The size is a nicety; the item is open either way.
            logCaught(LogLevel::info, {"Could not record the size of ", url});
        }
    }
    // Open and recorded: only now is it shown by its name. Without a shown folder it is seen at
    // its mount folder, open all the same.
    return OpenItem{id, url, mountPoint, kind, name, e_.mounts.makeShownFolder(mountPoint, name)};
}

std::vector<OpenItem> OpenItems::list() const {
    const std::string prefix = prefixOf(e_.mounts.root());
    const std::vector<LockedItem> records = e_.index.load();
    const std::map<std::string, std::filesystem::path> shown = e_.mounts.shownFolders();
    std::vector<OpenItem> items;
    for (const AttachedImage& image : e_.tool.attachedImages()) {
        const std::filesystem::path mountPoint = canonicalPath(image.mountPoint);
        if (!mountPoint.string().starts_with(prefix)) {
            continue;
        }
        const std::string folderName = mountPoint.filename().string();
        const auto record = std::find_if(
            records.begin(), records.end(),
            [&](const LockedItem& candidate) { return candidate.id.string() == folderName; });
        if (record == records.end()) {
            continue;
        }
        const std::optional<ItemMarker> marker = ItemMarker::read(mountPoint);
        const std::filesystem::path lockedURL =
            ItemIndex::locate(*record).value_or(std::filesystem::path(record->lastKnownPath));
        const auto shownFolder = shown.find(folderName);
        items.push_back(OpenItem{
            record->id, lockedURL, mountPoint, marker ? marker->kind : record->kind,
            LockedNames::itemName(marker, *record, lockedURL),
            shownFolder != shown.end() ? std::optional(shownFolder->second) : std::nullopt});
    }
    return items;
}

void OpenItems::adopt(const std::vector<AttachedImage>& images) const noexcept {
    try {
        const std::string prefix = prefixOf(e_.mounts.root());
        for (const AttachedImage& image : images) {
            try {
                const std::filesystem::path mountPoint = canonicalPath(image.mountPoint);
                const std::optional<Uuid> id = Uuid::parse(mountPoint.filename().string());
                const std::filesystem::path imagePath(image.imagePath);
                if (!mountPoint.string().starts_with(prefix) || !id ||
                    imagePath.extension() != LockedNames::lockedExtension ||
                    !posix::exists(imagePath)) {
                    continue;
                }
                const std::optional<ItemMarker> marker = ItemMarker::read(mountPoint);
                const LockedItem adopted = EngineParts::freshRecord(
                    *id, LockedNames::itemName(marker, std::nullopt, imagePath),
                    marker ? marker->kind : LockedItem::Kind::folder, imagePath, 0);
                e_.index.upsert(adopted);
            } catch (const std::exception&) {
                // This one could not be stored; the next image is handled all the same.
                logCaught(LogLevel::warning,
                          {"Could not store a record for the item open at ", image.mountPoint});
            }
        }
    } catch (...) {
        logCaught(LogLevel::warning, {"Could not store records for the open items"});
    }
}

void OpenItems::relock(const OpenItem& item, bool force) const {
    const std::filesystem::path target = canonicalPath(item.mountPoint);
    bool listed = false;
    try {
        for (const AttachedImage& image : e_.tool.attachedImages()) {
            if (canonicalPath(image.mountPoint) == target) {
                listed = true;
                break;
            }
        }
    } catch (const std::exception&) {
        // Unlisted: fall back to asking the folder itself.
        logCaught(LogLevel::info, {"Could not list the mounted volumes; asking ", item.mountPoint,
                                   " itself whether it is mounted"});
    }
    if (listed || MountsFolder::isMountPoint(item.mountPoint)) {
        e_.tool.detach(item.mountPoint, force);
    }
    e_.mounts.remove(item.mountPoint);
}

std::int64_t OpenItems::contentLogicalSize(const std::filesystem::path& mount,
                                           LockedItem::Kind kind, const std::string& name) {
    if (kind == LockedItem::Kind::file) {
        return ItemFacts::logicalSize(mount / name);
    }
    std::int64_t total = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(mount, error)) {
        if (!VolumeLayout::isHousekeeping(entry.path().filename().string())) {
            total += ItemFacts::logicalSize(entry.path());
        }
    }
    return error ? 0 : total;
}

}  // namespace tessela
