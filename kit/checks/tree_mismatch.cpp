#include "checks/tree_mismatch.h"

namespace tessela {

std::string TreeMismatch::description() const {
    return (path.empty() ? std::string("(item)") : path) + ": " + reason;
}

}  // namespace tessela
