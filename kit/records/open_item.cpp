#include "records/open_item.h"

namespace tessela {

std::filesystem::path OpenItem::contentURL() const {
    return kind == LockedItem::Kind::folder ? mountPoint : mountPoint / name;
}

}  // namespace tessela
