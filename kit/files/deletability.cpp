#include "files/deletability.h"

#include "files/folder.h"

namespace tessela {

bool hasDenyDeleteACL(const std::filesystem::path&) {
    return false;
}

void makeDeletable(const std::filesystem::path& root) noexcept {
    try {
        const std::filesystem::path parent = root.has_parent_path() ? root.parent_path() : ".";
        Folder::open(parent).makeTreeDeletable(root.filename().string());
    } catch (...) {
        // Nothing here may fail the removal that follows; that removal reports what could not
        // be made deletable, so nothing is logged here.
    }
}

}  // namespace tessela
