// Opening and relocking: attaching a locked item at its private mount folder, listing what is
// open from the system's list of mounts, and detaching again.
#include <sys/stat.h>

#include "checks/item_facts.h"
#include "checks/volume_layout.h"
#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "posix/file_io.h"
#include "records/bookmark.h"

namespace tessela {

namespace {

std::string prefixOf(const std::filesystem::path& mountsRoot) {
    return canonicalPath(mountsRoot).string() + "/";
}

}  // namespace

OpenItem Locker::unlock(const std::filesystem::path& url, const std::string& password) {
    if (url.extension() != lockedExtension) {
        throw TesselaError::notLocked();
    }
    if (!posix::exists(url)) {
        throw TesselaError::notFound();
    }
    const std::optional<LockedItem> record = index.item(url);
    if (record) {
        for (OpenItem& open : openItems()) {
            if (open.id == record->id) {
                return open;
            }
        }
    }
    const Uuid id = record ? record->id : Uuid::random();
    const std::filesystem::path mountPoint = mountsRoot / id.string();
    makeMountPoint(mountPoint);
    try {
        tool.attach(url, mountPoint, password, false);
    } catch (...) {
        removeMountPoint(mountPoint);
        throw;
    }

    const std::optional<ItemMarker> marker = ItemMarker::read(mountPoint);
    const std::string name = itemName(marker, record, url);
    const LockedItem::Kind kind = marker   ? marker->kind
                                  : record ? record->kind
                                           : LockedItem::Kind::folder;
    if (!record) {
        // Generation 0: the password generation of an item from elsewhere is not known.
        LockedItem created = freshRecord(id, name, kind, url, 0);
        created.contentSize = contentLogicalSize(mountPoint, kind, name);
        try {
            index.upsert(created);
        } catch (...) {
            // Without a record nothing would ever list, relock or close this volume: it is
            // closed again rather than left open with its content readable.
            try {
                tool.detach(mountPoint, true);
            } catch (...) {
            }
            removeMountPoint(mountPoint);
            throw;
        }
    } else if (!record->contentSize) {
        LockedItem measured = *record;
        measured.contentSize = contentLogicalSize(mountPoint, kind, name);
        try {
            index.upsert(measured);
        } catch (const std::exception&) {
            // The size is a nicety; the item is open either way.
        }
    }
    return OpenItem{id, url, mountPoint, kind, name};
}

std::vector<OpenItem> Locker::openItems() const {
    const std::string prefix = prefixOf(mountsRoot);
    const std::vector<LockedItem> records = index.load();
    std::vector<OpenItem> items;
    for (const AttachedImage& image : tool.attachedImages()) {
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
        items.push_back(OpenItem{record->id, lockedURL, mountPoint,
                                 marker ? marker->kind : record->kind,
                                 itemName(marker, *record, lockedURL)});
    }
    return items;
}

void Locker::adoptOpenItems(const std::vector<AttachedImage>& images) const noexcept {
    try {
        const std::string prefix = prefixOf(mountsRoot);
        for (const AttachedImage& image : images) {
            try {
                const std::filesystem::path mountPoint = canonicalPath(image.mountPoint);
                const std::optional<Uuid> id = Uuid::parse(mountPoint.filename().string());
                const std::filesystem::path imagePath(image.imagePath);
                if (!mountPoint.string().starts_with(prefix) || !id ||
                    imagePath.extension() != lockedExtension || !posix::exists(imagePath)) {
                    continue;
                }
                const std::optional<ItemMarker> marker = ItemMarker::read(mountPoint);
                const LockedItem adopted =
                    freshRecord(*id, itemName(marker, std::nullopt, imagePath),
                                marker ? marker->kind : LockedItem::Kind::folder, imagePath, 0);
                index.upsert(adopted);
            } catch (const std::exception&) {
                // This one could not be stored; the next image is handled all the same.
            }
        }
    } catch (...) {
    }
}

void Locker::relock(const OpenItem& item, bool force) {
    const std::filesystem::path target = canonicalPath(item.mountPoint);
    bool listed = false;
    try {
        for (const AttachedImage& image : tool.attachedImages()) {
            if (canonicalPath(image.mountPoint) == target) {
                listed = true;
                break;
            }
        }
    } catch (const std::exception&) {
        // Unlisted: fall back to asking the folder itself.
    }
    if (listed || isMountPoint(item.mountPoint)) {
        tool.detach(item.mountPoint, force);
    }
    removeMountPoint(item.mountPoint);
}

bool Locker::isMountPoint(const std::filesystem::path& url) {
    struct stat folder {};
    struct stat parent {};
    if (::stat(url.c_str(), &folder) != 0 || ::stat((url.string() + "/..").c_str(), &parent) != 0) {
        return false;
    }
    return folder.st_dev != parent.st_dev;
}

std::int64_t Locker::contentLogicalSize(const std::filesystem::path& mount, LockedItem::Kind kind,
                                        const std::string& name) {
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
