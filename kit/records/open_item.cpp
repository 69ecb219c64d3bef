#include "records/open_item.h"

namespace tessela {

std::filesystem::path OpenItem::contentURL() const {
    const std::filesystem::path& folder = shownFolder ? *shownFolder : mountPoint;
    return kind == LockedItem::Kind::folder ? folder : folder / name;
}

}  // namespace tessela
