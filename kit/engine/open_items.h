#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine_parts.h"
#include "process/disk_image_tool.h"
#include "records/locked_item.h"
#include "records/open_item.h"

namespace tessela {

// The items open now and the ways they open and close (Locker::unlock, openItems,
// adoptOpenItems, relock): an item is open while its volume is attached at mountsRoot/{id}.
// It is shown by its name through its shown folder (MountsFolder), made once the item is open
// and recorded and removed with its mount folder; the mount folder alone identifies it.
class OpenItems {
  public:
    explicit OpenItems(const EngineParts& parts) : e_(parts) {}

    OpenItem unlock(const std::filesystem::path& url, const std::string& password) const;
    [[nodiscard]] std::vector<OpenItem> list() const;
    void adopt(const std::vector<AttachedImage>& images) const noexcept;
    void relock(const OpenItem& item, bool force) const;

    // The logical size of an open item's content: the file, or the volume root's entries but
    // the housekeeping names.
    [[nodiscard]] static std::int64_t contentLogicalSize(const std::filesystem::path& mount,
                                                         LockedItem::Kind kind,
                                                         const std::string& name);

  private:
    const EngineParts& e_;
};

}  // namespace tessela
