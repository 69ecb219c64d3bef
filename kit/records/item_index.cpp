#include "records/item_index.h"

#include <algorithm>

#include "files/file_io.h"
#include "records/bookmark.h"

namespace tessela {

std::vector<LockedItem> ItemIndex::load() const {
    return store_.load();
}

JSONCodec::LoadedList<LockedItem> ItemIndex::loadReportingDamage() const {
    return store_.loadReportingDamage();
}

void ItemIndex::save(const std::vector<LockedItem>& items) const {
    store_.save(items);
}

void ItemIndex::upsert(const LockedItem& item) const {
    std::vector<LockedItem> items = load();
    const auto existing =
        std::find_if(items.begin(), items.end(),
                     [&](const LockedItem& candidate) { return candidate.id == item.id; });
    if (existing != items.end()) {
        *existing = item;
    } else {
        items.push_back(item);
    }
    save(items);
}

void ItemIndex::remove(const Uuid& id) const {
    store_.remove(id);
}

std::optional<LockedItem> ItemIndex::item(const std::filesystem::path& url) const {
    const std::filesystem::path wanted = canonicalPath(url);
    for (const LockedItem& candidate : load()) {
        const std::optional<std::filesystem::path> location = locate(candidate);
        if (location && canonicalPath(*location) == wanted) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> ItemIndex::locate(const LockedItem& item) {
    if (item.bookmark) {
        if (std::optional<std::filesystem::path> resolved = Bookmark::resolve(*item.bookmark);
            resolved && posix::exists(*resolved)) {
            return resolved;
        }
    }
    if (!item.lastKnownPath.empty() && posix::exists(item.lastKnownPath)) {
        return std::filesystem::path(item.lastKnownPath);
    }
    return std::nullopt;
}

LockedItem ItemIndex::refreshed(LockedItem item, const std::filesystem::path& url) {
    item.bookmark = Bookmark::make(url);
    item.lastKnownPath = url.string();
    return item;
}

}  // namespace tessela
