#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "files/file_system.h"
#include "files/paths.h"
#include "records/json_codec.h"
#include "records/json_list_store.h"
#include "records/locked_item.h"

namespace tessela {

// The persisted list of locked items ("items.json" in the support directory).
//
// The index holds only the location of its file and reads the file afresh on every call, so two
// indexes on the same file always agree. Writes replace the file atomically (a reader never sees
// a half-written list) with mode 0600 in a 0700 folder. A file that does not decode is set aside
// under a dated ".damaged-" name and read as empty; an unreadable file throws the read error and
// changes nothing. The index has no lock of its own: callers serialise changes.
class ItemIndex {
  public:
    static constexpr const char* fileName = "items.json";

    // `readOnly`: a damaged file is left where it is (JsonListStore).
    explicit ItemIndex(std::filesystem::path fileURL, FileSystem& fileSystem = FileSystem::real(),
                       bool readOnly = false)
        : store_(std::move(fileURL), &LockedItem::fromJson, fileSystem, readOnly) {}

    [[nodiscard]] const std::filesystem::path& fileURL() const noexcept { return store_.file(); }

    [[nodiscard]] std::vector<LockedItem> load() const;
    [[nodiscard]] JSONCodec::LoadedList<LockedItem> loadReportingDamage() const;
    void save(const std::vector<LockedItem>& items) const;

    // Replaces the first record with the same id in place, or appends.
    void upsert(const LockedItem& item) const;
    // Drops every record with this id; the file is rewritten even when none matched.
    void remove(const Uuid& id) const;

    // The record whose locked file is at `url` (symbolic links resolved on both sides), or none.
    [[nodiscard]] std::optional<LockedItem> item(const std::filesystem::path& url) const;

    // Where the item's locked file is now: through its bookmark, else its last known path, else
    // none.
    [[nodiscard]] static std::optional<std::filesystem::path> locate(const LockedItem& item);

    // A copy of `item` pointing at `url`: a fresh bookmark (absent when none can be made) and
    // `url` as the last known path.
    [[nodiscard]] static LockedItem refreshed(LockedItem item, const std::filesystem::path& url);

  private:
    JsonListStore<LockedItem> store_;
};

}  // namespace tessela
